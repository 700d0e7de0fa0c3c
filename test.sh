#!/usr/bin/env bash
# The one command that proves the driver: installs what is missing, builds the native tree (core on
# the simulated platform, unit tests, benchmarks), the same under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer, the fuzz targets, and the 64-bit, 32-bit and
# ARM64 Windows trees (the ARM64 compiler is built once and cached), all with warnings as errors,
# then checks that every source file is formatted, runs clang-tidy over the driver's sources and
# runs every test: native unit tests three times, bounded fuzzing runs, the DLL checks, the
# integration and public-API tests under Wine for all three DLLs (the ARM64 one in an arm64 Wine
# under qemu), programs built on PortMidi and RtMidi under Wine, the command-line installer, the
# release package and its setup program under Wine, the demo, and the benchmarks.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"
jobs=$(nproc)

# Each tree is a preset of CMakePresets.json, built in build/<preset>.
configure_and_build() { # preset
    local name=$1
    echo "== building $name"
    cmake --preset "$name" >"build/$name.configure.log" ||
        { cat "build/$name.configure.log"; return 1; }
    local start=$SECONDS
    cmake --build --preset "$name" -j "$jobs" || return 1
    echo "== built $name in $((SECONDS - start)) s"
}

# A step that hangs (a Wine program waiting on another for good) is ended after this long, with
# the processes it left listed, so that it fails alone instead of holding up every later step.
step_limit=1500
bounded() { # command...: a program or script, run in a process group of its own
    setsid -w "$@" &
    local pid=$! status
    (
        trap 'kill $! 2>/dev/null; exit' TERM
        sleep "$step_limit" &
        wait $!
        echo "== still running after $step_limit s; what runs now:"
        ps -eo pid,pgid,etimes,args | awk 'NR > 1 && $4 !~ /^\[/ && $4 != "ps"'
        kill -TERM -- "-$pid"
        sleep 30 &
        wait $!
        kill -KILL -- "-$pid"
    ) 2>/dev/null &
    local watchdog=$!
    wait "$pid" && status=0 || status=$?
    kill "$watchdog" 2>/dev/null
    wait "$watchdog" 2>/dev/null || true
    return "$status"
}

passed=0
failed=0
skipped=0
# A step that cannot run on this machine at all says why and ends with this status: it is counted
# apart, neither passed nor failed.
cannot_run_here=77
step() { # name, command...
    local name=$1
    shift
    echo "== $name"
    # A shell function runs here, as its results (the package's name) are needed afterwards.
    [ "$(type -t "$1")" = function ] || set -- bounded "$@"
    local start=$SECONDS
    local status=0
    "$@" || status=$?
    if [ "$status" -eq 0 ]; then
        passed=$((passed + 1))
        echo "== passed in $((SECONDS - start)) s: $name"
    elif [ "$status" -eq "$cannot_run_here" ]; then
        skipped=$((skipped + 1))
        echo "== NOT RUN on this machine: $name"
    else
        failed=$((failed + 1))
        echo "== FAILED after $((SECONDS - start)) s: $name"
    fi
}

# New inputs the fuzzer finds go to a scratch folder; the committed seeds stay as they are.
fuzz_for_30_s() { # target, its seed folder
    local found status=0 log="build/$1.log"
    found=$(mktemp -d)
    "build/fuzz/tests/fuzz/$1" -max_total_time=30 -print_final_stats=1 \
        -artifact_prefix=build/ "$found" "$2" >"$log" 2>&1 || status=$?
    rm -rf "$found"
    grep -E '^(Done|stat::number_of_executed_units)' "$log" || true
    [ "$status" -eq 0 ] || tail -40 "$log"
    return "$status"
}

# The two targets at once, one on each core; each one's figures are printed when both are done.
fuzz_both() {
    local assembler status=0
    fuzz_for_30_s assembler_fuzz tests/fuzz/corpus >build/assembler_fuzz.out 2>&1 &
    assembler=$!
    fuzz_for_30_s share_fuzz tests/fuzz/share-corpus >build/share_fuzz.out 2>&1 || status=$?
    wait "$assembler" || status=$?
    cat build/assembler_fuzz.out build/share_fuzz.out
    return "$status"
}

# Every tracked C and C++ file as clang-format (.clang-format) lays it out.
check_format() {
    git ls-files -z '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format --dry-run --Werror
}

# clang-tidy (.clang-tidy) over the driver's sources as the native tree compiles them: the core and
# the simulated platform. Any finding fails the step.
tidy_sources() {
    run-clang-tidy -p build/native -j "$jobs" -quiet "^$top/src/" >build/clang-tidy.log 2>&1 || {
        sed 's/\x1b\[[0-9;]*m//g' build/clang-tidy.log |
            grep -v -e '^clang-tidy-' -e 'warnings\? generated\.$' -e '^Suppressed ' \
                -e '^Use -header-filter'
        return 1
    }
    echo "no findings in $(grep -c '^clang-tidy' build/clang-tidy.log) files"
}

package=
package_and_check() {
    package=$(./package.sh | tail -n 1) && tests/package/check-package.py "$package"
}
# The setup program is a 32-bit Windows program, as NSIS makes them.
setup_program() {
    [ -n "$package" ] || { echo "no release package was made"; return 1; }
    if ! wine_env_runs_32bit; then
        echo "The setup program is a 32-bit Windows program, and this machine's kernel runs no"
        echo "32-bit x86 programs: the package is made and checked, its setup program not run."
        return "$cannot_run_here"
    fi
    bounded tests/install/test-setup.sh "$package" build/win64 build/win32
}

"$top/install-deps.sh"
. tests/wine/wine-env.sh
mkdir -p build
# PortMidi's and RtMidi's sources, from Debian's source packages, unpacked once into a cache outside
# the clone; the Windows presets hand their folders to CMake, which builds the libraries' winmm back
# ends into the client-library runners. Without them the runners are not built, and their step
# says so.
sources_cache=/var/cache/melv/sources
MELV_PORTMIDI_SOURCE_DIR=$(tools/debian-source.sh portmidi "$sources_cache") || true
MELV_RTMIDI_SOURCE_DIR=$(tools/debian-source.sh rtmidi "$sources_cache") || true
export MELV_PORTMIDI_SOURCE_DIR MELV_RTMIDI_SOURCE_DIR
for preset in native native-sanitize native-tsan fuzz win64 win32; do
    configure_and_build "$preset"
done
# Debian 12 has no compiler for ARM64 Windows: one is built from Debian's sources, once.
echo "== ARM64 Windows toolchain"
toolchain_start=$(date +%s)
cmake/arm64/build-toolchain.sh
echo "ready after $(($(date +%s) - toolchain_start)) s"
configure_and_build win-arm64

step "set-up against a failing package server (apt-get stubbed)" tests/install/test-install-deps.sh
step "formatting (clang-format)" check_format
step "driver sources (clang-tidy)" tidy_sources
step "native unit tests" ctest --test-dir build/native --output-on-failure -j "$jobs"
step "native unit tests under ASan and UBSan" \
    ctest --test-dir build/native-sanitize --output-on-failure -j "$jobs"
step "native unit tests under ThreadSanitizer" \
    ctest --test-dir build/native-tsan --output-on-failure -j "$jobs"
step "win64 DLL checks" ctest --test-dir build/win64 --output-on-failure
step "win32 DLL checks" ctest --test-dir build/win32 --output-on-failure
step "ARM64 DLL checks" ctest --test-dir build/win-arm64 --output-on-failure
step "integration tests under Wine" tests/wine/run-wine-tests.sh build/win64 build/win32
step "public-API tests under Wine" tests/api/run-api-tests.sh build/win64 build/win32
step "PortMidi and RtMidi programs under Wine" tests/libs/run-lib-tests.sh build/win64 build/win32
# The ARM64 build runs in an arm64 Debian root's Wine under qemu; the root is made once, and this
# step fails, saying why, where binfmt_misc cannot be had.
step "arm64 Wine root (qemu, binfmt_misc)" tests/arm64/make-root.sh
step "integration tests under arm64 Wine" \
    tests/arm64/with-wine.sh tests/wine/run-wine-tests.sh build/win-arm64 build/win-arm64
step "public-API tests under arm64 Wine" \
    tests/arm64/with-wine.sh tests/api/run-api-tests.sh build/win-arm64 build/win-arm64
step "command-line installer under Wine" tests/install/test-installer.sh build/win64 build/win32
step "command-line installer for ARM64 Windows under arm64 Wine" tests/arm64/with-wine.sh \
    tests/install/test-installer.sh --arm64 build/win-arm64 build/win64 build/win32
step "release package" package_and_check
step "setup program under Wine" setup_program
step "one-command demo under Wine" tests/demo/check-demo.sh
step "input assembler and sharing service's checks fuzzing, 30 s side by side" fuzz_both
# Interleaved and repeated, so that the shares of a noisy machine fall on every variant alike: the
# cost of the monitor's record is read as the ratio of two of its rows.
step "output benchmark (figures only)" build/native/bench/output_bench --benchmark_min_time=0.2 \
    --benchmark_repetitions=6 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true
step "input benchmark (figures only)" build/native/bench/input_bench --benchmark_min_time=0.2
step "Windows-path benchmark under Wine (figures only)" \
    bench/wine/run-wine-bench.sh build/win64 build/win32

echo "DLLs: $top/build/win64/melvpcif.dll (64-bit), $top/build/win32/melvpcif.dll (32-bit)"
echo "suites: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
