#!/usr/bin/env bash
# Builds the coverage preset, runs the unit and sim tests and prints the line
# and branch coverage of the product's folders (everything the shipped tool
# is built from: not the simulated modem, the tests or the benchmarks).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
cmake --preset coverage >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete
ctest --preset coverage >/dev/null
gcovr --root . --object-directory build/coverage \
  --filter '(app|diag|download|flashing|link|payload|platform|workflow)/' \
  --exclude-unreachable-branches --exclude-throw-branches --print-summary --sort-percentage \
  | tail -n 40
