#!/usr/bin/env bash
# Fuzzes the HID report descriptor parser with libFuzzer for a short time
# (AZK_FUZZ_SECONDS, default 30). Needs clang with its fuzzer runtime.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${AZK_FUZZ_SECONDS:-30}
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DAZK_BUILD_FUZZERS=ON -DAZK_BUILD_BENCH=OFF -DAZK_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/fuzz --target azk_fuzz_report_descriptor -j"$(nproc)"
mkdir -p build/fuzz/corpus-new
build/fuzz/hostapp/tests/descriptor/azk_fuzz_report_descriptor -max_total_time="$seconds" \
  -print_final_stats=1 build/fuzz/corpus-new hostapp/tests/descriptor/corpus
