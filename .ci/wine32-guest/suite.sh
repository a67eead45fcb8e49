#!/bin/sh
# Runs inside the 32-bit test guest, in its Wine root: makes a Wine prefix
# of its own, then runs each program named on the command line once, from
# the build's bin/ folder, and records how it ended in out/<name>.result
# (exit status and seconds).
#
#   <name>_tests   a GoogleTest program: every case in one process, with an
#                  XML report in out/<name>_tests.xml
#   c_interface    the C program against `kavra serve`, through its launcher
#   msvc_face      the Visual C++ face's test program, the same way
#   demo           `kavra.exe demo` with its default faults
#   tls_engine     the TLS engine's cases against `openssl s_server` in this
#                  guest (tls-servers.sh), with the certificates the host
#                  made in tls-certs/
#
# A program that runs past its limit is killed and recorded with status 124.
set -u
guest=$(cd "$(dirname "$0")" && pwd)
out="$guest/out"
mkdir -p "$out"

export HOME=/root PATH=/usr/bin:/bin
export WINEPREFIX=/tmp/wine WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The tests' own patience for this machine: socket-heavy work runs about a
# hundred times slower here than on the host (tests/support/Slowdown.h).
export KAVRA_TEST_SLOWDOWN=20
wine=/usr/lib/wine/wine

now() { cut -d' ' -f1 /proc/uptime; }

start=$(now)
if ! $wine wineboot --init >"$out/wineboot-$$.log" 2>&1; then
    echo "guest: wineboot failed" >&2
    exit 1
fi
# One server for the prefix from here on, so that each program starts cheaply.
/usr/lib/wine/wineserver32 --persistent
echo "guest: Wine prefix ready in $(awk -v a="$start" -v b="$(now)" 'BEGIN{printf "%d", b-a}') s"

cd "$guest/../bin" || exit 1
for item in "$@"; do
    began=$(now)
    case $item in
    demo)
        timeout 900 $wine kavra.exe demo >"$out/demo.log" 2>&1 ;;
    tls_engine)
        timeout 900 /bin/sh "$guest/tls-servers.sh" --wine "$wine" --certs "$guest/tls-certs" \
            $wine kavra_base_tests.exe --gtest_filter='TlsEngineServer.*' \
            "--gtest_output=xml:../guest/out/$item.xml" >"$out/$item.log" 2>&1 ;;
    c_interface)
        timeout 600 $wine kavra_with_server.exe kavra.exe kavra_c_echo_test.exe \
            >"$out/c_interface.log" 2>&1 ;;
    msvc_face)
        timeout 600 $wine kavra_with_server.exe kavra.exe face_test.exe >"$out/msvc_face.log" 2>&1 ;;
    *)
        timeout 1800 $wine "$item.exe" "--gtest_output=xml:../guest/out/$item.xml" \
            >"$out/$item.log" 2>&1 ;;
    esac
    status=$?
    seconds=$(awk -v a="$began" -v b="$(now)" 'BEGIN{printf "%d", b-a}')
    echo "$status $seconds" >"$out/$item.result"
    echo "guest: $item ended with status $status after $seconds s"
done
