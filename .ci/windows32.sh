#!/usr/bin/env bash
# The 32-bit Windows stage: cross-builds kavra.dll, the tests, the tool and
# the examples for i686 with mingw-w64 (the `windows32` CMake preset), then
# runs every GoogleTest program, the TLS engine against `openssl s_server`,
# the C interface test, the Visual C++ face's test (after its build and
# interface check, msvc/) and `kavra.exe demo` with its default faults
# under 32-bit Wine, and fails on any failure, crash or missing result.
#
# Wine runs in an emulated x86-64 guest (.ci/wine32-guest/), because the
# machines this CI runs on refuse 32-bit programs: Debian's kernel, a 32-bit
# Debian root with Wine and QEMU, all taken from Debian's packages and
# unpacked into build-windows32/guest without installing them here. Two
# guests run side by side, one per host processor.
#
# Usage: .ci/windows32.sh   (the build lands in build-windows32, as in the preset)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=build-windows32
GUEST=$BUILD_DIR/guest
# What each guest runs; the reliability tests alone take about as long as
# all the rest.
JOB_A="kavra_reliability_tests"
JOB_B="kavra_framing_tests kavra_base_tests tls_engine kavra_client_tests kavra_tool_tests c_interface msvc_face demo"

stage() {
    local name=$1
    shift
    local start=$SECONDS
    echo "== windows32: $name"
    "$@"
    echo "== windows32: $name took $((SECONDS - start)) s"
}

write_job() {
    local job=$1
    shift
    printf '#!/bin/sh\nexec /bin/sh "%s/suite.sh" %s\n' "$PWD/$GUEST" "$*" >"$GUEST/$job"
}

run_guests() {
    rm -rf "$GUEST/out"
    cp .ci/wine32-guest/suite.sh "$GUEST/suite.sh"
    cp .ci/tls-servers.sh "$GUEST/tls-servers.sh"
    # RSA keys take the emulated guest too long to make.
    rm -rf "$GUEST/tls-certs"
    sh .ci/tls-servers.sh --make-certs "$GUEST/tls-certs"
    write_job job-a.sh "$JOB_A"
    write_job job-b.sh "$JOB_B"
    local a b status=0
    .ci/wine32-guest/boot.sh "$GUEST" "$BUILD_DIR" job-a.sh & a=$!
    .ci/wine32-guest/boot.sh "$GUEST" "$BUILD_DIR" job-b.sh & b=$!
    wait "$a" || status=1
    wait "$b" || status=1
    grep -h '^guest:' "$GUEST"/job-a.sh.log "$GUEST"/job-b.sh.log || true
    return "$status"
}

# xml_count FILE ATTRIBUTE: an attribute of the report's <testsuites> element.
xml_count() {
    sed -n "s/.*<testsuites [^>]*\\b$2=\"\\([0-9]*\\)\".*/\\1/p" "$1" | head -n 1
}

# One line per program; false when any failed, crashed or left no result.
check_results() {
    local out=$GUEST/out ok=0 item status seconds log
    for item in $JOB_A $JOB_B; do
        log=$out/$item.log
        if [ ! -f "$out/$item.result" ]; then
            echo "windows32: $item did not run to its end"
            ok=1
            continue
        fi
        read -r status seconds <"$out/$item.result"
        local verdict="ok"
        [ "$status" = 0 ] || verdict="exit status $status"
        if grep -aq 'Unhandled exception' "$log"; then
            verdict="crashed (Unhandled exception)"
        fi
        case $item in
        demo)
            grep -aq '^result: OK' "$log" || verdict="no 'result: OK'"
            echo "windows32: demo in $seconds s: $verdict; $(grep -a '^  send accounting' "$log" | sed 's/^ *//')" ;;
        c_interface)
            echo "windows32: C interface test in $seconds s: $verdict" ;;
        msvc_face)
            grep -aq '^face_test: all checks passed' "$log" || verdict="no 'all checks passed'"
            echo "windows32: Visual C++ face test in $seconds s: $verdict" ;;
        *)
            local xml=$out/$item.xml tests=0 failures=0 skipped=0
            if [ -f "$xml" ]; then
                tests=$(xml_count "$xml" tests)
                failures=$(($(xml_count "$xml" failures) + $(xml_count "$xml" errors)))
                skipped=$(grep -c 'result="skipped"' "$xml" || true)
            else
                verdict="no test report"
            fi
            [ "${tests:-0}" -gt 0 ] || verdict="ran no tests"
            [ "$failures" = 0 ] || verdict="$failures failed"
            # Its servers are there; a skip means they did not reach it.
            [ "$item" != tls_engine ] || [ "$skipped" = 0 ] || verdict="$skipped skipped"
            echo "windows32: $item: $tests tests, $skipped skipped, in $seconds s: $verdict"
            grep -a -A2 'Failure$' "$log" | head -n 40 || true
            grep -ao '<skipped message="[^"]*"' "$xml" 2>/dev/null | sort | uniq -c |
                sed 's/<skipped message=/    skipped: /' || true ;;
        esac
        if [ "$verdict" != ok ]; then
            ok=1
            tail -n 40 "$log"
        fi
    done
    return "$ok"
}

stage "install compiler" bash tools/install-deps.sh googletest g++-mingw-w64-i686-posix cpio kmod \
    clang-14 lld-14 llvm-14
stage "configure" cmake --preset windows32
stage "build" cmake --build --preset windows32
stage "exported names" bash tests/c/check_exports.sh include/kavra/kavra.h \
    "$BUILD_DIR/bin/kavra.dll" i686-w64-mingw32-objdump -p
stage "Visual C++ face: build" bash msvc/build.sh i686 "$BUILD_DIR/msvc"
stage "Visual C++ face: exported names and virtual tables" bash msvc/check-abi.sh i686 "$BUILD_DIR/msvc"
cp "$BUILD_DIR/msvc/kavra_msvc.dll" "$BUILD_DIR/msvc/face_test.exe" "$BUILD_DIR/bin/"
stage "guest" .ci/wine32-guest/prepare.sh "$GUEST"
status=0
stage "tests and demo under 32-bit wine" run_guests || status=1
check_results || status=1
exit "$status"
