# Sourced by the end-to-end scripts: a scratch folder ($work, kept for
# inspection unless the script set ok=1), failing with what explains it,
# skipping (skip REASON: status 77), modemsim on pseudo-terminals, waiting,
# and the simulated flash compared with the firmware files. A script may
# define more_cleanup to stop what it started itself.
work=$(mktemp -d)
ok=0 sim= shown=()
harness_cleanup() {
  if declare -F more_cleanup >/dev/null; then more_cleanup || true; fi
  if [[ -n $sim ]]; then
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
  fi
  if ((ok)); then rm -rf "$work"; else echo "kept $work for inspection" >&2; fi
}
trap harness_cleanup EXIT

# fail MESSAGE [FILE...]: shows each FILE and those the script listed in
# $shown (its program's output), then MESSAGE, and ends the script.
fail() {
  local file
  for file in "${@:2}" "${shown[@]}"; do [[ ! -s $file ]] || { echo "--- $file"; cat "$file"; }; done
  echo "$1" >&2
  exit 1
}

skip() { echo "skipped: $1"; ok=1; exit 77; }

# wait_until TRIES COMMAND...: runs COMMAND every 50 ms until it succeeds,
# TRIES times at most.
wait_until() {
  local tries=$1
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

# start_sim MODEMSIM PORTS_DIR OPTION...: starts modemsim, its log in
# $work/modemsim.log and its dump in $work/dump, and returns once its
# diagnostic port (com12 unless --diag-port says otherwise) is there.
start_sim() {
  local modemsim=$1 ports=$2 diag=12
  shift 2
  [[ " $* " =~ " --diag-port "([0-9]+)" " ]] && diag=${BASH_REMATCH[1]}
  "$modemsim" --ports-dir "$ports" "$@" --dump "$work/dump" >"$work/modemsim.log" 2>&1 &
  sim=$!
  wait_until 100 test -e "$ports/com$diag" || fail "modemsim did not publish its ports" "$work/modemsim.log"
}

# stop_sim: ends modemsim, which writes its dump; fails when modemsim did.
stop_sim() {
  local pid=$sim
  sim=
  kill -TERM "$pid"
  wait "$pid"
}

# compare_flash FIRMWARE_DIR: what modemsim's dump holds (RAM, partition
# table, each image's header and data by image type) against the firmware
# files, byte for byte.
compare_flash() {
  local status=0 pair
  echo "simulated flash against the firmware files:"
  for pair in armprg.bin:ram.bin partition.mbn:partition.bin qcsblhd_cfgdata.mbn:image-2.bin qcsbl.mbn:image-3.bin \
    oemsblhd.mbn:image-4.header oemsbl.mbn:image-4.bin amsshd.mbn:image-5.header amss.mbn:image-5.bin \
    nandprghd.mbn:image-10.header nandprgcombined.mbn:image-10.bin efs.mbn:image-9.bin; do
    cmp -s "$1/${pair%:*}" "$work/dump/${pair#*:}" || { echo "the simulated modem holds a different ${pair/:/ (})" >&2; status=1; }
  done
  ((status == 0)) && echo "the simulated modem's flash matches every image"
  return $status
}

# nv_backup_holds BACKUP SAMPLE: the NV backup file holds every active item
# of SAMPLE (nv_probe's output). Each record: item (2 bytes, little-endian),
# 2 reserved, 128 data, status, 2 zero.
nv_backup_holds() {
  python3 - "$1" "$2" <<'PY'
import sys
backup = open(sys.argv[1], "rb").read()
assert len(backup) == 980 * 136, f"{len(backup)} bytes"
records = {}
for at in range(0, len(backup), 136):
    records.setdefault(int.from_bytes(backup[at:at + 2], "little"), backup[at + 4:at + 132].hex().upper())
for line in open(sys.argv[2]):
    item, status, data = line.split()
    if status == "0":
        assert records.get(int(item)) == data, f"item {item}"
PY
}

# flip_byte FILE OFFSET: inverts one byte of FILE in place.
flip_byte() {
  python3 -c 'import sys; f = open(sys.argv[1], "r+b"); at = int(sys.argv[2]); f.seek(at); b = f.read(1)[0]; f.seek(at); f.write(bytes([b ^ 255]))' "$@"
}
