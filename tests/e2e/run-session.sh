#!/usr/bin/env bash
# run-session.sh native|wine SESSION MODEMSIM
# Starts modemsim on pseudo-terminals, runs the device session against it
# (natively, or as a Windows program under Wine with the ports linked into
# the prefix's dosdevices), stops the simulator and compares what the device
# stored, and the order of the requests it saw, with what the session sent.
set -euo pipefail
kind=$1 session=$(realpath "$2") modemsim=$(realpath "$3")
root=$(cd "$(dirname "$0")/../.." && pwd)
[[ -x "$modemsim" ]] || { echo "no modemsim at $modemsim: build the native preset first" >&2; exit 1; }

. "$root/tests/e2e/harness.sh"
diag=22 modem=23
runner=()
if [[ $kind == wine ]]; then
  . "$root/cmake/wine-env.sh"
  ports="$WINEPREFIX/dosdevices"
  runner=("$root/cmake/wine-run.sh")
else
  ports="$work/ports"
  export UPGRADER_PORTS_DIR="$ports"
fi

start_sim "$modemsim" "$ports" --diag-port $diag --modem-port $modem --switch-delay 800 --return-delay 1000

status=0
(cd "$work" && SESSION_DIAG_PORT=$diag SESSION_MODEM_PORT=$modem SESSION_OUT=sent "${runner[@]}" "$session") || status=$?

if [[ $kind == wine ]]; then
  # The Wine server holds the terminals; let it go before they close, then
  # bring back the persistent server the other Windows tests rely on.
  wineserver -w
  "$root/cmake/wine-start.sh"
fi
stop_sim || status=1

echo "--- what the simulated modem received"
cat "$work/modemsim.log"
((status == 0)) || fail "the session failed ($status)"
for file in ram.bin partition.bin image-4.header image-4.bin image-5.header image-5.bin image-9.header image-9.bin; do
  cmp "$work/sent/$file" "$work/dump/$file" || fail "the device holds a different $file"
done

expected=(versions esn nvread nvwrite nvread downloader nop params dmsswrite go hello security partition
  open swrite close open checksum rawblock close open segment rawsegment close sreset)
mapfile -t seen < <(awk '{print $4}' "$work/dump/requests.txt")
i=0
for name in "${seen[@]}"; do
  ((i < ${#expected[@]})) && [[ $name == "${expected[$i]}" ]] && i=$((i + 1))
done
((i == ${#expected[@]})) || fail "requests out of order: matched ${expected[*]:0:$i}, then missing ${expected[$i]}"
grep -q "AT+KCDRUN=E" "$work/dump/requests.txt" || fail "the AT command did not arrive"
echo "device session: the device holds exactly what was sent, requests in order"
ok=1
