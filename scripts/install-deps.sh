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

root=$(cd "$(dirname "$0")/.." && pwd)
# From python3 on, the Python package's: the libraries it imports and its
# tests', and venv, pip, setuptools and wheel, with which `pip install
# --no-build-isolation --no-index ./python` installs it into a venv without
# a network.
for pkg in cmake ninja-build pkg-config g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev \
           libeigen3-dev libcli11-dev nlohmann-json3-dev libunicorn-dev libsuitesparse-dev libspectra-dev \
           gnuplot-nox valgrind \
           g++-mingw-w64-i686 binutils-mingw-w64-i686 dpkg-dev xz-utils \
           python3 python3-numpy python3-pandas python3-scipy python3-matplotlib python3-tqdm \
           python3-dask python3-distributed python3-pytest python3-h5py \
           python3-venv python3-pip python3-setuptools python3-wheel; do
  want "$pkg"
done
# Wine runs the Windows build only where the kernel runs 32-bit code; where
# it does not, the DLL is tested on the emulated i386 CPU (libunicorn-dev)
# and Wine would never start. Its 32-bit loader comes from the i386
# architecture.
if "$root/cmake/runs-32bit-code.sh"; then
  want wine
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need="$need wine32:i386"
  else
    have_pkg wine32:i386 || need="$need wine32:i386"
  fi
fi

# SUNDIALS is built from Debian's source package, for both targets alike
# (cmake/Sundials.cmake); the unpacked source lives in build/deps/sundials.
# Its deb-src entry goes in before any update, so that one update fetches
# every index this run needs.
deps="$root/build/deps"
if [ ! -f "$deps/sundials/CMakeLists.txt" ]; then
  has_deb_src() {
    grep -qs '^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
      grep -qsE '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources
  }
  if ! has_deb_src; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "the SUNDIALS source needs a deb-src entry (run as root, or add one yourself)" >&2
      exit 1
    fi
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || { echo "/etc/os-release names no release codename" >&2; exit 1; }
    # The source entry takes the mirror the machine already uses for the
    # release's binary packages: the URIs (and key) of its deb822 stanza, or
    # of its one-line entry.
    stanza=$(awk -v want="$codename" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " want " ") && uris != "" && found == "") {
          found = "URIs: " uris; if (key != "") found = found "\nSigned-By: " key
        }
        types = suites = uris = key = ""
      }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
      /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
      /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
      /^Signed-By:/ { sub(/^Signed-By:[ \t]*/, ""); key = $0 }
      END { flush(); printf "%s", found }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
    if [ -n "$stanza" ]; then
      echo "adding a deb-src entry for $codename beside the machine's own (SUNDIALS is built from Debian's source package)"
      printf 'Types: deb-src\n%b\nSuites: %s\nComponents: main\n' "$stanza" "$codename" \
        >/etc/apt/sources.list.d/dolvanex-deb-src.sources
    else
      line=$(awk -v want="$codename" '$1 == "deb" {
          i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
          if ($(i + 1) == want) { $1 = "deb-src"; print; exit } }' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null)
      [ -n "$line" ] || { echo "no package source for $codename is configured to take a deb-src entry from: add one for the source package sundials yourself" >&2; exit 1; }
      echo "adding a deb-src entry for $codename beside the machine's own (SUNDIALS is built from Debian's source package)"
      echo "$line" >/etc/apt/sources.list.d/dolvanex-deb-src.list
    fi
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
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    echo "the install failed with the indexes as they are; trying the $release release's packages (-t $release)" >&2
    install -t "$release" ||
      { echo "could not install:$need (neither from the indexes as they are nor from $release alone)" >&2; exit 1; }
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
