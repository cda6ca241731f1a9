#!/usr/bin/env bash
# Sets up the machine, builds the native programs and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target link-demo
build/native/app/link-demo
