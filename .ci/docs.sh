#!/usr/bin/env bash
# The API reference: Doxygen over the public headers and docs/*.md, with any
# warning (an undocumented public member included) failing the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh doxygen

start=$(date +%s)
rm -rf build-docs
cmake -S . -B build-docs -G Ninja -DKAVRA_DOCS_WERROR=ON \
    -DKAVRA_BUILD_TESTS=OFF -DKAVRA_BUILD_EXAMPLES=OFF -DKAVRA_BUILD_TOOLS=OFF
cmake --build build-docs --target docs
test -f build-docs/docs/html/index.html
echo "docs: built build-docs/docs/html in $(($(date +%s) - start)) s"
