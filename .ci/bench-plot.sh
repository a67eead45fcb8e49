#!/usr/bin/env bash
# The benchmark's picture: `bench/run.sh --quick --plot` builds the
# benchmark, runs it briefly and draws the results with gnuplot. Checks that
# the SVG came out with every transport in it and that the numbers behind it
# are complete: delivered msg/s for each transport at each body size, the
# round trip for kavra, raw sockets and libzmq. About a minute on an idle
# machine, most of it the Release build.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$SECONDS
bench/run.sh --quick --plot "$work/bench.svg" >"$work/log" 2>&1 || {
    tail -n 40 "$work/log" >&2
    echo "bench-plot: bench/run.sh --quick --plot failed" >&2
    exit 1
}

fail() {
    echo "bench-plot: $*" >&2
    exit 1
}
svg=$work/bench.svg
tsv=$work/bench.tsv
grep -q '<svg' "$svg" || fail "no SVG written"
# Every series by its title, and the round trip's transports on its axis.
for title in "kavra" "kavra lossless" "libzmq push/pull" "nng push0/pull0" "raw write/frame" \
    "raw batched" "p50" "p99"; do
    grep -qF "<title>$title</title>" "$svg" || fail "the picture lacks the series '$title'"
done
for label in "kavra" "raw write/frame" "libzmq req/rep"; do
    grep -qF ">$label</tspan>" "$svg" || fail "the round trip lacks '$label'"
done
# Block 0: a header and one row per size, a number in every column.
awk -F'\t' '
    /^$/ { block++; next }
    block == 0 && NR > 1 { rows++; for (i = 2; i <= 7; i++) if ($i !~ /^[0-9.]+$/) bad++ }
    block >= 2 && !/^transport/ { latency++; for (i = 2; i <= 5; i++) if ($i !~ /^[0-9.]+$/) bad++ }
    END { exit !(rows == 3 && latency == 3 && bad == 0) }' "$tsv" || {
    cat "$tsv" >&2
    fail "the numbers behind the picture are incomplete"
}
echo "bench-plot: $(wc -c <"$svg") bytes of SVG, every transport drawn ($((SECONDS - start)) s)"
