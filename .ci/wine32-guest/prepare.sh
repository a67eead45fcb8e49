#!/usr/bin/env bash
# Makes what the 32-bit test guest boots, from Debian's packages, without
# installing any of them on this machine:
#   root/       a 32-bit (i386) Debian root with 32-bit Wine, unpacked from
#               the wine32 package and everything it depends on, and the
#               openssl command that serves the TLS tests inside the guest
#   vmlinuz     Debian's amd64 kernel, which runs 32-bit programs
#   initrd.gz   busybox, the virtio-9p modules and .ci/wine32-guest/init
#   qemu/       qemu-system-x86 from backports (see README: QEMU 7.2's
#               emulation corrupts the flags register of 32-bit programs)
# Each piece is made once; delete the folder to make it again.
#
# Usage: .ci/wine32-guest/prepare.sh <guest folder>
set -euo pipefail

guest=$(mkdir -p "$1" && cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
mirror=${KAVRA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# apt_in NAME ARCH STATUS "SUITES" TOOL ARGS...: apt-get or apt-cache with a
# state of its own under $guest/apt-NAME, for one architecture, pretending
# that what STATUS lists is installed (/dev/null: nothing is).
apt_in() {
    local name=$1 arch=$2 status=$3 suites=$4 tool=$5
    shift 5
    local dir="$guest/apt-$name"
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/cache" "$dir/none"
    local suite
    for suite in $suites; do
        echo "deb [arch=$arch signed-by=$keyring] $mirror $suite main"
    done >"$dir/sources.list"
    local options=(-o "Dir::Etc::SourceList=$dir/sources.list" -o "Dir::Etc::SourceParts=$dir/none"
        -o Dir::Etc::Preferences=/dev/null -o "Dir::Etc::PreferencesParts=$dir/none"
        -o APT::Sandbox::User=root
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
        -o "Dir::Cache::Archives=$dir/archives" -o "Dir::State::status=$status"
        -o "APT::Architecture=$arch" -o "APT::Architectures=$arch" -o Debug::NoLocking=1
        -o APT::Get::Assume-Yes=1 -o APT::Install-Recommends=0 -o quiet=2)
    if [ ! -f "$dir/updated" ]; then
        apt-get "${options[@]}" update
        touch "$dir/updated"
    fi
    (cd "$dir/archives" && "$tool" "${options[@]}" "$@")
}

unpack_all() {
    local into=$1 deb
    shift
    mkdir -p "$into"
    for deb in "$@"; do
        dpkg-deb -x "$deb" "$into"
    done
}

# What the root is made of; a root made of other packages is made again.
ROOT_PACKAGES="wine32 openssl"

make_root() {
    [ "$(cat "$guest/root.done" 2>/dev/null)" = "$ROOT_PACKAGES" ] && return
    echo "guest: unpacking the 32-bit Wine root"
    rm -rf "$guest/root"
    # Only the release and its updates: the mirror's i386 index of security
    # updates has been seen broken, and a test guest needs none of them.
    apt_in i386 i386 /dev/null "$codename $codename-updates" apt-get install --download-only $ROOT_PACKAGES
    unpack_all "$guest/root" "$guest"/apt-i386/archives/*.deb
    # The one maintainer script Wine needs: libwine's, which turns the
    # mingw zlib into Wine's builtin zlib1.dll. Run with its paths moved
    # into the root.
    local control="$guest/libwine-control"
    rm -rf "$control"
    dpkg-deb -e "$guest"/apt-i386/archives/libwine_*_i386.deb "$control"
    sed "s#/usr/#$guest/root/usr/#g" "$control/postinst" | sh -s configure
    printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$guest/root/etc/hosts"
    printf 'hosts: files\n' >"$guest/root/etc/nsswitch.conf"
    mkdir -p "$guest/root/bin" "$guest/root/proc" "$guest/root/sys" "$guest/root/dev" \
        "$guest/root/tmp" "$guest/root/root"
    echo "$ROOT_PACKAGES" >"$guest/root.done"
}

make_boot() {
    # A changed init needs a new initramfs.
    [ "$guest/boot.done" -nt "$here/init" ] && return
    echo "guest: kernel and initramfs"
    local kernel_package
    kernel_package=$(apt_in amd64 amd64 /dev/null "$codename $codename-updates" apt-cache \
        --no-all-versions show linux-image-amd64 |
        sed -n 's/^Depends: .*\(linux-image-[0-9][^ ,]*-amd64\).*/\1/p' | head -n 1)
    [ -n "$kernel_package" ] || { echo "guest: no kernel package found" >&2; exit 1; }
    apt_in amd64 amd64 /dev/null "$codename $codename-updates" apt-get download \
        "$kernel_package" busybox-static
    local kroot="$guest/kernel"
    rm -rf "$kroot"
    unpack_all "$kroot" "$guest"/apt-amd64/archives/linux-image-*.deb \
        "$guest"/apt-amd64/archives/busybox-static_*.deb
    local version
    version=$(ls "$kroot/lib/modules")
    cp "$kroot/boot/vmlinuz-$version" "$guest/vmlinuz"
    depmod -b "$kroot" "$version"

    local initramfs="$guest/initramfs"
    rm -rf "$initramfs"
    mkdir -p "$initramfs/bin" "$initramfs/modules" "$initramfs/newroot" "$initramfs/proc" \
        "$initramfs/sys" "$initramfs/dev"
    cp "$kroot/bin/busybox" "$initramfs/bin/busybox"
    cp "$here/init" "$initramfs/init"
    chmod +x "$initramfs/init"
    # The guest's root also needs a shell: the same static busybox.
    cp "$kroot/bin/busybox" "$guest/root/bin/busybox"
    local applet
    for applet in $("$kroot/bin/busybox" --list); do
        [ -e "$guest/root/bin/$applet" ] || ln -s busybox "$guest/root/bin/$applet"
    done

    # The modules for virtio-9p, each after what it depends on.
    local moddir="$kroot/lib/modules/$version" loaded=" " order=()
    add_module() {
        local path=$1 dep
        case $loaded in *" $path "*) return ;; esac
        for dep in $(sed -n "s#^$path: ##p" "$moddir/modules.dep"); do
            add_module "$dep"
        done
        loaded+="$path "
        order+=("$path")
    }
    local wanted
    for wanted in virtio_pci 9pnet_virtio 9p; do
        add_module "$(grep -o "^[^:]*/$wanted\.ko[^:]*" "$moddir/modules.dep")"
    done
    local path
    for path in "${order[@]}"; do
        cp "$moddir/$path" "$initramfs/modules/"
        basename "$path"
    done >"$initramfs/modules.order"
    (cd "$initramfs" && find . | cpio --quiet -o -H newc | gzip -1) >"$guest/initrd.gz"
    touch "$guest/boot.done"
}

make_qemu() {
    [ -f "$guest/qemu.done" ] && return
    echo "guest: qemu-system-x86 from $codename-backports"
    rm -rf "$guest/qemu" "$guest"/apt-qemu/archives/*.deb
    # What this machine already has in a suitable version is used as it is.
    apt_in qemu amd64 /var/lib/dpkg/status "$codename $codename-updates $codename-backports" \
        apt-get install --download-only -t "$codename-backports" qemu-system-x86
    shopt -s nullglob
    unpack_all "$guest/qemu" "$guest"/apt-qemu/archives/*.deb
    shopt -u nullglob
    touch "$guest/qemu.done"
}

make_root
make_boot
make_qemu
