#!/usr/bin/env bash
# Builds the libFuzzer targets with ASan and UBSan and runs each for a
# bounded time from a copy of its committed seed corpus, so the repository is
# never written. Fails on any crash, sanitizer report, leak, timeout, memory
# limit or model mismatch.
#
#   KAVRA_FUZZ_SECONDS    fuzzing time per target (default 60)
#   KAVRA_FUZZ_BUILD_DIR  build directory (default build-fuzz)
#   KAVRA_FUZZ_TARGETS    targets to run (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${KAVRA_FUZZ_SECONDS:-60}"
build_dir="${KAVRA_FUZZ_BUILD_DIR:-build-fuzz}"
read -r -a targets <<<"${KAVRA_FUZZ_TARGETS:-fuzz_frame_scan fuzz_receive_path fuzz_byte_buffer}"

if [ -x tools/install-deps.sh ]; then
    tools/install-deps.sh clang-14 libclang-rt-14-dev
fi

cmake --preset fuzz -B "$build_dir"
cmake --build "$build_dir" --target "${targets[@]}"

# Longest input per target: streams up to a few maximal frames, operation
# lists long enough to grow a buffer through several reallocations.
max_len() {
    case "$1" in
    fuzz_frame_scan) echo 20000 ;;
    fuzz_receive_path) echo 65536 ;;
    *) echo 4096 ;;
    esac
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

failed=()
summary=()
for target in "${targets[@]}"; do
    corpus="$work/$target/corpus"
    artifacts="$work/$target/artifacts"
    mkdir -p "$corpus" "$artifacts"
    cp -R "tests/fuzz/corpus/$target/." "$corpus/"
    log="$work/$target/log"

    echo "== $target: ${seconds}s from $(ls "$corpus" | wc -l) seeds"
    status=0
    # A single input that runs for 10 s is a hang; memory is capped so that
    # unbounded growth fails instead of swapping.
    "$build_dir/tests/fuzz/$target" \
        -max_total_time="$seconds" \
        -max_len="$(max_len "$target")" \
        -timeout=10 \
        -rss_limit_mb=2048 \
        -dict=tests/fuzz/kavra.dict \
        -print_final_stats=1 \
        -artifact_prefix="$artifacts/" \
        "$corpus" >"$log" 2>&1 || status=$?

    done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)"
    grep -E '^stat::' "$log" || true
    if [ "$status" -ne 0 ] || [ -z "$done_line" ]; then
        echo "!! $target failed (exit $status); the end of its log:"
        tail -n 60 "$log"
        for artifact in "$artifacts"/*; do
            [ -e "$artifact" ] || continue
            echo "!! input that failed ($artifact), as hex:"
            od -An -tx1 -v "$artifact" | head -n 40
        done
        failed+=("$target")
        summary+=("$target: FAILED (exit $status)")
    else
        echo "$done_line"
        summary+=("$target: $done_line")
    fi
done

echo "== fuzzing summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
    echo "failed: ${failed[*]}"
    exit 1
fi
