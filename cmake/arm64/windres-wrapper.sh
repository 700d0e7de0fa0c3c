#!/usr/bin/env bash
# aarch64-w64-mingw32-windres, called as CMake calls a windres: -O coff [options] SOURCE OBJECT.
# llvm-rc cannot read the dialog template's captions made of concatenated strings, so GNU windres
# compiles the script to a .res file, and llvm-cvtres turns that into an ARM64 object.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 [windres options] SOURCE OBJECT" >&2; exit 2; }
options=("${@:1:$#-1}")
object=${!#}
for i in "${!options[@]}"; do
    if [ "${options[i]}" = -O ]; then options[i + 1]=res; fi
done
x86_64-w64-mingw32-windres "${options[@]}" "$object.res"
llvm-cvtres-16 /machine:arm64 /out:"$object" "$object.res" >/dev/null
rm -f "$object.res"
