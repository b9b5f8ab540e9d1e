# shellcheck shell=bash
# Pieces shared by the scripts that run tests in a qemu guest
# (run-guest-tests.sh, run-wine-guest-tests.sh); sourced, not run. The
# caller sets `repo` (the checkout) and runs with `set -euo pipefail`.

guest_say() { echo "guest-tests: $*" >&2; }
guest_die() {
    guest_say "$*"
    echo "0 passed, 1 failed"
    exit 1
}

# guest_install PACKAGE...: apt-get installs the packages named (those the
# caller found missing), as root only.
guest_install() {
    [ $# -gt 0 ] || return 0
    [ "$(id -u)" = 0 ] || guest_die "missing packages ($*); install them or run as root"
    guest_say "installing: $*"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# The modules taken from the kernel package: the HID stack with uhid, and
# what the guest needs to mount the host's root over virtio-9p with an
# overlay on top. Each list is in the order the guest loads it.
guest_hid_modules=(hid hid-generic uhid)
guest_share_modules=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
    9pnet 9pnet_virtio netfs fscache 9p overlay)

# The package that linux-image-amd64 currently points to.
guest_kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ && !n++ { print $2 }'
}

# guest_fetch_kernel KERNELS_DIR: sets `kernel` to KERNELS_DIR/PACKAGE, which
# holds an ELF vmlinux and every module of both lists, taken from the current
# kernel package (downloaded and unpacked, never installed) unless there
# already. Only the current kernel is kept.
guest_fetch_kernel() {
    local kernels=$1 package module file vmlinuz offset scratch
    package=$(guest_kernel_package)
    if [ -z "$package" ]; then
        guest_say "apt knows no linux-image-amd64; updating the package lists"
        apt-get update -qq
        package=$(guest_kernel_package)
    fi
    [ -n "$package" ] || guest_die "cannot resolve linux-image-amd64"
    kernel=$kernels/$package
    local wanted=("${guest_hid_modules[@]}" "${guest_share_modules[@]}") have=1
    [ -f "$kernel/vmlinux" ] || have=0
    for module in "${wanted[@]}"; do [ -f "$kernel/$module.ko" ] || have=0; done
    [ $have = 1 ] && return 0

    guest_say "fetching $package"
    mkdir -p "$kernels"
    scratch=$(mktemp -d "$kernels/fetch.XXXXXX")
    # Stale package lists may name a version that has left the mirror.
    (cd "$scratch" && apt-get download -q "$package" >download.log 2>&1) ||
        (apt-get update -qq && cd "$scratch" && apt-get download -q "$package" >download.log 2>&1) ||
        { cat "$scratch/download.log" >&2; rm -rf "$scratch"; guest_die "cannot download $package"; }
    local patterns=('./boot/vmlinuz-*')
    for module in "${wanted[@]}"; do patterns+=("*/kernel/*/$module.ko*"); done
    dpkg-deb --fsys-tarfile "$scratch"/*.deb | tar -x -C "$scratch" --wildcards "${patterns[@]}"
    mkdir -p "$scratch/out"
    for module in "${wanted[@]}"; do
        file=$(find "$scratch" \( -name "$module.ko" -o -name "$module.ko.xz" \) -type f | head -n 1)
        case "$file" in
        *.ko) cp "$file" "$scratch/out/$module.ko" ;;
        *.ko.xz) xz -dc "$file" >"$scratch/out/$module.ko" ;;
        *) rm -rf "$scratch"; guest_die "no $module module in $package" ;;
        esac
    done
    # vmlinuz is a self-unpacking bzImage; its xz payload is an ELF vmlinux
    # that qemu boots directly, seconds faster under TCG.
    vmlinuz=$(find "$scratch/boot" -name 'vmlinuz-*' -type f | head -n 1)
    offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
    [ -n "$offset" ] || { rm -rf "$scratch"; guest_die "no xz payload in $vmlinuz"; }
    tail -c +$((offset + 1)) "$vmlinuz" | xz -dc --single-stream >"$scratch/out/vmlinux" 2>/dev/null || true
    [ "$(head -c 4 "$scratch/out/vmlinux" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] ||
        { rm -rf "$scratch"; guest_die "the payload of $vmlinuz is no ELF kernel"; }
    find "$kernels" -mindepth 1 -maxdepth 1 ! -path "$scratch" -exec rm -rf {} +
    mv "$scratch/out" "$kernel"
    rm -rf "$scratch"
}

# guest_configure BUILD_DIR SANITIZE [BENCH]: configures the guest project
# (this folder) in BUILD_DIR, statically linked or, with SANITIZE, with those
# sanitizers, or with BENCH a dynamically linked Release build; the programs
# land in BUILD_DIR/bin.
guest_configure() {
    local build=$1 sanitize=$2 bench=${3:-} flavour
    if [ -n "$sanitize" ]; then
        flavour=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXE_LINKER_FLAGS= "-DAZK_SANITIZE=$sanitize")
    elif [ -n "$bench" ]; then
        flavour=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS= -DAZK_SANITIZE=)
    else
        flavour=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS=-static -DAZK_SANITIZE=)
    fi
    cmake -S "$repo/hostapp/tests/kernel" -B "$build" "${flavour[@]}" -DAZK_WARNINGS_AS_ERRORS=ON \
        >"$build/configure.log" 2>&1 ||
        { cat "$build/configure.log" >&2; guest_die "cannot configure $build"; }
}

# guest_build BUILD_DIR TARGET...: builds the targets named in a configured
# build. AZK_GUEST_JOBS sets the parallel jobs (2).
guest_build() {
    local build=$1
    shift
    cmake --build "$build" --target "$@" -j"${AZK_GUEST_JOBS:-2}" >"$build/build.log" 2>&1 ||
        { tail -n 60 "$build/build.log" >&2; guest_die "cannot build $*"; }
}

# guest_has_target BUILD_DIR TARGET: whether the configured build knows it.
guest_has_target() {
    local targets
    targets=$(cmake --build "$1" --target help)
    grep -qw "$2" <<<"$targets"
}

# guest_cache_id BUILD_DIR VARIABLE DEFAULT: a compiled-in ID from the
# build's cache (AZK_VENDOR_ID, AZK_PRODUCT_ID), as four hex digits.
guest_cache_id() {
    local value
    value=$(sed -n "s/^$2:[A-Z]*=0[xX]\([0-9a-fA-F]*\)\$/\1/p" "$1/CMakeCache.txt")
    printf '%04X\n' "$((16#${value:-$3}))"
}

# guest_report RESULTS_FILE FINISHED QEMU_STATUS TIMEOUT CONSOLE: prints the
# result lines ("RESULT PASS|FAIL name", a failure followed by its "  | "
# lines, "PERF" and "NOTE" lines), counts them, adds a failure when the guest
# did not finish (FINISHED is 0), and prints "N passed, N failed". Returns
# non-zero on any failure.
guest_report() {
    local results=$1 finished=$2 status=$3 timeout=$4 console=$5 passed failed
    awk '/^RESULT (PASS|FAIL) / { print $2 " " substr($0, 13); detail = ($2 == "FAIL"); next }
         /^  \| / && detail { print; next }
         /^(PERF|NOTE) / { print; detail = 0; next }
         { detail = 0 }' "$results"
    passed=$(grep -c '^RESULT PASS ' "$results" || true)
    failed=$(grep -c '^RESULT FAIL ' "$results" || true)
    if [ "$finished" = 0 ]; then
        failed=$((failed + 1))
        if [ "$status" = 124 ] || [ "$status" = 137 ]; then
            echo "FAIL the guest did not finish within ${timeout}s"
        else
            echo "FAIL the guest ended early (qemu exit status $status)"
        fi
        tail -n 30 "$console" | sed 's/^/  | /'
    fi
    if [ $((passed + failed)) -eq 0 ]; then failed=1; fi
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
