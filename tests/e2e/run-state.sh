#!/usr/bin/env bash
# run-state.sh MODEMSIM FLASH FIRMWARE_DIR
# modemsim --state across a power cut. flash-firmware is killed while it
# writes the modem software: the device stays in its flash programmer (that
# it still answers, upgrade_rescue_amss shows). modemsim is then killed too
# and started again from its state file: the device comes up in its boot downloader, its flash holding
# the boot loaders written whole and the cut image's header. A state file cut
# short is refused with status 1 and left as it is.
set -euo pipefail
modemsim=$(realpath "$1") flash=$(realpath "$2") firmware=$(realpath "$3")
. "$(dirname "$0")/harness.sh"

export UPGRADER_PORTS_DIR="$work/ports" UPGRADER_STATE_DIR="$work/state"
state=$work/device.state host=
more_cleanup() { [[ -z $host ]] || kill -KILL "$host" 2>/dev/null; }
start_sim "$modemsim" "$UPGRADER_PORTS_DIR" --switch-delay 800 --state "$state"
"$flash" --lose-nv-items --diag-port 12 --modem-port 13 >"$work/flash.log" 2>&1 &
host=$!
shown=("$work/flash.log" "$work/modemsim.log")
wait_until 600 grep -qE 'programmer +open +1B 05' "$work/modemsim.log" || fail "the modem software was never opened"
sleep 0.3
kill -KILL "$host"
wait "$host" || true
host=

# Past the programmer's wait for raw data, it is still on the bus.
sleep 1.5
sed -nE '/programmer +open +1B 05/,$p' "$work/modemsim.log" | grep 'device left the bus' >/dev/null &&
  fail "the device left the bus when its host went away"

# A power cut, then the device switched on again.
kill -KILL "$sim"
wait "$sim" || true
sim=
start_sim "$modemsim" "$UPGRADER_PORTS_DIR" --state "$state"
grep -q 'device on the bus in downloader mode' "$work/modemsim.log" ||
  fail "the device with a cut modem software did not start in its boot downloader"
stop_sim || fail "modemsim failed"
cmp "$firmware/qcsbl.mbn" "$work/dump/image-3.bin" || fail "the boot loader written whole was not kept"
cmp "$firmware/amsshd.mbn" "$work/dump/image-5.header" || fail "the cut modem software's header was not kept"

cp "$state" "$work/short.state"
head -c -1 "$state.nv" >"$work/short.state.nv"
cp "$work/short.state.nv" "$work/short.copy"
status=0
"$modemsim" --ports-dir "$UPGRADER_PORTS_DIR" --state "$work/short.state" >"$work/short.log" 2>&1 || status=$?
((status == 1)) || fail "a state file cut short ended modemsim with status $status" "$work/short.log"
cmp -s "$work/short.state.nv" "$work/short.copy" || fail "the state file cut short was changed"
grep -q "short.state: the device state is damaged or cut short" "$work/short.log" || fail "no reason for the refusal" "$work/short.log"
echo "killed mid-image: the programmer stayed on the bus; after the power cut the boot downloader, the flash kept"
ok=1
