#!/usr/bin/env bash
# compare-flash.sh FIRMWARE_DIR DUMP_DIR
# Compares what modemsim --dump wrote (RAM, partition table, each image's
# header and data by image type) with the firmware files byte for byte.
set -euo pipefail
firmware=$1 dump=$2
status=0
same() {
  if cmp -s "$firmware/$1" "$dump/$2"; then
    printf '  %-22s = %-18s %10d bytes\n' "$1" "$2" "$(stat -c %s "$firmware/$1")"
  else
    echo "the simulated modem holds a different $1 ($2)" >&2
    status=1
  fi
}
echo "simulated flash against the firmware files:"
same armprg.bin ram.bin
same partition.mbn partition.bin
same qcsblhd_cfgdata.mbn image-2.bin
same qcsbl.mbn image-3.bin
same oemsblhd.mbn image-4.header
same oemsbl.mbn image-4.bin
same amsshd.mbn image-5.header
same amss.mbn image-5.bin
same nandprghd.mbn image-10.header
same nandprgcombined.mbn image-10.bin
same efs.mbn image-9.bin
((status == 0)) && echo "the simulated modem's flash matches every image"
exit $status
