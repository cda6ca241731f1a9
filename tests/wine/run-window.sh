#!/usr/bin/env bash
# run-window.sh MODE UPGRADER_EXE DRIVER_EXE MODEMSIM NV_PROBE FIRMWARE_DIR SCREENSHOT_DIR
# The window program under Wine on a virtual display, driven by DRIVER_EXE
# (window_driver) as a person would. MODE:
#   layout       no device: the form's controls against the table below, the
#                first state, a missing re-plug library told once, a second
#                copy refused without touching the working folder, an idle
#                close at once
#   running      the whole upgrade against modemsim: a close while it runs
#                is answered No, a session end is refused, success box, flash
#                and NV items checked
#   neverreturn  the device never comes back: the failure box, the NV backup
#                kept in the working folder
# modemsim's ports are linked into the prefix's dosdevices (COM12/13, moved
# by 2 at every return) and its registry file is imported into the prefix
# at every bus change (modemsim's hook, timed in its log).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
if [[ -z ${WINDOW_TIER_DISPLAY:-} ]]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" env WINDOW_TIER_DISPLAY=1 "$0" "$@"
fi
mode=$1 upgrader=$(realpath "$2") driver=$(realpath "$3") modemsim=$(realpath "$4") probe=$(realpath "$5")
firmware=$(realpath "$6") shots=$7
. "$root/cmake/wine-env.sh"
# The first line says which Windows build Wine runs here, and why.
build=$("$root/cmake/wine-build.sh" --dir)
[[ $upgrader == "$build"/* ]] || { echo "$upgrader is not of the build Wine runs here ($build)" >&2; exit 1; }
[[ -x $modemsim && -x $probe ]] || { echo "no modemsim or nv_probe in the native build: build the native preset first" >&2; exit 1; }

. "$root/tests/e2e/harness.sh"
title=DL_LR520S_BEL_MD_ZUD1.00.00
folder="$WINEPREFIX/drive_c/Program Files/Windows Service/LR520Snewversion"
log=$work/upgrader.log pid= shown=("$log")
mkdir -p "$shots"
echo "screenshots in $shots"
# The server's desktop keeps the display it was started under, so the tier
# starts one of its own on its display and hands back one without a display
# for the console programs of the other tiers. The server also holds
# modemsim's terminals: it goes before they close.
server_off() {
  touch "$work/no-import"
  wineserver -w
}
server_back() { env -u DISPLAY "$root/cmake/wine-start.sh"; }
more_cleanup() {
  ((ok)) || shot failed || true
  if [[ -n $pid ]]; then kill "$pid" 2>/dev/null || true; fi
  server_off
  server_back
}

drive() { wine "$driver" "$@" </dev/null 2>&1; }
shot() { import -window root "$shots/$mode-$1.png"; }
start_upgrader() {
  UPGRADER_TIME_SCALE=${UPGRADER_TIME_SCALE-10} wine "$upgrader" </dev/null >"$log" 2>&1 &
  pid=$!
}
# finish_upgrader STATUS: the window has gone and the program ends with STATUS.
finish_upgrader() {
  local status=0
  wait "$pid" || status=$?
  pid=
  ((status == $1)) || fail "the program ended with status $status, expected $1"
}
# No device ports in the prefix's registry, whatever an earlier run left.
forget_device() {
  printf 'REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\%s]\r\n\r\n' \
    Nollexusbmdm6k Nollexusbser6k >"$work/forget.reg"
  wine regedit /S "$work/forget.reg" </dev/null >/dev/null 2>&1
}

wineserver -w
"$root/cmake/wine-start.sh"
forget_device
rm -rf "$folder"

# The form of template 101 as the user sees it right after start-up: id,
# class, x, y, width, height (dialog units), enabled, text.
expected_layout() {
  local s=Static e=enabled
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' \
    -1 $s 8 7 356 8 $e "This upgrade tool is compatible with Windows XP (SP2/SP3), Windows Vista (SP1/SP2) and Windows 7." \
    -1 $s 8 24 269 8 $e "Follow these steps to update your USB stick:" \
    -1 $s 8 37 269 8 $e "1.Remove your SIM card from the stick then insert the stick." \
    -1 $s 8 50 269 8 $e "2.Wait until the tool detects your stick." \
    1188 $s 8 63 269 8 $e '3.After the "Update" button becomes available, click it to start the update.' \
    1191 $s 8 79 356 8 $e "Do not switch off your computer or start any other applications until the update complete." \
    1192 $s 8 92 356 8 $e "The update will fail if your computer goes to sleep, standby or hibernates during the update. " \
    1193 $s 8 105 356 8 $e "Make sure the stick is connected to mains power." \
    1194 $s 8 118 356 8 $e "Do not insert or remove any USB devices until the update complete." \
    1195 $s 8 131 356 8 $e "In Windows 7 or Vista, please right click the tool and select 'Run as administrator'." \
    1196 $s 8 144 356 8 $e "Do not use an USB hub. Please connect the stick directly to the PC." \
    1197 $s 8 160 356 8 $e "The update should take about 10 minutes to complate." \
    -1 $s 8 175 69 8 $e "Port Information:" \
    1166 $s 92 175 132 10 $e "COM1" \
    -1 $s 8 190 69 8 $e "Current  Version:" \
    1167 $s 92 190 180 8 $e "No Phone" \
    1168 $s 8 204 276 8 $e "Searching..." \
    -1 $s 8 218 57 8 $e "Current Ratio:" \
    1101 $s 82 219 44 8 $e "0/100" \
    1024 msctls_progress32 8 235 356 14 $e "" \
    1008 Button 290 175 66 51 disabled "UPDATE" \
    -1 $s 300 26 103px 59px disabled "#169"
}
listing() { find "$folder" -printf '%P %s %T@\n' | sort; }

run_layout() {
  # Real time, as shipped; Wine refuses to load the re-plug library, which
  # is extracted whole.
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;hopcycle=" UPGRADER_TIME_SCALE= start_upgrader
  drive box --answer ok --expect "Load Hopcycle.dll fail" 60 >"$work/boxes" || fail "no load failure" "$work/boxes"
  drive wait-window "$title" 30 wait-text 1166 COM1 5 controls >"$work/controls" || fail "no window" "$work/controls"
  shot start
  # A bitmap label takes its bitmap's size: that is checked in pixels.
  diff <(expected_layout | sort) <(awk -F'\t' -v OFS='\t' '$9 == "#169" { split($7, px, ","); $5 = px[3] "px"; $6 = px[4] "px" }
      { $7 = ""; print }' "$work/controls" | sed 's/\t\t/\t/' | sort) || fail "the form differs from its table (< expected, > shown)"
  echo "layout: $(wc -l <"$work/controls") controls at their places in dialog units, with their first texts and states"
  ! drive box 4 >>"$work/boxes" || fail "the re-plug library's failure was told again" "$work/boxes"
  echo "re-plug library not loaded: told once, the program goes on"

  listing >"$work/before"
  UPGRADER_TIME_SCALE=10 wine "$upgrader" </dev/null >"$work/second.log" 2>&1 &
  local second=$! status=0
  drive box --answer ok --expect "UI is running, please close it and re-run this program!" 60 || fail "the second copy was not refused"
  wait "$second" || status=$?
  ((status == 0)) || fail "the second copy ended with status $status, expected 0"
  listing | diff "$work/before" - || fail "the second copy touched the working folder"
  echo "second copy: refused, ended with status 0, working folder untouched"

  drive wait-window "$title" 5 close gone 5 || fail "the idle window did not close at once"
  finish_upgrader 3
  shot end
  [[ -z $(find "$folder" -type f) ]] || fail "files left in the working folder: $(find "$folder" -type f)"
  echo "idle close: at once, no files left"
}

# run_upgrade FAULT...: modemsim with FAULT, NV items sampled, UPDATE pressed
# once it is offered.
run_upgrade() {
  export UPGRADER_PORTS_DIR=$WINEPREFIX/dosdevices UPGRADER_REGISTRY_FILE=$work/ports.reg
  local hook="[ -e '$work/no-import' ] || { t=\$(date +%s%N); timeout 10 wine regedit /S \"\$MODEMSIM_REGISTRY\" </dev/null >/dev/null 2>&1; echo \"registry imported in \$(((\$(date +%s%N) - t) / 1000000)) ms\"; }"
  start_sim "$modemsim" "$UPGRADER_PORTS_DIR" --registry "$UPGRADER_REGISTRY_FILE" --hook "$hook" --renumber 2 \
    --return-delay 1000 --switch-delay 800 "$@"
  "$probe" 10 >"$work/nv-before" || fail "the NV items could not be read before the run"
  start_upgrader
  drive wait-window "$title" 60 >/dev/null || fail "no window"
  # A program that does not carry its re-plug library yet says so once.
  if drive box --answer ok --expect "Load Hopcycle.dll fail" 3 >/dev/null; then
    echo "re-plug library: not carried by this build, not loaded"
  fi
  drive wait-window "$title" 5 wait-enabled 1008 1 60 \
    wait-text 1168 'Ready. Now press the "UPDATE" button to start the update.' 8 press 1008 || fail "UPDATE was not offered"
  start=$(date +%s)
}
# stop_device: the server lets go of modemsim's terminals, then modemsim ends
# and writes its dump.
stop_device() {
  forget_device
  server_off
  stop_sim || fail "modemsim failed"
  echo "registry imports: $(grep -c '^registry imported' "$work/modemsim.log"), $(grep -o '[0-9]* ms$' "$work/modemsim.log" | sort -n | tail -n 1) at most"
}

run_running() {
  run_upgrade
  drive wait-window "$title" 5 wait-text 1101 '!0/100' 120 close \
    box --answer no --expect "Upgrade is running, stopping the application will damage the data card. Are you sure to quit?" 10 \
    >"$work/boxes" || fail "no question on close while the run goes on" "$work/boxes"
  shot mid
  wine wineboot --end-session </dev/null >/dev/null 2>&1 || true
  drive wait-window "$title" 5 || fail "the window did not outlive the session end"
  echo "close answered No and session end refused: the window stays"
  drive box --answer ok --expect "Update success!  It costs *" 900 >>"$work/boxes" || fail "the run did not succeed" "$work/boxes"
  grep -Eq $'^Congratulations\tUpdate success!  It costs [0-9]+ minute\\(s\\) and [0-9]+ second\\(s\\)\\.$' "$work/boxes" ||
    fail "not the success box" "$work/boxes"
  echo "success after $(($(date +%s) - start)) s: $(tail -n 1 "$work/boxes")"
  shot end
  drive wait-window "$title" 5 close gone 10 || fail "the window did not close after the run"
  finish_upgrader 0
  "$probe" 30 >"$work/nv-after" || fail "the NV items could not be read after the run"
  cmp -s "$work/nv-before" "$work/nv-after" || { diff "$work/nv-before" "$work/nv-after" | head; fail "the NV items were not restored"; }
  echo "NV items: $(wc -l <"$work/nv-before") sampled items hold the values they had before the run"
  stop_device
  compare_flash "$firmware" || fail "the simulated flash differs from the images"
}

run_neverreturn() {
  run_upgrade --fault neverreturn
  shot mid
  : >"$work/boxes"
  for _ in 1 2 3; do
    drive box --answer ok 900 >>"$work/boxes" || fail "the run did not end in a box" "$work/boxes"
    ! grep -q $'^Error\tDownload failure, Please download again!' "$work/boxes" || break
  done
  grep -q $'^Error\tDownload failure, Please download again!' "$work/boxes" || fail "no failure box" "$work/boxes"
  echo "device never returned, after $(($(date +%s) - start)) s: $(paste -sd'|' "$work/boxes")"
  shot end
  drive wait-window "$title" 5 wait-text 1168 '!Downloading...' 30 close gone 10 || fail "the window did not close after the run"
  finish_upgrader 5
  mapfile -t kept < <(find "$folder" -type f -name '*.nvm')
  ((${#kept[@]} == 1)) || fail "expected one kept NV backup in the working folder, found: ${kept[*]}"
  nv_backup_holds "${kept[0]}" "$work/nv-before" || fail "the kept NV backup does not hold the device's items"
  echo "NV backup kept: ${kept[0]#"$WINEPREFIX/"}"
  stop_device
}

declare -F "run_$mode" >/dev/null || { echo "unknown mode $mode" >&2; exit 2; }
"run_$mode"
ok=1
