#!/usr/bin/env bash
# Boots the 32-bit test guest (made by prepare.sh) for one job: a script in
# <build folder>/guest/ that the guest runs in its Wine root, with the build
# folder at the same path as here. QEMU emulates the machine in software
# (TCG, one host thread: with two, the same work ran several times slower
# on two cores), so this runs wherever the kernel refuses 32-bit programs
# or no hardware virtualisation is offered.
#
# Exits with the job's status; 125 when the guest ended without one (it
# crashed, or ran past the time limit).
#
# Usage: .ci/wine32-guest/boot.sh <guest folder> <build folder> <job> [limit in s]
set -euo pipefail

guest=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
job=$3
limit=${4:-2400}

qemu="$guest/qemu/usr/bin/qemu-system-x86_64"
firmware=()
if [ -x "$qemu" ]; then
    # Some of QEMU's libraries (libfuse3, libnl) unpack under lib/, not usr/lib/.
    export LD_LIBRARY_PATH="$guest/qemu/usr/lib/x86_64-linux-gnu:$guest/qemu/lib/x86_64-linux-gnu${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    export QEMU_MODULE_DIR="$guest/qemu/usr/lib/x86_64-linux-gnu/qemu"
    firmware=(-L "$guest/qemu/usr/share/qemu" -L "$guest/qemu/usr/share/seabios")
else
    qemu=$(command -v qemu-system-x86_64)
fi
major=$("$qemu" --version | sed -n 's/^QEMU emulator version \([0-9]*\).*/\1/p')
if [ "${major:-0}" -lt 8 ]; then
    echo "boot: $qemu is QEMU ${major:-?}; before 8 its emulation corrupts the flags" \
        "register of 32-bit programs (see README, 32-bit Windows)" >&2
    exit 1
fi

# Mount points of the guest, inside its read-only root.
mkdir -p "$guest/root$build"
rm -f "$build/guest/$job.status"
set +e
timeout "$limit" "$qemu" "${firmware[@]}" \
    -accel tcg,thread=single -cpu qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt -m 3072 -smp 2 \
    -nographic -no-reboot -net none \
    -kernel "$guest/vmlinuz" -initrd "$guest/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 kavra.build=$build kavra.job=$job" \
    -virtfs "local,path=$guest/root,mount_tag=root,security_model=passthrough,readonly=on" \
    -virtfs "local,path=$build,mount_tag=build,security_model=passthrough" \
    </dev/null >"$build/guest/$job.console" 2>&1
set -e
if [ ! -f "$build/guest/$job.status" ]; then
    echo "boot: the guest for $job ended without a status; its console:" >&2
    tail -n 30 "$build/guest/$job.console" >&2
    exit 125
fi
exit "$(cat "$build/guest/$job.status")"
