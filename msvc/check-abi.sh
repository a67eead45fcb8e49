#!/usr/bin/env bash
# Fails when the Visual C++ face's interface changes: every name that
# kavra_msvc.dll exports, decoded by llvm-undname, against abi/exports-ARCH.txt
# (calling convention, const, access and parameter types included), and the
# virtual tables of KavraClientThread, KavraPDU and KavraHeader slot by slot,
# as clang lays them out for a program that includes the headers, against
# abi/vtables.txt. After an intended change, run it with --update and
# review the diff.
#
# Usage: msvc/check-abi.sh x86_64|i686 OUT_DIR [--update]
set -euo pipefail

ARCH=$1
OUT=$(cd "$2" && pwd)
cd "$(dirname "$0")"
UPDATE=${3:-}

exports() {
    llvm-readobj-14 --coff-exports "$OUT/kavra_msvc.dll" | sed -n 's/^ *Name: //p' |
        llvm-undname-14 | grep -v '^$' | paste - - | sort
}

# Clang prints a class's layout when a program first needs it: deleting
# through the base pointer does. The RTTI line of each table is left out.
vtables() {
    local probe=$OUT/obj/VtableProbe.cpp
    cat >"$probe" <<'PROBE'
#include "kavra_msvc/KavraClientThread.h"
#include "kavra_msvc/KavraHeader.h"
#include "kavra_msvc/KavraPDU.h"
void probe(KavraClientThread* c, KavraPDU* p, KavraHeader* h) {
    delete c;
    delete p;
    delete h;
}
PROBE
    clang++-14 --target="$ARCH-pc-windows-msvc" -std=c++17 -ffreestanding -nostdinc++ -I include \
        -Xclang -fdump-vtable-layouts -emit-llvm -S -o /dev/null "$probe" |
        awk '/^VFTable for .* in .(KavraClientThread|KavraPDU|KavraHeader). \(/ {on = 1}
             on && /^$/ {on = 0; print ""}
             on && !/ RTTI$/ {print}'
}

compare() {
    local expected=$1 actual=$2 what=$3
    if [ "$UPDATE" = --update ]; then
        cp "$actual" "$expected"
    elif ! diff -u "$expected" "$actual"; then
        echo "check-abi: the $what changed (diff above: expected, then built)" >&2
        return 1
    fi
}

exports >"$OUT/exports.txt"
vtables >"$OUT/vtables.txt"
status=0
compare "abi/exports-$ARCH.txt" "$OUT/exports.txt" "exported names of kavra_msvc.dll ($ARCH)" || status=1
compare abi/vtables.txt "$OUT/vtables.txt" "virtual tables ($ARCH)" || status=1
[ "$status" = 0 ] && echo "check-abi: $(wc -l <"$OUT/exports.txt") exported names and 3 virtual tables as expected ($ARCH)"
exit "$status"
