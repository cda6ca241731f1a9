#!/usr/bin/env bash
# with-pty-pair.sh A B COMMAND...
# Joins two pseudo-terminals with socat and publishes them as serial port
# numbers A and B, then runs COMMAND with PTY_TEST_PORTS="A,B". A command run
# through cmake/wine-run.sh finds them in the Wine prefix's dosdevices; a
# native one in a fresh ports directory (UPGRADER_PORTS_DIR).
set -euo pipefail
a=$1 b=$2
shift 2

here=$(cd "$(dirname "$0")" && pwd)
if [[ "$(basename "$1")" == wine-run.sh ]]; then
  . "$here/../../cmake/wine-env.sh"
  dir="$WINEPREFIX/dosdevices"
  [[ -d "$dir" ]] || { echo "no Wine prefix at $WINEPREFIX: run scripts/setup.sh" >&2; exit 1; }
else
  dir=$(mktemp -d)
  export UPGRADER_PORTS_DIR="$dir"
fi
rm -f "$dir/com$a" "$dir/com$b"

socat pty,rawer,link="$dir/com$a" pty,rawer,link="$dir/com$b" &
relay=$!
cleanup() {
  kill "$relay" 2>/dev/null || true
  wait "$relay" 2>/dev/null || true
  rm -f "$dir/com$a" "$dir/com$b"
  [[ -n "${UPGRADER_PORTS_DIR:-}" ]] && rmdir "$dir" 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 100); do
  [[ -e "$dir/com$a" && -e "$dir/com$b" ]] && break
  sleep 0.05
done
[[ -e "$dir/com$a" && -e "$dir/com$b" ]] || { echo "socat did not create the terminals" >&2; exit 1; }

PTY_TEST_PORTS="$a,$b" "$@"
