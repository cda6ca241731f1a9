#!/usr/bin/env bash
# Puts each fault of scripts/fault-sample.txt, one at a time, into a copy of
# the committed tree, builds it and runs the unit and sim tests: a fault is
# caught when a test fails. Prints a line per fault and the count caught.
# Run by hand (about a minute per fault after a first build of a few
# minutes); the checkout itself is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
root=$(pwd)
copy=$(mktemp -d)
trap 'git worktree remove --force "$copy" >/dev/null 2>&1 || rm -rf "$copy"' EXIT
git worktree add -q --detach "$copy" HEAD
cd "$copy"
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null
ctest --preset native -L 'unit|sim' >/dev/null || { echo "the tests fail without any fault" >&2; exit 1; }

caught=0 total=0
while IFS=$'\t' read -r file line faulty kind; do
  [[ -z $file || $file == \#* ]] && continue
  total=$((total + 1))
  matches=$(grep -cxF -- "$line" "$file" || true)
  if ((matches != 1)); then
    echo "fault $total: $file: the line is there $matches times, not once" >&2
    exit 1
  fi
  cp "$file" "$file.orig"
  FILE="$file" LINE="$line" FAULTY="$faulty" python3 -c '
import os
path = os.environ["FILE"]
text = open(path).read().split("\n")
text = [os.environ["FAULTY"] if l == os.environ["LINE"] else l for l in text]
open(path, "w").write("\n".join(text))'
  if ! cmake --build --preset native >/dev/null 2>&1; then
    verdict="caught (does not build)"
    caught=$((caught + 1))
  elif ! ctest --preset native -L 'unit|sim' >/dev/null 2>&1; then
    # A test that fails only once may be racing, not catching the fault.
    if ctest --preset native --rerun-failed >/dev/null 2>&1; then
      verdict="NOT caught (a test failed once, then passed)"
    else
      verdict="caught"
      caught=$((caught + 1))
    fi
  else
    verdict="NOT caught"
  fi
  mv "$file.orig" "$file"
  printf '%2d %-14s %-40s %s\n' "$total" "$kind" "$file" "$verdict"
done <"$root/scripts/fault-sample.txt"
cmake --build --preset native >/dev/null
echo "caught $caught of $total"
