#!/usr/bin/env bash
# Builds kavra in Release with the benchmarks and runs them over loopback.
#
#   bench/run.sh                full run: 5 interleaved rounds of 1 s per row
#   bench/run.sh --quick        short run (under a minute)
#   bench/run.sh --micro        also run the micro-benchmarks
#   bench/run.sh --plot F.svg   also draw the results (bench/plot.gp, gnuplot),
#                               with the numbers beside it in F.tsv
#
# Other arguments go to kavra_bench_e2e (see --help there). The build goes to
# $KAVRA_BENCH_BUILD (default: build-bench next to this folder's parent).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
build="${KAVRA_BENCH_BUILD:-$repo/build-bench}"

micro=0
plot=""
args=()
while (($#)); do
    case "$1" in
    --micro) micro=1 ;;
    --quick) args+=("$1"); quick=1 ;;
    --plot)
        [[ $# -ge 2 && $2 == *.svg ]] || { echo "bench: --plot needs a FILE.svg" >&2; exit 2; }
        plot=$2
        shift
        ;;
    *) args+=("$1") ;;
    esac
    shift
done

# The peers, Google Benchmark and gnuplot come from Debian; install what is
# missing.
wanted=(libzmq3-dev libnng-dev libbenchmark-dev libssl-dev cmake ninja-build pkg-config)
[[ -n $plot ]] && wanted+=(gnuplot-nox)
need=()
for pkg in "${wanted[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
    sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    if ! $sudo apt-get install -y --no-install-recommends "${need[@]}"; then
        $sudo apt-get update || true
        $sudo apt-get install -y --no-install-recommends "${need[@]}"
    fi
fi

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKAVRA_BUILD_BENCH=ON -DKAVRA_BUILD_TESTS=OFF -DKAVRA_BUILD_TOOLS=OFF \
    -DKAVRA_BUILD_EXAMPLES=OFF >/dev/null
targets=(kavra_bench_e2e)
((micro)) && targets+=(kavra_bench_micro)
cmake --build "$build" --target "${targets[@]}"

if ((micro)); then
    min_time=0.5
    [[ -n "${quick:-}" ]] && min_time=0.1
    "$build/bench/kavra_bench_micro" --benchmark_min_time="$min_time"
fi

machine="$(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "machine: $machine"
if [[ -z $plot ]]; then
    exec "$build/bench/kavra_bench_e2e" "${args[@]}"
fi
# The numbers behind the picture stay beside it.
data=${plot%.svg}.tsv
load=$(cut -d' ' -f1 /proc/loadavg)
"$build/bench/kavra_bench_e2e" "${args[@]}" --plot-data "$data"
caption="kavra_bench_e2e ${args[*]:-(full run)} on $machine, load $load at the start, $(date -u +%Y-%m-%d)"
caption=${caption//\'/}
gnuplot -e "data='$data'; output='$plot'; title='$caption'" "$here/plot.gp"
echo "plot: $plot (numbers: $data)"
