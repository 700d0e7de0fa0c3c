#!/usr/bin/env bash
# Runs the public-API tests of a win64 and a win32 build under Wine: a fresh prefix with the
# driver installed so that winmm lists it (both bitnesses), the test-only forwarder in front of
# it, and a virtual serial line with COM1 on the driver's end and COM8 on the instrument's. Each
# bitness runs twice: one output, then independent mode (four outputs), since the driver reads its
# settings once per process. Exits non-zero if any test failed.
#
#   tests/api/run-api-tests.sh BUILD_DIR_WIN64 BUILD_DIR_WIN32
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR_WIN64 BUILD_DIR_WIN32" >&2
    exit 2
fi
builds=()
for dir in "$1" "$2"; do
    for file in melvpcif.dll melvfwd.dll melv_api_tests.exe; do
        if [ ! -f "$dir/$file" ]; then
            echo "$dir/$file is missing: build the win64 and win32 trees first" >&2
            exit 2
        fi
    done
    builds+=("$(realpath "$dir")")
done

. "$top/tests/wine/wine-env.sh"
start=$(date +%s)
wine_env_begin melv-api || exit 2
wine_env_start_line || exit 2
wine_env_set_ports 1 || exit 2
wine_env_install_driver "${builds[0]}" "${builds[1]}" melvfwd.dll || exit 2

failed=0
run() { # build, label, arguments...
    local dir=$1 label=$2
    shift 2
    echo "=== $label: $dir/melv_api_tests.exe $*"
    # The deadline only keeps a hung host from hanging the run.
    timeout 120 wine "$dir/melv_api_tests.exe" "$@"
    local rc=$?
    if [ $rc -ne 0 ]; then
        echo "=== $label: failed (exit code $rc)"
        failed=1
    fi
}
for dir in "${builds[@]}"; do
    run "$dir" "one output" "--gtest_filter=-IndependentOutputs.*"
    run "$dir" "independent mode" --independent "--gtest_filter=IndependentOutputs.*"
done

echo "=== public-API tests took $(($(date +%s) - start)) s"
if [ $failed -ne 0 ]; then
    echo "=== public-API tests FAILED"
    exit 1
fi
echo "=== public-API tests passed"
