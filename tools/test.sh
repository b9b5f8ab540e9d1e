#!/usr/bin/env bash
# Builds one preset (default: "default") and runs its tests.
#   tools/test.sh [default|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
cmake --preset "$preset" -DAZK_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
