#!/usr/bin/env bash
# Socket system calls belong to the platform layer alone: base/os for the
# library (TLS in base/os/tls), and serving/ for the serving side that only
# the tool, the tests and the benchmarks link. Everything else reaches
# sockets through them.
# Fails with the offending lines when a call turns up elsewhere, and also
# when base/os itself shows none of them, so that a broken pattern cannot
# pass unnoticed. examples/ is exempt: it is user code that shows a user's
# own loop.
set -euo pipefail
cd "$(dirname "$0")/.."

calls='socket|socketpair|bind|listen|accept|accept4|connect|send|sendto|sendmsg|recv|recvfrom|recvmsg'
calls+='|poll|ppoll|select|epoll_create1?|epoll_ctl|epoll_wait|setsockopt|getsockopt|getsockname'
calls+='|getpeername|getaddrinfo|freeaddrinfo|getnameinfo|shutdown|closesocket|ioctlsocket|ioctl'
calls+='|WSA[A-Za-z]+|eventfd'
# A call: the name as a whole word right before "(", not a member or a
# method of our own (".send(", "->Send(", "os::Send(").
pattern="(^|[^A-Za-z0-9_.>:\"]|::)($calls)\\("

scan() {
    grep -rnE --include='*.cpp' --include='*.h' --include='*.c' "$pattern" "$@" |
        grep -vE '^[^:]+:[0-9]+:[[:space:]]*//' || true
}

inside=$(scan base/os serving)
for required in '::socket\(|WSASocketW\(' '::connect\(' '::getaddrinfo\(' 'poll\(|select\(' 'WSAStartup\('; do
    if ! grep -qE "$required" <<<"$inside"; then
        echo "platform-calls: the platform layer shows no call matching '$required'; the check is broken" >&2
        exit 1
    fi
done

roots=()
for dir in base client framing capi include serving tools tests bench; do
    [[ -d $dir ]] && roots+=("$dir")
done
outside=$(scan "${roots[@]}" | grep -vE '^(base/os|serving)/' || true)
if [[ -n $outside ]]; then
    echo "platform-calls: socket calls outside base/os and serving/:" >&2
    echo "$outside" >&2
    exit 1
fi
echo "platform-calls: socket calls only in base/os and serving/ ($(wc -l <<<"$inside") lines there)"
