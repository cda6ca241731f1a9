#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages and prepares
# the project's Wine prefix. Safe to run again: it installs only what is
# missing and leaves an existing prefix alone.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  # native build and tests
  cmake ninja-build g++ libgtest-dev googletest socat python3 strace pkg-config libsystemd-dev libudev-dev
  # coverage of the tests (scripts/coverage.sh)
  gcovr
  # USB devices of a mock udev for the ports and CD-ROM tests
  libumockdev-dev umockdev
  # the Debian packages: dependencies from dpkg-shlibdeps (which needs file), lintian
  dpkg-dev file lintian
  # the logind inhibitor's test: a private bus with a mock logind
  dbus-daemon python3-dbusmock
  # fuzzing and sanitizers with clang
  clang-14 libclang-rt-14-dev
  # the Windows build and its tests under Wine
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
  # the Wine window tier: virtual display, screenshots, key presses, CJK font
  xvfb x11-apps imagemagick xdotool fonts-wqy-microhei
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

. cmake/wine-env.sh
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "setup: creating the Wine prefix $WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i >/dev/null 2>&1
  # The registry is written when the server exits; let it finish.
  wineserver -w
fi
echo "setup: done"
