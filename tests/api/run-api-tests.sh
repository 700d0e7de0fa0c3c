#!/usr/bin/env bash
# Runs the public-API tests of a win64 and a win32 build under Wine: a fresh prefix with the
# driver installed so that winmm lists it (both bitnesses), the test-only forwarder in front of
# it, and a virtual serial line with COM1 on the driver's end and COM8 on the instrument's. Each
# bitness runs twice: one output, then independent mode (four outputs), since the driver reads its
# settings once per process. Then both share the instrument, the sharing service installed. Exits
# non-zero if any test failed.
#
#   tests/api/run-api-tests.sh BUILD_DIR_WIN64 BUILD_DIR_WIN32
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/wine/wine-env.sh"
. "$top/tests/lib/checks.sh"
wine_env_find_builds \
    "melvpcif.dll melvpcif-share.exe melvfwd.dll api-tests/melv_api_tests.exe toolbox/melv-toolbox.exe" \
    "$@" || exit 2
builds=("${wine_env_builds[@]}")

start=$(date +%s)
# The monitor window's test needs a display: a private X server, inside the prefix's virtual
# desktop.
wine_env_begin melv-api && wine_env_start_display && wine_env_boot && wine_env_use_virtual_desktop &&
    wine_env_start_line && wine_env_set_ports 1 &&
    wine_env_install_driver "${builds[0]}" "${builds[1]}" melvfwd.dll || exit 2

# The monitor of the first build watches every run: a 32-bit program's traffic in a 64-bit monitor.
MELV_MONITOR_PROGRAM=$(winepath -w "${builds[0]}/toolbox/melv-toolbox.exe")
export MELV_MONITOR_PROGRAM
run() { # build, label, arguments...
    local host="$1/api-tests/melv_api_tests.exe" label=$2
    shift 2
    echo "=== $label: $host $*"
    check "$label: $host" wine_env_run "${run_limit:-300}" "$host" "$@"
}
# A second program, where a test needs one, is the host of the other bitness.
other_of() { # index into wine_env_runs
    local runs=("${wine_env_runs[@]}")
    winepath -w "${runs[$((($1 + 1) % ${#runs[@]}))]}/api-tests/melv_api_tests.exe"
}
for i in "${!wine_env_runs[@]}"; do
    dir=${wine_env_runs[$i]}
    MELV_OTHER_PROGRAM=$(other_of "$i") run "$dir" "one output" \
        "--gtest_filter=-IndependentOutputs.*:SharedInstrument.*"
    run "$dir" "independent mode" --independent "--gtest_filter=IndependentOutputs.*"
done

# The instrument shared between programs, through the sharing service installed as the machine's
# (the first build's): each bitness's host beside the other's, then sharing off again.
service=$(winepath -w "${builds[0]}/melvpcif-share.exe")
check "the sharing service is installed" \
    wine_env_run 60 sc create melvpcif-share type= own start= demand binpath= "$service"
# Each bitness's host beside the other's; the librarians' long dumps apart, below.
runs=("${wine_env_runs[@]}")
for i in "${!runs[@]}"; do
    MELV_OTHER_PROGRAM=$(other_of "$i") run_limit=600 run "${runs[$i]}" "shared" --shared \
        "--gtest_filter=SharedInstrument.*-SharedInstrument.*Librarian*"
done
# Long dumps at the cable's rate, a librarian of each bitness, eleven in a row (more than three
# minutes), on a busy machine: a process on every core at a higher priority than the programs, as
# a sequencer rendering beside the librarian. Under qemu every read of the line is emulated, many
# times slower: the ARM64 run leaves them out, whose code the x64 and x86 runs prove.
busy_machine() { # command...: run while every core is kept busy
    local busy=() status
    for _ in $(seq "$(nproc)"); do
        nice -n -5 bash -c 'while :; do :; done' &
        busy+=($!)
    done
    "$@" && status=0 || status=$?
    kill "${busy[@]}"
    wait "${busy[@]}" 2>/dev/null
    return "$status"
}
if [ -z "${MELV_ARM64_ROOT:-}" ]; then
    MELV_OTHER_PROGRAM=$(other_of 0) run_limit=900 busy_machine run "${runs[0]}" \
        "shared, librarians on a busy machine" --shared "--gtest_filter=SharedInstrument.*Librarian*"
fi
run "${runs[0]}" "sharing off again" "--gtest_filter=PublicOutput.ASecondApplication*"

# The check program on a machine where the driver's registration is gone, its files still there
# (as a Windows update or Windows 11's MIDI registry repair leave it), and where it is not installed
# at all, says which. (Its other messages are tested inside the test host, where the driver is
# installed.)
wine_env_remove_driver || exit 2
check_says() { # build, exit code, text
    local output status
    output=$(timeout 60 wine "$1/toolbox/melv-toolbox.exe" --listen 0 2>&1 </dev/null)
    status=$?
    [ $status -eq "$2" ] && grep -q -- "$3" <<<"$output" && return 0
    echo "the check program ended with $status:"
    echo "$output"
    return 1
}
for dir in "${wine_env_runs[@]}"; do
    check "the check program of $dir says Windows removed the driver's registration" \
        check_says "$dir" 7 "Windows removed its registration"
done
rm -f "$WINEPREFIX/drive_c/windows/system32/melvpcif.dll" \
    "$WINEPREFIX/drive_c/windows/syswow64/melvpcif.dll"
for dir in "${wine_env_runs[@]}"; do
    check "the check program of $dir says the driver is not installed" \
        check_says "$dir" 3 "the driver is not installed"
done

checks_summary "public-API tests" "took $(($(date +%s) - start)) s"
