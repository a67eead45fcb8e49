#!/bin/sh
# Proxies for the proxy tests of a build that cannot start them itself (the
# Windows build under Wine): starts tinyproxy (without and with Basic
# authentication, user alice) and dante (SOCKS5) on free ports of 127.0.0.1,
# runs the given command with KAVRA_TEST_TINYPROXY, KAVRA_TEST_TINYPROXY_AUTH
# and KAVRA_TEST_DANTE naming their ports (tests/support/ProxyPrograms.h),
# and stops them however the command ends. tools/install-deps.sh installs
# both programs.
#
# Usage: .ci/proxy-servers.sh COMMAND [ARG...]
set -eu

dir=$(mktemp -d "${TMPDIR:-/tmp}/kavra-proxies.XXXXXX")
pids=""
cleanup() {
    for pid in $pids; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_listening() {
    tries=0
    until python3 -c "import socket; socket.create_connection(('127.0.0.1', $1), 1)" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -lt 100 ] || { echo "proxy-servers: nothing listens on $1" >&2; exit 1; }
        sleep 0.1
    done
}

tinyproxy_on() {
    printf 'Port %s\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nLogLevel Error\nAllow 127.0.0.1\n%s' \
        "$1" "$2" > "$dir/tinyproxy-$1.conf"
    tinyproxy -d -c "$dir/tinyproxy-$1.conf" &
    pids="$pids $!"
    wait_listening "$1"
}

plain=$(free_port)
tinyproxy_on "$plain" ""
auth=$(free_port)
# The password of PROXY_PASSWORD in tests/support/ProxyPrograms.h.
tinyproxy_on "$auth" "BasicAuth alice Pw-7f3a
"
socks=$(free_port)
cat > "$dir/danted.conf" <<CONF
logoutput: stderr
internal: 127.0.0.1 port = $socks
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.unprivileged: nobody
client pass { from: 127.0.0.1/32 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.1/32 to: 0.0.0.0/0 command: connect }
CONF
danted -f "$dir/danted.conf" -N 1 &
pids="$pids $!"
wait_listening "$socks"

KAVRA_TEST_TINYPROXY=$plain KAVRA_TEST_TINYPROXY_AUTH=$auth KAVRA_TEST_DANTE=$socks "$@"
