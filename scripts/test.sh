#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test: all tiers natively
# followed by the Debian packages and their lintian check,
# the unit tier under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer, every fuzz target for a minute, and the Windows builds:
# the shipped i686 build with its ZIP and static checks on every machine, and
# the Wine tests on the build this machine runs (cmake/wine-build.sh).
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
# Rates are printed, not judged: they depend on the machine and its load.
FUZZ_MIN_RATE=0 scripts/fuzz.sh
echo "=== mingw"
cmake --preset mingw >/dev/null
cmake --build --preset mingw
scripts/package-windows.sh
ctest --preset mingw-static
# The Wine tier; its first line says which build it runs and why.
wine_preset=$(cmake/wine-build.sh)
if [[ $wine_preset != mingw ]]; then
  echo "=== $wine_preset"
  cmake --preset "$wine_preset" >/dev/null
  cmake --build --preset "$wine_preset"
fi
cmake/wine-start.sh
ctest --preset "$wine_preset"
echo "=== every preset passed"
