#!/usr/bin/env bash
# Runs the public-API tests of a win64 and a win32 build under Wine: a fresh prefix with the
# driver installed so that winmm lists it (both bitnesses), the test-only forwarder in front of
# it, and a virtual serial line with COM1 on the driver's end and COM8 on the instrument's. Each
# bitness runs twice: one output, then independent mode (four outputs), since the driver reads its
# settings once per process. Exits non-zero if any test failed.
#
#   tests/api/run-api-tests.sh BUILD_DIR_WIN64 BUILD_DIR_WIN32
set -u
if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR_WIN64 BUILD_DIR_WIN32" >&2
    exit 2
fi
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/wine/wine-env.sh"
wine_env_find_builds "melvpcif.dll melvfwd.dll api-tests/melv_api_tests.exe demo/melv-demo.exe" "$1" "$2" || exit 2
builds=("${wine_env_builds[@]}")

start=$(date +%s)
wine_env_begin melv-api || exit 2
wine_env_boot || exit 2
wine_env_start_line || exit 2
wine_env_set_ports 1 || exit 2
wine_env_install_driver "${builds[0]}" "${builds[1]}" melvfwd.dll || exit 2

failed=0
run() { # build, label, arguments...
    local dir=$1 label=$2
    shift 2
    echo "=== $label: $dir/api-tests/melv_api_tests.exe $*"
    # The deadline only keeps a hung host from hanging the run.
    timeout 120 wine "$dir/api-tests/melv_api_tests.exe" "$@"
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

# The check program on a machine where the driver is not installed says so. (Its other messages
# are tested inside the test host, where the driver is installed.)
wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32' /ve /f /reg:64 \
    >/dev/null 2>&1
wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32' /ve /f /reg:32 \
    >/dev/null 2>&1
for dir in "${builds[@]}"; do
    output=$(timeout 60 wine "$dir/demo/melv-demo.exe" --listen 0 2>&1)
    rc=$?
    if [ $rc -eq 3 ] && grep -q "the driver is not installed" <<<"$output"; then
        echo "=== the check program of $dir says the driver is not installed"
    else
        echo "=== FAILED: the check program of $dir without the driver ended with $rc:"
        echo "$output"
        failed=1
    fi
done

echo "=== public-API tests took $(($(date +%s) - start)) s"
if [ $failed -ne 0 ]; then
    echo "=== public-API tests FAILED"
    exit 1
fi
echo "=== public-API tests passed"
