#!/bin/sh
# Starts a test program of the build under Wine for CTest:
#   sh wine-start.sh WINE PROGRAM [ARGS...]
# Wine now and then fails to start a process at all: in one CI run a test
# program ended after 0.01 s without a line of output. The test programs'
# main makes the file named in KAVRA_TEST_STARTED before anything else, so
# a run that ended without it never began; it is started again, at most
# twice, each time with a line on standard error. A run that began is never
# repeated, whatever its result.
marker=$(mktemp -u "${TMPDIR:-/tmp}/kavra-started.XXXXXX")
attempt=1
while :; do
    # Wine's drive Z: is the host's root.
    KAVRA_TEST_STARTED="Z:$marker" "$@"
    status=$?
    if [ -e "$marker" ] || [ "$attempt" -ge 3 ]; then
        rm -f "$marker"
        exit "$status"
    fi
    echo "wine-start: $2 ended with status $status before its main began; starting it again" >&2
    attempt=$((attempt + 1))
done
