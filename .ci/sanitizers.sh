#!/usr/bin/env bash
# Builds the whole test suite twice with clang 14, once under
# AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer, once under
# ThreadSanitizer, and runs it each time: the asan and tsan presets
# (KAVRA_SANITIZER), whose test presets carry the sanitizer options. Any
# report fails the test that caused it, and so the run: there are no
# suppressions. The package test is not registered in these builds (its
# consumer has no sanitizer runtime); it runs in the plain build.
#
# Usage: .ci/sanitizers.sh [asan|tsan]...   (both when no argument is given)
#   JOBS   parallel build and test jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}

run_one() {
    local name=$1
    local start=$SECONDS
    echo "== $name: configure and build in build-$name"
    cmake --preset "$name" >/dev/null
    cmake --build --preset "$name" -j "$JOBS"
    echo "== $name: run the tests"
    ctest --preset "$name" -j "$JOBS"
    echo "== $name: done in $((SECONDS - start)) s"
}

targets=("$@")
((${#targets[@]})) || targets=(asan tsan)
for target in "${targets[@]}"; do
    case $target in
    asan | tsan) run_one "$target" ;;
    *)
        echo "unknown sanitizer run: $target (asan, tsan)" >&2
        exit 2
        ;;
    esac
done
