#!/usr/bin/env bash
# Runs the Windows test hosts of a win64 and a win32 build under Wine, in a fresh prefix, against
# a virtual serial line: COM1 is the driver's end of the line, COM8 the instrument's.
#
#   tests/wine/run-wine-tests.sh [--picture DIR] BUILD_DIR_WIN64 BUILD_DIR_WIN32
#
# Each build directory holds melvpcif.dll and melv_wine_tests.exe. The MissingPort,
# ConfiguredPort and ConfigurationDialog suites run afterwards on their own, with the driver's end
# of the line on COM3 and no COM1. Everything runs on a private X server (Xvfb) inside a Wine
# virtual desktop, so no window appears on the user's screen. With --picture, the 64-bit host also
# writes what the screen shows of the configuration dialog to DIR/config-dialog.png. Exits non-zero
# if any test failed.
set -u

usage() {
    echo "usage: $0 [--picture DIR] BUILD_DIR_WIN64 BUILD_DIR_WIN32" >&2
    exit 2
}
picture_dir=
if [ $# -ge 1 ] && [ "$1" = "--picture" ]; then
    [ $# -ge 2 ] || usage
    picture_dir=$2
    shift 2
    if [ ! -d "$picture_dir" ]; then
        echo "$picture_dir is not a directory" >&2
        exit 2
    fi
    picture_dir=$(realpath "$picture_dir")
fi
if [ $# -ne 2 ]; then
    usage
fi
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/wine/wine-env.sh"
. "$top/tests/lib/checks.sh"
wine_env_find_builds "melvpcif.dll melv_wine_tests.exe" "$1" "$2" || exit 2
builds=("${wine_env_builds[@]}")

run_hosts() {
    local label=$1 index other
    shift
    for index in "${!wine_env_runs[@]}"; do
        local dir=${builds[$index]}
        # Each host starts the other bitness's host for the tests of both drivers taking turns.
        other=${builds[$((1 - index))]}
        MELV_OTHER_BITNESS_HOST=$(winepath -w "$other/melv_wine_tests.exe")
        export MELV_OTHER_BITNESS_HOST
        echo "=== $label: $dir/melv_wine_tests.exe $*"
        # A host takes about a minute, under qemu two, and on a busy machine several times
        # that: the bound is for a host that hangs.
        check "$label: $dir/melv_wine_tests.exe" wine_env_run 600 "$dir/melv_wine_tests.exe" "$@"
    done
}

start=$(date +%s)
wine_env_begin melv-wine || exit 2
# The dialog tests need a display; their windows stay on a private X server, inside the prefix's
# virtual desktop.
wine_env_start_display || exit 2
echo "=== preparing Wine prefix $WINEPREFIX on display $DISPLAY"
wine_env_boot || exit 2
wine_env_use_virtual_desktop || exit 2
wine_env_start_line || exit 2

# Takes the line away and brings it back on the same paths when a test asks, as a USB serial
# adapter pulled and put back: the test leaves a file named "away" or "back" in the control
# folder and waits for "away-done" or "back-done".
line_control=$wine_work/line-control
mkdir -p "$line_control"
line_keeper() {
    trap 'wine_env_stop_line; exit 0' TERM
    while :; do
        if [ -e "$line_control/away" ]; then
            rm -f "$line_control/away"
            wine_env_stop_line
            rm -f "$wine_work/driver-end" "$wine_work/instrument-end"
            touch "$line_control/away-done"
        fi
        if [ -e "$line_control/back" ]; then
            rm -f "$line_control/back"
            wine_env_start_line && touch "$line_control/back-done"
        fi
        sleep 0.02
    done
}
line_keeper &
line_keeper_pid=$!
trap 'kill "$line_keeper_pid" 2>/dev/null; wait "$line_keeper_pid" 2>/dev/null; wine_env_end' EXIT
MELV_LINE_CONTROL=$(winepath -w "$line_control")
export MELV_LINE_CONTROL

# Suites that need the line on COM3 and no COM1.
com3_suites="MissingPort.*:ConfiguredPort.*:ConfigurationDialog.*"
other_port_suites="OtherPortDialog.*"
# Under qemu every read of the line is emulated, many times slower: the ARM64 run leaves out the
# input written flat out, whose code the x64 and x86 runs prove.
left_out=$com3_suites:$other_port_suites
[ -z "${MELV_ARM64_ROOT:-}" ] || left_out+=:InputThroughput.*

wine_env_set_ports 1 || exit 2
run_hosts "COM1 on the virtual line" "--gtest_filter=-$left_out"

wine_env_set_ports 3 || exit 2
run_hosts "COM3 on the virtual line, no COM1" "--gtest_filter=$com3_suites"


# The picture for the documentation: the test whose first dialog shows COM3 and independent mode.
take_picture() {
    local bitmap="$wine_work/config-dialog.bmp"
    wine_env_install_title_bar_font
    echo "=== picture of the configuration dialog: ${builds[0]}/melv_wine_tests.exe"
    MELV_DIALOG_PICTURE=$(winepath -w "$bitmap") check "the picture's test passes" \
        wine_env_run 150 "${builds[0]}/melv_wine_tests.exe" \
        "--gtest_filter=ConfigurationDialog.ClearingIndependentModeDisablesTheSynthGroup*"
    check "a picture of the configuration dialog is written to $picture_dir/config-dialog.png" \
        eval 'test -s "$bitmap" && convert "$bitmap" -strip -define png:exclude-chunks=date,time \
              "$picture_dir/config-dialog.png"'
}
if [ -n "$picture_dir" ]; then
    take_picture
fi

# The connection check (the toolbox, loading the driver of each build directly) run for one port:
# it ends with `status` and prints every line given.
check_program_says() { # build, port, status, line...
    local build=$1 port=$2 expected=$3 output status line
    shift 3
    output=$(timeout 60 wine "$build/toolbox/melv-toolbox.exe" \
        --dll "$(winepath -w "$build/melvpcif.dll")" --port "$port" --listen 0 2>&1)
    status=$?
    output=${output//$'\r'/}
    for line in "$@"; do
        grep -qxF -- "$line" <<<"$output" || status=-1
    done
    [ "$status" -eq "$expected" ] && return 0
    echo "the check program did not end with $expected or say every line of: $*"
    echo "$output"
    return 1
}

# A USB serial adapter numbered as Windows likes: below COM10, and above, which only its device
# path reaches.
for MELV_LINE_PORT in 7 12; do
    export MELV_LINE_PORT
    wine_env_set_ports "$MELV_LINE_PORT" || exit 2
    run_hosts "COM$MELV_LINE_PORT on the virtual line, none of COM1 to COM4" \
        "--gtest_filter=$other_port_suites"
    for dir in "${builds[@]}"; do
        # Played through the port, then nothing came back: the instrument's end does not answer.
        check "the check program of $dir plays on COM$MELV_LINE_PORT" \
            check_program_says "$dir" "$MELV_LINE_PORT" 6 "done: see above"
        check "the check program of $dir names the ports there are when COM13 is not one" \
            check_program_says "$dir" 13 5 "Its serial ports are:" "  COM$MELV_LINE_PORT" "  COM8"
    done
done

checks_summary "Wine tests" "took $(($(date +%s) - start)) s"
