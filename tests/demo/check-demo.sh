#!/usr/bin/env bash
# Runs the one-command demo and checks, from both ends of the line, that it did its job: the
# stand-in decoded every output's phrase on its destination, the demo heard the stand-in's answer,
# the WAV holds sound, and it all ended by itself within a minute.
set -uo pipefail
cd "$(dirname "$0")/../.."
. tests/lib/checks.sh
log=$(mktemp)
trap 'rm -f "$log"' EXIT
rm -f build/demo.wav
start=$(date +%s)
timeout 120 ./run-demo.sh >"$log" 2>&1
status=$?
took=$(($(date +%s) - start))

expect() { # description, pattern: a line of the run's output matches
    check "$1" grep -qE "$2" "$log" || echo "  (no line matching: $2)"
}
check "the demo ends with status 0 (it ended with $status)" test "$status" -eq 0
expect "winmm lists four outputs of the driver" "demo: driver: 4 outputs, 1 input"
expect "the demo found Synth-B by its name" "demo: +output 3: MELV PC I/F Synth-B"
expect "the demo says the connection works" "demo: done: the driver and the connection work"
for destination in "Default MIDI" "MIDI Out" "Synth-A" "Synth-B"; do
    expect "the $destination phrase reached its destination whole" \
        "instrument: +[0-9.]+ +$destination +Note Off ch [1-4] [A-G]#?5 vel 0"
    expect "the $destination exclusive reached its destination" \
        "instrument: +[0-9.]+ +$destination +SysEx 6 bytes F0 7E 7F 09 01 F7"
done
expect "the demo heard the instrument's chord" "demo: +in +Note On ch 1 G4 vel 100"
expect "the demo heard the instrument's exclusive" "demo: +in +sysex F0 7E 10 06 02 7D 01 F7"
check "the WAV holds sound" python3 -c \
    "import sys, wave; w = wave.open('build/demo.wav'); sys.exit(w.getnframes() == 0)"
check "the demo ends within a minute (it took $took s)" test "$took" -le 60
[ "$checks_failed" -eq 0 ] || cat "$log"
checks_summary demo "took $took s"
