#!/usr/bin/env bash
# run-flash.sh FLASH MODEMSIM FIRMWARE_DIR
# Starts modemsim on pseudo-terminals, lets flash-firmware write the firmware
# it carries into the simulated modem, with a SIGTERM in the middle that
# waits for the flashing to end, stops the simulator and compares its RAM,
# partition table and NAND images with the firmware files byte for byte.
# Before that, flash-firmware must write nothing: without the option that
# says the NV items will be lost, under a file-size limit (not killed by
# SIGXFSZ, no image cut short left), and into a modem of another model.
set -euo pipefail
flash=$(realpath "$1") modemsim=$(realpath "$2") firmware=$(realpath "$3")
. "$(dirname "$0")/harness.sh"
out=$work/flash.log pid= shown=("$out")
more_cleanup() { [[ -z $pid ]] || kill -KILL "$pid" 2>/dev/null; }

export UPGRADER_PORTS_DIR="$work/ports" UPGRADER_STATE_DIR="$work/state"
# expect STATUS TEXT [OPTION...]: flash-firmware ends with STATUS and says TEXT.
expect() {
  local status=0 expected=$1 text=$2
  shift 2
  "$flash" "$@" >"$out" 2>&1 || status=$?
  ((status == expected)) && grep -qF "$text" "$out" || fail "exit status $status, expected $expected with \"$text\""
}
expect 2 "to flash it anyway and lose them, add --lose-nv-items."
[[ ! -e $UPGRADER_STATE_DIR ]] || fail "refused without --lose-nv-items, but made its working folder"
(ulimit -f 4096 && expect 1 "the firmware could not be written whole into" --lose-nv-items)
[[ -z $(find "$UPGRADER_STATE_DIR/firmware" -type f) ]] || fail "files left after the extraction failed"

start_sim "$modemsim" "$UPGRADER_PORTS_DIR" --switch-delay 800 --product OTHER_MODEL
expect 3 "The model is not correct, not allow use this tool!" --lose-nv-items
stop_sim || fail "modemsim failed" "$work/modemsim.log"
! awk '$2 == "ms" && $3 != "device" && $4 != "versions"' "$work/dump/requests.txt" | grep . >/dev/null ||
  fail "a modem of another model received more than its versions requests"
echo "refused: without --lose-nv-items, with the firmware cut short, and a modem of another model"

start_sim "$modemsim" "$UPGRADER_PORTS_DIR" --switch-delay 800
"$flash" --lose-nv-items --diag-port 12 --modem-port 13 >"$out" 2>&1 &
pid=$!
wait_until 1200 grep -Eq '^  progress (3[0-9]|4[0-9])/100$' "$out" || fail "the modem software was never written"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
((status == 0)) || fail "flash-firmware ended with status $status, expected 0" "$work/modemsim.log"
grep -q '^flash-firmware: closing once the flashing has ended' "$out" || fail "SIGTERM was not told to wait"
stop_sim || fail "modemsim failed" "$work/modemsim.log"
compare_flash "$firmware"
ok=1
