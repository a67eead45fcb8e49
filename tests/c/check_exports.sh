#!/usr/bin/env bash
# Checks that a built kavra library exports every function kavra.h declares,
# under the plain C name (no C++ mangling, no decoration).
# Usage: check_exports.sh HEADER LIBRARY LISTER [LISTER-ARGS...]
#   e.g. nm -D --defined-only (ELF), x86_64-w64-mingw32-objdump -p (DLL)
set -euo pipefail
header=$1
library=$2
shift 2

declared=$(grep -oE 'KAVRA_CALL[[:space:]]+kavra_[a-z0-9_]+' "$header" | awk '{print $2}' | sort -u)
count=$(wc -w <<<"$declared")
if ((count < 10)); then
    echo "only $count functions found in $header: the pattern no longer matches"
    exit 1
fi
# Each name as its own word: nm prints "ADDR T name", objdump's export
# table "[ord] name" (and the import library names none of them).
exported=$("$@" "$library" | grep -oE '(^|[[:space:]])kavra_[a-z0-9_]+$' | awk '{print $1}' | sort -u || true)
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
if [ -n "$missing" ]; then
    echo "declared in $(basename "$header") but not exported by $(basename "$library"):"
    echo "$missing"
    exit 1
fi
echo "all $count kavra_ functions of $(basename "$header") are exported by $(basename "$library")"
