#!/usr/bin/env bash
# Builds the libFuzzer targets listed in tools/fuzz-targets.txt and runs each
# for a short time (AZK_FUZZ_SECONDS per target, default 20), starting from
# its seed corpus. Inputs found new are kept under build/fuzz/corpus/TARGET;
# a crash leaves its input in build/fuzz/artifacts/TARGET and fails the run.
# Needs clang with its fuzzer runtime.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${AZK_FUZZ_SECONDS:-20}

targets=()
corpora=()
while read -r target corpus _; do
  [[ -z "$target" || "$target" == \#* ]] && continue
  targets+=("$target")
  corpora+=("$corpus")
done < tools/fuzz-targets.txt

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DAZK_BUILD_FUZZERS=ON -DAZK_BUILD_BENCH=OFF -DAZK_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/fuzz --target "${targets[@]}" -j"$(nproc)"

failed=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  binary=$(find build/fuzz/hostapp -type f -name "$target" -perm -u+x | head -n 1)
  if [[ -z "$binary" ]]; then
    echo "fuzz: $target was not built" >&2
    failed=1
    continue
  fi
  mkdir -p "build/fuzz/corpus/$target" "build/fuzz/artifacts/$target"
  echo "=== $target (${seconds}s)"
  if ! "$binary" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$target/" \
      "build/fuzz/corpus/$target" "${corpora[$i]}"; then
    echo "fuzz: $target failed; the input is in build/fuzz/artifacts/$target" >&2
    failed=1
  fi
done
exit $failed
