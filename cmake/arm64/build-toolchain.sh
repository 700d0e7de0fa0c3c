#!/usr/bin/env bash
# Builds, once, a compiler for ARM64 Windows and prints its folder:
#
#   cmake/arm64/build-toolchain.sh [CACHE_FOLDER]      (default /var/cache/melv)
#
# Debian 12 has no aarch64 mingw-w64 cross compiler, but it has clang-16, lld-16 and llvm-16. In
# the order llvm-mingw's build scripts use, this builds from Debian's own source packages: the
# mingw-w64 headers and C runtime for arm64 (msvcrt, as the other two builds link), the
# compiler-rt builtins, then libunwind, libc++abi and libc++ (static only: the driver links
# everything statically). The folder is named after both source versions and this recipe, so it
# is reused while they are unchanged; CACHE_FOLDER/arm64-toolchain always names the current one,
# which cmake/toolchain-win-arm64.cmake uses.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
cache=${1:-/var/cache/melv}
target=aarch64-w64-mingw32
jobs=$(nproc)

mingw_source=$("$top/tools/debian-source.sh" mingw-w64 "$cache/sources")
llvm_source=$("$top/tools/debian-source.sh" llvm-toolchain-16 "$cache/sources")
versions="$(basename "$(dirname "$mingw_source")")+$(basename "$(dirname "$llvm_source")")"
recipe=$(cat "$here/build-toolchain.sh" "$here/clang-wrapper.sh" "$here/windres-wrapper.sh" |
    sha256sum | cut -c1-8)
toolchain="$cache/arm64-toolchain-$(echo "$versions" | tr ':~' '__')-$recipe"

# The compiler drivers and the binary tools under the names autoconf and CMake look for.
install_wrappers() {
    local tool
    mkdir -p "$toolchain/bin" "$toolchain/lib/clang/16"
    install -m755 "$here/clang-wrapper.sh" "$toolchain/bin/$target-clang"
    for tool in clang++ gcc g++ c++; do
        ln -sf "$target-clang" "$toolchain/bin/$target-$tool"
    done
    install -m755 "$here/windres-wrapper.sh" "$toolchain/bin/$target-windres"
    for tool in ar ranlib nm strip objcopy objdump dlltool readelf; do
        ln -sf "/usr/bin/llvm-$tool-16" "$toolchain/bin/$target-$tool"
    done
    # The builtins go into a resource folder of our own beside a copy of clang's headers, so the
    # system's clang stays untouched.
    cp -r /usr/lib/llvm-16/lib/clang/16/include "$toolchain/lib/clang/16/"
}

build_mingw() {
    mkdir -p "$build/headers" "$build/crt"
    (cd "$build/headers" &&
        "$mingw_source/mingw-w64-headers/configure" --host=$target \
            --prefix="$toolchain/$target" --with-default-msvcrt=msvcrt &&
        make install)
    (cd "$build/crt" &&
        "$mingw_source/mingw-w64-crt/configure" --host=$target --prefix="$toolchain/$target" \
            --disable-lib32 --disable-lib64 --enable-libarm64 --with-default-msvcrt=msvcrt \
            --enable-silent-rules &&
        make -j"$jobs" && make install)
    # clang adds -lssp when asked for stack protection; empty archives keep such links working.
    llvm-ar-16 rcs "$toolchain/$target/lib/libssp.a"
    llvm-ar-16 rcs "$toolchain/$target/lib/libssp_nonshared.a"
}

cross_cmake() { # source folder, build folder, cmake options...
    local source=$1 folder=$2
    shift 2
    cmake -S "$source" -B "$folder" -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows \
        -DCMAKE_C_COMPILER="$toolchain/bin/$target-clang" \
        -DCMAKE_CXX_COMPILER="$toolchain/bin/$target-clang++" \
        -DCMAKE_AR=/usr/bin/llvm-ar-16 -DCMAKE_RANLIB=/usr/bin/llvm-ranlib-16 \
        -DCMAKE_C_COMPILER_WORKS=1 -DCMAKE_CXX_COMPILER_WORKS=1 "$@"
    cmake --build "$folder" -j"$jobs"
    cmake --install "$folder"
}

build_builtins() {
    cross_cmake "$llvm_source/compiler-rt/lib/builtins" "$build/builtins" \
        -DCMAKE_INSTALL_PREFIX="$toolchain/lib/clang/16" \
        -DCMAKE_C_COMPILER_TARGET=$target -DCOMPILER_RT_DEFAULT_TARGET_ONLY=TRUE \
        -DCOMPILER_RT_USE_BUILTINS_LIBRARY=TRUE -DLLVM_CONFIG_PATH=""
}

build_libcxx() {
    cross_cmake "$llvm_source/runtimes" "$build/runtimes" \
        -DCMAKE_INSTALL_PREFIX="$toolchain/$target" -DCMAKE_CXX_COMPILER_TARGET=$target \
        -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" \
        -DLIBUNWIND_USE_COMPILER_RT=TRUE -DLIBUNWIND_ENABLE_SHARED=OFF \
        -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_ENABLE_SHARED=OFF \
        -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=TRUE -DLIBCXX_CXX_ABI=libcxxabi \
        -DLIBCXX_LIBDIR_SUFFIX="" -DLIBCXX_INCLUDE_TESTS=FALSE \
        -DLIBCXX_ENABLE_ABI_LINKER_SCRIPT=FALSE -DLIBCXXABI_USE_COMPILER_RT=ON \
        -DLIBCXXABI_USE_LLVM_UNWINDER=ON -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXXABI_LIBDIR_SUFFIX=""
}

if [ ! -f "$toolchain/.built" ]; then
    echo "== building the ARM64 Windows toolchain $toolchain (about 4 minutes, once)" >&2
    rm -rf "$toolchain"
    build=$(mktemp -d)
    trap 'rm -rf "$build"' EXIT
    # make cannot name files whose path holds a colon, as the version of llvm's source does.
    ln -s "$llvm_source" "$build/llvm"
    llvm_source=$build/llvm
    log="$build/build.log"
    export PATH="$toolchain/bin:$PATH"
    # A subshell of its own, so that the first failing command ends the build.
    set +e
    (
        set -e
        install_wrappers
        build_mingw
        build_builtins
        build_libcxx
    ) >"$log" 2>&1
    status=$?
    set -e
    [ "$status" -eq 0 ] || { tail -60 "$log" >&2; echo "the toolchain did not build" >&2; exit 1; }
    touch "$toolchain/.built"
fi
ln -sfn "$toolchain" "$cache/arm64-toolchain"
echo "$toolchain"
