#!/usr/bin/env bash
# Runs the Windows build (mingw-w64, build/mingw) under wine inside a qemu
# guest, against DeviceEmulator --uhid (the Linux build's emulator): wine's
# own HID stack (its bus driver's hidraw backend, its HID class driver and
# report parser) carries the traffic between the Windows programs and kernel
# HID devices. The guest boots the same cached kernel as run-guest-tests.sh
# and mounts the host's root read-only over virtio-9p, with a tmpfs overlay
# on top, so that wine and every other program of the host are there.
#
#   hostapp/tests/kernel/run-wine-guest-tests.sh [BUILD_DIR]
#
# BUILD_DIR (default build/guest) is the guest build of run-guest-tests.sh:
# its kernel cache and its statically linked Linux programs (DeviceEmulator,
# FwImage, session_round_trips). The Windows programs come from the mingw
# build (AZK_MINGW_BUILD, default build/mingw), which is configured and
# built here as far as needed. The wine prefix, Debian's udev (downloaded and
# unpacked, never installed: the guest runs its daemon so that wine sees
# devices made after it started) and the results live in build/wine-guest.
# Missing tools (qemu-system-x86, busybox-static, cpio, xz-utils, wine,
# wine64, g++-mingw-w64-x86-64-posix) are installed with apt-get.
#
# Prints one line per test result, the measurements, and at the end
# "N passed, N failed"; exits non-zero on any failure. A guest that does not
# power off within AZK_WINE_GUEST_TIMEOUT seconds (default 900) is ended and
# counts as a failure. AZK_WINE_GUEST_PARTS picks the parts to run and their
# order, from "firmware keyconfig devicecommand platform performance" (all, by
# default).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../../.." && pwd)
build=${1:-$repo/build/guest}
mkdir -p "$build"
build=$(cd "$build" && pwd)
mingw=${AZK_MINGW_BUILD:-$repo/build/mingw}
stage_dir=$repo/build/wine-guest
guest_timeout=${AZK_WINE_GUEST_TIMEOUT:-900}

# shellcheck source=hostapp/tests/kernel/guest-common.sh
. "$here/guest-common.sh"

# ------------------------------------------------------------ tools

need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
dpkg -s busybox-static >/dev/null 2>&1 || need+=(busybox-static)
command -v cpio >/dev/null || need+=(cpio)
command -v xz >/dev/null || need+=(xz-utils)
command -v wine >/dev/null && command -v wineserver >/dev/null || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
guest_install "${need[@]}"

# ------------------------------------------------------------ kernel

guest_fetch_kernel "$build/kernel"
modules=("${guest_share_modules[@]}" "${guest_hid_modules[@]}")

# ------------------------------------------------------------ programs

linux_programs=(DeviceEmulator FwImage session_round_trips)
guest_configure "$build" ""
guest_build "$build" "${linux_programs[@]}"

windows_programs=(KeyConfig FwUpdate DeviceCommand session_round_trips hid_interfaces azk_win32_platform_tests)
if [ ! -f "$mingw/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$mingw" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DAZK_BUILD_BENCH=OFF \
        -DAZK_WARNINGS_AS_ERRORS=ON >"$stage_dir.configure.log" 2>&1 ||
        { cat "$stage_dir.configure.log" >&2; guest_die "cannot configure $mingw"; }
fi
cmake --build "$mingw" --target "${windows_programs[@]}" -j"${AZK_GUEST_JOBS:-2}" >"$build/mingw-build.log" 2>&1 ||
    { tail -n 60 "$build/mingw-build.log" >&2; guest_die "cannot build ${windows_programs[*]} in $mingw"; }
# Each program's path, by its name.
exe() { find "$mingw/hostapp" -name "$1.exe" -type f | head -n 1; }

# ------------------------------------------------------------ udev

mkdir -p "$stage_dir"
udev_version=$(apt-cache policy udev 2>/dev/null | awk '/Candidate:/ && !n++ { print $2 }')
if [ -z "$udev_version" ] || [ "$udev_version" = "(none)" ]; then
    apt-get update -qq
    udev_version=$(apt-cache policy udev 2>/dev/null | awk '/Candidate:/ && !n++ { print $2 }')
fi
if [ -z "$udev_version" ] || [ "$udev_version" = "(none)" ]; then guest_die "apt knows no udev package"; fi
udev=$stage_dir/udev/${udev_version//[:~]/_}
if [ ! -x "$udev/bin/udevadm" ]; then
    guest_say "fetching udev $udev_version"
    rm -rf "$stage_dir/udev"
    mkdir -p "$stage_dir/udev/fetch"
    (cd "$stage_dir/udev/fetch" && apt-get download -q udev >download.log 2>&1) ||
        (apt-get update -qq && cd "$stage_dir/udev/fetch" && apt-get download -q udev >download.log 2>&1) ||
        { cat "$stage_dir/udev/fetch/download.log" >&2; guest_die "cannot download udev"; }
    dpkg-deb -x "$stage_dir"/udev/fetch/*.deb "$udev"
    rm -rf "$stage_dir/udev/fetch"
    [ -x "$udev/bin/udevadm" ] || guest_die "no udevadm in the udev package"
fi

# ------------------------------------------------------------ wine prefix

# Made on the host, where it takes seconds instead of minutes. Wine's bus
# driver starts its udev (hidraw) backend only with SDL switched off.
prefix=$stage_dir/wineprefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/.hidraw-ready" ]; then
    guest_say "creating the wine prefix $prefix"
    rm -rf "$prefix"
    mkdir -p "$prefix"
    (
        export WINEPREFIX=$prefix
        trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
        # Wine without address-space randomisation (see tools/test-windows.sh).
        setarch -R wineboot -i </dev/null >/dev/null 2>&1
        setarch -R wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f \
            </dev/null >/dev/null 2>&1
        wineserver -w
    ) || guest_die "cannot make the wine prefix"
    grep -q '"Enable SDL"=dword:00000000' "$prefix/system.reg" || guest_die "the wine prefix keeps SDL on"
    touch "$prefix/.hidraw-ready"
fi

# ------------------------------------------------------------ initramfs

results=$stage_dir/results
rm -rf "$results"
mkdir -p "$results"
stage=$stage_dir/initramfs
rm -rf "$stage"
mkdir -p "$stage"/{bin,dev,proc,sys,mnt,lib/modules}
cp /bin/busybox "$stage/bin/busybox"
for module in "${modules[@]}"; do cp "$kernel/$module.ko" "$stage/lib/modules/"; done
echo "${modules[*]}" >"$stage/modules"
cp "$here/wine-guest-init.sh" "$stage/init"
# The guest reads its scripts from copies, which stay as they are while the
# guest runs.
scripts=$stage_dir/scripts
rm -rf "$scripts"
mkdir -p "$scripts"
cp "$here/wine-guest-tests.sh" "$here/keyconfig-texts.sh" "$scripts/"
# What the tests inside need to know, as shell assignments.
{
    echo "repo=$repo"
    echo "results=$results"
    echo "parts='${AZK_WINE_GUEST_PARTS:-firmware keyconfig devicecommand platform performance}'"
    echo "tests=$scripts/wine-guest-tests.sh"
    echo "export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='"
    echo "udevd=$udev/bin/udevadm"
    echo "linux_bin=$build/bin"
    for program in "${windows_programs[@]}"; do
        path=$(exe "$program")
        [ -n "$path" ] || guest_die "no $program.exe in $mingw"
        echo "win_$program=$path"
    done
    # The Windows programs and the emulator must agree on the IDs.
    vendor=$(guest_cache_id "$build" AZK_VENDOR_ID 1209)
    product=$(guest_cache_id "$build" AZK_PRODUCT_ID 0001)
    [ "$vendor:$product" = "$(guest_cache_id "$mingw" AZK_VENDOR_ID 1209):$(guest_cache_id "$mingw" AZK_PRODUCT_ID 0001)" ] ||
        guest_die "$build and $mingw are configured with different device IDs"
    echo "VENDOR=$vendor"
    echo "PRODUCT=$product"
} >"$stage/config"
chmod 755 "$stage/init" "$stage/bin/busybox"
(cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$stage_dir/initramfs.cpio"

# ------------------------------------------------------------ guest

console=$stage_dir/console.log
guest_say "booting $(basename "$kernel") with wine under qemu, at most ${guest_timeout}s"
status=0
timeout -k 5 "$guest_timeout" qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -m 3072 -cpu max,-smap \
    -nographic -no-reboot -nic none \
    -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -fsdev local,id=results,path="$results",security_model=none \
    -device virtio-9p-pci,fsdev=results,mount_tag=results \
    -kernel "$kernel/vmlinux" -initrd "$stage_dir/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet" </dev/null >"$console.raw" 2>&1 || status=$?
tr -d '\r' <"$console.raw" >"$console"
rm -f "$console.raw"

touch "$results/results.txt"
finished=0
grep -q '^GUEST DONE$' "$results/results.txt" && finished=1
guest_report "$results/results.txt" "$finished" "$status" "$guest_timeout" "$console"
