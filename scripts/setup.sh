#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages and prepares
# the project's Wine prefix. Safe to run again: it installs only what is
# missing and leaves an existing prefix alone. It also works out which
# Windows build the Wine tests run here (cmake/wine-build.sh) and installs
# Wine's 32-bit loader only where 32-bit code runs.
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
  # the Windows builds (i686 ships, x86_64 runs the Wine tests where 32-bit
  # code does not) and their tests under Wine
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64
  # the Wine window tier: virtual display, screenshots, key presses, CJK font
  xvfb x11-apps imagemagick xdotool fonts-wqy-microhei
)

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
# Other jobs on the machine may hold apt's locks for a while: wait for them.
apt_get() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 -y -q "$@"
}
# A mirror caught mid-sync serves an index of the wrong size: the update is
# tried again after a pause, and then the install goes on with the indexes
# that did arrive (an install that needs a missing one fails by itself).
apt_update() {
  local try
  for try in 1 2 3; do
    apt_get update && return 0
    ((try == 3)) || { echo "setup: apt-get update failed; trying again in $((try * 30)) s" >&2; sleep $((try * 30)); }
  done
  echo "setup: apt-get update failed 3 times; installing from the indexes it fetched" >&2
}
installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt_update
  apt_get install --no-install-recommends "${missing[@]}"
fi

# Wine's 32-bit loader, only where 32-bit code runs: installed on a machine
# that runs none, it is what Wine starts first, and every program fails.
probe=0
cmake/wine-build.sh --probe || probe=$?
((probe < 2)) || exit 1
runs_32bit=""
if ((probe == 0)); then
  runs_32bit=1
  echo "setup: this machine runs 32-bit code: the Wine tests run the i686 build (preset mingw) with wine32:i386"
  if ! installed wine32:i386; then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "setup: enabling the i386 architecture"
      $sudo dpkg --add-architecture i386
    fi
    echo "setup: installing wine32:i386"
    apt_update
    # Without it the Wine tests run the x86_64 build (cmake/wine-build.sh
    # says so), rather than no Wine test at all.
    if ! apt_get install --no-install-recommends wine32:i386; then
      echo "setup: wine32:i386 could not be installed (see above): the Wine tests run the x86_64 build" >&2
      runs_32bit=""
    fi
  fi
else
  echo "setup: this machine runs no 32-bit code: the Wine tests run the x86_64 build (preset mingw64);" \
    "the i686 build is built and checked statically, and wine32:i386 stays uninstalled"
  if installed wine32:i386; then
    echo "setup: wine32:i386 is installed, and Wine fails with it here: remove it (apt-get remove wine32:i386)" >&2
    exit 1
  fi
fi
[[ -z ${UPGRADER_WINE_BUILD:-} ]] || echo "setup: UPGRADER_WINE_BUILD=$UPGRADER_WINE_BUILD is set: the Wine tests honour it"

. cmake/wine-env.sh
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "setup: creating the Wine prefix $WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineboot -i >/dev/null 2>&1
  # The registry is written when the server exits; let it finish.
  wineserver -w
fi
if [[ -n $runs_32bit ]]; then
  # A prefix made before wine32:i386 was installed lacks the 32-bit system
  # files, and then no program starts, 64-bit ones included. `wineboot -u`
  # does not add them (Wine 8); the update Wine makes by itself when the
  # prefix's time stamp is missing does.
  if [[ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]]; then
    echo "setup: adding the 32-bit system files to the Wine prefix"
    rm -f "$WINEPREFIX/.update-timestamp"
    wineboot >/dev/null 2>&1
    wineserver -w
  fi
fi
# Wine's debugger ends a crashed program with exit code 0, 64-bit and 32-bit
# alike, so that a test that crashes would pass; with no debugger the
# program exits with its exception code.
debugger_keys=('Software\Microsoft\Windows NT\CurrentVersion\AeDebug')
[[ -z $runs_32bit ]] || debugger_keys+=('Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug')
for aedebug in "${debugger_keys[@]}"; do
  # system.reg doubles every backslash of a key.
  if ! grep -A3 -F "[${aedebug//\\/\\\\}]" "$WINEPREFIX/system.reg" | grep -x '"Debugger"=""' >/dev/null; then
    echo "setup: turning Wine's debugger off (HKLM\\$aedebug)"
    wine reg add "HKLM\\$aedebug" /v Debugger /d "" /f >/dev/null 2>&1
    wineserver -w
  fi
done
echo "setup: done"
