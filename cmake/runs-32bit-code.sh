#!/bin/sh
# Exit status 0 where this machine runs 32-bit x86 programs, 1 where it does
# not (a kernel without ia32 emulation, another architecture): the probe is a
# minimal static i386 Linux program that exits with status 7. Wine runs the
# Windows build only where this runs.
dir=$(mktemp -d "${TMPDIR:-/tmp}/dvx-probe.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
# An ELF header, one loadable segment, and: xor ebx,ebx; mov bl,7; xor eax,eax; inc eax; int 0x80
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\142\000\000\000\142\000\000\000\005\000\000\000\000\020\000\000\061\333\263\007\061\300\100\315\200' >"$dir/probe"
chmod +x "$dir/probe"
"$dir/probe" >/dev/null 2>&1
[ $? -eq 7 ]
