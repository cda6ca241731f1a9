#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: all tiers natively
# followed by the Debian packages and their lintian check,
# the unit tier under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, every fuzz target for a minute, and the Windows build's
# tests under Wine.
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
echo "=== packages"
scripts/package.sh
run_preset asan
run_preset tsan
echo "=== fuzz"
scripts/fuzz.sh
cmake/wine-start.sh
run_preset mingw
echo "=== every preset passed"
