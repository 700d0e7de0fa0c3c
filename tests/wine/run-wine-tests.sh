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
builds=()
for dir in "$1" "$2"; do
    for file in melvpcif.dll melv_wine_tests.exe; do
        if [ ! -f "$dir/$file" ]; then
            echo "$dir/$file is missing: build the win64 and win32 trees first" >&2
            exit 2
        fi
    done
    builds+=("$(realpath "$dir")")
done

work=$(mktemp -d /tmp/melv-wine.XXXXXX)
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would hold up wineboot.
export WINEDLLOVERRIDES="mscoree,mshtml="
socat_pid=
xvfb_pid=

cleanup() {
    if [ -n "$socat_pid" ]; then
        kill "$socat_pid" 2>/dev/null
        wait "$socat_pid" 2>/dev/null
    fi
    # WINEPREFIX names this run's server only.
    wineserver -k 2>/dev/null
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

map_port() {
    wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null || exit 2
}

# Gives the prefix the same serial ports on every machine: COMn on the driver's end of the line
# (n given, 1 to 4, or "" for none), COM8 on the instrument's end, and none of the other ports
# COM1 to COM4, so the driver's port probe finds nothing but COMn whatever /dev/ttyS* this
# machine has.
#
# Wine's mount manager makes the COM devices and their dosdevices links from
# HKLM\Software\Wine\Ports when the server starts, and hands unmapped numbers to the serial
# devices it detects. A port becomes absent when it is mapped (so no detected device takes its
# number) and a directory stands where its link would go: the link fails, and with it the device.
# A mapping to a path that does not exist is not enough: Wine then makes a device that opens and
# only fails GetCommState. The directories go once the server is up; the server is kept running
# so the devices stay as they are until the next call or the end of the run.
set_ports() {
    local line=$1 absent=() n
    map_port COM8 "$work/instrument-end"
    for n in 1 2 3 4; do
        if [ "$n" = "$line" ]; then
            map_port "COM$n" "$work/driver-end"
        else
            map_port "COM$n" "$work/absent"
            absent+=("$n")
        fi
    done
    wineserver -k 2>/dev/null
    wineserver -w
    for n in "${absent[@]}"; do
        rm -rf "$WINEPREFIX/dosdevices/com$n"
        mkdir -p "$WINEPREFIX/dosdevices/com$n/absent"
    done
    # The server's own messages (a dump of its objects when it is stopped) say nothing about the
    # tests.
    wineserver -p 2>/dev/null
    local ports
    ports=$(wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' | grep -o 'REG_SZ *COM[0-9]*' |
        grep -o 'COM[0-9]*' | sort -V | xargs)
    for n in "${absent[@]}"; do
        rm -rf "$WINEPREFIX/dosdevices/com$n"
    done
    echo "=== serial ports: $ports"
    local wanted=COM8
    [ -n "$line" ] && wanted="COM$line COM8"
    if [ "$(echo "$ports" | grep -ow 'COM[1-48]' | xargs)" != "$wanted" ]; then
        echo "the prefix did not get the serial ports $wanted" >&2
        exit 2
    fi
}

failed=0
run_hosts() {
    local label=$1 index other
    shift
    for index in 0 1; do
        local dir=${builds[$index]}
        # Each host starts the other bitness's host for the tests of both drivers taking turns.
        other=${builds[$((1 - index))]}
        MELV_OTHER_BITNESS_HOST=$(winepath -w "$other/melv_wine_tests.exe")
        export MELV_OTHER_BITNESS_HOST
        echo "=== $label: $dir/melv_wine_tests.exe $*"
        # The deadline only keeps a hung host from hanging the run. A host takes up to half a
        # minute, most of it for the input throughput test, which Wine's serial reads pace.
        timeout 150 wine "$dir/melv_wine_tests.exe" "$@"
        local rc=$?
        if [ $rc -ne 0 ]; then
            echo "=== $label: $dir/melv_wine_tests.exe failed (exit code $rc)"
            failed=1
        fi
    done
}

# A private X server: the dialog tests need a display, and their windows stay off the user's. Xvfb
# picks a free display number itself and writes it to the descriptor given.
start_display() {
    local number_file="$work/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" \
        >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$number_file" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ ! -s "$number_file" ]; then
        echo "Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        exit 2
    fi
    DISPLAY=":$(cat "$number_file")"
    export DISPLAY
}

# Every program of the prefix runs inside one Wine virtual desktop (the setting winecfg calls
# "Emulate a virtual desktop"). Wine then draws title bars and frames itself, and it need not wait
# for a window manager that Xvfb does not have: on a bare X server each window that Wine hides
# waits two seconds for a window manager's answer.
use_virtual_desktop() {
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null || exit 2
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null ||
        exit 2
}

start=$(date +%s)
start_display
echo "=== preparing Wine prefix $WINEPREFIX on display $DISPLAY"
wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 2; }
use_virtual_desktop

socat "pty,raw,echo=0,link=$work/driver-end" "pty,raw,echo=0,link=$work/instrument-end" &
socat_pid=$!
for _ in $(seq 100); do
    [ -e "$work/driver-end" ] && [ -e "$work/instrument-end" ] && break
    sleep 0.05
done
if [ ! -e "$work/driver-end" ] || [ ! -e "$work/instrument-end" ]; then
    echo "socat did not make the virtual serial line" >&2
    exit 2
fi

# Suites that need the line on COM3 and no COM1.
com3_suites="MissingPort.*:ConfiguredPort.*:ConfigurationDialog.*"

set_ports 1
run_hosts "COM1 on the virtual line" "--gtest_filter=-$com3_suites"

set_ports 3
run_hosts "COM3 on the virtual line, no COM1" "--gtest_filter=$com3_suites"

# The picture for the documentation: the test whose first dialog shows COM3 and independent mode.
# Wine draws the title bar's close box with its symbol font, which Debian's Wine 8 does not load
# from its own font folder; copied into the prefix it is found, and the box shows a cross rather
# than a plain "r".
take_picture() {
    local bitmap="$work/config-dialog.bmp"
    local fonts="$WINEPREFIX/drive_c/windows/Fonts"
    for font in /usr/share/wine/fonts/marlett.ttf /usr/lib/wine/fonts/marlett.ttf; do
        [ -f "$font" ] && mkdir -p "$fonts" && cp "$font" "$fonts/"
    done
    echo "=== picture of the configuration dialog: ${builds[0]}/melv_wine_tests.exe"
    MELV_DIALOG_PICTURE=$(winepath -w "$bitmap") timeout 150 wine \
        "${builds[0]}/melv_wine_tests.exe" \
        "--gtest_filter=ConfigurationDialog.ClearingIndependentModeDisablesTheSynthGroup*"
    local rc=$?
    if [ $rc -ne 0 ]; then
        echo "=== picture: the test failed (exit code $rc)"
        failed=1
    fi
    if [ ! -s "$bitmap" ] || ! convert "$bitmap" -strip -define png:exclude-chunks=date,time \
        "$picture_dir/config-dialog.png"; then
        echo "=== no picture of the configuration dialog"
        failed=1
        return
    fi
    echo "=== picture: $picture_dir/config-dialog.png"
}
if [ -n "$picture_dir" ]; then
    take_picture
fi

echo "=== Wine tests took $(($(date +%s) - start)) s"
if [ $failed -ne 0 ]; then
    echo "=== Wine tests FAILED"
    exit 1
fi
echo "=== Wine tests passed"
