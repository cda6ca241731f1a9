# shellcheck shell=bash
# Sourced by every script that runs Wine: one prefix for the project, quiet.
# The prefix is 64-bit; 32-bit programs run in it under WoW64 where the
# machine runs 32-bit code and wine32:i386 is installed (scripts/setup.sh).
if [[ -n ${UPGRADER_STATIC_CHECK:-} ]]; then
  echo "wine: a static check must not start Wine (UPGRADER_STATIC_CHECK is set)" >&2
  exit 1
fi
export WINEPREFIX="${WINEPREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/upgrader/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEARCH=win64
