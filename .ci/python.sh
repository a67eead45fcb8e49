#!/usr/bin/env bash
# The Python module as a user installs it: `pip install ./bindings/python`
# into a fresh virtual environment (offline, with Debian's setuptools), then
# its tests (Debian's pytest) from that environment against the build's
# library and a live `kavra serve`. Fails when any test is skipped, or when
# the tests did not import the installed module.
#
# Usage: .ci/python.sh [BUILD_DIR]   (default build, as ./test.sh leaves it)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

bash tools/install-deps.sh python3-venv python3-setuptools python3-wheel python3-pytest

build_dir=$(cd "${1:-build}" && pwd)
# The library's folder, as a prefix's lib/ is named.
export KAVRA_LIBRARY="$build_dir"
export KAVRA_TOOL="$build_dir/tools/kavra"
test -f "$KAVRA_LIBRARY/libkavra.so" && test -x "$KAVRA_TOOL"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Debian's interpreter, not whichever python3 comes first on PATH: the
# environment sees Debian's setuptools, wheel and pytest, since PyPI may be
# out of reach.
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-build-isolation --no-index "$repo/bindings/python"

# From a folder of its own, so that nothing beside the tests shadows the
# installed module; importlib mode keeps the tests' folder off sys.path too.
cd "$work"
"$work/venv/bin/python" -c '
import sys, kavra
assert kavra.__file__.startswith(sys.prefix + "/"), kavra.__file__
print("python: kavra", kavra.__version__, "from", kavra.__file__, "library", kavra.library_version())'
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider --import-mode=importlib \
    --junitxml="$work/results.xml" "$repo/bindings/python/test_kavra.py"
"$work/venv/bin/python" - "$work/results.xml" <<'PY'
import sys
import xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
suite = root if root.tag == "testsuite" else root.find("testsuite")
counts = {key: int(suite.get(key, 0)) for key in ("tests", "skipped", "failures", "errors")}
print("python:", ", ".join(f"{value} {key}" for key, value in counts.items()))
if counts["tests"] == 0 or counts["skipped"] or counts["failures"] or counts["errors"]:
    sys.exit("python: every test must run and pass; a skipped test counts as a failure")
PY
