#!/usr/bin/env bash
# DeviceCommand.exe as a process under wine, seen from the Linux shell, where
# no speakerphone is (wine's virtual mouse and keyboard have another vendor
# ID): the exit statuses, and standard output and error byte for byte as the
# Linux build writes them (UTF-8, LF line ends), JSON documents included.
#
#   DeviceCommandUnderWine.sh DeviceCommand.exe VENDOR_ID EMULATOR...
#
# EMULATOR is how a Windows program is run (env ... wine). The wine server of
# the prefix should be running already (tools/test-windows.sh starts it).
set -u
exe=$1
vendor=$(printf '0x%04X' "$(($2))")
shift 2
emulator=("$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# check NAME STATUS STDOUT STDERR WORD...: runs the tool with the words and
# compares its exit status, standard output and standard error exactly. The
# words reach wine as UTF-8 (C.UTF-8 locale).
check() {
  local name=$1 want_status=$2 want_out=$3 want_err=$4
  shift 4
  local status=0
  LC_ALL=C.UTF-8 "${emulator[@]}" "$exe" "$@" </dev/null >"$work/out" 2>"$work/err" || status=$?
  [ "$status" = "$want_status" ] || fail "$name: exit status $status, not $want_status"
  if [ "$(cat "$work/out"; printf x)" != "${want_out}x" ]; then
    fail "$name: standard output differs:"
    od -c "$work/out" | head -20
  fi
  if [ "$(cat "$work/err"; printf x)" != "${want_err}x" ]; then
    fail "$name: standard error differs:"
    od -c "$work/err" | head -20
  fi
}

nl=$'\n'
no_session="no session: no usable device of variant"

check "list" 0 "no HID interface with vendor ID $vendor$nl" "" list

check "--json list" 0 '{
  "ok": true,
  "command": "list",
  "devices": [],
  "count": 0
}
' "" --json list

check "--json keylock show" 3 '{
  "ok": false,
  "command": "keylock show",
  "error": {
    "result": -4,
    "name": "CONNECTION",
    "message": "'"$no_session"' 1 at index 0 (see '"'DeviceCommand list'"')"
  },
  "exitStatus": 3
}
' "" --json keylock show

check "keylock apply, no device" 3 "" \
  "DeviceCommand: $no_session 2 at index 1 (see 'DeviceCommand list') [-4 CONNECTION]$nl" \
  --variant 2 --index 1 keylock apply --lock Call VolUp --se on

# A word out of ASCII comes back in the JSON as the same UTF-8 text.
check "--json usage error" 2 '{
  "ok": false,
  "error": {
    "result": -2,
    "name": "PARAMETER",
    "message": "--lock: Käse not in {Bluetooth,Call,MicMute,VolDown,VolUp,SpMute}"
  },
  "exitStatus": 2
}
' "" --json keylock set --lock Käse --se on

check "usage error" 2 "" \
  "DeviceCommand: The following argument was not expected: frob${nl}Run 'DeviceCommand --help' for the usage.$nl" \
  keylock show frob

# Every input is checked before a device is looked for.
check "exec of a command that is not a catalogue command" 2 "" \
  "DeviceCommand: exec: command 64 is not a catalogue command (27 does not exist; 29/30 are 'keylock', 64 is the firmware update, 82 is 'raw', 51/52/55/56/77/78 are 'read-block'/'write-block')${nl}Run 'DeviceCommand --help' for the usage.$nl" \
  exec 64

# Standard output that cannot be written (a full disk) is a failure of its
# own, said on standard error.
if [ -w /dev/full ]; then
  status=0
  LC_ALL=C.UTF-8 "${emulator[@]}" "$exe" list </dev/null >/dev/full 2>"$work/err" || status=$?
  [ "$status" = 8 ] || fail "list to a full disk: exit status $status, not 8"
  if [ "$(cat "$work/err"; printf x)" != "DeviceCommand: cannot write standard output${nl}x" ]; then
    fail "list to a full disk: standard error differs:"
    od -c "$work/err" | head -20
  fi
else
  echo "note: no /dev/full, the check of a full disk is left out"
fi

# On a console the text goes out as UTF-16 (WriteConsoleW). Wine run on a
# terminal (a pty from script) gives the program console handles and draws
# what it writes on the terminal, with cursor moves of its own, so only the
# word is looked for: written as bytes instead, it would read as the console
# code page's characters for its UTF-8 ("K├▒se").
if command -v script >/dev/null; then
  status=0
  LC_ALL=C.UTF-8 script -qec "$(printf '%q ' "${emulator[@]}" "$exe" keylock set --lock Käse --se on)" /dev/null \
    </dev/null >"$work/tty" 2>&1 || status=$?
  [ "$status" = 2 ] || fail "usage error on a console: exit status $status, not 2"
  grep -q 'Käse not in' "$work/tty" || { fail "usage error on a console: no 'Käse not in'"; od -c "$work/tty" | head -20; }
else
  echo "note: no script(1), the console check is left out"
fi

# The help: the exit statuses, and no CR anywhere.
LC_ALL=C.UTF-8 "${emulator[@]}" "$exe" --help </dev/null >"$work/out" 2>/dev/null
status=$?
[ "$status" = 0 ] || fail "--help: exit status $status, not 0"
grep -q $'\r' "$work/out" && fail "--help: a CR in the output"
for line in "  0  done" "  3  no session: no such device, or it cannot be opened (see 'list')" \
            "  8  a file could not be read or written"; do
  grep -qxF "$line" "$work/out" || fail "--help: no line '$line'"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "DeviceCommand.exe under wine: no-device, JSON, usage, full-disk and help checks passed"
