#!/usr/bin/env bash
# The Windows build: cross-compiles every target with mingw-w64 (preset
# "mingw", folder build/mingw) and runs its tests under wine, in a wine
# prefix of the build folder's own. Installs what it needs when missing.
#   tools/test-windows.sh
set -euo pipefail
# Wine maps its shared user data at a fixed address, which the kernel's
# address-space randomisation takes now and then: that start fails at once
# with nothing printed. This script, and every wine process it starts, runs
# without the randomisation (setarch -R, inherited). Started again before
# the cd below, while "$0" still names it from where it was called.
[ $((0x$(cat /proc/self/personality) & 0x40000)) != 0 ] || exec setarch -R bash "$0" "$@"
cd "$(dirname "$0")/.."
echo "=== mingw (Windows build, tests under wine)"

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null && command -v wineserver >/dev/null || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

jobs=$(nproc)
cmake --preset mingw -DAZK_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build --preset mingw -j"$jobs"

# The prefix the build's test commands use (see cmake/mingw-w64-x86_64.cmake).
WINEPREFIX=$(sed -n 's/^AZK_WINEPREFIX:PATH=//p' build/mingw/CMakeCache.txt)
[ -n "$WINEPREFIX" ] || WINEPREFIX="$PWD/build/mingw/wineprefix"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Only this prefix's server is stopped, whatever happens below.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "=== creating the wine prefix $WINEPREFIX"
  # The first start installs wine's virtual HID devices; they are present
  # from the next start on, so this one is let end.
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
# A server that stays up for the whole run, warmed up with standard input
# and output away from ctest: wine's helper processes would otherwise keep
# ctest's pipes open after every test.
if ! wineserver -p </dev/null >/dev/null 2>&1; then
  echo "test-windows.sh: a wine server for $WINEPREFIX is running already (another run?);" >&2
  echo "  stop it with: WINEPREFIX='$WINEPREFIX' wineserver -k" >&2
  trap - EXIT  # it is not this run's to stop
  exit 2
fi
wineboot </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1

ctest --preset mingw -j"$jobs"
