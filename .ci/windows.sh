#!/usr/bin/env bash
# The Windows stage: cross-builds kavra.dll, the tests, the tool and the
# example with mingw-w64 (the `windows` CMake preset), runs the whole test
# suite under Wine through CTest, then the TLS engine's cases against the
# host's `openssl s_server` (.ci/tls-servers.sh), then runs `kavra.exe demo`
# under Wine and fails unless it exits 0. The Visual C++ face (msvc/) is
# built with clang and lld-link, its exported names and virtual tables are
# checked, and its test program runs under Wine against `kavra serve`.
#
# Usage: .ci/windows.sh   (BUILD_DIR defaults to build-windows, as in the preset)
set -euo pipefail
cd "$(dirname "$0")/.."

# Wine's Schannel is the host's GnuTLS, which Wine loads only when it runs.
bash tools/install-deps.sh googletest g++-mingw-w64-x86-64-posix wine wine64 libgnutls30 \
    clang-14 lld-14 llvm-14

BUILD_DIR=build-windows
# The same settings as the preset's environment, for the Wine processes that
# this script starts itself. No Mono or Gecko: nothing here needs them, and
# their installers would only slow down the prefix's first start.
export WINEPREFIX="$PWD/$BUILD_DIR/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

stage() {
    local name=$1
    shift
    local start=$SECONDS
    echo "== windows: $name"
    "$@"
    echo "== windows: $name took $((SECONDS - start)) s"
}

# The Schannel engine against the host's `openssl s_server` instances: the
# suite above skips those cases, for want of servers. A run in which one is
# skipped anyway (the variables did not reach the program) fails.
tls_against_servers() {
    local log=$BUILD_DIR/tls-servers.log
    sh .ci/tls-servers.sh --wine wine wine "$BUILD_DIR/bin/kavra_base_tests.exe" \
        --gtest_filter='TlsEngineServer.*' 2>&1 | tee "$log"
    grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  SKIPPED \]' "$log"
}

# One persistent wineserver for the whole run makes each process start cheap
# (CTest starts one Wine process per test case); it is stopped on any exit.
# A server that already runs for this prefix refuses a second one, and
# serves just as well.
mkdir -p "$WINEPREFIX"
wineserver --persistent </dev/null >/dev/null 2>&1 || echo "windows: a wineserver already runs for $WINEPREFIX"
trap 'wineserver --kill || true' EXIT
stage "wine prefix" wineboot --init

stage "configure" cmake --preset windows
stage "build" cmake --build --preset windows
stage "tests under wine" ctest --preset windows
stage "TLS against openssl s_server under wine" tls_against_servers
stage "demo under wine" timeout 300 wine "$BUILD_DIR/bin/kavra.exe" demo
# The client through tinyproxy and dante on the host's loopback: the suite
# above skips those cases, for want of proxies.
proxies_on_host() {
    local log=$BUILD_DIR/proxy-servers.log
    sh .ci/proxy-servers.sh sh -c "wine $BUILD_DIR/bin/kavra_base_tests.exe \
        --gtest_filter='ProxyHandshake.*' && wine $BUILD_DIR/bin/kavra_reliability_tests.exe \
        --gtest_filter='ThroughProxy.*'" 2>&1 | tee "$log"
    [ "$(grep -c '^\[  PASSED  \]' "$log")" -eq 2 ]
}
stage "proxies on the host under wine" proxies_on_host

# The face's test program runs beside kavra.dll, which the face loads.
msvc_face_test() {
    cp "$BUILD_DIR/msvc/kavra_msvc.dll" "$BUILD_DIR/msvc/face_test.exe" "$BUILD_DIR/bin/"
    (cd "$BUILD_DIR/bin" && timeout 300 wine kavra_with_server.exe kavra.exe face_test.exe)
}
stage "Visual C++ face: build" bash msvc/build.sh x86_64 "$BUILD_DIR/msvc"
stage "Visual C++ face: exported names and virtual tables" bash msvc/check-abi.sh x86_64 "$BUILD_DIR/msvc"
stage "Visual C++ face: test under wine" msvc_face_test
