#!/usr/bin/env bash
# Runs the client-library tier of a win64 and a win32 build under Wine: the PortMidi and RtMidi
# runners, each built on its library's own winmm back end, in a fresh prefix where the driver is
# installed as for the public-API tests (both bitnesses, the test-only forwarder in front of it,
# COM1 on the driver's end of a virtual serial line and COM8 on the instrument's). Each runner of
# each bitness runs twice: one output, then independent mode (four outputs), since the driver
# reads its settings once per process. Exits non-zero if any case failed.
#
#   tests/libs/run-lib-tests.sh BUILD_DIR_WIN64 BUILD_DIR_WIN32
#
# The runners are built when the trees were configured with MELV_PORTMIDI_SOURCE_DIR and
# MELV_RTMIDI_SOURCE_DIR in the environment, as test.sh does.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/wine/wine-env.sh"
. "$top/tests/lib/checks.sh"
runners="lib-tests/melv_portmidi_runner.exe lib-tests/melv_rtmidi_runner.exe"
wine_env_find_builds "melvpcif.dll melvfwd.dll $runners" "$@" || exit 2
builds=("${wine_env_builds[@]}")

start=$(date +%s)
wine_env_prepare_installed melv-libs "${builds[0]}" "${builds[1]}" || exit 2

for dir in "${wine_env_runs[@]}"; do
    for runner in $runners; do
        echo "=== one output: $dir/$runner"
        check "one output: $dir/$runner" \
            wine_env_run 300 "$dir/$runner" "--gtest_filter=-*FourOutputs"
        echo "=== independent mode: $dir/$runner"
        check "independent mode: $dir/$runner" \
            wine_env_run 300 "$dir/$runner" --independent "--gtest_filter=*FourOutputs"
    done
done

checks_summary "client-library tests" "took $(($(date +%s) - start)) s"
