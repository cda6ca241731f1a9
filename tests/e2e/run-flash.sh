#!/usr/bin/env bash
# run-flash.sh FLASH MODEMSIM FIRMWARE_DIR [changed]
# Starts modemsim on pseudo-terminals, lets flash-firmware write the firmware
# it carries into the simulated modem, stops the simulator and compares its
# RAM, partition table and NAND images with the firmware files byte for byte.
# With "changed", a byte of efs.mbn is flipped while the modem software is
# written: the flashing fails, naming the file, before that image is opened
# on the device.
set -euo pipefail
flash=$(realpath "$1") modemsim=$(realpath "$2") firmware=$(realpath "$3") mode=${4:-}
. "$(dirname "$0")/harness.sh"

export UPGRADER_PORTS_DIR="$work/ports" UPGRADER_STATE_DIR="$work/state"
start_sim "$modemsim" "$UPGRADER_PORTS_DIR" --switch-delay 800
if [[ $mode == changed ]]; then
  log=$work/flash.log
  "$flash" --diag-port 12 --modem-port 13 >"$log" 2>&1 &
  flashing=$!
  wait_until 1200 grep -Eq '^  progress (3[0-9]|4[0-9])/100$' "$log" || fail "the modem software was never written" "$log"
  flip_byte "$UPGRADER_STATE_DIR/firmware/efs.mbn" 1000
  status=0
  wait "$flashing" || status=$?
  ((status == 1)) || fail "flash-firmware ended with status $status, expected 1" "$log"
  grep -q '^  reason: efs.mbn changed after it was checked: ' "$log" || fail "the changed file was not named" "$log"
  stop_sim || fail "modemsim failed" "$work/modemsim.log"
  [[ ! -e $work/dump/image-9.bin ]] || fail "the changed file-system image reached the device"
  ok=1
  exit 0
fi
"$flash" --diag-port 12 --modem-port 13 || fail "flashing failed ($?)" "$work/modemsim.log"
stop_sim || fail "modemsim failed" "$work/modemsim.log"
compare_flash "$firmware"
ok=1
