#!/usr/bin/env bash
# Builds the ZIP for Windows users from the shipped 32-bit build (preset
# mingw) into build/mingw/packages: upgrader.exe once the Windows build has
# that program, README.txt and LICENCE.txt. Needs what scripts/setup.sh
# installs; CPack writes the ZIP itself (libarchive), no zip program needed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/mingw
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target windows_zip_files
# A ZIP left by an earlier version must not be taken for this one.
rm -rf "$build/packages"
cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$build/packages"
zip=$(echo "$build"/packages/*.zip)
python3 -m zipfile -l "$zip"
echo "package-windows: $zip"
