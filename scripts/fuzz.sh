#!/usr/bin/env bash
# Builds the fuzz preset and runs every libFuzzer target on a copy of its seed
# corpus for FUZZ_SECONDS (default 60) each, FUZZ_JOBS (default: the cores)
# at a time. Fails when any target finds a crash, a sanitizer report or a
# broken invariant; prints each target's executions and coverage.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

bin=build/fuzz/tests/fuzz
work=build/fuzz/runs
rm -rf "$work"
mkdir -p "$work"

# A figure from libFuzzer's final status line: field NAME LINE.
field() { sed -n "s/.* $1: *\([0-9a-zA-Z/]*\).*/\1/p" <<<"$2"; }

# One target per core at a time; each still runs its full time.
jobs=${FUZZ_JOBS:-$(nproc)}
targets=()
running=0
for source in tests/fuzz/fuzz_*.cpp; do
  target=$(basename "$source" .cpp)
  targets+=("$target")
  seeds=tests/fuzz/corpus/$target
  log=$work/$target.log
  if [[ ! -d $seeds ]]; then
    echo "fuzz: $target has no seed corpus in $seeds" >"$log"
    echo 1 >"$work/$target.status"
    continue
  fi
  echo "=== $target (${seconds} s)"
  # libFuzzer adds what it finds to the first folder; the seeds stay as they are.
  cp -r "$seeds" "$work/$target"
  if ((running == jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  (
    status=0
    "$bin/$target" "$work/$target" -max_total_time="$seconds" -max_len=2048 -timeout=10 \
      -artifact_prefix="$work/$target-" -print_final_stats=1 >"$log" 2>&1 || status=$?
    echo "$status" >"$work/$target.status"
  ) &
  running=$((running + 1))
done
wait

failed=()
report=$(printf '%-20s %10s %8s %6s %7s %7s\n' target executions exec/s cov ft corpus)
for target in "${targets[@]}"; do
  log=$work/$target.log
  if [[ $(cat "$work/$target.status") != 0 ]]; then
    tail -n 60 "$log"
    echo "fuzz: $target failed; the input that did it is $work/$target-*" >&2
    failed+=("$target")
    continue
  fi
  done_line=$(grep -E '\sDONE\s' "$log" | tail -n 1 || true)
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  report+=$'\n'$(printf '%-20s %10s %8s %6s %7s %7s' "$target" "$executions" "$rate" "$(field cov "$done_line")" \
    "$(field ft "$done_line")" "$(field corp "$done_line")")
done

echo "=== fuzz results (${seconds} s per target)"
echo "$report"
if ((${#failed[@]})); then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
