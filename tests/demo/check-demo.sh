#!/usr/bin/env bash
# Runs the one-command demo and checks, from both ends of the line, that it did its job: the
# stand-in decoded every output's phrase on its destination, the demo heard the stand-in's answer,
# the WAV holds sound, and it all ended by itself within a minute.
set -uo pipefail
cd "$(dirname "$0")/../.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
rm -f build/demo.wav
start=$(date +%s)
timeout 120 ./run-demo.sh >"$log" 2>&1
status=$?
took=$(($(date +%s) - start))

passes=0
failures=0
expect() { # description, pattern
    if grep -qE "$2" "$log"; then
        passes=$((passes + 1))
    else
        echo "FAILED: $1 (no line matching: $2)"
        failures=$((failures + 1))
    fi
}
[ "$status" -eq 0 ] || { echo "FAILED: the demo ended with status $status"; failures=$((failures + 1)); }
expect "winmm lists four outputs of the driver" "demo: driver: 4 outputs, 1 input"
expect "the demo found Synth-B by its name" "demo: +output 3: MELV PC I/F Synth-B"
expect "the demo says the connection works" "demo: done: the driver and the connection work"
for destination in "Default MIDI" "MIDI Out" "Synth-A" "Synth-B"; do
    expect "the $destination phrase reached its destination whole" \
        "instrument: +[0-9.]+ +$destination +Note Off ch [1-4] [A-G]#?5 vel 0"
    expect "the $destination exclusive reached its destination" \
        "instrument: +[0-9.]+ +$destination +SysEx 6 bytes F0 7E 7F 09 01 F7"
done
expect "the demo heard the instrument's chord" "demo: +in +data +644390"
expect "the demo heard the instrument's exclusive" "demo: +in +sysex F0 7E 10 06 02 7D 01 F7"
if python3 -c "import sys, wave; w = wave.open('build/demo.wav'); sys.exit(w.getnframes() == 0)"; then
    passes=$((passes + 1))
else
    echo "FAILED: the WAV holds sound"
    failures=$((failures + 1))
fi
if [ "$took" -le 60 ]; then passes=$((passes + 1)); else
    echo "FAILED: the demo took $took s"
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || cat "$log"
echo "demo: $passes passed, $failures failed (took $took s)"
[ "$failures" -eq 0 ]
