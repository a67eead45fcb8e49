#!/usr/bin/env bash
# A new user's first command: ./demo.sh on a clean clone. Checks that it
# builds the library and the tool and nothing else (no test, example or
# benchmark program), that the demo passes, and prints how long it took
# until the demo's first line.
#
# CI runs it before ./test.sh on its fresh clone, which then builds the rest
# of the same tree. Where a build/ already exists, it clones HEAD into a
# scratch directory instead, so that the check starts from nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

tree=$PWD
if [ -e build ]; then
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    git clone --quiet "$PWD" "$scratch/kavra"
    tree=$scratch/kavra
    echo "first-demo: build/ exists here; running in a fresh clone of HEAD ($tree)"
fi

start=$(date +%s%N)
first=""
while IFS= read -r line; do
    if [ -z "$first" ] && [[ $line == "kavra demo: "* ]]; then
        first=$(( ($(date +%s%N) - start) / 1000000 ))
    fi
    printf '%s\n' "$line"
done < <("$tree/demo.sh" --count 200)
if ! wait $!; then
    echo "first-demo: ./demo.sh failed" >&2
    exit 1
fi
if [ -z "$first" ]; then
    echo "first-demo: the demo printed no 'kavra demo:' line" >&2
    exit 1
fi

# Every output ninja built, relative to the build directory.
built=$(awk -F'\t' 'NR > 1 { print $4 }' "$tree/build/.ninja_log" | sort -u)
extra=$(grep -E '^(tests|examples|bench)/' <<<"$built" || true)
if [ -n "$extra" ]; then
    echo "first-demo: ./demo.sh built more than the library and the tool:" >&2
    head -n 20 <<<"$extra" >&2
    exit 1
fi
for wanted in tools/kavra libkavra.so; do
    grep -qx "$wanted" <<<"$built" || {
        echo "first-demo: ./demo.sh did not build $wanted" >&2
        exit 1
    }
done
echo "first-demo: $(wc -l <<<"$built") outputs built (library and tool only);" \
    "first demo line after $((first / 1000)).$(printf '%03d' $((first % 1000))) s" \
    "(load average $(cut -d' ' -f1-3 /proc/loadavg))"
