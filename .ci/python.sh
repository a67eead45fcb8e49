#!/usr/bin/env bash
# The Python module (bindings/python) against the build's library and a live
# `kavra serve` on loopback, with Debian's pytest (no PyPI needed).
#
# Usage: .ci/python.sh [BUILD_DIR]   (default build, as ./test.sh leaves it)
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh python3-pytest

build_dir=$(cd "${1:-build}" && pwd)
export KAVRA_LIBRARY="$build_dir/libkavra.so"
export KAVRA_TOOL="$build_dir/tools/kavra"
test -f "$KAVRA_LIBRARY" && test -x "$KAVRA_TOOL"
# The system's interpreter, for which the package installed pytest.
/usr/bin/python3 -m pytest -q -p no:cacheprovider bindings/python
