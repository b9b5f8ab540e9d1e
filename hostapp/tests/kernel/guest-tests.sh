#!/bin/sh
# shellcheck shell=dash
# The tests that run inside the test guest (busybox sh), after guest-init.sh
# has loaded hid, hid-generic and uhid: the built KeyConfig against
# DeviceEmulator --uhid through the kernel's hidraw nodes, the Linux platform
# tests that need a kernel device, and the round-trip measurement.
#
# Each test prints one line "RESULT PASS name" or "RESULT FAIL name", a
# failure followed by lines starting with "  | " that show why; the host
# (run-guest-tests.sh) counts them. KeyConfig's standard output is compared
# byte for byte; after each KeyConfig run the test adds a line "[exit N]"
# with its exit status.
#
# /test/ids.sh sets PRODUCT, the compiled-in product ID of the 16-byte
# variant (hex), and GUEST_MODE=bench when only the measurements are to run
# (longer than in a test run).
# shellcheck source=/dev/null
. /test/ids.sh

work=/tmp/kc
mkdir -p "$work"

# The texts KeyConfig prints, shared with the wine guest's tests.
# shellcheck source=hostapp/tests/kernel/keyconfig-texts.sh
. /test/keyconfig-texts.sh

pass() { echo "RESULT PASS $1"; }

# fail NAME FILE...: a failure, with the files shown.
fail() {
    echo "RESULT FAIL $1"
    shift
    for file in "$@"; do
        [ -s "$file" ] && sed 's/^/  | /' "$file" | head -n 60
    done
    return 0
}

# The KeyConfig runs of one test: each word list separated by "+", each run
# followed by its "[exit N]" line.
keyconfig_runs() {
    local words='' word
    for word in "$@" +; do
        if [ "$word" = + ]; then
            # shellcheck disable=SC2086
            KeyConfig $words
            echo "[exit $?]"
            words=
        else
            words="$words $word"
        fi
    done
}

# check NAME EXPECTED [DEVICE OPTION...] -- KEYCONFIG WORDS [+ WORDS...]
# Runs the KeyConfig runs under one DeviceEmulator --uhid (which removes its
# devices when they are done) and compares their output with EXPECTED
# (backslash escapes). Every case runs with numbered and unnumbered reports.
check() {
    local name="$1" expected="$2" form
    shift 2
    for form in numbered unnumbered; do
        check_one "$name/$form" "$expected" "--$form" "$@"
    done
}

check_one() {
    local name="$1" form="$3" devices='' status
    printf '%b' "$2" >"$work/expected"
    shift 3
    while [ "$1" != -- ]; do
        devices="$devices $1"
        [ "$1" = --device ] && devices="$devices $form"
        shift
    done
    shift
    # shellcheck disable=SC2086
    timeout 60 DeviceEmulator --uhid --trace $form $devices -- sh /test/guest-tests.sh --keyconfig-runs "$@" \
        >"$work/out" 2>"$work/trace"
    status=$?
    if [ $status -ne 0 ]; then
        echo "DeviceEmulator exit status $status" >"$work/why"
        fail "$name" "$work/why" "$work/out" "$work/trace"
    elif ! cmp -s "$work/expected" "$work/out"; then
        diff "$work/expected" "$work/out" >"$work/why"
        fail "$name" "$work/why" "$work/trace"
    else
        pass "$name"
    fi
}

# Centiseconds since boot.
now_cs() {
    read -r up _ </proc/uptime
    echo "${up%.*}${up#*.}"
}

# serve NAME DEVICE OPTION...: one DeviceEmulator --serve --uhid in the
# background; waits for it to print its hidraw nodes (in $work/NAME.ready).
# Its process id goes into $served.
serve() {
    local label="$1" i=0
    shift
    : >"$work/$label.ready"
    DeviceEmulator --serve --uhid "$@" >"$work/$label.ready" 2>"$work/$label.err" &
    served=$!
    while [ ! -s "$work/$label.ready" ] && [ $i -lt 200 ] && kill -0 $served 2>/dev/null; do
        sleep 0.05
        i=$((i + 1))
    done
    [ -s "$work/$label.ready" ]
}

# stop PID...: ends served devices and waits for them to go.
stop() {
    for pid in "$@"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "$@"; do wait "$pid" 2>/dev/null; done
}

# compare NAME EXPECTED: the output of the runs in $work/out against EXPECTED.
compare() {
    printf '%b' "$2" >"$work/expected"
    if cmp -s "$work/expected" "$work/out"; then
        pass "$1"
    else
        diff "$work/expected" "$work/out" >"$work/why"
        fail "$1" "$work/why"
    fi
}

# ------------------------------------------------------------------ cases

keyconfig_cases() {
    # Show, set, reset; what was set is read back by the next show.
    check show-nothing-locked "${not_locked}[exit 0]\n" -- -require
    check show-all-locked "$(locked off Bluetooth Call MicMute VolDown VolUp SpMute)[exit 0]\n" \
        --lock-mask 0000 --se 0 -- -require
    check set-then-show "$set_heading${ok}[exit 0]\n$(locked off Call VolUp)[exit 0]\n" \
        -- -lock Call VolUp -se off + -require
    check set-no-key-then-show "$set_heading${ok}[exit 0]\n${not_locked}[exit 0]\n" \
        --lock-mask 0000 -- -lock -se on + -require
    check reset-then-show \
        "$(locked off Bluetooth Call MicMute VolDown VolUp SpMute)[exit 0]\n$reset_heading${ok}[exit 0]\n$(locked off Call VolDown)[exit 0]\n" \
        --lock-mask 0000 --se 0 --default-lock-mask 0055 --default-se 0 -- -require + -reset + -require
    check show-failed "${general_error}[exit 255]\n" --misbehave status=5 -- -require
    check set-failed "$set_heading${general_error}[exit 255]\n" --misbehave status=1,detail=2 -- -lock Call -se on

    # Which device: none, one with 64-byte reports and the same IDs.
    check no-device "${connection_error}[exit 252]\n" --devices 0 -- -require
    check only-64-byte-device "${connection_error}[exit 252]\n" --variant 2 --product "$PRODUCT" -- -require
    check 64-byte-device-is-skipped "$(locked on VolUp)[exit 0]\n" \
        --variant 2 --product "$PRODUCT" --device --lock-mask 006f -- -require

    # Event packets the device sends are printed: one as the host opens it
    # (once, although KeyConfig opens it twice: to look at it, then to use
    # it), one between two commands.
    check event-on-open "Event Packet : event=0x01 stat=0x02\n${not_locked}[exit 0]\n" --event 1:2 -- -require
    check event-between-two-commands "$reset_heading""Event Packet : event=0x07 stat=0x03\n${ok}[exit 0]\n" \
        --event 7:3@1 -- -reset

    # The device is destroyed in the middle of a command: the pending read
    # fails and the command ends at once with a general error.
    for when in before-the-answer between-two-commands; do
        for form in numbered unnumbered; do
            if [ $when = before-the-answer ]; then
                misbehave=silent,unplug-after=1 words=-require expected="${general_error}[exit 255]\n"
            else
                misbehave=unplug-after=1 words=-reset expected="$reset_heading${general_error}[exit 255]\n"
            fi
            start=$(now_cs)
            check_one "device-destroyed-$when/$form" "$expected" --$form --misbehave $misbehave -- $words
            elapsed=$(($(now_cs) - start))
            # Without the unplug the command would wait for its 5 s time-out.
            if [ $elapsed -ge 300 ]; then
                echo "RESULT FAIL device-destroyed-$when/$form/promptly"
                echo "  | took ${elapsed}0 ms"
            else
                pass "device-destroyed-$when/$form/promptly"
            fi
        done
    done

    index_zero_is_the_lower_node
    nodes_by_number
}

# Two devices: index 0 is the lower hidraw number, whatever the order in
# which they were created. The first device's node is freed and taken by a
# third one, created last.
index_zero_is_the_lower_node() {
    local name=index-0-is-the-lower-node a b c
    serve a --lock-mask 007d || { fail $name "$work/a.err"; stop $served; return; }
    a=$served
    serve b --lock-mask 0077 || { fail $name "$work/b.err"; stop $a $served; return; }
    b=$served
    stop $a
    serve c --lock-mask 006f || { fail $name "$work/c.err"; stop $b $served; return; }
    c=$served
    if [ "$(cat "$work/c.ready")" = "$(cat "$work/a.ready")" ]; then
        keyconfig_runs -require >"$work/out"
        compare $name "$(locked on VolUp)[exit 0]\n"
    else
        echo "the third device got $(cat "$work/c.ready"), not $(cat "$work/a.ready")" >"$work/why"
        fail $name "$work/why"
    fi
    stop $b $c
}

# Nodes are ordered by number, not as text: hidraw2 comes before hidraw10.
nodes_by_number() {
    local name=hidraw2-before-hidraw10 many nodes
    serve many --vendor abcd --devices 2 --device --lock-mask 007b \
        --device --vendor abcd --devices 7 --device --lock-mask 003f ||
        { fail $name "$work/many.err"; stop $served; return; }
    many=$served
    nodes=$(tr '\n' ' ' <"$work/many.ready")
    if [ "$nodes" = "$(for n in 0 1 2 3 4 5 6 7 8 9 10; do printf '/dev/hidraw%s ' $n; done)" ]; then
        keyconfig_runs -require >"$work/out"
        compare $name "$(locked on MicMute)[exit 0]\n"
    else
        echo "unexpected nodes: $nodes" >"$work/why"
        fail $name "$work/why"
    fi
    stop $many
}

# gtest_results LABEL PROGRAM [ARGUMENT...]: runs a GoogleTest program; each
# of its tests becomes a result line. A skipped test fails here, where the
# kernel devices are there to be had.
gtest_results() {
    local label="$1"
    shift
    "$@" >"$work/gtest" 2>&1
    local status=$?
    # "[  FAILED  ] Forms/Suite.Test/Numbered, where GetParam() = true (5 ms)"
    sed -n "s/^\[       OK \] \([^ ,]*\).* ([0-9]* ms)\$/RESULT PASS $label:\1/p
            s/^\[  FAILED  \] \([^ ,]*\).* ([0-9]* ms)\$/RESULT FAIL $label:\1/p
            s/^\[  SKIPPED \] \([^ ,]*\).* ([0-9]* ms)\$/RESULT FAIL $label:\1 (skipped)/p" "$work/gtest"
    if [ $status -ne 0 ]; then
        echo "$1 exit status $status" >"$work/why"
        fail "$label-exit-status" "$work/why" "$work/gtest"
    else
        pass "$label-exit-status"
    fi
}

platform_tests() {
    gtest_results platform kernel_hid_tests
    # The emulator's uhid attachment with the Linux HID layer, from the
    # suite that skips it on machines without uhid.
    gtest_results uhid vhid_tests --gtest_filter='*UhidKernel*'
}

# FwUpdate through the kernel, once the firmware tools are built: an image
# made by FwImage is sent and verified by the emulated device; a device
# destroyed in the middle of the update ends it promptly with a failure.
firmware_update() {
    if [ ! -x /bin/FwUpdate ] || [ ! -x /bin/FwImage ]; then
        echo "NOTE FwUpdate and FwImage are not built: no firmware update tests"
        return
    fi
    if ! FwImage --size 20000 "$work/firmware.bin" >"$work/out" 2>&1; then
        fail firmware-image "$work/out"
        return
    fi
    local form status start elapsed
    for form in numbered unnumbered; do
        timeout 120 DeviceEmulator --uhid --trace --$form -- FwUpdate "$work/firmware.bin" \
            >"$work/out" 2>"$work/trace"
        status=$?
        if [ $status -eq 0 ] && grep -q '] firmware update verified' "$work/trace"; then
            pass "firmware-update/$form"
        else
            echo "exit status $status" >"$work/why"
            fail "firmware-update/$form" "$work/why" "$work/out" "$work/trace"
        fi

        start=$(now_cs)
        timeout 120 DeviceEmulator --uhid --trace --$form --misbehave unplug-after=2 -- \
            FwUpdate "$work/firmware.bin" >"$work/out" 2>"$work/trace"
        status=$?
        elapsed=$(($(now_cs) - start))
        if [ $status -ne 0 ] && [ $status -lt 124 ] && [ $elapsed -lt 300 ] && grep -q '] unplug' "$work/trace"; then
            pass "firmware-update-device-destroyed/$form"
        else
            echo "exit status $status after ${elapsed}0 ms" >"$work/why"
            fail "firmware-update-device-destroyed/$form" "$work/why" "$work/out" "$work/trace"
        fi
    done
}

# measure NAME COMMAND: runs a measuring program (COMMAND, evaluated with
# $node set to the hidraw node) against one served device and shows its
# output.
measure() {
    local name="$1" command="$2" device node
    if ! serve "$name"; then
        fail "$name" "$work/$name.err"
        stop $served
        return
    fi
    device=$served
    # shellcheck disable=SC2034 # read by the evaluated command
    node=$(head -n 1 "$work/$name.ready")
    if eval "timeout ${measure_timeout:-120} $command" >"$work/$name" 2>&1; then
        cat "$work/$name"
        pass "$name"
    else
        fail "$name" "$work/$name"
    fi
    stop $device
}

# round_trips [ROUNDS PER_BLOCK]: the key-lock get through the session
# library beside a minimal hidraw client.
round_trips() {
    measure round-trips "kernel_round_trip \"\$node\" ${1:-20} ${2:-200}"
}

# SessionCreate beside the common C HID library's hid_open, same device.
open_times() {
    measure open-times "kernel_open_time 30 5"
}

if [ "${1:-}" = --keyconfig-runs ]; then
    shift
    keyconfig_runs "$@"
    exit 0
fi
if [ "${GUEST_MODE:-}" = bench ]; then
    # Longer runs, on a host that may be busy.
    measure_timeout=600
    # What a clock read costs depends on it.
    echo "NOTE the guest's clock source: $(cat /sys/devices/system/clocksource/clocksource0/current_clocksource)"
    round_trips 40 500
    open_times
    exit 0
fi
keyconfig_cases
firmware_update
platform_tests
round_trips
