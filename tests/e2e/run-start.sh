#!/usr/bin/env bash
# run-start.sh UPGRADER
# The terminal front end against odd inputs, with no device: state folders
# and tables it must refuse at start-up (status 1, nothing made), a registry
# that is a FIFO, a closed standard input while a box is asked, and a hang-up
# during start-up; every signal is taken at once.
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

# refused TEXT COMMAND...: COMMAND ends at once with status 1 and says TEXT,
# and nothing is made in the current folder or the state folder.
refused() {
  local text=$1 status=0
  shift
  (cd "$work/cwd" && exec timeout -k 1 5 "$@" </dev/null >"$log" 2>&1) || status=$?
  ((status == 1)) || fail "exit status $status, expected 1 with: $text"
  grep -qF "upgrader: $text" "$log" || fail "no \"$text\""
  [[ -z $(ls -A "$work/cwd") && ! -e $work/state ]] || fail "start-up made files: $(find "$work/cwd" "$work/state")"
}
# ends STATUS SECONDS: the program ends with STATUS within SECONDS.
ends() {
  wait_until $((20 * $2)) eval '! kill -0 "$pid" 2>/dev/null' || fail "still running $2 s later"
  local status=0
  wait "$pid" || status=$?
  pid=
  ((status == $1)) || fail "exit status $status, expected $1"
}

refused "UPGRADER_STATE_DIR=state is not an absolute path" env UPGRADER_STATE_DIR=state "$upgrader" --yes "${options[@]}"
refused "the table of USB devices $work/fifo is not a regular file" "$upgrader" --yes --usb-table "$work/fifo"
# A read-only state folder, as a user who cannot write it.
if setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null; then
  chmod o+x "$work"
  mkdir -p "$work/nobody/state/firmware"
  install -m 755 "$upgrader" "$work/nobody/upgrader"
  chmod -R a-w "$work/nobody"
  refused "the folder $work/nobody/state/firmware cannot be written (Permission denied)" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups env UPGRADER_STATE_DIR="$work/nobody/state" \
    "$work/nobody/upgrader" --yes "${options[@]}"
  [[ -z $(ls -A "$work/nobody/state/firmware") ]] || fail "the read-only working folder was written"
else
  echo "read-only state folder: skipped, setpriv is not allowed here"
fi
echo "start-up refusals: status 1, nothing made"

# The port search does not wait on a FIFO named as the registry.
"$upgrader" --yes "${options[@]}" --time-scale 10 --registry "$work/fifo" </dev/null >"$log" 2>&1 &
pid=$!
wait_until 100 grep -q "The registry file $work/fifo is not a regular file and is not read" "$log" ||
  fail "the FIFO was not refused"
kill -TERM "$pid"
ends 3 2

# Standard input closed, no --yes: a box at start-up (the firmware cut short
# by a file-size limit) takes its default, and SIGTERM then ends the program.
(
  ulimit -f 4096
  exec "$upgrader" "${options[@]}" --time-scale 10 <&- >"$log" 2>&1
) &
pid=$!
wait_until 100 grep -q 'The firmware could not be extracted whole' "$log" || fail "a box waited for an answer"
kill -TERM "$pid"
ends 3 2

# A hang-up during start-up (its last pause lasts a second at this scale):
# nothing is shown after it, whatever follows.
"$upgrader" --yes "${options[@]}" --time-scale 0.1 </dev/null >"$log" 2>&1 &
pid=$!
wait_until 100 grep -q '^DL_LR520S_BEL_MD_ZUD1.00.00$' "$log" || fail "no title"
kill -HUP "$pid"
sleep 0.2
kill -TERM "$pid"
# Quitting still waits its half second for the re-plug library, ten times
# longer at this scale.
ends 3 10
! grep -q '^Port Information' "$log" || fail "the form was shown after the hang-up"
echo "signals: the FIFO registry, a closed standard input and a hang-up during start-up"
ok=1
