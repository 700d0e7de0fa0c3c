# The Wine side of every test, of the demo and of the benchmark, in one place: a fresh prefix in a
# private folder, a virtual serial line, the serial ports mapped onto it, the driver installed so
# that Wine's multimedia system lists it, a private X server, and the clean-up of all of it.
#
# Source it, then call what the run needs:
#
#   . tests/wine/wine-env.sh
#   wine_env_begin melv-api          # $wine_work (the run's scratch folder), WINEPREFIX; clean-up
#                                    # at exit
#   wine_env_boot [win32]            # a fresh prefix (after wine_env_start_display, if wanted)
#   wine_env_start_line              # $wine_work/driver-end <-> $wine_work/instrument-end
#   wine_env_set_ports 1             # COM1 = driver's end, COM8 = instrument's end, no other
#   wine_env_install_driver build/win64 build/win32 [FORWARDER]
#   wine_env_run 120 program.exe ... # a Windows program with a deadline
#   wine_env_prepare_installed melv-api build/win64 build/win32
#                                    # all of the above but the run, as applications find it
#
# Functions print what went wrong and return non-zero; the caller decides whether to go on.

# Where Windows lists its multimedia drivers, in each registry view.
wine_env_drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'

# Whether Wine can run 32-bit Windows programs here. Debian's Wine runs them in 32-bit x86 Linux
# processes, and some machines' kernels run none (built without IA32 emulation): there Wine's
# 32-bit loader cannot even start, and only 64-bit Windows programs run. An arm64 Wine root
# (tests/arm64/bin first on PATH) has a second bitness of its own to speak of.
# Told once, from the wine the caller's PATH names, before a run puts its own first.
if [ "$(command -v wine)" != /usr/bin/wine ] || /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine_env_32bit=yes
else
    wine_env_32bit=no
fi
wine_env_runs_32bit() {
    [ "$wine_env_32bit" = yes ]
}

# Checks that the two Windows build trees given, win64 and win32, have the files the run needs,
# and sets wine_env_builds to their absolute paths and wine_env_runs to the distinct ones among
# them: the ARM64 build, which has no second bitness beside it, is given twice and runs once. On a
# machine that runs no 32-bit programs the 64-bit build stands in for the 32-bit one the same way,
# and the run says so.
wine_env_find_builds() { # "file ...", build_dir_win64, build_dir_win32
    local files=$1 dir file
    shift
    if [ $# -ne 2 ]; then
        echo "usage: $0 BUILD_DIR_WIN64 BUILD_DIR_WIN32" >&2
        return 2
    fi
    wine_env_builds=()
    for dir in "$@"; do
        for file in $files; do
            if [ ! -f "$dir/$file" ]; then
                echo "$dir/$file is missing: build the win64 and win32 trees first" >&2
                return 2
            fi
        done
        wine_env_builds+=("$(realpath "$dir")")
    done
    if ! wine_env_runs_32bit && [ "${wine_env_builds[1]}" != "${wine_env_builds[0]}" ]; then
        echo "=== this machine's kernel runs no 32-bit x86 programs, so Wine runs no 32-bit" \
            "Windows program here: ${wine_env_builds[1]} is built and checked, not run"
        wine_env_builds[1]=${wine_env_builds[0]}
    fi
    wine_env_runs=("${wine_env_builds[0]}")
    [ "${wine_env_builds[1]}" = "${wine_env_builds[0]}" ] || wine_env_runs+=("${wine_env_builds[1]}")
}

# Everything of the run lives in one temporary folder, removed at exit.
wine_env_begin() { # name
    wine_work=$(mktemp -d "/tmp/$1.XXXXXX")
    export WINEPREFIX="$wine_work/prefix"
    export WINEDEBUG=-all
    # No Mono or Gecko: nothing here needs them, and their installers would hold up wineboot.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # Debian's wine command starts every program through the 32-bit loader, which hands 64-bit
    # ones on: where that loader cannot run, the 64-bit one is called by that name instead.
    if ! wine_env_runs_32bit; then
        mkdir -p "$wine_work/bin"
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$wine_work/bin/wine"
        chmod +x "$wine_work/bin/wine"
        ln -s wine "$wine_work/bin/wine-stable"
        export PATH="$wine_work/bin:$PATH" WINELOADER=/usr/lib/wine/wine64
    fi
    wine_env_line_pid=
    wine_env_display_pid=
    trap wine_env_end EXIT
    trap 'exit 130' INT TERM
}

# A fresh prefix of 64-bit Windows; made after Wine's 32-bit part is installed, it runs programs of
# both bitnesses. With "win32", a prefix of 32-bit Windows beside it, $wine_work/prefix32, which
# WINEPREFIX names from then on.
wine_env_boot() { # [win32]
    if [ "${1:-}" = win32 ]; then
        export WINEPREFIX="$wine_work/prefix32"
        WINEARCH=win32 wineboot -i >/dev/null 2>&1 ||
            { echo "wineboot (32-bit) failed" >&2; return 2; }
        return 0
    fi
    wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; return 2; }
}

# Wine carries out what Windows does when it restarts: the file operations that wait for it.
wine_env_restart_windows() {
    wineboot -r >/dev/null 2>&1
}

wine_env_end() {
    wine_env_stop_line
    # Each prefix of this run has a server of its own; WINEPREFIX names this run's only.
    local prefix
    for prefix in "${wine_work:-/nonexistent}"/prefix*; do
        [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
    done
    if [ -n "${wine_env_display_pid:-}" ]; then
        kill "$wine_env_display_pid" 2>/dev/null
        wait "$wine_env_display_pid" 2>/dev/null
    fi
    [ -n "${wine_work:-}" ] && rm -rf "$wine_work"
    return 0
}

# A virtual serial line: two pseudo-terminals joined by socat. A pty keeps what nobody read, so a
# run that wants a silent line starts a new one.
wine_env_start_line() {
    wine_env_stop_line
    socat "pty,raw,echo=0,link=$wine_work/driver-end" \
        "pty,raw,echo=0,link=$wine_work/instrument-end" &
    wine_env_line_pid=$!
    for _ in $(seq 100); do
        [ -e "$wine_work/driver-end" ] && [ -e "$wine_work/instrument-end" ] && return 0
        sleep 0.05
    done
    echo "socat did not make the virtual serial line" >&2
    return 2
}

wine_env_stop_line() {
    if [ -n "${wine_env_line_pid:-}" ]; then
        kill "$wine_env_line_pid" 2>/dev/null
        wait "$wine_env_line_pid" 2>/dev/null
        wine_env_line_pid=
    fi
    return 0
}

wine_env_map_port() { # name, path
    wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null
}

# Gives the prefix the same serial ports on every machine: COMn on the driver's end of the line
# (n given, 1 to 4, above 4 but not 8, or "" for none), COM8 on the instrument's end (outside COM1
# to COM4, so the driver never looks at it unless it is chosen), none of the other ports COM1 to
# COM4 whatever /dev/ttyS* this machine has, and no other port above COM4 an earlier call mapped.
#
# Wine's mount manager makes the COM devices and their dosdevices links from
# HKLM\Software\Wine\Ports when the server starts, and hands unmapped numbers to the serial
# devices it detects. A port becomes absent when it is mapped (so no detected device takes its
# number) and a directory stands where its link would go: the link fails, and with it the device.
# A mapping to a path that does not exist is not enough: Wine then makes a device that opens and
# only fails GetCommState. The directories go once the server is up; the server is kept running
# so the devices stay as they are until the next call or the end of the run.
wine_env_set_ports() { # n
    local line=$1 absent=() n
    for n in $(wine reg query 'HKLM\Software\Wine\Ports' 2>/dev/null | grep -o '^ *COM[0-9]*' |
        grep -o '[0-9]*'); do
        if [ "$n" -gt 4 ] && [ "$n" != 8 ]; then
            wine reg delete 'HKLM\Software\Wine\Ports' /v "COM$n" /f >/dev/null || return 2
        fi
    done
    wine_env_map_port COM8 "$wine_work/instrument-end" || return 2
    if [ -n "$line" ] && [ "$line" -gt 4 ]; then
        wine_env_map_port "COM$line" "$wine_work/driver-end" || return 2
    fi
    for n in 1 2 3 4; do
        if [ "$n" = "$line" ]; then
            wine_env_map_port "COM$n" "$wine_work/driver-end" || return 2
        else
            wine_env_map_port "COM$n" "$wine_work/absent" || return 2
            absent+=("$n")
        fi
    done
    wineserver -k 2>/dev/null
    wineserver -w
    for n in "${absent[@]}"; do
        rm -rf "$WINEPREFIX/dosdevices/com$n"
        mkdir -p "$WINEPREFIX/dosdevices/com$n/absent"
    done
    # The server's own messages (a dump of its objects when it is stopped) say nothing here.
    wineserver -p 2>/dev/null
    # The mount manager lists the ports once it has started, which may be after the first program
    # of the new server has run: the list is looked at until it is complete, for ten seconds.
    local ports wanted tries
    wanted=$(printf '%s\n' COM8 ${line:+"COM$line"} | sort -V | xargs)
    for tries in $(seq 50); do
        ports=$(wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null |
            grep -o 'REG_SZ *COM[0-9]*' | grep -o 'COM[0-9]*' | sort -V | xargs)
        [ "$(echo "$ports" | grep -ow -E "COM[1-48]${line:+|COM$line}" | xargs)" = "$wanted" ] &&
            break
        sleep 0.2
    done
    for n in "${absent[@]}"; do
        rm -rf "$WINEPREFIX/dosdevices/com$n"
    done
    if [ "$(echo "$ports" | grep -ow -E "COM[1-48]${line:+|COM$line}" | xargs)" != "$wanted" ]; then
        echo "the prefix did not get the serial ports $wanted (it has: $ports)" >&2
        return 2
    fi
}

# Installs the driver so that Wine's multimedia system (winmm) loads it, both bitnesses: each DLL
# in the system folder of its bitness, named as the MIDI driver in both registry views.
#
# Windows loads every driver that the installer registers in a "midi".."midi9" value of Drivers32.
# Wine's winmm loads only one: the module its audio layer names in HKCU\Software\Wine\Drivers
# "Audio". Set to the empty string, that name is "", which Wine looks up as the default value of
# Drivers32. Wave audio is off in such a prefix, which nothing here needs.
#
# With a third argument, that DLL (from the same build folders) is registered in the driver's
# place and carried beside it: the tests' forwarder, which does what Windows' winmm does and Wine's
# does not (prepare headers when the driver leaves it to the host).
wine_env_install_driver() { # build_win64, build_win32, [forwarder file name]
    local win64=$1 win32=$2 forwarder=${3:-} registered=melvpcif.dll view
    local system64="$WINEPREFIX/drive_c/windows/system32"
    local system32="$WINEPREFIX/drive_c/windows/syswow64"
    cp "$win64/melvpcif.dll" "$system64/" && cp "$win32/melvpcif.dll" "$system32/" || return 2
    if [ -n "$forwarder" ]; then
        cp "$win64/$forwarder" "$system64/" && cp "$win32/$forwarder" "$system32/" || return 2
        registered=$forwarder
    fi
    for view in 64 32; do
        wine reg add "$wine_env_drivers32" /ve /d "$registered" /f "/reg:$view" >/dev/null ||
            return 2
    done
    wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d "" /f >/dev/null || return 2
}

# A fresh prefix as applications find the installed driver on a user's machine: both bitnesses
# installed, the tests' forwarder in front of them, COM1 on the driver's end of a new virtual
# serial line and COM8 on the instrument's.
wine_env_prepare_installed() { # name, build_win64, build_win32
    wine_env_begin "$1" && wine_env_boot && wine_env_start_line && wine_env_set_ports 1 &&
        wine_env_install_driver "$2" "$3" melvfwd.dll
}

# Takes the driver's registration away again, in both views (its files stay): winmm then finds no
# MIDI driver, as on a machine where it is not installed.
wine_env_remove_driver() {
    local view
    for view in 64 32; do
        wine reg delete "$wine_env_drivers32" /ve /f "/reg:$view" >/dev/null 2>&1 || return 2
    done
}

# Runs a Windows program of the prefix. The deadline only keeps a hung program from hanging the
# run; an exit code other than 0 is said.
wine_env_run() { # seconds, program, arguments...
    local seconds=$1 status
    shift
    timeout "$seconds" wine "$@"
    status=$?
    [ "$status" -eq 0 ] || echo "$1 ended with exit code $status"
    return "$status"
}

# A private X server, for programs that show windows: they stay off the user's screen. Xvfb picks
# a free display number itself and writes it to the descriptor given.
wine_env_start_display() {
    local number_file="$wine_work/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" \
        >"$wine_work/xvfb.log" 2>&1 &
    wine_env_display_pid=$!
    for _ in $(seq 100); do
        [ -s "$number_file" ] && break
        kill -0 "$wine_env_display_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ ! -s "$number_file" ]; then
        echo "Xvfb did not start:" >&2
        cat "$wine_work/xvfb.log" >&2
        return 2
    fi
    DISPLAY=":$(cat "$number_file")"
    export DISPLAY
}

# Every program of the prefix runs inside one Wine virtual desktop (the setting winecfg calls
# "Emulate a virtual desktop"). Wine then draws title bars and frames itself, and it need not wait
# for a window manager that Xvfb does not have: on a bare X server each window that Wine hides
# waits two seconds for a window manager's answer.
wine_env_use_virtual_desktop() {
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null &&
        wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null
}

# Wine draws the title bar's close box with its symbol font, which Debian's Wine 8 does not load
# from its own font folder; copied into the prefix it is found, and the box shows a cross rather
# than a plain "r". For pictures of windows.
wine_env_install_title_bar_font() {
    local font fonts="$WINEPREFIX/drive_c/windows/Fonts"
    for font in /usr/share/wine/fonts/marlett.ttf /usr/lib/wine/fonts/marlett.ttf; do
        [ -f "$font" ] && mkdir -p "$fonts" && cp "$font" "$fonts/"
    done
    return 0
}
