#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test tools is missing on a Debian 12 machine:
# compilers for Linux and for 64- and 32-bit Windows, clang-format and clang-tidy, test and
# benchmark libraries, Wine with 32-bit support, a virtual serial line, a headless X server, NSIS
# for the setup program and what the instrument stand-in needs. Safe to run again: it installs
# nothing when all is there.
#
# For ARM64 Windows, which Debian 12 has no mingw-w64 compiler for: clang, lld and llvm 16 and
# dpkg-dev, with which cmake/arm64/build-toolchain.sh builds one from Debian's source packages
# (tools/debian-source.sh adds the deb-src entries of the system's own archive that apt-get source
# needs; GNU windres of binutils-mingw-w64-x86-64 compiles its resource scripts); mmdebstrap,
# qemu-user-static and binfmt-support, with which tests/arm64/make-root.sh makes an arm64 Debian
# root whose Wine runs the ARM64 build under emulation.
set -euo pipefail

packages=(cmake g++ make clang libclang-rt-14-dev clang-format clang-tidy libgtest-dev
          libgmock-dev googletest libbenchmark-dev g++-mingw-w64-x86-64-posix
          g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64
          wine32:i386 socat xvfb xauth imagemagick python3 pkg-config libsmf-dev libfluidsynth-dev
          timgm6mb-soundfont nsis clang-16 lld-16 llvm-16 dpkg-dev mmdebstrap qemu-user-static
          binfmt-support)

missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "== installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
{
    "${sudo[@]}" dpkg --add-architecture i386 &&
        "${sudo[@]}" apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
} >"$log" 2>&1 || { cat "$log"; exit 1; }
echo "== installed"
