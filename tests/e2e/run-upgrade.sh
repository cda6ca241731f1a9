#!/usr/bin/env bash
# run-upgrade.sh success|neverreturn UPGRADER MODEMSIM NV_PROBE FIRMWARE_DIR
# Serves modemsim on pseudo-terminals (its port numbers move by 2 whenever it
# comes back), runs the terminal front end unattended on a scaled clock and
# checks how the run ended:
#   success      the success text and exit status 0; the simulated flash holds
#                every image file byte for byte, and the NV items sampled
#                before the run are back after it
#   neverreturn  the device never comes back after the images: "reset modem
#                fail!", the failure box, exit status 5, and the NV backup kept
#                in the file the run log names, holding the device's items
# UPGRADE_TIME_SCALE (default 10) sets the front end's time scale; the
# simulator's delays are real milliseconds. UPGRADE_SHOW_OUTPUT=1 shows the
# front end's output as it runs.
set -euo pipefail
mode=$1 upgrader=$(realpath "$2") modemsim=$(realpath "$3") probe=$(realpath "$4") firmware=$(realpath "$5")
scale=${UPGRADE_TIME_SCALE:-10}
case $mode in
  success) faults=() expected=0 ;;
  neverreturn) faults=(--fault neverreturn) expected=5 ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac

work=$(mktemp -d)
ports=$work/ports registry=$work/ports.reg
# The probe finds the device through these; the front end is given them as
# options instead.
export UPGRADER_STATE_DIR=$work/state UPGRADER_PORTS_DIR=$ports UPGRADER_REGISTRY_FILE=$registry
"$modemsim" --ports-dir "$ports" --registry "$registry" --renumber 2 --return-delay 1000 --switch-delay 800 \
  "${faults[@]}" --dump "$work/dump" >"$work/modemsim.log" 2>&1 &
sim=$!
ok=0
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  if ((ok)); then rm -rf "$work"; else echo "kept $work for inspection" >&2; fi
}
trap cleanup EXIT
show=${UPGRADE_SHOW_OUTPUT:-0}
fail() {
  ((show)) || { echo "--- upgrader"; cat "$work/upgrader.log"; }
  echo "$*" >&2
  exit 1
}

for _ in $(seq 100); do [[ -e "$ports/com12" ]] && break; sleep 0.05; done
[[ -e "$ports/com12" ]] || { cat "$work/modemsim.log" >&2; echo "modemsim did not publish its ports" >&2; exit 1; }
"$probe" 10 >"$work/nv-before" || { echo "the NV items could not be read before the run" >&2; exit 1; }

start=$(date +%s%N)
set +e
env -u UPGRADER_PORTS_DIR -u UPGRADER_REGISTRY_FILE \
  "$upgrader" --yes --auto-start --time-scale "$scale" --ports-dir "$ports" --registry "$registry" \
  </dev/null 2>&1 | if ((show)); then tee "$work/upgrader.log"; else cat >"$work/upgrader.log"; fi
status=${PIPESTATUS[0]}
set -e
ms=$((($(date +%s%N) - start) / 1000000))
printf 'upgrader (%s, time scale %s): exit status %d after %d.%03d s\n' "$mode" "$scale" "$status" $((ms / 1000)) $((ms % 1000))

((status == expected)) || fail "exit status $status, expected $expected"
grep -Eq '^Port Information: COM(1[4-9]|[2-9][0-9])$' "$work/upgrader.log" || fail "the device was never seen under new port numbers"

if [[ $mode == success ]]; then
  grep -Eq 'Update success!  It costs [0-9]+ minute\(s\) and [0-9]+ second\(s\)\.$' "$work/upgrader.log" ||
    fail "no success text"
  grep -q '^\[Congratulations\] Update success!  It costs' "$work/upgrader.log" || fail "no success box"
  "$probe" 30 >"$work/nv-after" || fail "the NV items could not be read after the run"
  cmp -s "$work/nv-before" "$work/nv-after" || { diff "$work/nv-before" "$work/nv-after" | head; fail "the NV items were not restored"; }
  echo "NV items: $(wc -l <"$work/nv-before") sampled items hold the values they had before the run"
else
  grep -q '——reset modem fail!$' "$work/upgrader.log" || fail "no \"reset modem fail!\" in the run log"
  grep -q '^\[Error\] Download failure, Please download again!' "$work/upgrader.log" || fail "no failure box"
  kept=$(grep -o 'NV backup kept in .*' "$work/upgrader.log" | head -n 1 | sed 's/^NV backup kept in //')
  [[ -n $kept && -f $kept ]] || fail "no NV backup kept"
  # Each record: item (2 bytes, little-endian), 2 reserved, 128 data, status, 2 zero.
  python3 - "$kept" "$work/nv-before" <<'PY' || fail "the kept NV backup does not hold the device's items"
import sys
backup = open(sys.argv[1], "rb").read()
assert len(backup) == 980 * 136, f"{len(backup)} bytes"
records = {}
for at in range(0, len(backup), 136):
    records.setdefault(int.from_bytes(backup[at:at + 2], "little"), backup[at + 4:at + 132].hex().upper())
for line in open(sys.argv[2]):
    item, status, data = line.split()
    if status == "0":
        assert records.get(int(item)) == data, f"item {item}"
PY
  echo "NV backup kept: $kept"
fi

kill -TERM "$sim"
wait "$sim" || fail "modemsim failed"
if [[ $mode == success ]]; then
  "$(dirname "$0")/compare-flash.sh" "$firmware" "$work/dump" || fail "the simulated flash differs from the images"
fi
ok=1
