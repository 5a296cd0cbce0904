#!/bin/sh
# Fails when a function of the binary accesses a stack slot with an SSE
# instruction that needs 16-byte alignment (movaps, movdqa, packed arithmetic
# with a memory operand, ...) without first realigning the stack
# (and $-16,%esp or stronger). A host may call the exports with a stack
# aligned to 4 bytes only; such an access would then fault.
#
# Stack slots are memory operands based on %esp or %ebp. An access through
# another register that holds a stack address is not seen, nor is a local
# function that relies on its callers having realigned: a finding of that
# kind must be read in the disassembly.
# usage: check-stack-alignment.sh <objdump> <binary>
set -eu
tool=$1 binary=$2
"$tool" -d --no-show-raw-insn "$binary" | awk -v binary="$binary" '
function needs_alignment(m) {
    if (m ~ /^v/) return m ~ /^vmov(aps|apd|dqa|ntps|ntpd|ntdq|ntdqa)$/
    # Unaligned forms, and forms whose memory operand is 8 bytes or less.
    if (m ~ /^(movups|movupd|movdqu|lddqu|movlps|movhps|movlpd|movhpd|movq|movd|movss|movsd|movddup)$/) return 0
    if (m ~ /^(cvtps2pd|cvtdq2pd|cvtpi2ps|cvtpi2pd|maskmovdqu)$/) return 0
    if (m ~ /^(pinsr|pextr|pmovzx|pmovsx|extractps|insertps)/) return 0
    if (m ~ /^cvt/ && m ~ /(si2s[sd]|s[sd]2si|ss2sd|sd2ss)/) return 0
    if (m ~ /(ss|sd)$/) return 0
    # Everything else that takes a 16-byte memory operand needs alignment.
    if (m ~ /(ps|pd|dq|dqa)$/) return 1
    if (m ~ /^p/) return 1
    return 0
}
function finish() {
    if (name != "" && found != "" && !realigned) { printf "%s", found; bad++ }
    found = ""; realigned = 0
}
/^[0-9a-f]+ <.*>:$/ { finish(); name = $2; gsub(/^<|>:$/, "", name); functions++; next }
/^[ \t]*[0-9a-f]+:\t/ {
    text = $0
    sub(/^[ \t]*[0-9a-f]+:\t/, "", text)
    split(text, word, /[ \t]+/)
    m = word[1]
    if (m ~ /^and[l]?$/ && text ~ /\$0xffffff(f0|e0|c0|80),%esp/ && !realigned) { realigned = 1; realigning++ }
    if (text ~ /%xmm/ && text ~ /\(%e[sb]p/ && needs_alignment(m)) {
        found = found name ": " text "\n"
        accesses++
    }
}
END {
    finish()
    if (functions == 0) { print binary ": no functions in the disassembly"; exit 1 }
    if (bad > 0) { print bad " function(s) of " binary " need a 16-byte-aligned stack without realigning it"; exit 1 }
    print binary ": " functions " functions, " realigning + 0 " of them realign the stack; " accesses + 0 " aligned SSE accesses to stack slots, all in those"
}'
