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

# A package server in the middle of its sync serves an index or a package that does not match
# what it announced, for minutes at a time: each step is tried again after a pause, a few times
# (about two minutes in all), before the set-up gives up.
tries=${MELV_APT_TRIES:-4}
pause=${MELV_APT_PAUSE:-40}
apt_step() { # what, command...
    local what=$1 try
    shift
    for ((try = 1; try <= tries; try++)); do
        "$@" >"$log" 2>&1 && return 0
        grep -q '^E: Failed to fetch' "$log" || { cat "$log"; return 1; }
        if [ "$try" -lt "$tries" ]; then
            echo "== $what: the package server sent a file that does not match its index;" \
                "trying again in $pause s"
            sleep "$pause"
        fi
    done
    echo "== $what failed $tries times, $((pause * (tries - 1))) s apart. What failed to download:"
    sed -n 's/^E: Failed to fetch \([^ ]*\).*/   \1/p' "$log" | sort -u
    echo "   This is the package server's trouble (it is often in the middle of a sync), not the"
    echo "   project's. Try again later."
    return 1
}

"${sudo[@]}" dpkg --add-architecture i386 || exit 1
apt_step "reading the package indexes" "${sudo[@]}" apt-get update -q || exit 1
apt_step "installing" "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q "${missing[@]}" || exit 1
echo "== installed"
