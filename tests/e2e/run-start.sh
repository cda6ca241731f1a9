#!/usr/bin/env bash
# run-start.sh UPGRADER
# The terminal front end against odd inputs, with no device: start-up
# refusals (status 1, nothing made), and a hang-up during start-up after
# which nothing is shown.
set -euo pipefail
upgrader=$(realpath "$1")
. "$(dirname "$0")/harness.sh"
log=$work/log pid= shown=("$log")
more_cleanup() { [[ -z $pid ]] || kill -KILL "$pid" 2>/dev/null; }
unset UPGRADER_PORTS_DIR UPGRADER_REGISTRY_FILE
export UPGRADER_STATE_DIR=$work/state
mkdir "$work/ports" "$work/cwd"
mkfifo "$work/fifo"
options=(--auto-start --ports-dir "$work/ports")

# refused TEXT COMMAND...: ends at once with status 1, says TEXT, makes nothing.
refused() {
  local text=$1 status=0
  shift
  (cd "$work/cwd" && exec timeout -k 1 5 "$@" </dev/null >"$log" 2>&1) || status=$?
  ((status == 1)) && grep -qF "upgrader: $text" "$log" || fail "exit status $status, expected 1 with: $text"
  [[ -z $(ls -A "$work/cwd") && ! -e $work/state ]] || fail "start-up made files: $(find "$work/cwd" "$work/state")"
}

refused "UPGRADER_STATE_DIR=state is not an absolute path" env UPGRADER_STATE_DIR=state "$upgrader" --yes "${options[@]}"
refused "the table of USB devices $work/fifo is not a regular file" "$upgrader" --yes --usb-table "$work/fifo"
# A read-only state folder, as a user who cannot write it.
if setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null; then
  mkdir -p "$work/nobody/state/firmware"
  install -m 755 "$upgrader" "$work/nobody/upgrader"
  chmod o+x "$work" && chmod -R a-w "$work/nobody"
  refused "the folder $work/nobody/state/firmware cannot be written (Permission denied)" setpriv --reuid=nobody \
    --regid=nogroup --clear-groups env UPGRADER_STATE_DIR="$work/nobody/state" "$work/nobody/upgrader" --yes "${options[@]}"
  [[ -z $(ls -A "$work/nobody/state/firmware") ]] || fail "the read-only working folder was written"
fi

# A hang-up during start-up (its last pause lasts a second at this scale):
# nothing is shown after it, whatever follows. Quitting still waits its half
# second for the re-plug library, ten times longer here.
"$upgrader" --yes "${options[@]}" --time-scale 0.1 </dev/null >"$log" 2>&1 &
pid=$!
wait_until 100 grep -q '^DL_LR520S_BEL_MD_ZUD1.00.00$' "$log" || fail "no title"
kill -HUP "$pid"
sleep 0.2
kill -TERM "$pid"
wait_until 200 eval '! kill -0 "$pid" 2>/dev/null' || fail "still running ten seconds after the hang-up"
status=0
wait "$pid" || status=$?
pid=
((status == 3)) || fail "exit status $status after the hang-up, expected 3"
! grep -q '^Port Information' "$log" || fail "the form was shown after the hang-up"
ok=1
