#!/bin/sh
# Installs what the build needs on a fresh Debian machine (as root), and
# nothing when everything is already there.
set -eu

need=""
# A mirror in mid-sync fails an index now and then: try again, and go on with
# what was fetched (the install itself says so if a package is out of reach).
# Once a run: a second update in the same minute fetches the same indexes.
updated=""
apt_update() {
  [ -z "$updated" ] || return 0
  updated=1
  for attempt in 1 2 3; do
    apt-get update -q && return 0
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" -eq 3 ] || sleep $((attempt * 3))
  done
  echo "going on with the package indexes as they are" >&2
}
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
want() { have_pkg "$1" || need="$need $1"; }

for pkg in cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev \
           libeigen3-dev libcli11-dev nlohmann-json3-dev gnuplot-nox valgrind \
           g++-mingw-w64-i686 binutils-mingw-w64-i686 wine dpkg-dev xz-utils \
           python3 python3-numpy python3-pandas python3-scipy python3-matplotlib python3-tqdm \
           python3-dask python3-distributed python3-pytest; do
  want "$pkg"
done
# Wine's 32-bit loader comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need="$need wine32:i386"
else
  have_pkg wine32:i386 || need="$need wine32:i386"
fi

# SUNDIALS is built from Debian's source package, for both targets alike
# (cmake/Sundials.cmake); the unpacked source lives in build/deps/sundials.
# Its deb-src entry goes in before any update, so that one update fetches
# every index this run needs.
root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/build/deps"
if [ ! -f "$deps/sundials/CMakeLists.txt" ]; then
  has_deb_src() {
    grep -qs '^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
      grep -qsE '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources
  }
  if ! has_deb_src; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "the SUNDIALS source needs a deb-src entry for bookworm (run as root, or add one yourself)" >&2
      exit 1
    fi
    echo "adding a deb-src entry for bookworm (SUNDIALS is built from Debian's source package)"
    cat >/etc/apt/sources.list.d/dolvanex-deb-src.sources <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  fi
fi

if [ -n "$need" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$need (run as root, or install them yourself)" >&2
    exit 1
  fi
  echo "installing:$need"
  apt_update
  install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" $need; }
  # A security index that failed to download (a mirror in mid-sync, for one
  # architecture only) leaves the amd64 libraries from bookworm-security
  # without i386 twins of their version, and wine32:i386 unresolvable; the
  # release's own packages still fit together.
  if ! install; then
    echo "the install failed with the indexes as they are; trying the bookworm release's packages (-t bookworm)" >&2
    install -t bookworm ||
      { echo "could not install:$need (neither from the indexes as they are nor from bookworm alone)" >&2; exit 1; }
  fi
fi

if [ ! -f "$deps/sundials/CMakeLists.txt" ]; then
  rm -rf "$deps/sundials-fetch"
  mkdir -p "$deps/sundials-fetch"
  fetch() { (cd "$deps/sundials-fetch" && apt-get source -q sundials >"$deps/sundials-fetch.log" 2>&1); }
  if ! fetch; then
    # A deb-src entry whose index was never downloaded.
    if [ "$(id -u)" -eq 0 ]; then apt_update && fetch; else false; fi ||
      { cat "$deps/sundials-fetch.log" >&2; echo "could not fetch Debian's source package sundials" >&2; exit 1; }
  fi
  unpacked=$(find "$deps/sundials-fetch" -mindepth 1 -maxdepth 1 -type d -name 'sundials-*' | head -n 1)
  [ -n "$unpacked" ] && [ -f "$unpacked/CMakeLists.txt" ] ||
    { echo "the source package sundials did not unpack as expected" >&2; exit 1; }
  mv "$unpacked" "$deps/sundials"
  rm -rf "$deps/sundials-fetch" "$deps/sundials-fetch.log"
  echo "SUNDIALS source: $(sed -n 's/^Version: //p' "$deps/sundials/debian/control" 2>/dev/null)$(head -n 1 "$deps/sundials/debian/changelog" | sed 's/^[^(]*(\([^)]*\)).*/\1/')"
fi
