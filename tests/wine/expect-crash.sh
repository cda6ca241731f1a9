#!/usr/bin/env bash
# expect-crash.sh RUNNER PROGRAM
# Passes if PROGRAM started under RUNNER and ended with a non-zero status.
status=0
out=$("$@" 2>&1) || status=$?
echo "$out" | head -5
[[ $out == *"about to crash"* ]] || { echo "the program did not start"; exit 1; }
((status != 0)) || { echo "a crashed program exited with 0"; exit 1; }
