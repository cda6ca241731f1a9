#!/usr/bin/env bash
# Sets up the machine, builds the native programs and runs the main job: the
# terminal front end upgrades the simulated modem over pseudo-terminals,
# unattended and ten times faster than real time: NV backup, download mode,
# programmer, every image, the device's return under new port numbers, NV
# restore and normal mode. Then the simulated flash is compared with every
# image file byte for byte and the NV items with their values before the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target upgrader modemsim nv_probe upgrader_firmware
UPGRADE_SHOW_OUTPUT=1 tests/e2e/run-upgrade.sh demo build/native/app/upgrader build/native/sim/modemsim \
  build/native/tests/nv_probe build/native/payload/firmware
