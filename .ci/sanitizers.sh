#!/usr/bin/env bash
# Builds the whole test suite twice with clang, once under AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer, once under ThreadSanitizer,
# and runs it each time. Any report fails the test that caused it, and so the
# run: there are no suppressions.
#
# Usage: .ci/sanitizers.sh [asan|tsan]...   (both when no argument is given)
set -euo pipefail
cd "$(dirname "$0")/.."

CXX_COMPILER=${CXX_COMPILER:-clang++-14}
JOBS=${JOBS:-2}
# Build directories are $BUILD_PREFIX<name>: build-asan, build-tsan.
BUILD_PREFIX=${BUILD_PREFIX:-build-}

# -O1 keeps stack traces readable and the build short; the frame pointers give
# the leak checker and the race reports full stacks.
COMMON_FLAGS="-O1 -g -fno-omit-frame-pointer"

# halt_on_error/-fno-sanitize-recover make the first report end the process
# with a nonzero status, so ctest counts it as a failure rather than a log
# line nobody reads.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

run_one() {
    local name=$1 flags=$2
    local dir="$BUILD_PREFIX$name"
    local start=$SECONDS
    echo "== $name: configure and build in $dir"
    cmake -S . -B "$dir" -G Ninja \
        -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_COMPILER="$CXX_COMPILER" \
        -DCMAKE_CXX_FLAGS="$COMMON_FLAGS $flags" \
        -DCMAKE_EXE_LINKER_FLAGS="$flags" \
        -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
        -DKAVRA_WERROR=ON \
        -DKAVRA_BUILD_TESTS=ON >/dev/null
    cmake --build "$dir" -j "$JOBS"
    echo "== $name: run the tests"
    # The package test builds a consumer with the system compiler and no
    # sanitizer runtime, which cannot link against an instrumented library;
    # it checks installation, not memory or threads, and runs in the plain
    # build.
    ctest --test-dir "$dir" -j "$JOBS" --output-on-failure -E '^package\.'
    echo "== $name: done in $((SECONDS - start)) s"
}

targets=("$@")
((${#targets[@]})) || targets=(asan tsan)
for target in "${targets[@]}"; do
    case $target in
    asan) run_one asan "-fsanitize=address,undefined -fno-sanitize-recover=all" ;;
    tsan) run_one tsan "-fsanitize=thread" ;;
    *)
        echo "unknown sanitizer run: $target (asan, tsan)" >&2
        exit 2
        ;;
    esac
done
