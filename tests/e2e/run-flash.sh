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

same() {
  if cmp -s "$firmware/$1" "$work/dump/$2"; then
    printf '  %-22s = %-18s %10d bytes\n' "$1" "$2" "$(stat -c %s "$firmware/$1")"
  else
    echo "the simulated modem holds a different $1 ($2)" >&2
    exit 1
  fi
}
echo "simulated flash against the firmware files:"
same armprg.bin ram.bin
same partition.mbn partition.bin
same qcsblhd_cfgdata.mbn image-2.bin
same qcsbl.mbn image-3.bin
same oemsblhd.mbn image-4.header
same oemsbl.mbn image-4.bin
same amsshd.mbn image-5.header
same amss.mbn image-5.bin
same nandprghd.mbn image-10.header
same nandprgcombined.mbn image-10.bin
same efs.mbn image-9.bin
echo "the simulated modem's flash matches every image"
ok=1
