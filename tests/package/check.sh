#!/usr/bin/env bash
# Installs the built library and tool into a scratch prefix and checks that
# they work from there without a library path: the installed kavra runs (and
# its manual page is there), also after the prefix was moved, and consumer
# projects build against the moved prefix, once through find_package and once
# through pkg-config. Then a parent project builds kavra with add_subdirectory
# and keeps its own library type.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
kavra_source_dir=$(cd "$source_dir/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Whatever the caller had set, the installed programs must do without it.
unset LD_LIBRARY_PATH

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
"$work/prefix/bin/kavra" --version
# The manual page comes with the tool, where man looks for it in a prefix.
test -s "$work/prefix/share/man/man1/kavra.1.gz"
mv "$work/prefix" "$work/moved"
prefix=$work/moved
"$prefix/bin/kavra" --version
"$prefix/bin/kavra" demo --count 200

cmake -S "$source_dir/consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

# Before 1.0 a minor release changes the ABI: a project that asks for the
# release before this one must be refused, not handed this one.
version=$("$prefix/bin/kavra" --version | grep -o '[0-9]*\.[0-9]*\.[0-9]*' | head -n 1)
IFS=. read -r major minor _ <<<"$version"
if [ "$major" -eq 0 ] && [ "$minor" -gt 0 ]; then
    if cmake -S "$source_dir/consumer" -B "$work/old-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DKAVRA_WANTED_VERSION="0.$((minor - 1))" >"$work/old.log" 2>&1; then
        echo "package: find_package(kavra 0.$((minor - 1))) accepted $version" >&2
        exit 1
    fi
    grep -q "requested version \"0.$((minor - 1))\"" "$work/old.log"
fi

pc_dir=$(dirname "$(find "$prefix" -name kavra.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs kavra)
# The C++ standard is the consumer's choice; kavra's headers need C++20.
# shellcheck disable=SC2086
c++ -std=c++20 "$source_dir/consumer/main.cpp" -o "$work/pc-consumer" $flags
# A C program takes kavra.h with exactly the flags pkg-config gives.
printf '#include <kavra/kavra.h>\nint main(void) { return kavra_version() == 0; }\n' >"$work/c-consumer.c"
# shellcheck disable=SC2086
cc "$work/c-consumer.c" -o "$work/c-consumer" $flags
LD_LIBRARY_PATH="$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=libdir kavra)" "$work/c-consumer"
# pkg-config gives no run path; a program built this way needs the library path.
LD_LIBRARY_PATH="$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=libdir kavra)" "$work/pc-consumer"

cmake -S "$source_dir/parent" -B "$work/parent-build" -G Ninja \
    -DKAVRA_SOURCE_DIR="$kavra_source_dir" \
    -DKAVRA_CONSUMER_MAIN="$source_dir/consumer/main.cpp" >/dev/null
cmake --build "$work/parent-build" >/dev/null
"$work/parent-build/parent_consumer"
