#!/bin/sh
# Runs a Windows test program under Wine in a private 32-bit prefix, quietly.
# The prefix lives in the build tree so that a fresh clone starts from nothing
# and a developer's own ~/.wine is never touched.
#
# Where this machine runs no 32-bit code, Wine cannot start: the program is
# not run, and the exit status 77 tells CTest it was skipped and why. The
# emulated suites test the same DLL there (ctest --preset emulated).
here=$(cd "$(dirname "$0")/.." && pwd)
if ! "$here/cmake/runs-32bit-code.sh"; then
  echo "skipped: this machine runs no 32-bit x86 code, so Wine cannot run $(basename "$1"); the emulated suites test the DLL instead" >&2
  exit 77
fi
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w 2>/dev/null || true
fi
exec wine "$@"
