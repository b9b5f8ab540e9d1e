#!/usr/bin/env bash
# The installed tree and the packages, as a user gets them.
#
#   tools/test-install.sh [linux]   (after tools/test.sh default)
#     - installs build/default into a staging prefix and builds the C example
#       (examples/session-c) against it four ways: CMake find_package and
#       pkg-config, each with the shared and the static library; checks what
#       each program links and runs it against the installed DeviceEmulator;
#     - makes the Debian package with cpack, compares its file list with the
#       expected one, installs it with dpkg -i, runs its KeyConfig against its
#       DeviceEmulator and builds the example against /usr; removes it again.
#   tools/test-install.sh windows   (after tools/test-windows.sh)
#     - makes the Windows ZIP from build/mingw, compares its file list, and
#       builds the C example against the unpacked ZIP with mingw-w64 and runs
#       it under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=${1:-linux}
version=$(sed -n 's/^project(KeyConfig VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
example=$root/examples/session-c
work=$(mktemp -d)
cleanup=()
trap 'for c in "${cleanup[@]}"; do eval "$c" || true; done; rm -rf "$work"' EXIT

failures=0
pass() { echo "ok   $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# expect_run NAME STATUS EXPECTED_STDOUT COMMAND...: runs the command, compares
# its exit status and standard output exactly.
expect_run() {
  local name=$1 want_status=$2 want_out=$3
  shift 3
  local status=0
  "$@" >"$work/out" 2>"$work/err" </dev/null || status=$?
  if [ "$status" = "$want_status" ] && [ "$(cat "$work/out"; echo x)" = "${want_out}x" ]; then
    pass "$name"
  else
    fail "$name: status $status (expected $want_status)"
    echo "--- stdout"; cat "$work/out"; echo "--- expected"; printf '%s' "$want_out"
    echo "--- stderr"; cat "$work/err"
  fi
}

# expect_list NAME EXPECTED_FILE ACTUAL_FILE: two sorted file lists, equal.
expect_list() {
  if diff -u "$2" "$3" >"$work/diff"; then
    pass "$1: $(wc -l <"$3") files as expected"
  else
    fail "$1: file list differs (- expected, + package)"
    cat "$work/diff"
  fi
}

# The tools both packages hold; the Debian package adds DeviceEmulator,
# which the Windows build does not have.
tools="KeyConfig FwUpdate FwImage DeviceCommand"

keyconfig_text=$'\ncurrent key configs : \n  locked key = \n    Call\n    VolUp\n    SpMute\n  se = on\n\nok : completed\n'

linux() {
  local build=build/default
  [ -x "$build/hostapp/src/win/KeyConfig/KeyConfig" ] || { echo "build $build first (tools/test.sh default)"; exit 1; }
  local stage=$work/stage
  echo "=== installed tree ($stage)"
  cmake --install "$build" --prefix "$stage" >/dev/null
  local emulator=$stage/bin/DeviceEmulator

  # way, linking, lock mask, SE flag: each program sees its own configuration.
  local way link mask se
  while read -r way link mask se; do
    local exe=$work/$way/keylock
    mkdir -p "$work/$way"
    case $way in
      cmake-*)
        local static=OFF
        [ "$link" = static ] && static=ON
        cmake -S "$example" -B "$work/$way" -DCMAKE_PREFIX_PATH="$stage" -DKEYLOCK_STATIC=$static \
              -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/$way.log" 2>&1 &&
          cmake --build "$work/$way" >>"$work/$way.log" 2>&1 || { fail "$way: build"; cat "$work/$way.log"; continue; }
        ;;
      pkgconfig-*)
        local flags
        if [ "$link" = static ]; then
          flags=$(PKG_CONFIG_PATH=$stage/lib/pkgconfig pkg-config --static --cflags --libs keyconfig-session)
          flags="$flags -static"
        else
          flags=$(PKG_CONFIG_PATH=$stage/lib/pkgconfig pkg-config --cflags --libs keyconfig-session)
          flags="$flags -Wl,-rpath,$stage/lib"
        fi
        # shellcheck disable=SC2086
        cc -std=c11 -Wall -Wextra -Werror "$example/keylock.c" -o "$exe" $flags >"$work/$way.log" 2>&1 ||
          { fail "$way: build"; cat "$work/$way.log"; continue; }
        ;;
    esac
    # A shared build loads the staged library; a static one needs none.
    local loaded
    # (ldd fails on a static program: nothing loaded)
    loaded=$({ ldd "$exe" 2>&1 || true; } | sed -n 's/^[[:space:]]*libkeyconfig-session\.so\.0 => \([^ ]*\).*/\1/p')
    if [ "$link" = shared ] && [ "$loaded" != "$stage/lib/libkeyconfig-session.so.0" ]; then
      fail "$way: loads '$loaded', not the installed library"
    elif [ "$link" = static ] && [ -n "$loaded" ]; then
      fail "$way: a static build loads $loaded"
    fi
    local mask_hex text
    printf -v mask_hex '0x%04X' "$mask"
    text="lock mask $mask_hex, sound effect $([ "$se" = 1 ] && echo on || echo off)"$'\n'
    expect_run "$way: keylock against the emulator" 0 "$text" \
      "$emulator" --lock-mask "$mask" --se "$se" -- "$exe"
  done <<'EOF'
cmake-shared shared 0x2D 1
cmake-static static 0x7F 0
pkgconfig-shared shared 0x03 1
pkgconfig-static static 0x40 0
EOF

  echo "=== Debian package"
  rm -rf "$build/packages"
  (cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack DEB"; return; }
  local arch deb
  arch=$(dpkg --print-architecture)
  deb=$build/packages/keyconfig_${version}_${arch}.deb
  [ -f "$deb" ] || { fail "no $deb"; ls "$build/packages"; return; }
  local config
  config=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt" | tr '[:upper:]' '[:lower:]')
  {
    for t in $tools DeviceEmulator; do echo "./usr/bin/$t"; done
    echo ./usr/include/keyconfig/SessionApi.h
    echo ./usr/lib/libkeyconfig-session.a
    echo ./usr/lib/libkeyconfig-session.so
    echo ./usr/lib/libkeyconfig-session.so.0
    echo "./usr/lib/libkeyconfig-session.so.$version"
    echo ./usr/lib/cmake/KeyConfig/KeyConfigConfig.cmake
    echo ./usr/lib/cmake/KeyConfig/KeyConfigConfigVersion.cmake
    echo ./usr/lib/cmake/KeyConfig/KeyConfigTargets.cmake
    echo "./usr/lib/cmake/KeyConfig/KeyConfigTargets-${config:-noconfig}.cmake"
    echo ./usr/lib/pkgconfig/keyconfig-session.pc
    echo ./usr/lib/udev/rules.d/70-keyconfig.rules
  } | sort >"$work/deb.expected"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/deb.actual"
  expect_list "$(basename "$deb")" "$work/deb.expected" "$work/deb.actual"

  [ "$(dpkg-deb -f "$deb" Package)" = keyconfig ] && [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] &&
    pass "control: package keyconfig, version $version" || fail "control: $(dpkg-deb -f "$deb" Package Version)"
  dpkg-deb -e "$deb" "$work/control"
  grep -q 'udevadm control --reload' "$work/control/postinst" && pass "postinst reloads udev" || fail "postinst: no udev reload"
  grep -qs ldconfig "$work/control/triggers" && pass "ldconfig trigger" || fail "no ldconfig trigger"

  echo "=== dpkg -i"
  if [ "$(dpkg-query -W -f='${Status}' keyconfig 2>/dev/null)" = "install ok installed" ]; then
    fail "keyconfig is installed already; not touching it"
    return
  fi
  if ! dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    fail "dpkg -i"; cat "$work/dpkg.log"; dpkg --purge keyconfig >/dev/null 2>&1 || true; return
  fi
  cleanup+=("dpkg --purge keyconfig >/dev/null 2>&1")
  pass "dpkg -i $(basename "$deb")"
  expect_run "installed KeyConfig -require against the installed DeviceEmulator" 0 "$keyconfig_text" \
    /usr/bin/DeviceEmulator --lock-mask 0x2D --se 1 -- /usr/bin/KeyConfig -require
  # Through a file, not a pipe: grep -q leaves at its first match, and with pipefail the ldconfig that is still
  # writing a listing of over 64 KiB then dies of SIGPIPE and fails the check.
  ldconfig -p >"$work/ldcache"
  grep -q 'libkeyconfig-session.so.0 ' "$work/ldcache" && pass "ldconfig knows libkeyconfig-session.so.0" ||
    fail "libkeyconfig-session.so.0 not in the linker cache"
  # The package's own development files, from their usual places.
  [ "$(pkg-config --modversion keyconfig-session)" = "$version" ] && pass "pkg-config finds version $version" ||
    fail "pkg-config --modversion keyconfig-session"
  # (The static library as packed: cpack strips what it installs.)
  local flags link
  for link in shared static; do
    if [ $link = static ]; then
      flags="$(pkg-config --static --cflags --libs keyconfig-session) -static"
    else
      flags=$(pkg-config --cflags --libs keyconfig-session)
    fi
    # shellcheck disable=SC2086
    if cc -std=c11 "$example/keylock.c" -o "$work/keylock-usr-$link" $flags 2>"$work/usr.log"; then
      expect_run "example against /usr (pkg-config, $link)" 0 $'lock mask 0x0015, sound effect off\n' \
        /usr/bin/DeviceEmulator --lock-mask 0x15 --se 0 -- "$work/keylock-usr-$link"
    else
      fail "example against /usr (pkg-config, $link): build"; cat "$work/usr.log"
    fi
  done
  if cmake -S "$example" -B "$work/usr-cmake" >"$work/usr-cmake.log" 2>&1 &&
     cmake --build "$work/usr-cmake" >>"$work/usr-cmake.log" 2>&1; then
    expect_run "example against /usr (find_package)" 0 $'lock mask 0x0011, sound effect on\n' \
      /usr/bin/DeviceEmulator --lock-mask 0x11 --se 1 -- "$work/usr-cmake/keylock"
  else
    fail "example against /usr (find_package): build"; cat "$work/usr-cmake.log"
  fi
  dpkg --purge keyconfig >/dev/null 2>&1 && pass "dpkg --purge" || fail "dpkg --purge"
  [ ! -e /usr/bin/KeyConfig ] && [ ! -e /usr/lib/libkeyconfig-session.so.0 ] || fail "dpkg --purge left files behind"
}

windows() {
  local build=build/mingw
  [ -f "$build/hostapp/src/win/KeyConfig/KeyConfig.exe" ] || { echo "build $build first (tools/test-windows.sh)"; exit 1; }
  echo "=== Windows ZIP"
  rm -rf "$build/packages"
  (cd "$build" && cpack -G ZIP >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack ZIP"; return; }
  local name=keyconfig-${version}-win64
  local zip=$build/packages/$name.zip
  [ -f "$zip" ] || { fail "no $zip"; ls "$build/packages"; return; }
  {
    for t in $tools; do echo "$name/bin/$t.exe"; done
    echo "$name/bin/libkeyconfig-session.dll"
    echo "$name/lib/libkeyconfig-session.dll.a"
    echo "$name/include/keyconfig/SessionApi.h"
  } | sort >"$work/zip.expected"
  unzip -Z1 "$zip" | grep -v '/$' | sort >"$work/zip.actual"
  expect_list "$(basename "$zip")" "$work/zip.expected" "$work/zip.actual"

  # The C example against the unpacked ZIP: header, import library, DLL.
  unzip -q "$zip" -d "$work"
  local tree=$work/$name
  if x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror "$example/keylock.c" -I"$tree/include" \
       -L"$tree/lib" -lkeyconfig-session -o "$tree/bin/keylock.exe" 2>"$work/mingw.log"; then
    pass "example links against the ZIP's import library"
  else
    fail "example against the ZIP: build"; cat "$work/mingw.log"; return
  fi
  local dlls
  dlls=$(x86_64-w64-mingw32-objdump -p "$tree/bin/keylock.exe" | sed -n 's/.*DLL Name: //p' | tr '\n' ' ')
  [[ " $dlls" == *" libkeyconfig-session.dll "* ]] && pass "example imports libkeyconfig-session.dll" ||
    fail "example imports: $dlls"
  # Under wine, where no speakerphone is: the DLL loads, SessionCreate finds
  # none, the example says so.
  WINEPREFIX=$(sed -n 's/^AZK_WINEPREFIX:PATH=//p' "$build/CMakeCache.txt")
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  cleanup+=("wineserver -k >/dev/null 2>&1")
  local status=0
  # Wine without address-space randomisation (see tools/test-windows.sh).
  setarch -R wine "$tree/bin/keylock.exe" >"$work/out" 2>"$work/err" </dev/null || status=$?
  if [ "$status" = 2 ] && grep -q 'no speakerphone found' "$work/err"; then
    pass "example runs under wine with the ZIP's DLL"
  else
    fail "example under wine: status $status"; cat "$work/out" "$work/err"
  fi
  # The ZIP's DeviceCommand.exe needs nothing beside it: no speakerphone, exit
  # status 3 and the JSON document that says so.
  expect_run "the ZIP's DeviceCommand.exe under wine" 3 '{
  "ok": false,
  "command": "keylock show",
  "error": {
    "result": -4,
    "name": "CONNECTION",
    "message": "no session: no usable device of variant 1 at index 0 (see '"'DeviceCommand list'"')"
  },
  "exitStatus": 3
}
' setarch -R wine "$tree/bin/DeviceCommand.exe" --json keylock show
}

case $mode in
  linux) linux ;;
  windows) windows ;;
  *) echo "usage: tools/test-install.sh [linux|windows]"; exit 2 ;;
esac
echo "$failures failed"
[ "$failures" -eq 0 ]
