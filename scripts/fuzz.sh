#!/usr/bin/env bash
# Builds the fuzz targets and runs each on a copy of its seed corpus for
# FUZZ_SECONDS (default 60), FUZZ_JOBS (default: the cores) at a time. Prints
# each target's executions, inputs per second (libFuzzer's exec/s), inputs per
# second of processor time (what an idle machine would give) and coverage.
# Exits 1 when any target finds a crash, a sanitizer report or a broken
# invariant; otherwise 2 when any runs fewer than FUZZ_MIN_RATE (default
# 100000) inputs a second, marked in the table; FUZZ_MIN_RATE=0 turns the
# rate check off.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
min_rate=${FUZZ_MIN_RATE:-100000}
targets=()
for source in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

bin=build/fuzz/tests/fuzz
work=build/fuzz/runs
rm -rf "$work"
mkdir -p "$work"

# A figure from libFuzzer's final status line: field NAME LINE.
field() { sed -n "s/.* $1: *\([0-9a-zA-Z/]*\).*/\1/p" <<<"$2"; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

load_before=$(load)
# One target per core at a time; each still runs its full time.
jobs=${FUZZ_JOBS:-$(nproc)}
running=0
for target in "${targets[@]}"; do
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
    TIMEFORMAT='%U %S'
    { time "$bin/$target" "$work/$target" -max_total_time="$seconds" -max_len=2048 -timeout=10 \
      -artifact_prefix="$work/$target-" -print_final_stats=1 >"$log" 2>&1 || status=$?; } 2>"$work/$target.cpu"
    echo "$status" >"$work/$target.status"
  ) &
  running=$((running + 1))
done
wait

failed=()
slow=()
report=$(printf '%-18s %10s %8s %10s %6s %7s %7s\n' target executions exec/s exec/cpu-s cov ft corpus)
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
  cpu_rate=$(awk -v n="$executions" 'NR == 1 { s = $1 + $2; printf "%d", (s > 0 ? n / s : 0) }' "$work/$target.cpu")
  mark=
  if ((rate < min_rate)); then
    mark=" below $min_rate/s"
    slow+=("$target")
  fi
  report+=$'\n'$(printf '%-18s %10s %8s %10s %6s %7s %7s%s' "$target" "$executions" "$rate" "$cpu_rate" \
    "$(field cov "$done_line")" "$(field ft "$done_line")" "$(field corp "$done_line")" "$mark")
done

echo "=== fuzz results (${seconds} s per target, $jobs at a time; load average $load_before before, $(load) after)"
echo "$report"
if ((${#failed[@]})); then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
if ((${#slow[@]})); then
  echo "fuzz: below $min_rate inputs a second: ${slow[*]} (a loaded machine lowers exec/s; exec/cpu-s shows the rate without the load)" >&2
  exit 2
fi
