#!/usr/bin/env bash
# Builds the scale check and `kavra serve`, then runs 1000 clients in one
# process against a server on 127.0.0.1 that is killed and restarted, once
# with backoff jitter and once without (about 30 s).
#
#   bench/scale.sh                  1000 clients
#   bench/scale.sh --clients 200    fewer
#
# The build goes to $KAVRA_BENCH_BUILD (default: build-bench next to this
# folder's parent). A new build directory is configured for Release; an
# existing one keeps its build type.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(dirname "$here")"
build="${KAVRA_BENCH_BUILD:-$repo/build-bench}"

# Configuring the bench folder needs Google Benchmark even for this target.
need=()
for pkg in libbenchmark-dev cmake ninja-build pkg-config; do
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

settings=(-DKAVRA_BUILD_BENCH=ON -DKAVRA_BUILD_TOOLS=ON)
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    settings+=(-DCMAKE_BUILD_TYPE=Release -DKAVRA_BUILD_TESTS=OFF -DKAVRA_BUILD_EXAMPLES=OFF)
fi
cmake -S "$repo" -B "$build" -G Ninja "${settings[@]}" >/dev/null
cmake --build "$build" --target kavra_bench_scale kavra_cli

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uptime | sed 's/.*load average/load average/')"
"$build/bench/kavra_bench_scale" "$@"
