#!/usr/bin/env bash
# run-upgrade.sh MODE UPGRADER MODEMSIM NV_PROBE FIRMWARE_DIR [USB_BRIDGE]
# Serves modemsim on pseudo-terminals (its port numbers move by 2 whenever it
# comes back), runs the terminal front end unattended on a scaled clock and
# checks how the run ended. UPGRADE_TIME_SCALE (default 10, 4 for success)
# sets the front end's time scale; the simulator's delays are real
# milliseconds.
# UPGRADE_SHOW_OUTPUT=1 shows the front end's output when it ends.
set -euo pipefail
mode=$1 upgrader=$(realpath "$2") modemsim=$(realpath "$3") probe=$(realpath "$4") firmware=$(realpath "$5")
bridge=${6:+$(realpath "$6")}
# The success mode judges the time left against the real remaining time.
# The simulator's delays and the machine's own work do not scale: at 10 they
# weigh ten times more against the waits than in a real run, and a loaded
# machine alone puts the estimate more than a tenth off.
default_scale=10
[[ $mode == success ]] && default_scale=4
scale=${UPGRADE_TIME_SCALE:-$default_scale}
# MODE is one of these. Each has its exit status; how the upgrade ends (whole:
# the success text and box; unseen: the output stops at SIGHUP; either way the
# simulated flash must hold every image file byte for byte, and the NV items
# sampled before the run must be back after it); and what is done while it
# runs, each in a window of progress values: a signal, or (none) the mode's
# own check. The mode's hooks further down do the rest.
declare -A modes=(
  # Another process holding the modem port is named, and "UPDATE" waits
  # until it let go.
  [success]="0 whole"
  [demo]="0 whole"  # as success, without the other process
  # The device never comes back after the images: "reset modem fail!", the
  # failure box, and the NV backup kept in the file the run log names,
  # holding the device's items.
  [neverreturn]="5 -"
  # Another modem, with its own ESN and NV items, comes back on the same
  # ports after the flash: it is told apart and gets none of the first one's
  # items, whose backup is kept.
  [swapped]="5 -"
  # Each SIGTERM is asked as the close box and answered Yes.
  [term]="0 whole 8-17:TERM 27-49:TERM 83-93:TERM"
  [hup-backup]="0 unseen 8-17:HUP" [hup-flash]="0 unseen 27-49:HUP" [hup-restore]="0 unseen 83-93:HUP"
  # SIGKILL (the power cut: modemsim's, its flash kept in a state file) at a
  # moment named in cuts below; a new start with --yes, not refused by the
  # lock file left behind, rescues the device. Killed in the NV backup (read
  # whole before it is saved) the device is untouched: a usual upgrade; in the
  # programmer's load or the modem software (the device left in its boot
  # downloader or flash programmer) it writes every image again; after the
  # file-system image only the restore is left, with no image or backup.
  [rescue-backup]="0 whole 8-17:" [rescue-programmer]="0 whole" [rescue-amss]="0 whole 36-43:"
  [rescue-efs]="0 whole 81-81:" [rescue-powercut]="0 whole 36-43:"
  # A second copy with a state folder of its own is refused with status 1
  # before it opens anything: started as usual, in a network namespace of
  # its own (another abstract socket namespace), and there as nobody.
  [secondcopy]="0 whole 27-49:" [secondcopy-netns]="0 whole 27-49:" [secondcopy-nobody]="0 whole 27-49:"
  # Against python-dbusmock's logind on a private bus: the sleep and idle
  # inhibitor is held while the run goes on and given back when it ends,
  # before the final box is answered.
  [awake]="0 whole 27-49:"
  # The firmware cannot be extracted whole (a file-size limit), and with
  # standard input closed and no --yes its boxes take their defaults:
  # "UPDATE" is never offered, the device receives nothing, SIGTERM ends
  # the program.
  [fullfs]="3 -"
  # A byte of efs.mbn flipped while the modem software is written: the run
  # fails with the changed file as its reason before the file-system image
  # is opened on the device, and the NV backup is kept.
  [changed]="4 - 30-49:"
  # As success and neverreturn, with modemsim's ports on a mock USB bus by
  # USB_BRIDGE (umockdev), found through udev, and back under other terminal
  # names after every reset.
  [udev]="0 whole" [udev-neverreturn]="5 -"
)
[[ -n ${modes[$mode]:-} ]] || { echo "unknown mode $mode" >&2; exit 2; }
read -r expected ending during <<<"${modes[$mode]} "
faults=()
[[ $mode == *neverreturn ]] && faults=(--fault neverreturn)
[[ $mode == swapped ]] && faults=(--fault swapped)

. "$(dirname "$0")/harness.sh"
ports=$work/ports registry=$work/ports.reg log=$work/upgrader.log
answers=(--yes) input=/dev/null services=() pid= shown=("$log")
more_cleanup() {
  [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null
  # Some may have ended already.
  ((${#services[@]})) && { kill "${services[@]}" 2>/dev/null || true; }
}
# hook STAGE: runs this mode's STAGE_MODE, else its family's (up to a "-").
hook() { local f=$1_$mode; declare -F "$f" >/dev/null || f=$1_${mode%%-*}; if declare -F "$f" >/dev/null; then "$f"; fi; }

# Starts the front end in the background; its output goes to $log, its
# input comes from $input (closed when empty). With file_limit set, files it
# writes are limited to that many KiB.
port_options=(--ports-dir "$ports" --registry "$registry") launcher=()
start_upgrader() {
  (
    if [[ -n ${file_limit:-} ]]; then ulimit -f "$file_limit"; fi
    if [[ -n $input ]]; then exec <"$input"; else exec <&-; fi
    exec env -u UPGRADER_PORTS_DIR -u UPGRADER_REGISTRY_FILE "${launcher[@]}" \
      "$upgrader" "${answers[@]}" "$@" --time-scale "$scale" "${port_options[@]}" >"$log" 2>&1
  ) &
  pid=$!
}
finish_upgrader() {
  status=0
  wait "$pid" || status=$?
  pid=
  if ((${UPGRADE_SHOW_OUTPUT:-0})); then cat "$log"; fi
}
# Waits until the run reports a progress value from $1 to $2.
wait_ratio() {
  for _ in $(seq 2400); do
    grep -Eo '^Current Ratio: [0-9]+/100$' "$log" | awk -F'[ /]' -v low="$1" -v high="$2" \
      '$3 >= low && $3 <= high { seen = 1 } END { exit !seen }' && return 0
    kill -0 "$pid" 2>/dev/null || fail "the run ended before its progress reached $1"
    sleep 0.05
  done
  fail "the run's progress never reached $1"
}
# Waits until the run log has a line that matches $1, $2 tries at most.
wait_log() { wait_until "$2" grep -q "$1" "$log"; }
# Fails when the working folder holds files other than those named.
no_files_left() {
  local keep=() path
  for path in "$@"; do keep+=(! -path "$path"); done
  left=$(find "$UPGRADER_STATE_DIR/firmware" -type f "${keep[@]}")
  [[ -z $left ]] || fail "files left in the working folder: $left"
}
# Sets journal to the run journal a failed run leaves, which must name the
# backup kept.
journal_names_kept() {
  journal=$(find "$UPGRADER_STATE_DIR/firmware" -name 'RunJournal-????????.txt')
  grep -qx "backup ${kept##*/}" "$journal" || fail "no run journal names the kept backup $kept"
}
# Sets kept to the NV backup the run log names after $1 ($2 when there is
# none) and checks that it holds the items sampled before the run.
check_kept() {
  kept=$(grep -o "$1.*" "$log" | head -n 1 | sed "s/^$1//")
  [[ -n $kept && -f $kept ]] || fail "$2"
  nv_backup_holds "$kept" "$work/nv-before" || fail "the NV backup $kept does not hold the device's items"
}
inhibitors() {
  /usr/bin/python3 - <<'PY'
import os, dbus
bus = dbus.bus.BusConnection(os.environ["DBUS_SYSTEM_BUS_ADDRESS"])
manager = bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1")
for what, who, why, mode, uid, pid in manager.ListInhibitors(dbus_interface="org.freedesktop.login1.Manager"):
    print(what, who, mode)
PY
}

# success: another process holds the modem port open; the refused run must
# name it, and "UPDATE" is pressed again on a pipe once the port is free.
setup_success() {
  input=$work/keys
  mkfifo "$input"
  exec 5<>"$input"
  sleep 600 <>"$ports/com13" &
  holder=$!
  services+=($holder)
}
during_success() {
  refusal="^log: .*COM13 is held open by sleep (process $holder): close that program, then press UPDATE again\.$"
  wait_log "$refusal" 400 || fail "the run was not refused while another program held the modem port"
  ! grep -q '^Current Ratio: [1-9]' "$log" || fail "the refused run began"
  kill "$holder"
  wait "$holder" 2>/dev/null || true
  echo u >&5
}
after_success() {
  grep -q "COM13 ($ports/com13) is held open by sleep (process $holder): close that program" "$log" ||
    fail "the process holding the modem port was not named"
}
# awake: a private bus stands in for the system bus, with a mock logind on
# it; the final box waits for its answer on a pipe.
setup_awake() {
  dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/bus" >/dev/null 2>&1 &
  services+=($!)
  wait_until 100 test -s "$work/bus"
  export DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/bus")
  /usr/bin/python3 -m dbusmock --system --template logind >"$work/logind.log" 2>&1 &
  services+=($!)
  answers=() input=$work/answers
  mkfifo "$input"
  exec 4<>"$input"
  wait_until 200 inhibitors >/dev/null 2>&1 || fail "the mock logind did not start" "$work/logind.log"
}
during_awake() {
  [[ $(inhibitors) == "sleep:idle upgrader block" ]] || fail "no inhibitor while the run goes on: $(inhibitors)"
  wait_log '^\[Congratulations\] ' 1200 || fail "the run did not end in its final box"
  [[ -z $(inhibitors) ]] || fail "the inhibitor outlived the run: $(inhibitors)"
  echo >&4
  echo "inhibitor: held during the run, given back at its end"
}
# launch_second COMMAND...: the second copy starts through COMMAND; skipped where it is not allowed.
second=$work/second second_launcher=()
launch_second() { second_launcher=("$@"); "$@" true 2>/dev/null || skip "$* is not allowed here: $("$@" true 2>&1)"; }
setup_secondcopy-netns() { launch_second unshare -n; }
setup_secondcopy-nobody() {
  launch_second unshare -n setpriv --reuid=nobody --regid=nogroup --clear-groups
  chmod o+x "$work" && install -d -o nobody "$second" "$second/state"  # a state folder it may write
  # The build tree may lie where nobody cannot reach (a fresh clone in a
  # private folder): the same program, copied beside its state.
  second_program=$second/upgrader
  install -m 755 "$upgrader" "$second_program"
}
during_secondcopy() {
  mkdir -p "$second/state"
  second_status=0
  # A copy let through would run a whole upgrade of its own.
  timeout 60 strace -f -qq -e trace=open,openat -o "$second/trace" "${second_launcher[@]}" env UPGRADER_STATE_DIR="$second/state" \
    "${second_program:-$upgrader}" --yes --auto-start --ports-dir "$ports" --registry "$registry" </dev/null >"$second/log" 2>&1 || second_status=$?
  ((second_status == 1)) || fail "the second copy ended with status $second_status, expected 1" "$second/log"
  grep -q '^\[DL_LR520S_BEL_MD_ZUD1.00.00\] UI is running, please close it and re-run this program!' "$second/log" ||
    fail "the second copy did not say why it was refused" "$second/log"
  ! grep -F -e "\"$ports/" -e '"/dev/pts' "$second/trace" | grep -v ENOENT ||
    fail "the second copy opened a port of the device"
  [[ ! -e $second/state/firmware ]] || fail "the second copy touched its working folder"
  echo "second copy: refused with status 1, no port opened"
}
dump_secondcopy() { ! grep -q unknown "$work/dump/requests.txt" || fail "the device received requests it did not expect"; }
after_term() {
  asked=$(grep -c '^\[Warning\] Upgrade is running, stopping the application will damage the data card. Are you sure to quit?  -> Yes$' "$log" || true)
  ((asked == 3)) || fail "SIGTERM was asked $asked times, expected 3"
  grep -q "^upgrader: closing once line 1's run has ended$" "$log" || fail "no note that the program closes after the run"
}
# fullfs: 4 MiB, the modem software image cannot be written whole; no one
# answers the boxes.
setup_fullfs() { file_limit=4096 answers=() input=; }
during_fullfs() {
  wait_log 'The firmware could not be extracted whole' 100 || fail "a box waited for an answer no one can give"
  sleep 2
  kill -TERM "$pid"
}
after_fullfs() {
  grep -q '^\[DL_LR520S_BEL_MD_ZUD1.00.00\] read amss.mbn fail!' "$log" || fail "no message for the image cut short"
  grep -q 'The firmware could not be extracted whole into ' "$log" || fail "the run log does not say the firmware is incomplete"
  ! grep -q '^UPDATE: available' "$log" || fail "\"UPDATE\" was offered with incomplete firmware"
  no_files_left
}
dump_fullfs() {
  requests=$(($(wc -l <"$work/dump/requests.txt") - probe_requests))
  ((requests == 0)) || fail "the device received $requests requests from a program without its firmware"
}
after_swapped() {
  grep -q '——The modem that came back is not the one that was upgraded: its NV items were not written to it\.' "$log" ||
    fail "the other modem was not told apart"
  check_kept 'NV backup kept in ' "no NV backup kept for the upgraded modem"
  "$probe" 30 >"$work/nv-other" || fail "the other modem's NV items could not be read"
  # Items it holds are its own calibration; any the run wrote would be the
  # upgraded modem's.
  ! grep -xFf "$work/nv-before" "$work/nv-other" | grep '^[0-9]* 0 ' >/dev/null ||
    fail "the other modem holds items of the upgraded one"
  journal_names_kept
  no_files_left "$kept" "$journal"
  echo "other modem: none of the upgraded one's items; its backup kept: $kept"
}
during_changed() { flip_byte "$UPGRADER_STATE_DIR/firmware/efs.mbn" 1000; }
after_changed() {
  grep -q 'Reason: efs.mbn changed after it was checked: ' "$log" || fail "the run did not name the changed file"
  ! grep -q 'Update success!' "$log" || fail "a run with a changed image was reported a success"
  check_kept 'NV backup kept in ' "no NV backup kept"
  journal_names_kept
  no_files_left "$kept" "$journal"
}
dump_changed() { [[ ! -e $work/dump/image-9.bin ]] || fail "the changed file-system image reached the device"; }
# rescue-*: the kill follows a line of modemsim's log that matches the first
# pattern (after the mode's progress window) and precedes one that matches
# the second. The first run's output is kept in first.log.
declare -A cuts=(
  [rescue-backup]="downloadcheck| challenge " [rescue-programmer]="downloader +dmsswrite|downloader +go "
  [rescue-amss]="programmer +open +1B 05|programmer +close" [rescue-powercut]="programmer +open +1B 05|programmer +close"
  [rescue-efs]="programmer +open +1B 09| nvwrite "
)
sim_log=$work/modemsim.log
during_rescue() {
  local from=${cuts[$mode]%|*}
  wait_until 1200 grep -qE "$from" "$sim_log" || fail "modemsim's log never showed /$from/"
  lock=$(readlink /proc/"$pid"/fd/* | grep '\.lock$' | head -n 1 || true)
  if [[ $mode == *powercut ]]; then kill -KILL "$sim"; wait "$sim" || true; sim=; else kill -KILL "$pid"; fi
  ! sed -nE "/$from/,\$p" "$sim_log" | grep -E "${cuts[$mode]#*|}" >/dev/null || fail "the kill came after /${cuts[$mode]#*|}/"
}
# The new start, bounded: an idle one is ended by timeout's SIGTERM.
rescue_again() {
  cp "$log" "$work/first.log"
  # The run journal is written once the NV backup is whole.
  journals=$(find "$UPGRADER_STATE_DIR/firmware" -name 'RunJournal-????????.txt' | wc -l) want=1
  [[ $mode != rescue-backup ]] || want=0
  ((journals == want)) || fail "the cut run left $journals run journals, expected $want"
  mark=$(wc -l <"$sim_log")
  launcher=(timeout 120)
  start_upgrader --auto-start
  finish_upgrader
  echo "the new start: exit status $status"
}
after_rescue() {
  ((status == 137)) || fail "the killed run ended with status $status"
  [[ -n $lock && -f $lock ]] || fail "the killed run held no lock file, or it went with it: '$lock'"
  # A programmer cut off in a raw block reads requests again after 1 s
  # without data, real time: the port search's first question comes 2 s
  # after the start, only 0.2 s on the scaled clock, and would be taken as
  # data.
  sleep 1.5
  rescue_again
}
after_rescue-efs() {
  after_rescue
  tail -n "+$mark" "$sim_log" >"$work/rescue.log"
  ! grep -qE ' (downloader|programmer) ' "$work/rescue.log" || fail "the rescue wrote the images again"
  (($(grep -c ' nvread ' "$work/rescue.log") < 100)) || fail "the rescue read a new NV backup"
}
# The first run, its device gone, ends by itself (bounded too) as a failure
# that may leave the device in download mode; switched on again from its
# state file, the device comes up in its boot downloader.
setup_rescue-powercut() { launcher=(timeout 120); }
after_rescue-powercut() {
  ((status == 5)) || fail "the run whose device was cut off ended with status $status, expected 5"
  mv "$sim_log" "$work/modemsim-cut.log"
  start_sim "$modemsim" "$ports" "${sim_options[@]}"
  wait_until 100 grep -q 'device on the bus in downloader mode' "$sim_log" ||
    fail "the device with a cut modem software did not come back in its boot downloader" "$sim_log"
  rescue_again
}

# The probe finds the device through these; the front end is given them as
# options instead.
export UPGRADER_STATE_DIR=$work/state UPGRADER_PORTS_DIR=$ports UPGRADER_REGISTRY_FILE=$registry
sim_options=(--registry "$registry" --renumber 2 --return-delay 1000 --switch-delay 800 "${faults[@]}")
[[ $mode == *powercut ]] && sim_options+=(--state "$work/device.state")
start_sim "$modemsim" "$ports" "${sim_options[@]}"
"$probe" 10 >"$work/nv-before" || fail "the NV items could not be read before the run"
if [[ $mode == udev* ]]; then
  # The bus is built under umockdev too: its own paths lead into the testbed.
  LD_PRELOAD=libumockdev-preload.so.0 "$bridge" "$ports" "$registry" "$work/umockdev" >"$work/bridge.log" 2>&1 &
  bridge_pid=$!
  services+=($bridge_pid)
  wait_until 100 test -s "$work/umockdev" || fail "the mock USB bus did not start" "$work/bridge.log"
  printf 'fff1:0001  00  diag\nfff1:0001  02  modem\n' >"$work/usb-table"
  port_options=(--usb-table "$work/usb-table")
  launcher=(LD_PRELOAD=libumockdev-preload.so.0 "UMOCKDEV_DIR=$(cat "$work/umockdev")")
fi
hook setup
# What the device received before the program started (the probe's reads).
probe_requests=$(grep -E '^ *[0-9]+ ms ' "$work/modemsim.log" | grep -vc ' ms  device ' || true)
start=$(date +%s%N)
start_upgrader --auto-start
for step in $during; do
  window=${step%:*} signal=${step#*:}
  wait_ratio "${window%-*}" "${window#*-}"
  [[ -z $signal ]] || kill -"$signal" "$pid"
done
hook during
finish_upgrader
ms=$((($(date +%s%N) - start) / 1000000))
printf 'upgrader (%s, time scale %s): exit status %d after %d.%03d s\n' "$mode" "$scale" "$status" $((ms / 1000)) $((ms % 1000))

# modemsim's terminals are the probe's again.
if [[ $mode == udev* ]]; then
  kill "$bridge_pid"
  wait "$bridge_pid" 2>/dev/null || true
fi
hook after
((status == expected)) || fail "exit status $status, expected $expected"
if [[ $ending == whole ]]; then
  grep -Eq 'Update success!  It costs [0-9]+ minute\(s\) and [0-9]+ second\(s\)\.$' "$log" || fail "no success text"
  grep -q '^\[Congratulations\] Update success!  It costs' "$log" || fail "no success box"
elif [[ $ending == unseen ]] && grep -q 'Update success!' "$log"; then
  fail "output went on after SIGHUP"
fi
if [[ $ending != - ]]; then
  # Through udev a device back on the same USB port keeps its numbers;
  # its new terminal names are checked below.
  if [[ $mode != udev ]]; then
    grep -Eq '^Port Information: COM(1[4-9]|[2-9][0-9])$' "$log" || fail "the device was never seen under new port numbers"
  fi
  "$probe" 30 >"$work/nv-after" || fail "the NV items could not be read after the run"
  cmp -s "$work/nv-before" "$work/nv-after" || { diff "$work/nv-before" "$work/nv-after" | head; fail "the NV items were not restored"; }
  echo "NV items: $(wc -l <"$work/nv-before") sampled items hold the values they had before the run"
  no_files_left
fi
# The time left the plain output gives with each ratio, against the time the
# run really took from there, from the first image (24/100) on.
if [[ $mode == success ]]; then
  python3 - "$log" <<'PY' || fail "the time left was more than 10 % off"
import re, sys
ratio, points, end = 0, [], None
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    if m := re.match(r"Current Ratio: (\d+)/100$", line):
        ratio = int(m.group(1))
    elif m := re.match(r"time: ([\d.]+) s elapsed(?:, about ([\d.]+) s left)?$", line):
        if ratio == 100:
            end = float(m.group(1))
            break
        if ratio >= 24 and m.group(2):
            points.append((float(m.group(1)), float(m.group(2))))
if end is None or not points:
    sys.exit("time left: no estimate from the first image to the end")
errors = [abs(left - (end - at)) / (end - at) for at, left in points if end > at]
print(f"time left: largest error {100 * max(errors):.1f} % over {len(errors)} estimates from the first image on")
sys.exit(max(errors) > 0.10)
PY
fi
if [[ $mode == udev* ]]; then
  grep -q "Ports: through udev, of the USB devices fff1:0001 (table: $work/usb-table)\.$" "$log" ||
    fail "the run log does not say that the ports come through udev"
  arrivals=$(grep -c ' carries COM[0-9]*$' "$work/bridge.log" || true)
  names=$(grep -o '/dev/ttyUSB[0-9]*' "$work/bridge.log" | sort -u | wc -l)
  ((names >= 4)) || fail "the device did not come back under other terminal names" "$work/bridge.log"
  echo "mock USB bus: $arrivals terminals published under $names names"
fi
if [[ $mode == *neverreturn ]]; then
  grep -q '——reset modem fail!$' "$log" || fail "no \"reset modem fail!\" in the run log"
  grep -q '^\[Error\] Download failure, Please download again!' "$log" || fail "no failure box"
  check_kept 'NV backup kept in ' "no NV backup kept"
  echo "NV backup kept: $kept"
fi

stop_sim || fail "modemsim failed"
if [[ $ending != - ]]; then
  compare_flash "$firmware" || fail "the simulated flash differs from the images"
fi
hook dump
ok=1
