#!/usr/bin/env bash
# Prints one Markdown table of the performance figures, each beside its peer
# and the ratio between them:
#
#   - key-lock get round trip through the whole stack (SessionExec) against a
#     bare client (one send, one recv) over vhid on the host, on every CPU
#     and pinned to one;
#   - the same through the kernel's hidraw in the qemu guest, against a
#     minimal hidraw client;
#   - SessionCreate against the common C HID library's hid_open in the guest;
#   - the image CRC against its goal of 1 GB/s and against a CRC that takes
#     one table look-up per byte; loading an image against the CRC alone.
#
#   tools/bench.sh [--no-guest]
#
# The two sides of each comparison run in one process, in turns: the round
# trips and opens in short blocks (order swapped every round), the ratio
# being the median of the per-round ratios; the CRC and load figures are
# medians of repetitions in random order (CPU time). Builds the preset
# default (azk_bench, azk_bench_vhid) and, unless --no-guest, the guest's
# measuring programs (hostapp/tests/kernel/run-guest-tests.sh with
# AZK_GUEST_BENCH=1). Takes a few minutes.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
guest=1
case "${1:-}" in
"") ;;
--no-guest) guest= ;;
*)
    echo "usage: tools/bench.sh [--no-guest]" >&2
    exit 2
    ;;
esac

export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$repo}
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT
: >"$log/notes"

say() { echo "bench: $*" >&2; }

say "building azk_bench and azk_bench_vhid (preset default)"
cmake --preset default >"$log/configure" 2>&1 || { cat "$log/configure" >&2; exit 1; }
cmake --build --preset default --target azk_bench azk_bench_vhid -j2 >"$log/build" 2>&1 ||
    { tail -n 40 "$log/build" >&2; exit 1; }
bin=$repo/build/default/hostapp/bench

rows=()

# ------------------------------------------------------------ CRC and load

say "image CRC and load, 1 MiB"
"$bin/azk_bench" --benchmark_filter='^BM_(ImageCrc16|ImageCrc16ByteTable|FirmFileLoad)/1048576$' \
    --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_format=csv >"$log/crc.csv" 2>"$log/crc.err" ||
    { cat "$log/crc.err" >&2; exit 1; }
# name,iterations,real_time,cpu_time,time_unit,bytes_per_second,...: the
# medians' CPU time (ns) and throughput.
median() { awk -F, -v name="\"$1/1048576_median\"" -v col="$2" '$1 == name { print $col }' "$log/crc.csv"; }
crc_ns=$(median BM_ImageCrc16 4)
crc_rate=$(median BM_ImageCrc16 6)
byte_rate=$(median BM_ImageCrc16ByteTable 6)
load_ns=$(median BM_FirmFileLoad 4)
if [ -z "$crc_ns" ] || [ -z "$byte_rate" ] || [ -z "$load_ns" ]; then
    cat "$log/crc.csv" >&2
    exit 1
fi
rows+=("$(awk -v r="$crc_rate" 'BEGIN { printf "| image CRC-16, 1 MiB | ImageCrc16 %.2f GB/s | goal 1 GB/s | %.2fx | >= 1x |", r / 1e9, r / 1e9 }')")
rows+=("$(awk -v r="$crc_rate" -v b="$byte_rate" 'BEGIN { printf "| image CRC-16, 1 MiB | ImageCrc16 %.2f GB/s | one look-up per byte %.2f GB/s | %.2fx | |", r / 1e9, b / 1e9, r / b }')")
rows+=("$(awk -v l="$load_ns" -v c="$crc_ns" 'BEGIN { printf "| image load, 1 MiB | azk_CFirmFile::Load %.3f ms | ImageCrc16 alone %.3f ms | %.2fx | <= 2x |", l / 1e6, c / 1e6, l / c }')")

# ------------------------------------------------------------ host vhid

say "round trips over vhid, every CPU and pinned to one"
for pin in "" "taskset -c 0"; do
    # shellcheck disable=SC2086
    $pin "$bin/azk_bench_vhid" --benchmark_filter=BesideBareClient >"$log/vhid" 2>&1 ||
        { cat "$log/vhid" >&2; exit 1; }
    rows+=("$(sed -n 's/^PERF //p' "$log/vhid")")
done

# ------------------------------------------------------------ guest

if [ -n "$guest" ]; then
    say "round trips and opens in the qemu guest (hidraw on uhid)"
    AZK_GUEST_BENCH=1 AZK_GUEST_TIMEOUT=${AZK_GUEST_TIMEOUT:-1500} bash hostapp/tests/kernel/run-guest-tests.sh >"$log/guest" 2>&1 ||
        { cat "$log/guest" >&2; exit 1; }
    while IFS= read -r row; do rows+=("$row"); done < <(sed -n 's/^PERF //p' "$log/guest")
    sed -n 's/^NOTE //p' "$log/guest" >"$log/notes"
fi

# ------------------------------------------------------------ table

echo "$(date -u '+%Y-%m-%d %H:%M') UTC, $(nproc) CPUs ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| measurement | figure | peer | ratio | goal |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
if [ -s "$log/notes" ]; then
    echo
    cat "$log/notes"
fi
