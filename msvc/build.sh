#!/usr/bin/env bash
# Builds the Visual C++ face of kavra.dll with clang in the Visual C++ ABI:
# kavra_msvc.dll and its import library kavra_msvc.lib (the one a Visual C++
# project links), and the face's test program face_test.exe. Only Debian's
# clang, lld and llvm tools take part: no Windows SDK, no Visual C++
# library; the import libraries of the system DLLs come from runtime/*.def.
#
# Usage: msvc/build.sh x86_64|i686 OUT_DIR
set -euo pipefail

ARCH=$1
mkdir -p "$2/obj"
OUT=$(cd "$2" && pwd)
cd "$(dirname "$0")"
case "$ARCH" in
x86_64) MACHINE=x64 DLLTOOL_MACHINE=i386:x86-64 LINK_EXTRA=() ;;
i686) MACHINE=x86 DLLTOOL_MACHINE=i386 LINK_EXTRA=(/safeseh:no) ;;
*) echo "build.sh: unknown architecture $ARCH" >&2; exit 2 ;;
esac

CXX=(clang++-14 --target="$ARCH-pc-windows-msvc" -std=c++17 -O2 -Wall -Wextra -Werror
     -ffreestanding -nostdinc++ -fms-compatibility-version=19.30
     -fexceptions -fcxx-exceptions -fno-threadsafe-statics -fno-stack-protector
     -I include -I ../include)

# The .def files carry the i686 decoration of __stdcall functions (@ and the
# argument bytes); x86_64 has one convention and no decoration.
for def in runtime/*.def; do
    name=$(basename "$def" .def)
    if [ "$ARCH" = x86_64 ]; then
        sed 's/@[0-9]*$//' "$def" >"$OUT/obj/$name.def"
    else
        cp "$def" "$OUT/obj/$name.def"
    fi
    llvm-dlltool-14 -m "$DLLTOOL_MACHINE" -k -d "$OUT/obj/$name.def" -l "$OUT/$name.lib"
done
SYSTEM_LIBS=("$OUT/vcruntime140.lib" "$OUT/ucrtbase.lib" "$OUT/kernel32.lib")

objects=()
for src in src/*.cpp runtime/Startup.cpp; do
    obj="$OUT/obj/$(basename "$src" .cpp).obj"
    "${CXX[@]}" -DKAVRA_MSVC_BUILDING -c "$src" -o "$obj"
    objects+=("$obj")
done
lld-link-14 /nologo /dll /machine:"$MACHINE" /nodefaultlib /entry:_DllMainCRTStartup \
    "${LINK_EXTRA[@]}" /out:"$OUT/kavra_msvc.dll" /implib:"$OUT/kavra_msvc.lib" \
    "${objects[@]}" "$OUT/kavra.lib" "${SYSTEM_LIBS[@]}"

"${CXX[@]}" -c tests/FaceTest.cpp -o "$OUT/obj/FaceTest.obj"
"${CXX[@]}" -DKAVRA_MSVC_EXE -c runtime/Startup.cpp -o "$OUT/obj/ExeStartup.obj"
lld-link-14 /nologo /machine:"$MACHINE" /nodefaultlib /entry:mainCRTStartup /subsystem:console \
    "${LINK_EXTRA[@]}" /out:"$OUT/face_test.exe" "$OUT/obj/FaceTest.obj" "$OUT/obj/ExeStartup.obj" \
    "$OUT/kavra_msvc.lib" "${SYSTEM_LIBS[@]}"
