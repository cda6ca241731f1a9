#!/usr/bin/env bash
# Sets up the machine, builds the native programs and runs the main job: the
# firmware the program carries is written into the simulated modem over
# pseudo-terminals, with progress and run log, and the simulated flash is
# compared with every image file byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target flash-firmware modemsim upgrader_firmware
tests/e2e/run-flash.sh build/native/app/flash-firmware build/native/sim/modemsim build/native/payload/firmware
