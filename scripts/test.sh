#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: all tiers natively,
# the unit tier under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, and the Windows build's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

run_preset() {
  local preset=$1
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
}

run_preset native
run_preset asan
run_preset tsan
cmake/wine-start.sh
run_preset mingw
echo "=== every preset passed"
