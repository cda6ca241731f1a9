#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: all tiers natively
# followed by the Debian packages and their lintian check,
# the unit tier under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, every fuzz target for a minute, and the Windows build's
# tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# A preset's build (of the given targets, or all) and its tests.
run_preset() {
  local preset=$1
  shift
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" ${1:+--target "$@"}
  ctest --preset "$preset"
}

run_preset native
echo "=== packages"
scripts/package.sh
# The sanitizer presets run the unit and sim tiers only.
run_preset asan fast_tests
run_preset tsan fast_tests
echo "=== fuzz"
scripts/fuzz.sh
cmake/wine-start.sh
run_preset mingw
echo "=== every preset passed"
