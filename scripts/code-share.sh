#!/usr/bin/env bash
# Prints the non-blank lines of code (C++, Python, shell, CMake) of each
# top-level folder of the tracked tree, the total, and the share of them
# that is tests (the tests/ folder; its fuzz corpora are data, not counted).
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z | xargs -0 awk '
  FNR == 1 {
    file = FILENAME
    counted = file ~ /\.(cpp|h|py|sh|cmake)$/ || file ~ /(^|\/)CMakeLists\.txt$/ || file == ".ci/run"
    if (file ~ /^tests\/fuzz\/corpus\//) counted = 0
    folder = file ~ /\// ? substr(file, 1, index(file, "/") - 1) : "."
  }
  counted && NF { lines[folder]++; total++ }
  END {
    for (folder in lines) printf "%-10s %7d\n", folder, lines[folder] | "sort"
    close("sort")
    printf "%-10s %7d\n", "total", total
    printf "tests: %d of %d non-blank lines, %.1f %%\n", lines["tests"], total, 100 * lines["tests"] / total
  }'
