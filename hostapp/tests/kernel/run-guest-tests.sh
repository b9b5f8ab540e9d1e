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
jobs=${AZK_GUEST_JOBS:-2}

say() { echo "guest-tests: $*" >&2; }
die() {
    say "$*"
    echo "0 passed, 1 failed"
    exit 1
}

# ------------------------------------------------------------ tools

need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
dpkg -s busybox-static >/dev/null 2>&1 || need+=(busybox-static)
command -v cpio >/dev/null || need+=(cpio)
command -v xz >/dev/null || need+=(xz-utils)
if [ ${#need[@]} -gt 0 ]; then
    [ "$(id -u)" = 0 ] || die "missing packages (${need[*]}); install them or run as root"
    say "installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# ------------------------------------------------------------ kernel

# The package that linux-image-amd64 currently points to.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

package=$(kernel_package)
if [ -z "$package" ]; then
    say "apt knows no linux-image-amd64; updating the package lists"
    apt-get update -qq
    package=$(kernel_package)
fi
[ -n "$package" ] || die "cannot resolve linux-image-amd64"

kernels=$build/kernel
kernel=$kernels/$package
modules=(hid hid-generic uhid)
have_kernel() {
    [ -f "$kernel/vmlinux" ] || return 1
    for module in "${modules[@]}"; do [ -f "$kernel/$module.ko" ] || return 1; done
}

if ! have_kernel; then
    say "fetching $package"
    mkdir -p "$kernels"
    scratch=$(mktemp -d "$kernels/fetch.XXXXXX")
    trap 'rm -rf "$scratch"' EXIT
    # Stale package lists may name a version that has left the mirror.
    (cd "$scratch" && apt-get download -q "$package" >download.log 2>&1) ||
        (apt-get update -qq && cd "$scratch" && apt-get download -q "$package" >download.log 2>&1) ||
        { cat "$scratch/download.log" >&2; die "cannot download $package"; }
    patterns=('./boot/vmlinuz-*')
    for module in "${modules[@]}"; do patterns+=("*/kernel/drivers/hid/$module.ko*"); done
    dpkg-deb --fsys-tarfile "$scratch"/*.deb | tar -x -C "$scratch" --wildcards "${patterns[@]}"
    mkdir -p "$scratch/out"
    for module in "${modules[@]}"; do
        file=$(find "$scratch" -path "*/drivers/hid/$module.ko*" -type f | head -n 1)
        case "$file" in
        *.ko) cp "$file" "$scratch/out/$module.ko" ;;
        *.ko.xz) xz -dc "$file" >"$scratch/out/$module.ko" ;;
        *) die "no $module module in $package" ;;
        esac
    done
    # vmlinuz is a self-unpacking bzImage; its xz payload is an ELF vmlinux
    # that qemu boots directly, seconds faster under TCG.
    vmlinuz=$(find "$scratch/boot" -name 'vmlinuz-*' -type f | head -n 1)
    offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
    [ -n "$offset" ] || die "no xz payload in $vmlinuz"
    tail -c +$((offset + 1)) "$vmlinuz" | xz -dc --single-stream >"$scratch/out/vmlinux" 2>/dev/null || true
    [ "$(head -c 4 "$scratch/out/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
        die "the payload of $vmlinuz is no ELF kernel"
    # Only the current kernel is kept.
    find "$kernels" -mindepth 1 -maxdepth 1 ! -path "$scratch" -exec rm -rf {} +
    mv "$scratch/out" "$kernel"
    rm -rf "$scratch"
    trap - EXIT
fi

# ------------------------------------------------------------ programs

if [ -n "$sanitize" ]; then
    flavour=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXE_LINKER_FLAGS= "-DAZK_SANITIZE=$sanitize")
    memory=1024
elif [ -n "$bench" ]; then
    flavour=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS= -DAZK_SANITIZE=)
    memory=256
else
    flavour=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static -DAZK_SANITIZE=)
    memory=256
fi
cmake -S "$here" -B "$build" "${flavour[@]}" -DAZK_WARNINGS_AS_ERRORS=ON >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; die "cannot configure $build"; }
programs=(KeyConfig DeviceEmulator kernel_hid_tests kernel_round_trip vhid_tests)
targets=$(cmake --build "$build" --target help)
for tool in FwUpdate FwImage; do
    if grep -qw "$tool" <<<"$targets"; then programs+=("$tool"); fi
done
if [ -n "$bench" ]; then
    grep -qw kernel_open_time <<<"$targets" || die "no kernel_open_time: is libhidapi-dev installed?"
    programs=(DeviceEmulator kernel_round_trip kernel_open_time)
fi
cmake --build "$build" --target "${programs[@]}" -j"$jobs" >"$build/build.log" 2>&1 ||
    { tail -n 60 "$build/build.log" >&2; die "cannot build ${programs[*]}"; }

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
product=$(sed -n 's/^AZK_PRODUCT_ID:[A-Z]*=0[xX]\([0-9a-fA-F]*\)$/\1/p' "$build/CMakeCache.txt")
echo "PRODUCT=${product:-0001}" >"$stage/test/ids.sh"
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
say "booting $package under qemu, at most ${guest_timeout}s"
status=0
# no_timer_check: on a busy host the emulated timer can miss the kernel's
# boot-time check, which then panics ("IO-APIC + timer doesn't work").
timeout -k 5 "$guest_timeout" qemu-system-x86_64 -accel tcg -m "$memory" -nographic -no-reboot -nic none \
    -kernel "$kernel/vmlinux" -initrd "$build/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet no_timer_check" </dev/null >"$console.raw" 2>&1 || status=$?
tr -d '\r' <"$console.raw" >"$console"
rm -f "$console.raw"

# Result lines, failures with the lines that explain them, the measurement.
awk '/^RESULT (PASS|FAIL) / { print $2 " " substr($0, 13); detail = ($2 == "FAIL"); next }
     /^  \| / && detail { print; next }
     /^(PERF|NOTE) / { print; detail = 0; next }
     { detail = 0 }' "$console"
passed=$(grep -c '^RESULT PASS ' "$console" || true)
failed=$(grep -c '^RESULT FAIL ' "$console" || true)
if ! grep -q '^GUEST DONE$' "$console"; then
    failed=$((failed + 1))
    if [ "$status" = 124 ] || [ "$status" = 137 ]; then
        echo "FAIL the guest did not finish within ${guest_timeout}s"
    else
        echo "FAIL the guest ended early (qemu exit status $status)"
    fi
    tail -n 30 "$console" | sed 's/^/  | /'
fi
if [ $((passed + failed)) -eq 0 ]; then failed=1; fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
