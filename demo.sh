#!/usr/bin/env bash
# Installs what is missing, builds the library and the tool if needed, and
# runs the kavra demo. The tests are left to ./test.sh, which builds them.
# Arguments go to the demo (for example: ./demo.sh --count 20000).
set -euo pipefail
cd "$(dirname "$0")"
bash tools/install-deps.sh
if [ ! -f build/build.ninja ]; then
    cmake --preset default
fi
cmake --build --preset default --target kavra_cli
exec ./build/tools/kavra demo "$@"
