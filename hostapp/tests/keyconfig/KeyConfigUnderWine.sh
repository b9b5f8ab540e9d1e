#!/usr/bin/env bash
# KeyConfig.exe as a process under wine, seen from the Linux shell: its
# standard output is CP932 text with CRLF line ends, and its exit status is
# the low byte of the result code.
#
#   KeyConfigUnderWine.sh KeyConfig.exe WORK_DIR EMULATOR...
#
# EMULATOR is how a Windows program is run (env ... wine). The wine server of
# the prefix should be running already (tools/test-windows.sh starts it).
# No device with the speakerphone's IDs exists under wine, whether or not
# wine's virtual mouse and keyboard are there.
set -u
exe=$1
work=$2
shift 2
emulator=("$@")

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs KeyConfig.exe (or the copy given by $program) with the words given;
# sets $status and $text (the output as UTF-8, CRLF line ends checked and
# turned into LF).
program=$exe
run() {
  local raw="$work/keyconfig_raw.txt"
  "${emulator[@]}" "$program" "$@" </dev/null >"$raw" 2>/dev/null
  status=$?
  if [ "$(grep -c $'\r$' "$raw")" != "$(wc -l <"$raw")" ]; then
    fail "KeyConfig $*: a line does not end in CRLF"
  fi
  if ! text=$(iconv -f CP932 -t UTF-8 <"$raw" | tr -d '\r'; printf x); then
    fail "KeyConfig $*: the output is not CP932"
  fi
  text=${text%x}
}

usage() {
  local name=$1
  printf '\n'
  printf '%s [ver.0.90] (build date : BUILD)\n' "$name"
  printf 'Copyright (C) 2026 The KeyConfig Project\n\nUsage : \n'
  printf '  %s <command> [prm] ... \n\n' "$name"
  printf '<command> = \n'
  printf '  -help : print this usage.\n'
  printf '  -require : get current key configs.\n'
  printf '  -reset : reset to default about key configs.\n'
  printf '  -lock [key] : lock specified keys (multiple entries allowed).\n'
  printf '     [key] = \n'
  printf '       "%s"\n' Bluetooth Call MicMute VolDown VolUp SpMute
  printf '  -se [onoff] : select whether playing SE when pushed locked key.\n'
  printf '     [onoff] = \n'
  printf '       "%s"\n' on off
  printf '\n(e.g.) To lock "Bluetooth" key, execute the following command. \n'
  printf '%s -lock Bluetooth -se on\n' "$name"
}

# The build date and time in the first line are the compiler's: checked for
# their form, then replaced.
build='(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]'
without_build() {  # LINE TEXT
  printf '%s' "$2" | sed -E "$1s/\\(build date : $build\\)\$/(build date : BUILD)/"
}

# The usage text, exit status 0.
run -help
[ "$status" = 0 ] || fail "-help: exit status $status, not 0"
[ "$(without_build 2 "$text"; printf x)" = "$(usage KeyConfig; printf x)" ] ||
  fail "-help: usage text differs:"$'\n'"$text"

# No speakerphone: a connection error, -4 as the exit status 252.
run -require
[ "$status" = 252 ] || fail "-require: exit status $status, not 252"
[ "$text" = $'\nerror : connection error\n' ] || fail "-require: output differs:"$'\n'"$text"

# A program path too long for the program name buffer: the Japanese message,
# then the usage with an empty program name.
long="$work/keyconfig_long_path"
for part in 1 2 3; do long="$long/$(printf 'p%.0s' $(seq 1 90))"; done
mkdir -p "$long" && cp "$exe" "$long/KeyConfig.exe" || fail "cannot copy KeyConfig.exe to $long"
program="$long/KeyConfig.exe"
run -help
[ "$status" = 0 ] || fail "long path -help: exit status $status, not 0"
[ "$(without_build 3 "$text"; printf x)" = "$(printf '初期化に失敗しました。\n'; usage ''; printf x)" ] ||
  fail "long path -help: output differs:"$'\n'"$text"
rm -rf "$work/keyconfig_long_path" "$work/keyconfig_raw.txt"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "KeyConfig.exe under wine: usage, no-device and long-path checks passed"
