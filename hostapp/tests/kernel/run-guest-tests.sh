#!/usr/bin/env bash
# Runs the tests that need the real Linux HID stack (uhid, hid-generic,
# hidraw) inside a qemu guest: Debian's stock kernel under TCG, booted
# directly with a small initramfs of busybox, the kernel's three HID modules
# and the project's programs, statically linked.
#
#   hostapp/tests/kernel/run-guest-tests.sh [BUILD_DIR]
#
# BUILD_DIR (default build/guest) holds the static build of the guest's
# programs and, under kernel/, the kernel taken from the current
# linux-image-amd64 package (downloaded and unpacked, never installed) and
# kept until that package changes. Missing tools (qemu-system-x86,
# busybox-static, cpio, xz-utils) are installed with apt-get.
#
# Prints one line per test result, the round-trip measurement, and at the
# end "N passed, N failed"; exits non-zero on any failure. A guest that does
# not power off within AZK_GUEST_TIMEOUT seconds (default 300) is ended and
# counts as a failure. AZK_GUEST_JOBS sets the build's parallel jobs (2).
#
# AZK_GUEST_SANITIZE="address;undefined" or "thread" builds the programs
# with those sanitizers instead (dynamically linked, their libraries copied
# into the guest; default BUILD_DIR build/guest-asan or build/guest-tsan).
#
# AZK_GUEST_BENCH=1 runs only the measurements (round trips against a
# minimal hidraw client, SessionCreate against hid_open), with longer runs,
# from a dynamically linked Release build (default BUILD_DIR
# build/guest-bench): the common C HID library that SessionCreate is measured
# against needs the shared libudev.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../../.." && pwd)
sanitize=${AZK_GUEST_SANITIZE:-}
bench=${AZK_GUEST_BENCH:-}
case "$sanitize" in
"") default_build=$repo/build/guest${bench:+-bench} ;;
thread) default_build=$repo/build/guest-tsan ;;
*) default_build=$repo/build/guest-asan ;;
esac
build=${1:-$default_build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
guest_timeout=${AZK_GUEST_TIMEOUT:-300}

# shellcheck source=hostapp/tests/kernel/guest-common.sh
. "$here/guest-common.sh"

# ------------------------------------------------------------ tools

need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
dpkg -s busybox-static >/dev/null 2>&1 || need+=(busybox-static)
command -v cpio >/dev/null || need+=(cpio)
command -v xz >/dev/null || need+=(xz-utils)
guest_install "${need[@]}"

# ------------------------------------------------------------ kernel

guest_fetch_kernel "$build/kernel"
package=$(basename "$kernel")
modules=("${guest_hid_modules[@]}")

# ------------------------------------------------------------ programs

if [ -n "$sanitize" ]; then memory=1024; else memory=256; fi
programs=(KeyConfig DeviceEmulator kernel_hid_tests kernel_round_trip vhid_tests)
guest_configure "$build" "$sanitize" "$bench"
for tool in FwUpdate FwImage; do
    if guest_has_target "$build" "$tool"; then programs+=("$tool"); fi
done
if [ -n "$bench" ]; then
    guest_has_target "$build" kernel_open_time || guest_die "no kernel_open_time: is libhidapi-dev installed?"
    programs=(DeviceEmulator kernel_round_trip kernel_open_time)
fi
guest_build "$build" "${programs[@]}"

# ------------------------------------------------------------ initramfs

stage=$build/initramfs
rm -rf "$stage"
mkdir -p "$stage"/{bin,dev,proc,sys,tmp,root,test,lib/modules}
cp /bin/busybox "$stage/bin/busybox"
for program in "${programs[@]}"; do
    if [ -n "$sanitize" ] || [ -n "$bench" ]; then
        cp "$build/bin/$program" "$stage/bin/$program"
        # The shared libraries and the loader, at the paths the program names.
        ldd "$build/bin/$program" | grep -o '/[^ ]*' | while read -r library; do
            mkdir -p "$stage$(dirname "$library")"
            cp -L "$library" "$stage$library"
        done
    else
        strip -o "$stage/bin/$program" "$build/bin/$program"
    fi
done
for module in "${modules[@]}"; do cp "$kernel/$module.ko" "$stage/lib/modules/"; done
cp "$here/guest-init.sh" "$stage/init"
cp "$here/guest-tests.sh" "$stage/test/guest-tests.sh"
cp "$here/keyconfig-texts.sh" "$stage/test/keyconfig-texts.sh"
echo "PRODUCT=$(guest_cache_id "$build" AZK_PRODUCT_ID 0001)" >"$stage/test/ids.sh"
if [ -n "$bench" ]; then echo "GUEST_MODE=bench" >>"$stage/test/ids.sh"; fi
# KeyConfig takes the environment's locale when it is UTF-8.
if [ -d /usr/lib/locale/C.utf8 ]; then
    mkdir -p "$stage/usr/lib/locale"
    cp -r /usr/lib/locale/C.utf8 "$stage/usr/lib/locale/"
fi
chmod 755 "$stage/init" "$stage"/bin/* "$stage/test/guest-tests.sh"
chmod 1777 "$stage/tmp"
(cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$build/initramfs.cpio"

# ------------------------------------------------------------ guest

console=$build/console.log
guest_say "booting $package under qemu, at most ${guest_timeout}s"
status=0
# no_timer_check: on a busy host the emulated timer can miss the kernel's
# boot-time check, which then panics ("IO-APIC + timer doesn't work").
timeout -k 5 "$guest_timeout" qemu-system-x86_64 -accel tcg -m "$memory" -nographic -no-reboot -nic none \
    -kernel "$kernel/vmlinux" -initrd "$build/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet no_timer_check" </dev/null >"$console.raw" 2>&1 || status=$?
tr -d '\r' <"$console.raw" >"$console"
rm -f "$console.raw"

finished=0
grep -q '^GUEST DONE$' "$console" && finished=1
guest_report "$console" "$finished" "$status" "$guest_timeout" "$console"
