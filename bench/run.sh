#!/usr/bin/env bash
# Builds kavra in Release with the benchmarks and runs them over loopback.
#
#   bench/run.sh            full run: 5 interleaved rounds of 1 s per row
#   bench/run.sh --quick    short run (under a minute)
#   bench/run.sh --micro    also run the micro-benchmarks
#
# Other arguments go to kavra_bench_e2e (see --help there). The build goes to
# $KAVRA_BENCH_BUILD (default: build-bench next to this folder's parent).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
build="${KAVRA_BENCH_BUILD:-$repo/build-bench}"

micro=0
args=()
for arg in "$@"; do
    case "$arg" in
    --micro) micro=1 ;;
    --quick) args+=("$arg"); quick=1 ;;
    *) args+=("$arg") ;;
    esac
done

# The peers and Google Benchmark come from Debian; install what is missing.
need=()
for pkg in libzmq3-dev libnng-dev libbenchmark-dev cmake ninja-build pkg-config; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
    sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    if ! $sudo apt-get install -y "${need[@]}"; then
        $sudo apt-get update
        $sudo apt-get install -y "${need[@]}"
    fi
fi

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKAVRA_BUILD_BENCH=ON -DKAVRA_BUILD_TESTS=OFF -DKAVRA_BUILD_TOOLS=OFF \
    -DKAVRA_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target kavra_bench_e2e kavra_bench_micro

if ((micro)); then
    min_time=0.5
    [[ -n "${quick:-}" ]] && min_time=0.1
    "$build/bench/kavra_bench_micro" --benchmark_min_time="$min_time"
fi

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
"$build/bench/kavra_bench_e2e" "${args[@]}"
