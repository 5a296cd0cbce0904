#!/bin/sh
# Tests the product, build/windows/Dolvanex.dll: under Wine where this
# machine runs 32-bit code, on the emulated i386 CPU where it does not (the
# kernel has no ia32 emulation, or the machine is not an x86). The Windows
# build's own suites run either way: where Wine cannot start, CTest reports
# each that needs it as skipped, with the reason. The emulator's own tests
# run everywhere. The last line says which path tested the DLL.
set -eu
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
ctest --preset windows -j "$jobs"
if cmake/runs-32bit-code.sh; then
  ctest --preset emulated -j "$jobs" -L emulator
  echo "The DLL (build/windows/Dolvanex.dll) was tested under Wine: this machine runs 32-bit code. The emulator's own tests ran as well."
else
  ctest --preset emulated -j "$jobs"
  echo "The DLL (build/windows/Dolvanex.dll) was tested on the emulated i386 CPU: this machine runs no 32-bit code, so the suites that need Wine were skipped."
fi
