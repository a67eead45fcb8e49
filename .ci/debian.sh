#!/usr/bin/env bash
# The Debian stage: builds the packages with the `deb` workflow preset
# (libkavra0.6 or whatever the release's soname makes it, kavra,
# libkavra-dev), installs them with dpkg, builds the
# package check's consumer against the system copy (find_package with no
# prefix, and pkg-config), runs /usr/bin/kavra demo, checks that the kavra
# package's manual page matches the installed tool's --help and that the
# Python module finds the packaged library, and removes the packages again
# on any exit. It refuses to start when a kavra package is already
# installed, since removing it afterwards would not leave the machine as it was.
#
# Usage: .ci/debian.sh   (as root, or with sudo)
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh dpkg-dev file

# The runtime package is named after the soname: MAJOR.MINOR before 1.0.
version=$(sed -n 's/^    VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt | head -n 1)
IFS=. read -r major minor _ <<<"$version"
if [ "$major" -eq 0 ]; then soversion=$major.$minor; else soversion=$major; fi
soname=libkavra.so.$soversion
packages=("libkavra$soversion" kavra libkavra-dev)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
present() {
    local pkg status
    for pkg in "${packages[@]}"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
        if [ -n "$status" ] && [ "$status" != not-installed ]; then
            echo "$pkg"
        fi
    done
}
if [ -n "$(present)" ]; then
    echo "debian: already on this machine, remove first: $(present | xargs)" >&2
    exit 1
fi

stage() {
    local name=$1
    shift
    local start=$SECONDS
    echo "== debian: $name"
    "$@"
    echo "== debian: $name took $((SECONDS - start)) s"
}

work=$(mktemp -d)
cleanup() {
    if [ -n "$(present)" ]; then
        $sudo dpkg --purge "${packages[@]}" >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

stage "build the packages" cmake --workflow --preset deb
stage "install" $sudo dpkg -i build-deb/packages/*.deb

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# A copy of kavra under /usr/local would come first for find_package,
# pkg-config and the dynamic loader; this checks the system package alone.
check_consumer() {
    cmake -S tests/package/consumer -B "$work/cmake-build" -G Ninja \
        -DCMAKE_IGNORE_PREFIX_PATH=/usr/local >/dev/null
    grep -qx "kavra_DIR:PATH=/usr/lib/$multiarch/cmake/kavra" "$work/cmake-build/CMakeCache.txt"
    cmake --build "$work/cmake-build" >/dev/null
    "$work/cmake-build/consumer"

    local pc_path="/usr/lib/$multiarch/pkgconfig:/usr/share/pkgconfig"
    # shellcheck disable=SC2046
    c++ -std=c++20 tests/package/consumer/main.cpp -o "$work/pc-consumer" \
        $(PKG_CONFIG_LIBDIR="$pc_path" pkg-config --cflags --libs kavra)
    "$work/pc-consumer"
}
stage "consumers against the system package" check_consumer

loaded=$(ldd /usr/bin/kavra | awk -v soname="$soname" '$1 == soname { print $3 }')
if [ "$(readlink -f "$loaded")" != "$(readlink -f "/usr/lib/$multiarch/$soname")" ]; then
    echo "debian: /usr/bin/kavra loads $loaded, not the packaged library" >&2
    exit 1
fi
stage "demo" /usr/bin/kavra demo --count 200

# The kavra package carries kavra(1), and the page says what the installed
# program's --help says: it equals a page written afresh from that --help.
check_man_page() {
    local deb
    deb=$(ls build-deb/packages/kavra_*.deb)
    dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/man/man1/kavra.1.gz | gzip -dc >"$work/packaged.1"
    cmake -DKAVRA_TOOL=/usr/bin/kavra -DTEMPLATE=tools/kavra.1.in -DOUTPUT="$work/fresh.1" \
        -P cmake/KavraManPage.cmake
    if ! diff -u "$work/fresh.1" "$work/packaged.1"; then
        echo "debian: the packaged kavra(1) differs from /usr/bin/kavra --help" >&2
        return 1
    fi
    grep -q '^\.SH "KAVRA DEMO"$' "$work/packaged.1"
}
stage "manual page" check_man_page

# The Python module finds the packaged library by itself, through the loader.
check_python_module() {
    local loaded
    loaded=$(env -u KAVRA_LIBRARY PYTHONPATH=bindings/python /usr/bin/python3 -c '
import kavra
kavra.library_version()
print(next(line.split()[-1] for line in open("/proc/self/maps") if "libkavra.so" in line))')
    if [ "$(readlink -f "$loaded")" != "$(readlink -f "/usr/lib/$multiarch/$soname")" ]; then
        echo "debian: the Python module loaded $loaded, not the packaged library" >&2
        return 1
    fi
}
stage "Python module" check_python_module

stage "remove" $sudo dpkg --purge "${packages[@]}"
if [ -n "$(present)" ] || [ -e /usr/bin/kavra ] || [ -e "/usr/lib/$multiarch/$soname" ]; then
    echo "debian: the packages did not come off cleanly" >&2
    exit 1
fi
