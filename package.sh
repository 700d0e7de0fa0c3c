#!/usr/bin/env bash
# Builds the setup program and the release package from the Windows trees that test.sh builds
# (configuring them when they are not there, bringing them up to date when they are), named after
# the project's version (project() in CMakeLists.txt):
#   build/melvpcif-VERSION-setup.exe     the setup program, for 32-bit, 64-bit and ARM64 Windows
#   build/melvpcif-VERSION.zip
#     melvpcif-VERSION-setup.exe
#     README.md, LICENSE, docs/
#     by-hand/                           for those who install by hand:
#       INSTALL-BY-HAND.txt              how
#       x64/melvpcif.dll                 the driver for 64-bit (x64) programs
#       x86/melvpcif.dll                 the driver for 32-bit programs
#       arm64/melvpcif.dll               the driver for ARM64 programs
#       x64/melvpcif-share.exe, x86/..., arm64/...
#                                        the sharing service, for each kind of Windows
#       x64/melv-toolbox.exe, x86/..., arm64/...
#                                        the toolbox (the connection check, the monitor, the
#                                        panic, the librarian), for each kind of Windows
#       x64/melv-settings.exe, x86/..., arm64/...
#                                        the settings program, for each kind of Windows
#       melvpcif-setup.exe               command-line installer for 64-bit Windows
#       melvpcif-setup32.exe             command-line installer for 32-bit Windows
#       melvpcif-setup-arm64.exe         command-line installer for ARM64 Windows
# Prints the setup program's path, then the package's.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"
# The ARM64 tree needs the compiler cmake/arm64/build-toolchain.sh builds once.
[ -f build/win-arm64/CMakeCache.txt ] || cmake/arm64/build-toolchain.sh >/dev/null
for preset in win64 win32 win-arm64; do
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" \
        --target melvpcif melvpcif-share melvpcif-setup melv-toolbox melv-settings >/dev/null
done
# The version the DLLs carry, as CMake wrote it when it configured the trees.
version=$(cat build/win64/version.txt)
for preset in win32 win-arm64; do
    [ "$(cat "build/$preset/version.txt")" = "$version" ] ||
        { echo "build/win64 and build/$preset were configured for different versions" >&2; exit 1; }
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
# Windows' Notepad before 2018 shows a text file with bare line feeds as one line.
crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }

# What the setup program carries: the DLLs, the command-line installer that holds the rules of
# where they go, the connection check and the settings program, per kind of Windows. Debug
# information stays in the build trees; users get the stripped files.
for arch in x64 x86 arm64; do
    case $arch in
    x64) tree=build/win64 strip=x86_64-w64-mingw32-strip ;;
    x86) tree=build/win32 strip=i686-w64-mingw32-strip ;;
    arm64) tree=build/win-arm64 strip=llvm-strip-16 ;;
    esac
    mkdir -p "$stage/carried/$arch"
    "$strip" -o "$stage/carried/$arch/melvpcif.dll" "$tree/melvpcif.dll"
    "$strip" -o "$stage/carried/$arch/melvpcif-share.exe" "$tree/melvpcif-share.exe"
    "$strip" -o "$stage/carried/$arch/melvpcif-setup.exe" "$tree/installer/melvpcif-setup.exe"
    "$strip" -o "$stage/carried/$arch/melv-toolbox.exe" "$tree/toolbox/melv-toolbox.exe"
    "$strip" -o "$stage/carried/$arch/melv-settings.exe" "$tree/settings/melv-settings.exe"
done
crlf README.md "$stage/carried/README.txt"
crlf LICENSE "$stage/carried/LICENSE.txt"

setup="build/melvpcif-$version-setup.exe"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage/carried" -DOUTFILE="$top/$setup" \
    installer/melvpcif.nsi >"$stage/makensis.log" || { cat "$stage/makensis.log"; exit 1; }

files="$stage/files"
mkdir -p "$files/by-hand/x64" "$files/by-hand/x86" "$files/by-hand/arm64"
cp "$setup" "$files/"
cp README.md LICENSE "$files/"
[ -d docs ] && cp -r docs "$files/"
crlf installer/INSTALL-BY-HAND.txt "$files/by-hand/INSTALL-BY-HAND.txt"
for arch in x64 x86 arm64; do
    cp "$stage/carried/$arch/melvpcif.dll" "$stage/carried/$arch/melvpcif-share.exe" \
        "$stage/carried/$arch/melv-toolbox.exe" "$stage/carried/$arch/melv-settings.exe" \
        "$files/by-hand/$arch/"
done
cp "$stage/carried/x64/melvpcif-setup.exe" "$files/by-hand/melvpcif-setup.exe"
cp "$stage/carried/x86/melvpcif-setup.exe" "$files/by-hand/melvpcif-setup32.exe"
cp "$stage/carried/arm64/melvpcif-setup.exe" "$files/by-hand/melvpcif-setup-arm64.exe"

package="build/melvpcif-$version.zip"
rm -f "$package"
python3 - "$files" "$package" <<'PY'
import os, sys, zipfile
files, package = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as archive:
    for folder, _, names in sorted(os.walk(files)):
        for name in sorted(names):
            path = os.path.join(folder, name)
            archive.write(path, os.path.relpath(path, files))
PY
echo "$top/$setup"
echo "$top/$package"
