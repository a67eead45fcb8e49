#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, if any are missing.
set -euo pipefail

# libssl-dev for TLS (KAVRA_TLS=AUTO finds it), openssl for the TLS tests' certificates and server.
# libasio-dev (standalone Asio) for the event-loop example.
# tinyproxy (HTTP CONNECT) and dante-server (SOCKS5) for the proxy tests, which
# start their own instances on loopback; the packages' services are not used.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libssl-dev openssl iproute2 iptables libasio-dev
          tinyproxy dante-server "$@")
missing=()
for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    install_missing() { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"; }
    # The package lists may be missing or stale. An update that fails for
    # one index (a mirror without some architecture) still refreshes the
    # others, so the install is tried after it either way.
    if ! install_missing; then
        $sudo apt-get update -qq || echo "install-deps: apt-get update reported errors" >&2
        install_missing
    fi
fi
