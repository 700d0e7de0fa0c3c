#!/usr/bin/env bash
# The driver's main job in one command, with no hardware: installs what is missing, builds the
# driver, the demo program and the instrument stand-in, then runs the demo under Wine with COM1
# wired to the stand-in. The demo switches on independent mode, plays a phrase to each of the four
# outputs and listens on the input; the stand-in prints what it decodes, answers with a few
# messages of its own and renders what it heard to a WAV file.
#
#   ./run-demo.sh [--bits 64|32]
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"
bits=64
[ "${1:-}" = --bits ] && bits=${2:-64}

./install-deps.sh
jobs=$(nproc)
build() { # tree, cmake options...
    local tree=$1
    shift
    cmake -S . -B "build/$tree" "$@" >"build/$tree.configure.log" ||
        { cat "build/$tree.configure.log"; exit 1; }
}
mkdir -p build
echo "== building the driver, the demo and the stand-in"
build native
cmake --build build/native -j "$jobs" --target melv-instrument >/dev/null
build "win$bits" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-win$bits.cmake"
cmake --build "build/win$bits" -j "$jobs" --target melvpcif melv-demo >/dev/null

work=$(mktemp -d /tmp/melv-demo.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
instrument_pid=
cleanup() {
    [ -n "$instrument_pid" ] && kill "$instrument_pid" 2>/dev/null && wait "$instrument_pid" 2>/dev/null
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "== preparing a Wine prefix"
wineboot -i >/dev/null 2>&1
wineserver -w >/dev/null 2>&1
wav="$top/build/demo.wav"
# The instrument answers once the demo has opened the port: a chord, a controller and an
# identity-reply style exclusive.
build/native/tools/melv-instrument --link "$work/com1" --wav "$wav" --duration 50 \
    --send-delay 1.5 --send-hex "90 3C 64 40 64 43 64 B0 07 64 F0 7E 10 06 02 7D 01 F7" \
    > >(sed -u 's/^/instrument: /') 2>&1 &
instrument_pid=$!
for _ in $(seq 50); do
    [ -e "$work/com1" ] && break
    sleep 0.1
done
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$work/com1" /f >/dev/null 2>&1
# Wine makes its COM devices from that value when its server starts.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1
# Started here with its output silenced: the demo's own server would write its state dump onto
# the terminal when it is stopped.
wineserver -p >/dev/null 2>&1

echo "== running the demo ($bits-bit driver) against the stand-in on COM1"
wine "build/win$bits/demo/melv-demo.exe" "$(winepath -w "build/win$bits/melvpcif.dll")" \
    --port 1 --listen 3 | sed -u 's/\r$//; s/^/demo: /'

kill "$instrument_pid" 2>/dev/null && wait "$instrument_pid" 2>/dev/null || true
instrument_pid=
sleep 0.5 # lets the stand-in's last lines through
echo
echo "What the instrument heard, rendered: $wav"
echo "Driver DLLs: $top/build/win64/melvpcif.dll (64-bit), $top/build/win32/melvpcif.dll (32-bit)"
echo "             (the 64-bit one was built now; ./test.sh or ./package.sh builds both)"
echo "With the instrument on a real serial port, run on Windows:"
echo "    melv-demo.exe melvpcif.dll --port N"
