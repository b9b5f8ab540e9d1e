#!/bin/bash
# The tests that run inside the wine test guest, in a chroot of the host's
# root (wine-guest-init.sh): the mingw build's programs under wine against
# DeviceEmulator --uhid, wine's bus driver reading the kernel's hidraw nodes.
#
#   wine-guest-tests.sh CONFIG                 all tests
#   wine-guest-tests.sh CONFIG --runs WORDS... (run by DeviceEmulator) the
#                                              Windows runs of one test
#
# CONFIG (written by run-wine-guest-tests.sh) names the results folder, the
# programs, the wine prefix and the compiled-in IDs. Results go to
# $results/results.txt: "RESULT PASS name" or "RESULT FAIL name" per test, a
# failure followed by lines starting with "  | " that show why, "PERF" lines
# with the measurements, and "GUEST DONE" at the end.
#
# A device must exist for wine before a Windows program looks for it: wine's
# bus driver learns of it from the udev daemon and takes up its hidraw node,
# so each test first waits until wine lists every device. After a device
# is gone, the next one is made only once its node has disappeared (wine
# misses a device that appears before it has let go of the last one).
set -u
# This script and every wine process it starts run without address-space
# randomisation (see tools/test-windows.sh).
[ $((0x$(cat /proc/self/personality) & 0x40000)) != 0 ] || exec setarch -R bash "$0" "$@"
config=$1
shift
# shellcheck source=/dev/null
. "$config"
here=$(dirname "$tests")
# shellcheck source=hostapp/tests/kernel/keyconfig-texts.sh
. "$here/keyconfig-texts.sh"
export PATH="$linux_bin:$PATH"
work=/tmp/wine-guest
mkdir -p "$work"
vendor=$VENDOR

# Centiseconds since boot.
now_cs() {
    local up
    read -r up _ </proc/uptime
    echo $((10#${up%.*}${up#*.}))
}

hidraw_nodes() { ls /dev/hidraw* 2>/dev/null; }

# wait_wine_lists_devices [COUNT]: waits until wine lists COUNT devices
# with the speakerphone's vendor ID, by default as many as there are hidraw
# nodes: its bus driver takes a new node up, and lets a removed one go, a
# while after the kernel made or removed it.
wait_wine_lists_devices() {
    local count=${1:-$(hidraw_nodes | wc -l)}
    wine "$win_hid_interfaces" --wait "$count" "$vendor" </dev/null 2>&1 | tr -d '\r' >"$work/listed"
    [ "${PIPESTATUS[0]}" = 0 ]
}

# Waits (at most 20 s) until no hidraw node is left.
wait_nodes_gone() {
    local i
    for ((i = 0; i < 400; i++)); do
        [ -z "$(hidraw_nodes)" ] && return 0
        sleep 0.05
    done
    return 1
}

# win_text RAW: the output of a Windows program as UTF-8 with LF line ends;
# a line without CRLF, or text that is no CP932, shows as a marked line.
win_text() {
    if [ "$(grep -c $'\r$' "$1")" != "$(wc -l <"$1")" ]; then echo "[a line does not end in CRLF]"; fi
    iconv -f CP932 -t UTF-8 "$1" 2>/dev/null | tr -d '\r' || echo "[not CP932]"
}

# Runs a Windows program under wine; its CPU time in ms (user and system,
# the process and its children) goes to $work/cpu-ms.
TIMEFORMAT='%3U %3S'
wine_cpu() {
    local times status
    { time wine "$@" </dev/null 2>/dev/null; } 2>"$work/times"
    status=$?
    read -r user system <"$work/times"
    times=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.0f", (u + s) * 1000 }')
    echo "$times" >"$work/cpu-ms"
    return $status
}

# ------------------------------------------------------------------ runs

# The Windows runs of one test, each group of words separated by "+":
# "KeyConfig WORDS" (its output, then "[exit N]"), "DeviceCommand WORDS"
# (the same, its output as it is), "interfaces" (the HID
# interfaces with the speakerphone's IDs in wine's order), "FwUpdate ARGS"
# (raw output to $work/fw.raw, exit status to $work/fw.status, CPU time to
# $work/cpu-ms), "startup" (the CPU time of KeyConfig.exe -help, wine's
# start-up alone, to $work/help-cpu-ms), "wait" (one get waiting for a
# silent device, under wine and natively, to $work/wait.*), "wait-windows"
# (the same under wine alone) and "gtest FILTER" (the Win32 platform suite,
# output to $work/gtest).
windows_runs() {
    local group=() word status
    if ! wait_wine_lists_devices; then
        echo "[wine does not list the devices of $(hidraw_nodes | tr '\n' ' ')but:]"
        cat "$work/listed"
    fi
    for word in "$@" +; do
        if [ "$word" != + ]; then
            group+=("$word")
            continue
        fi
        [ ${#group[@]} -gt 0 ] || continue
        case "${group[0]}" in
        KeyConfig)
            wine "$win_KeyConfig" "${group[@]:1}" </dev/null >"$work/raw" 2>/dev/null
            status=$?
            win_text "$work/raw"
            echo "[exit $status]"
            ;;
        DeviceCommand)
            # The same bytes as the Linux build: UTF-8, LF line ends.
            wine "$win_DeviceCommand" "${group[@]:1}" </dev/null >"$work/raw" 2>/dev/null
            status=$?
            grep -q $'\r' "$work/raw" && echo "[a CR in the output]"
            cat "$work/raw"
            echo "[exit $status]"
            ;;
        interfaces)
            wine "$win_hid_interfaces" "$vendor" "$PRODUCT" </dev/null 2>/dev/null | tr -d '\r'
            ;;
        FwUpdate)
            wine_cpu "$win_FwUpdate" "${group[@]:1}" >"$work/fw.raw"
            echo $? >"$work/fw.status"
            ;;
        startup)
            wine_cpu "$win_KeyConfig" -help >/dev/null
            cp "$work/cpu-ms" "$work/help-cpu-ms"
            ;;
        wait)
            wine "$win_session_round_trips" --wait </dev/null 2>&1 | tr -d '\r' >"$work/wait.wine"
            session_round_trips --wait >"$work/wait.linux" 2>&1
            ;;
        wait-windows)
            wine "$win_session_round_trips" --wait </dev/null 2>&1 | tr -d '\r' >"$work/wait.wine"
            ;;
        gtest)
            AZK_WIN32_DEVICE_TEST=1 wine "$win_azk_win32_platform_tests" "--gtest_filter=${group[1]}" \
                </dev/null >"$work/gtest" 2>&1
            echo $? >"$work/gtest.status"
            ;;
        esac
        group=()
    done
}

if [ "${1:-}" = --runs ]; then
    shift
    windows_runs "$@"
    exit 0
fi

# ------------------------------------------------------------------ results

out=$results/results.txt
exec 3>>"$out"
pass() { echo "RESULT PASS $1" >&3; }
# fail NAME FILE...: a failure, with the files shown, and what the hidraw
# nodes and wine's processes looked like then.
fail() {
    echo "RESULT FAIL $1" >&3
    shift
    diagnose >"$work/diagnosis"
    for file in "$@" "$work/diagnosis"; do
        [ -s "$file" ] && sed 's/^/  | /' "$file" | head -n 60 >&3
    done
    return 0
}
diagnose() {
    echo "hidraw nodes: $(hidraw_nodes | tr '\n' ' ')"
    echo "held open by:"
    find /proc/[0-9]*/fd -maxdepth 1 -lname '/dev/hidraw*' -printf '%h %l\n' 2>/dev/null |
        while read -r fd node; do
            pid=${fd#/proc/}
            pid=${pid%/fd}
            echo "  $node: $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
        done
    echo "wine's processes:"
    ps -eo pid,stat,time,args | grep -i '[.]exe' | cut -c1-120
}
perf() { echo "PERF $*" >&3; }
note() { echo "NOTE $*" >&3; }
progress() { echo "wine-guest: $*"; }

# emulate LOG OPTION... -- RUN...: DeviceEmulator --uhid --trace with the
# options given, running the Windows runs; their text goes to $work/out, the
# trace to LOG. Then waits until the devices' nodes are gone and wine lists
# none of them any more: a device made while wine still holds a removed one
# is taken for that one. Returns the emulator's exit status, or 1 when a
# device stays.
#
# Wine 8's bus driver does not always let go of a device when several are
# removed at once (and, now and then, of one destroyed while a program waits
# for it): it then spins on the dead node and passes no reports for devices
# made later. After a test with several devices, and whenever wine keeps
# listing a device that is gone, wine is started afresh.
emulate() {
    local log=$1 options=() status
    shift
    while [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    shift
    # Nothing a run leaves is taken from an earlier one.
    rm -f "$work"/fw.* "$work"/gtest* "$work"/wait.* "$work/cpu-ms"
    timeout 300 DeviceEmulator --uhid --trace "${options[@]}" -- bash "$tests" "$config" --runs "$@" \
        >"$work/out" 2>"$log"
    status=$?
    if [ "$(grep -c '] hidraw node ' "$log")" -gt 1 ]; then
        wait_nodes_gone
        start_wine
    elif ! forget_devices "$log"; then
        note "wine kept a removed device; restarted"
        start_wine
    fi
    return $status
}

# forget_devices LOG: waits until the devices are gone for the kernel and
# for wine; when they stay, says so in LOG and returns 1.
forget_devices() {
    if ! wait_nodes_gone; then
        echo "hidraw nodes left: $(hidraw_nodes | tr '\n' ' ')" >>"$1"
        return 1
    fi
    if ! wait_wine_lists_devices 0; then
        echo "wine still lists:" >>"$1"
        cat "$work/listed" >>"$1"
        return 1
    fi
}

# compare NAME EXPECTED [FILE...]: $work/out against EXPECTED (printf %b).
compare() {
    local name=$1
    printf '%b' "$2" >"$work/expected"
    shift 2
    if cmp -s "$work/expected" "$work/out"; then
        pass "$name"
    else
        diff "$work/expected" "$work/out" >"$work/why"
        fail "$name" "$work/why" "$@"
    fi
}

# check NAME EXPECTED DEVICE OPTION... -- KEYCONFIG WORDS [+ WORDS...]:
# KeyConfig.exe runs against one DeviceEmulator, output compared.
check() { check_program KeyConfig "$@"; }

# check_program PROGRAM NAME EXPECTED DEVICE OPTION... -- WORDS [+ WORDS...]:
# the same for PROGRAM (KeyConfig or DeviceCommand).
check_program() {
    local program=$1 name=$2 expected=$3 options=()
    shift 3
    while [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    shift
    local runs=("$program") word
    for word in "$@"; do
        runs+=("$word")
        [ "$word" = + ] && runs+=("$program")
    done
    progress "$name"
    if ! emulate "$work/trace" "${options[@]}" -- "${runs[@]}"; then
        echo "DeviceEmulator failed" >"$work/why"
        fail "$name" "$work/why" "$work/out" "$work/trace"
        return
    fi
    compare "$name" "$expected" "$work/trace"
}

# ------------------------------------------------------------------ cases

keyconfig_cases() {
    local form all_locked
    all_locked=$(locked off Bluetooth Call MicMute VolDown VolUp SpMute)
    # Show, set, reset; each change is read back by the next show.
    for form in numbered unnumbered; do
        check "show-set-reset/$form" \
            "${all_locked}[exit 0]\n$set_heading${ok}[exit 0]\n$(locked off Call VolUp)[exit 0]\n$reset_heading${ok}[exit 0]\n$(locked off Call VolDown)[exit 0]\n" \
            --$form --lock-mask 0000 --se 0 --default-lock-mask 0055 --default-se 0 -- \
            -require + -lock Call VolUp -se off + -require + -reset + -require
    done
    check set-nothing-locked "$set_heading${ok}[exit 0]\n${not_locked}[exit 0]\n" \
        --lock-mask 0000 -- -lock -se on + -require

    # The device answers with a failure status.
    check show-failed "${general_error}[exit 255]\n" --misbehave status=5 -- -require
    check set-failed "$set_heading${general_error}[exit 255]\n" --misbehave status=1,detail=2 -- -lock Call -se on

    # Which device: none, one with 64-byte reports and the same IDs.
    check no-device "${connection_error}[exit 252]\n" --devices 0 -- -require
    check only-64-byte-device "${connection_error}[exit 252]\n" --variant 2 --product "$PRODUCT" -- -require
    check 64-byte-device-is-skipped "$(locked on VolUp)[exit 0]\n" \
        --variant 2 --product "$PRODUCT" --device --lock-mask 006f -- -require

    # An event report between two commands is printed.
    check event-between-two-commands "$reset_heading""Event Packet : event=0x07 stat=0x03\n${ok}[exit 0]\n" \
        --event 7:3@1 -- -reset

    two_devices

    # The device is destroyed while KeyConfig.exe waits for its answer: the
    # pending read fails and the command ends with a general error. That it
    # ends at once, instead of after its 5 s time-out, is timed inside one
    # get of the same stack: a whole run's time is mostly wine starting up.
    local name line wall
    for form in numbered unnumbered; do
        check "device-destroyed-before-the-answer/$form" "${general_error}[exit 255]\n" \
            --$form --misbehave silent,unplug-after=1 -- -require
        name=device-destroyed-before-the-answer/$form/promptly
        progress "$name"
        emulate "$work/trace" --$form --misbehave silent,unplug-after=1 -- wait-windows
        line=$(grep '^result ' "$work/wait.wine" 2>/dev/null)
        wall=$(awk '{ print $4 }' <<<"$line")
        if [[ "$line" == "result -"* ]] && [ "${wall:-5000}" -lt 3000 ]; then
            pass "$name"
            perf "a key-lock get whose device is destroyed while it waits (wine, $form): $line"
        else
            echo "a get that should end on the unplug: ${line:-no result}" >"$work/why"
            fail "$name" "$work/why" "$work/out" "$work/wait.wine" "$work/trace"
        fi
    done
}

# DeviceCommand.exe: its JSON documents and texts, byte for byte what the
# Linux build prints against the same emulated device.
devicecommand_cases() {
    local config_002d config_007f config_006d
    # The configurations as the documents show them: at the top, and inside.
    config_002d='"se": true,
  "lockMask": 45,
  "lockMaskHex": "0x002D",
  "locked": [
    "Call",
    "VolUp",
    "SpMute"
  ]'
    config_007f='"se": false,
    "lockMask": 127,
    "lockMaskHex": "0x007F",
    "locked": []'
    config_006d='"se": true,
    "lockMask": 109,
    "lockMaskHex": "0x006D",
    "locked": [
      "Call",
      "VolUp"
    ]'
    check_program DeviceCommand devicecommand/keylock-show \
        "{\n  \"ok\": true,\n  \"command\": \"keylock show\",\n  $config_002d\n}\n[exit 0]\n" \
        --lock-mask 002d --se 1 -- --json keylock show

    # The second apply finds the device as wanted and leaves it alone.
    local apply='{\n  "ok": true,\n  "command": "keylock apply",\n  "changed": '
    check_program DeviceCommand devicecommand/apply-changes-once \
        "${apply}true,\n  \"before\": {\n    $config_007f\n  },\n  \"after\": {\n    $config_006d\n  }\n}\n[exit 0]\n$(
        )${apply}false,\n  \"before\": {\n    $config_006d\n  },\n  \"after\": {\n    $config_006d\n  }\n}\n[exit 0]\n$(
        )locked keys: Call VolUp\nsound effect: on\nlock mask: 0x006D\n[exit 0]\n" \
        --lock-mask 007f --se 0 -- --json keylock apply --lock Call VolUp --se on + \
        --json keylock apply --lock Call VolUp --se on + keylock show

    # Failures: one document each, and the exit status of the kind.
    local error='{\n  "ok": false,\n  "command": "keylock show",\n  "error": {\n    "result": '
    check_program DeviceCommand devicecommand/device-status \
        "${error}-13,\n    \"name\": \"DEVICE_STATUS\",\n    \"message\": \"reading the key-lock configuration: $(
        )the device answered with a failure status\",\n    \"status\": 5,\n    \"detail\": 0\n  },\n$(
        )  \"exitStatus\": 4\n}\n[exit 4]\n" \
        --misbehave status=5 -- --json keylock show
    check_program DeviceCommand devicecommand/no-device \
        "${error}-4,\n    \"name\": \"CONNECTION\",\n    \"message\": \"no session: no usable device of variant 1 $(
        )at index 0 (see 'DeviceCommand list')\"\n  },\n  \"exitStatus\": 3\n}\n[exit 3]\n" \
        --devices 0 -- --json keylock show

    # list: the emulated device, usable, under the path wine gives it. Wine's
    # hidraw backend does not pass the release number on (it shows 0000).
    local name=devicecommand/list
    progress $name
    if emulate "$work/trace" -- DeviceCommand list; then
        sed -i -E 's/ release [0-9A-F]{4}  reports 17\/17  .*/ release NNNN  reports 17\/17  PATH/' "$work/out"
        compare $name \
            "0  variant 1  ${vendor}:${PRODUCT} release NNNN  reports 17/17  PATH\n    usable: --variant 1 --index 0\n[exit 0]\n" \
            "$work/trace"
    else
        echo "DeviceEmulator failed" >"$work/why"
        fail $name "$work/why" "$work/out" "$work/trace"
    fi
}

# Two devices with the speakerphone's IDs: KeyConfig.exe talks to the one
# wine lists first. The devices are told apart by their product strings,
# which carry the emulator's device names.
two_devices() {
    local name=index-0-is-wines-first first expected
    progress $name
    if ! emulate "$work/trace" --name first --lock-mask 007d --device --name second --lock-mask 0077 -- \
        interfaces + KeyConfig -require; then
        echo "DeviceEmulator failed" >"$work/why"
        fail $name "$work/why" "$work/out" "$work/trace"
        return
    fi
    first=$(head -n 1 "$work/out")
    case "$first" in
    *"device emulator first") expected="$(locked on Call)" ;;
    *"device emulator second") expected="$(locked on VolDown)" ;;
    *) expected="[no device listed]" ;;
    esac
    local listed
    listed=$(grep -c "^$vendor $PRODUCT 17 17 KeyConfig device emulator " "$work/out")
    if [ "$listed" != 2 ]; then
        echo "wine lists $listed devices with the speakerphone's IDs and 17-byte reports, not 2" >"$work/why"
        fail $name "$work/why" "$work/out" "$work/trace"
        return
    fi
    sed -i 1,2d "$work/out"
    compare $name "${expected}[exit 0]\n" "$work/trace"
}

# FwUpdate.exe: a whole update, verified by the emulated device; a device
# that refuses every attempt of one step.
firmware_cases() {
    local name form image=$work/firmware.bin
    if ! FwImage --size 10240 "$image" >"$work/out" 2>&1; then
        fail firmware-image "$work/out"
        return
    fi
    for form in numbered unnumbered; do
        name=firmware-update/$form
        progress $name
        emulate "$work/fw.trace" --$form -- FwUpdate "$image"
        if [ "$(cat "$work/fw.status" 2>/dev/null)" = 0 ] && grep -q '] firmware update verified' "$work/fw.trace"; then
            pass $name
            perf "firmware update of 10240 bytes under wine ($form): CPU $(cat "$work/cpu-ms") ms (process)"
        else
            echo "exit status $(cat "$work/fw.status" 2>/dev/null)" >"$work/why"
            win_text "$work/fw.raw" >"$work/fw.txt"
            fail $name "$work/why" "$work/out" "$work/fw.txt" "$work/fw.trace"
        fi
    done

    name=firmware-update-step-fails
    progress $name
    emulate "$work/fw.trace" --fw-fail fwload:5:49 -- FwUpdate "$image"
    win_text "$work/fw.raw" >"$work/out"
    local status
    status=$(cat "$work/fw.status" 2>/dev/null)
    if [ "$status" != 8 ]; then
        echo "exit status $status, not 8" >"$work/why"
        fail $name "$work/why" "$work/out" "$work/fw.trace"
    elif [ "$(grep -c '] request 00 01 09 ' "$work/fw.trace")" != 5 ]; then
        echo "not five attempts of the refused step" >"$work/why"
        fail $name "$work/why" "$work/out" "$work/fw.trace"
    else
        compare $name "firmware image: $image (FWUP, 10240 bytes)\nupdating the device (variant 1) ...\nprogress 21%\n$(
            for _ in 1 2 3 4 5; do printf '%s' '\nerror : receive error response. (FU_FWLOAD) [0x31]\n'; done
        )FwUpdate: firmware update failed: the device did not accept a transfer block (FU_FWLOAD) [-15]\n" \
            "$work/fw.trace"
    fi
}

# The Win32 platform's suite for real devices: several interfaces (two
# 16-byte devices, numbered and not, one 64-byte device with the same IDs,
# and one that unplugs itself half a second after its first answer, time
# for wine's HID stack to deliver that answer before the device goes). Each
# test becomes a result line; a skipped one fails here, where the devices
# are there.
platform_cases() {
    progress platform
    emulate "$work/trace" \
        --name numbered --numbered --lock-mask 007d \
        --device --name unnumbered --unnumbered --lock-mask 0077 \
        --device --name wide --variant 2 --product "$PRODUCT" \
        --device --name unplug --misbehave unplug-delay=500,unplug-after=1 -- \
        gtest 'Win32PlatformOnDevice*'
    local status
    status=$(cat "$work/gtest.status" 2>/dev/null)
    tr -d '\r' <"$work/gtest" >"$work/gtest.txt"
    sed -n "s/^\[       OK \] \([^ ,]*\).* ([0-9]* ms)\$/RESULT PASS platform:\1/p
            s/^\[  FAILED  \] \([^ ,]*\).* ([0-9]* ms)\$/RESULT FAIL platform:\1/p
            s/^\[  SKIPPED \] \([^ ,]*\).* ([0-9]* ms)\$/RESULT FAIL platform:\1 (skipped)/p" "$work/gtest.txt" >&3
    if [ "$status" = 0 ] && grep -q '^\[  PASSED  \]' "$work/gtest.txt"; then
        pass platform-exit-status
    else
        echo "exit status $status" >"$work/why"
        fail platform-exit-status "$work/why" "$work/gtest.txt" "$work/trace"
    fi
}

# start_wine: (re)starts the wine server of the prefix and wine's services,
# the bus driver among them; they inherit the error channel of wineboot,
# which goes to the results.
start_wine() {
    local start
    start=$(now_cs)
    progress "starting wine"
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    WINEDEBUG=err+all wineserver -p </dev/null >/dev/null 2>&1
    WINEDEBUG=err+all wineboot </dev/null >/dev/null 2>>"$results/wine-services.log"
    wine cmd /c exit </dev/null >/dev/null 2>&1
    note "wine ready after $(($(now_cs) - start))0 ms"
}

# median N...: the middle value (the lower of the two middle ones).
median() { printf '%s\n' "$@" | sort -n | sed -n "$(((${#} + 1) / 2))p"; }

# Round trips through the session stack under wine and natively, on the same
# device, in turns; the CPU time of a get that waits 5 s for a device that
# never answers.
performance() {
    progress performance
    local served i wine_rates=() linux_rates=() rate
    DeviceEmulator --serve --uhid >"$work/perf.ready" 2>"$work/perf.err" &
    served=$!
    for ((i = 0; i < 200; i++)); do
        [ -s "$work/perf.ready" ] && break
        sleep 0.05
    done
    if ! wait_wine_lists_devices; then
        fail round-trips "$work/perf.err" "$work/listed"
    else
        for ((i = 0; i < 3; i++)); do
            rate=$(wine "$win_session_round_trips" 500 </dev/null 2>"$work/perf.err" | tr -d '\r' |
                awk '/^round-trips\/s / { print $2 }')
            wine_rates+=("${rate:-0}")
            rate=$(session_round_trips 500 2>>"$work/perf.err" | awk '/^round-trips\/s / { print $2 }')
            linux_rates+=("${rate:-0}")
        done
        local wine_median linux_median
        wine_median=$(median "${wine_rates[@]}")
        linux_median=$(median "${linux_rates[@]}")
        if [ "$wine_median" -gt 0 ] && [ "$linux_median" -gt 0 ]; then
            pass round-trips
            perf "key-lock round trips/s on one uhid device, 3 runs of 500 each in turns (median):" \
                "KeyConfig.exe's stack under wine $wine_median (${wine_rates[*]}), Linux build $linux_median" \
                "(${linux_rates[*]}), wine/Linux $(awk -v w="$wine_median" -v l="$linux_median" 'BEGIN { printf "%.2f", w / l }')"
        else
            fail round-trips "$work/perf.err"
        fi
    fi
    kill -TERM $served 2>/dev/null
    wait $served 2>/dev/null
    forget_devices "$work/perf.err" || fail devices-gone-after-round-trips "$work/perf.err"

    # A device that never answers: the get waits its whole time-out.
    local line
    emulate "$work/trace" --misbehave silent -- startup + wait
    for which in wine linux; do
        if [ $which = wine ]; then
            line=$(grep '^result ' "$work/wait.wine" 2>/dev/null)
        else
            line=$(grep '^result ' "$work/wait.linux" 2>/dev/null)
        fi
        if [[ "$line" == "result -7 "* ]]; then
            pass "silent-device-wait/$which"
            perf "a key-lock get waiting for a silent device ($which): $line"
        else
            echo "$line" >"$work/why"
            fail "silent-device-wait/$which" "$work/why" "$work/trace"
        fi
    done
    perf "KeyConfig.exe -help under wine (start-up alone): CPU $(cat "$work/help-cpu-ms" 2>/dev/null) ms (process)"
}

{
    echo "GUEST START" >&3
    start=$(now_cs)
    mkdir -p /run/udev
    ln -sf "$udevd" "$work/systemd-udevd"
    if "$work/systemd-udevd" --daemon >"$work/udevd.log" 2>&1; then
        pass udev-daemon
    else
        fail udev-daemon "$work/udevd.log"
    fi
    start_wine

    for part in $parts; do
        case $part in
        keyconfig) keyconfig_cases ;;
        devicecommand) devicecommand_cases ;;
        firmware) firmware_cases ;;
        platform) platform_cases ;;
        performance) performance ;;
        *) note "no part $part" ;;
        esac
    done

    wineserver -k >/dev/null 2>&1
    note "tests took $(($(now_cs) - start))0 ms"
    echo "GUEST DONE" >&3
}
