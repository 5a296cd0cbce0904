#!/bin/sh
# Fails unless the built component library exports exactly the five entry
# points (plus any extra names given after the library path) and, for the
# Windows DLL, imports nothing but Windows system DLLs.
# usage: check-exports.sh <objdump-or-nm> <library> [extra export...]
set -eu
tool=$1 lib=$2
shift 2
expected=$(printf '%s\n' GetVersionNumber UDCmodelOpt UDMInit ListNodeInfo2 UDMMain "$@" | sort)
status=0
case "$lib" in
*.dll)
  dump=$("$tool" -p "$lib")
  echo "$dump" | grep -q 'file format pei-i386' || { echo "$lib is not an i386 PE"; status=1; }
  # Export names: lines "[   n] Name" of the export table.
  exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] \([A-Za-z0-9_@]*\)$/\1/p' | sort)
  imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
  for dll in $imports; do
    case "$(echo "$dll" | tr '[:upper:]' '[:lower:]')" in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll) ;;
    *) echo "imports a non-system DLL: $dll"; status=1 ;;
    esac
  done
  ;;
*)
  exports=$("$tool" -D --defined-only "$lib" | awk '$2 ~ /^[TtWDBR]$/ {print $3}' | sort)
  ;;
esac
if [ "$exports" != "$expected" ]; then
  echo "exports differ from the expected set:"
  echo "expected:"; echo "$expected"
  echo "found:"; echo "$exports"
  status=1
fi
[ $status -eq 0 ] && echo "exports: $(echo $exports)" && echo "imports: $(echo ${imports:-})"
exit $status
