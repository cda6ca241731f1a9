#!/usr/bin/env bash
# run-flash.sh FLASH MODEMSIM FIRMWARE_DIR
# Starts modemsim on pseudo-terminals, lets flash-firmware write the firmware
# it carries into the simulated modem, stops the simulator and compares its
# RAM, partition table and NAND images with the firmware files byte for byte.
set -euo pipefail
flash=$(realpath "$1") modemsim=$(realpath "$2") firmware=$(realpath "$3")
. "$(dirname "$0")/harness.sh"

export UPGRADER_PORTS_DIR="$work/ports" UPGRADER_STATE_DIR="$work/state"
start_sim "$modemsim" "$UPGRADER_PORTS_DIR" --switch-delay 800
"$flash" --diag-port 12 --modem-port 13 || fail "flashing failed ($?)" "$work/modemsim.log"
stop_sim || fail "modemsim failed" "$work/modemsim.log"
compare_flash "$firmware"
ok=1
