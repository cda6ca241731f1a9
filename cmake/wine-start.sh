#!/usr/bin/env bash
# Starts a wineserver for the project's prefix that outlives each program by
# ten idle seconds, and runs one program with every standard stream
# redirected, so that the programs ctest starts afterwards do not wait on a
# pipe the server inherited.
. "$(dirname "$0")/wine-env.sh"
wineserver -p10 >/dev/null 2>&1 || true
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
