#!/usr/bin/env bash
# Fuzzes with libFuzzer for a short time each (AZK_FUZZ_SECONDS, default 30):
# every target of the list below, from its seed corpus. Needs clang with its
# fuzzer runtime.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${AZK_FUZZ_SECONDS:-30}

# target  folder (under hostapp/tests) of its binary  seed corpus
targets=(
  "azk_fuzz_report_descriptor descriptor hostapp/tests/descriptor/corpus"
  "azk_fuzz_receiver transport hostapp/tests/transport/receiver-corpus"
)

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DAZK_BUILD_FUZZERS=ON -DAZK_BUILD_BENCH=OFF -DAZK_WARNINGS_AS_ERRORS=ON >/dev/null
for entry in "${targets[@]}"; do
  read -r target folder corpus <<<"$entry"
  cmake --build build/fuzz --target "$target" -j"$(nproc)"
  mkdir -p "build/fuzz/corpus-new/$target"
  "build/fuzz/hostapp/tests/$folder/$target" -max_total_time="$seconds" \
    -print_final_stats=1 "build/fuzz/corpus-new/$target" "$corpus"
done
