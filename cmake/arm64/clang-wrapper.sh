#!/bin/sh
# aarch64-w64-mingw32-clang and aarch64-w64-mingw32-clang++: Debian's clang-16 as a compiler for
# ARM64 Windows, with the headers, C runtime and LLVM runtimes of the toolchain folder this script
# sits in. Debian 12's clang-16 would take lld-14 as ld.lld, which cannot link this target well,
# hence the explicit --ld-path. The link-only flags below are unused when compiling, and the
# project compiles with warnings as errors.
toolchain=$(cd "$(dirname "$0")/.." && pwd)
case $(basename "$0") in
*++ | *-g++ | *-c++) driver=clang++-16 ;;
*) driver=clang-16 ;;
esac
exec "$driver" --target=aarch64-w64-mingw32 --sysroot="$toolchain" \
    -resource-dir="$toolchain/lib/clang/16" -rtlib=compiler-rt -unwindlib=libunwind \
    -stdlib=libc++ -fuse-ld=lld --ld-path=/usr/lib/llvm-16/bin/ld.lld \
    -Wno-unused-command-line-argument "$@"
