#!/usr/bin/env bash
# Sets up the machine, builds the native programs and runs the main job: a
# session through every protocol against the simulated modem on
# pseudo-terminals, with both sides' logs and a byte-for-byte check of what
# the device stored.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target device_session modemsim
tests/e2e/run-session.sh native build/native/tests/device_session build/native/sim/modemsim
