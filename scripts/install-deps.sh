#!/bin/sh
# Installs what the build needs on a fresh Debian machine (as root), and
# nothing when everything is already there.
set -eu

need=""
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
want() { have_pkg "$1" || need="$need $1"; }

for pkg in cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev \
           libeigen3-dev libcli11-dev nlohmann-json3-dev gnuplot-nox valgrind \
           g++-mingw-w64-i686 binutils-mingw-w64-i686 wine; do
  want "$pkg"
done
# Wine's 32-bit loader comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need="$need wine32:i386"
else
  have_pkg wine32:i386 || need="$need wine32:i386"
fi

if [ -n "$need" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$need (run as root, or install them yourself)" >&2
    exit 1
  fi
  echo "installing:$need"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $need
fi
