#!/usr/bin/env bash
# Builds the Debian packages of upgrader and modemsim from the native preset
# into build/native/packages and checks them with lintian; any error fails.
# Needs what scripts/setup.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/native
cmake --preset native >/dev/null
cmake --build --preset native --target upgrader modemsim
# A package left by an earlier version must not be checked or installed.
rm -rf "$build/packages"
(cd "$build" && cpack)
debs=("$build"/packages/*.deb)
# Built to be installed, not uploaded to Debian: no bug of the archive's is
# there for the first changelog entry to close.
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${debs[@]}"
echo "package: ${debs[*]}"
