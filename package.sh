#!/usr/bin/env bash
# Builds the release package from the Windows trees that test.sh builds (or builds them):
#   build/melvpcif-1.31.0.1.zip
#     melvpcif-setup.exe       installer for 64-bit Windows (installs both DLLs)
#     melvpcif-setup32.exe     installer for 32-bit Windows
#     x64/melvpcif.dll         the driver for 64-bit programs
#     x86/melvpcif.dll         the driver for 32-bit programs
#     README.md, LICENSE, docs/
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"
version=1.31.0.1
for bits in 64 32; do
    if [ ! -f "build/win$bits/melvpcif.dll" ] || [ ! -f "build/win$bits/installer/melvpcif-setup.exe" ]; then
        cmake -S . -B "build/win$bits" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-win$bits.cmake" >/dev/null
        cmake --build "build/win$bits" -j "$(nproc)" --target melvpcif melvpcif-setup
    fi
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/x64" "$stage/x86"
# Debug information stays in the build trees; users get the stripped files.
x86_64-w64-mingw32-strip -o "$stage/x64/melvpcif.dll" build/win64/melvpcif.dll
i686-w64-mingw32-strip -o "$stage/x86/melvpcif.dll" build/win32/melvpcif.dll
x86_64-w64-mingw32-strip -o "$stage/melvpcif-setup.exe" build/win64/installer/melvpcif-setup.exe
i686-w64-mingw32-strip -o "$stage/melvpcif-setup32.exe" build/win32/installer/melvpcif-setup.exe
cp README.md LICENSE "$stage/"
[ -d docs ] && cp -r docs "$stage/"

package="build/melvpcif-$version.zip"
rm -f "$package"
python3 - "$stage" "$package" <<'PY'
import os, sys, zipfile
stage, package = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as archive:
    for folder, _, files in sorted(os.walk(stage)):
        for name in sorted(files):
            path = os.path.join(folder, name)
            archive.write(path, os.path.relpath(path, stage))
PY
echo "$top/$package"
