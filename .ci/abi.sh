#!/usr/bin/env bash
# The built shared library against the ABI of its release, committed as
# abi/libkavra.abi (written by abidw, see RELEASING.md). Fails when:
#   - the library's soname is not the one the baseline was taken from (the
#     version was raised without a fresh baseline, or the other way round);
#   - abidiff finds anything removed or changed: an exported class's layout,
#     a virtual table, a function's type, a symbol gone (but for the
#     standard library's weak copies, abi/suppressions.ini).
# Additions pass and are listed here, so the log shows what a release adds.
# An incompatible change therefore needs the same commit to raise the minor
# version (and with it the soname) and to refresh the baseline.
#
# Usage: .ci/abi.sh [BUILD_DIR]   (default build, as ./test.sh leaves it)
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh abigail-tools binutils

build_dir=${1:-build}
baseline=abi/libkavra.abi
library=$(readlink -f "$build_dir/libkavra.so")
soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
baseline_soname=$(grep -o -m 1 "soname='[^']*'" "$baseline" | cut -d"'" -f2)
if [ "$soname" != "$baseline_soname" ]; then
    echo "abi: the library is $soname, the baseline $baseline was taken from $baseline_soname;" \
        "a release raises the version and refreshes the baseline in one commit (RELEASING.md)" >&2
    exit 1
fi

report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
abidiff --headers-dir2 include/kavra --suppressions abi/suppressions.ini \
    "$baseline" "$library" >"$report" || status=$?
cat "$report"
# abidiff's status is a bit mask: 1 error, 2 usage, 4 a change, 8 a change
# it knows to be incompatible.
if ((status & 3)); then
    echo "abi: abidiff failed (status $status)" >&2
    exit 1
fi
removed_or_changed=$({ grep -E '^(Functions|Variables|Function symbols|Variable symbols) changes summary:' \
    "$report" || true; } | { grep -oE '[0-9]+ (Removed|Changed)' || true; } | awk '{ sum += $1 } END { print sum + 0 }')
if ((status & 8)) || [ "$removed_or_changed" -ne 0 ]; then
    echo "abi: incompatible with $baseline_soname (above); raise the minor version and" \
        "refresh the baseline in the same commit (RELEASING.md)" >&2
    exit 1
fi
if ((status & 4)); then
    echo "abi: compatible additions to $soname (listed above)"
else
    echo "abi: $soname as in $baseline"
fi
