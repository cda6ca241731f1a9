#!/usr/bin/env bash
# run-flash.sh FLASH MODEMSIM FIRMWARE_DIR
# Starts modemsim on pseudo-terminals, lets flash-firmware write the firmware
# it carries into the simulated modem, stops the simulator and compares its
# RAM, partition table and NAND images with the firmware files byte for byte.
set -euo pipefail
flash=$(realpath "$1") modemsim=$(realpath "$2") firmware=$(realpath "$3")

work=$(mktemp -d)
export UPGRADER_PORTS_DIR="$work/ports"
export UPGRADER_STATE_DIR="$work/state"
"$modemsim" --ports-dir "$UPGRADER_PORTS_DIR" --switch-delay 800 --dump "$work/dump" >"$work/modemsim.log" 2>&1 &
sim=$!
ok=0
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  if ((ok)); then rm -rf "$work"; else echo "kept $work for inspection" >&2; fi
}
trap cleanup EXIT
for _ in $(seq 100); do [[ -e "$UPGRADER_PORTS_DIR/com12" ]] && break; sleep 0.05; done

status=0
"$flash" --diag-port 12 --modem-port 13 || status=$?
kill -TERM "$sim"
wait "$sim" || status=1
((status == 0)) || { echo "--- modemsim"; cat "$work/modemsim.log"; echo "flashing failed ($status)" >&2; exit 1; }

"$(dirname "$0")/compare-flash.sh" "$firmware" "$work/dump"
ok=1
