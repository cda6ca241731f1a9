#!/usr/bin/env bash
# wine-build.sh [--dir | --probe]
# Which Windows build the Wine tests run on this machine: the shipped i686
# build (preset mingw) where the machine runs 32-bit code and Wine's 32-bit
# loader is installed, else the x86_64 build of the same sources (preset
# mingw64). Some machines run no 32-bit
# code at all ("IA-32 emulation off"): there every 32-bit program, Wine's
# 32-bit loader included, fails with "Exec format error".
#
#   (no option)  prints the Wine tier's first line on stderr and the preset
#                on stdout: preset=$(cmake/wine-build.sh)
#   --dir        the same, with the preset's build folder on stdout
#   --probe      exits 0 if this machine runs 32-bit code, 1 if not; silent
#
# UPGRADER_WINE_BUILD=x86_64 forces the x86_64 build on a machine that runs
# 32-bit code, to check that path there (i686 is accepted, and refused where
# it cannot run).
#
# The answer is worked out afresh at every call (a few milliseconds) rather
# than recorded: a home folder or build tree carried to another machine must
# not bring the last machine's answer with it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
  echo "wine-build.sh: $*" >&2
  exit 2
}

# A static program of a few instructions that only exits with a known code,
# once as 32-bit and once as 64-bit code. The 64-bit one runs everywhere; if
# it does not, the folder refuses programs (noexec) and the 32-bit result
# would mean nothing. Exits 0 if 32-bit code runs, 1 if not, 2 on an error.
probe() (
  dir=$(mktemp -d "${TMPDIR:-/tmp}/wine-build.XXXXXX") || fail "cannot make a folder for the probe"
  # shellcheck disable=SC2064
  trap "rm -rf '$dir'" EXIT
  printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' >"$dir/probe32.s"
  printf '.globl _start\n_start:\n movl $60, %%eax\n movl $42, %%edi\n syscall\n' >"$dir/probe64.s"
  as --32 -o "$dir/probe32.o" "$dir/probe32.s" && ld -m elf_i386 -o "$dir/probe32" "$dir/probe32.o" \
    || fail "cannot assemble the 32-bit probe (binutils)"
  as --64 -o "$dir/probe64.o" "$dir/probe64.s" && ld -m elf_x86_64 -o "$dir/probe64" "$dir/probe64.o" \
    || fail "cannot assemble the 64-bit probe (binutils)"
  status=0
  "$dir/probe64" 2>/dev/null || status=$?
  ((status == 42)) || fail "cannot run programs in $dir (exit $status): set TMPDIR to a folder that can"
  status=0
  "$dir/probe32" 2>/dev/null || status=$?
  ((status == 42)) || exit 1
)

runs_32bit_code() {
  local status=0
  probe || status=$?
  ((status < 2)) || exit 2
  return "$status"
}

wine32_installed() {
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'
}

mode=${1:-}
case $mode in
  "" | --dir | --probe) ;;
  *) fail "unknown option $mode (use --dir or --probe)" ;;
esac

if [[ $mode == --probe ]]; then
  runs_32bit_code
  exit
fi

if runs_32bit_code; then
  machine="this machine runs 32-bit code"
  build=i686
else
  machine="this machine runs no 32-bit code"
  build=x86_64
  if wine32_installed; then
    fail "$machine, yet wine32:i386 is installed, and Wine's 32-bit loader fails here: apt-get remove wine32:i386"
  fi
fi
reason=$machine
case ${UPGRADER_WINE_BUILD:-} in
  "" | "$build") ;;
  x86_64)
    build=x86_64
    reason="UPGRADER_WINE_BUILD=x86_64 forces it; $machine"
    ;;
  i686) fail "UPGRADER_WINE_BUILD=i686, but $machine" ;;
  *) fail "UPGRADER_WINE_BUILD must be i686 or x86_64, not ${UPGRADER_WINE_BUILD}" ;;
esac
# Where setup could not install Wine's 32-bit loader (the package source
# failed it), the x86_64 build still runs the tests, and says why; asked for
# by name, the i686 build is refused instead.
if [[ $build == i686 ]] && ! wine32_installed; then
  [[ ${UPGRADER_WINE_BUILD:-} != i686 ]] ||
    fail "$machine, but wine32:i386 is not installed: run scripts/setup.sh"
  build=x86_64
  reason="$machine, but wine32:i386 is not installed (scripts/setup.sh could not install it)"
fi

if [[ $build == i686 ]]; then
  preset=mingw
  echo "wine: running the i686 build: $reason" >&2
else
  preset=mingw64
  echo "wine: running the x86_64 build: $reason (the i686 build is built and checked statically)" >&2
fi
if [[ $mode == --dir ]]; then
  echo "$root/build/$preset"
else
  echo "$preset"
fi
