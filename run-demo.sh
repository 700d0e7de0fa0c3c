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
build() { # tree: a preset of CMakePresets.json, built in build/<tree>
    local tree=$1
    cmake --preset "$tree" >"build/$tree.configure.log" ||
        { cat "build/$tree.configure.log"; exit 1; }
}
mkdir -p build
echo "== building the driver, the demo and the stand-in"
build native
cmake --build build/native -j "$jobs" --target melv-instrument >/dev/null
# Both bitnesses of the driver are installed, as the installer does on 64-bit Windows.
for tree in 64 32; do
    build "win$tree"
    cmake --build "build/win$tree" -j "$jobs" --target melvpcif melvfwd melv-toolbox >/dev/null
done

. "$top/tests/wine/wine-env.sh"
instrument_pid=
stop_instrument() {
    [ -n "$instrument_pid" ] && kill "$instrument_pid" 2>/dev/null && wait "$instrument_pid" 2>/dev/null
    instrument_pid=
    return 0
}

echo "== preparing a Wine prefix with the driver installed"
wine_env_begin melv-toolbox
wine_env_boot
trap 'stop_instrument; wine_env_end' EXIT
# Installed as the tests install it: Wine's winmm lists the driver, with the tests' forwarder in
# front of it, which prepares headers as Windows' winmm does and Wine's does not.
wine_env_install_driver build/win64 build/win32 melvfwd.dll
wav="$top/build/demo.wav"
# The instrument answers once the demo has opened the port: a chord, a controller and an
# identity-reply style exclusive. It holds the driver's end of the line itself.
build/native/tools/melv-instrument --link "$wine_work/driver-end" --wav "$wav" --duration 50 \
    --send-delay 1.5 --send-hex "90 3C 64 40 64 43 64 B0 07 64 F0 7E 10 06 02 7D 01 F7" \
    > >(sed -u 's/^/instrument: /') 2>&1 &
instrument_pid=$!
for _ in $(seq 50); do
    [ -e "$wine_work/driver-end" ] && break
    sleep 0.1
done
wine_env_set_ports 1

echo "== running the demo (${bits}-bit) against the stand-in on COM1"
wine "build/win$bits/toolbox/melv-toolbox.exe" --independent --port 1 --listen 3 |
    sed -u 's/\r$//; s/^/demo: /'

stop_instrument
sleep 0.5 # lets the stand-in's last lines through
echo
echo "What the instrument heard, rendered: $wav"
echo "Driver DLLs: $top/build/win64/melvpcif.dll (64-bit), $top/build/win32/melvpcif.dll (32-bit)"
echo "On Windows, after installing, run melv-toolbox.exe to check the driver and the cable;"
echo "melv-toolbox.exe --dll PATH\\melvpcif.dll tries a driver that is not installed."
