# What the installer tests share (sourced after tests/lib/checks.sh): reading the registry of the
# prefix in $WINEPREFIX, and a program that keeps the driver loaded. The caller sets $work (a
# scratch folder) and $tool64 (setup-test-tool.exe of the win64 tree).

drivers='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
descriptions='HKLM\Software\Microsoft\Windows NT\CurrentVersion\drivers.desc'
settings='HKLM\Software\MELV\MELV PC I/F MIDI Driver'
session='HKLM\System\CurrentControlSet\Control\Session Manager'

query() { # view, key: the key's values as reg prints them, empty when the key is absent
    local out
    # Wine's reg says on standard output that a key is absent.
    out=$(wine reg query "$2" "/reg:$1" 2>/dev/null) && printf '%s\n' "$out" | tr -d '\r'
}

# The data of one value in a query's output, empty when absent.
value_in() { # query output, name
    printf '%s\n' "$1" | awk -v name="$2" '
        { line = $0 }
        sub("^ +" name " +REG_[A-Z_]+ *", "", line) && !found { print line; found = 1 }'
}

slots_in() { # query output of Drivers32: the slots that name our driver
    printf '%s\n' "$1" | awk 'tolower($3) == "melvpcif.dll" { printf "%s ", $1 }' | xargs
}

described() { # query output of drivers.desc: ours is there by name
    [ "$(value_in "$1" melvpcif.dll)" = "MELV PC I/F MIDI Driver" ]
}

# What Windows does to files when it next starts.
pending_at_restart() {
    local out
    out=$(wine reg query "$session" /v PendingFileRenameOperations 2>/dev/null) &&
        value_in "$(printf '%s\n' "$out" | tr -d '\r')" PendingFileRenameOperations
}

is_number() { # value as reg prints it, number
    [ "$(printf '%d' "$1" 2>/dev/null)" = "$(printf '%d' "$2")" ]
}

# A program that keeps a DLL loaded, as a MIDI program has the driver, until release_driver. It
# holds on while its standard input stays open: a pipe from a sleep that only this pipeline has,
# so that no other program started meanwhile keeps it open.
holder_pid=
hold_driver() { # the DLL's Windows path
    rm -f "$work/hold.log" "$work/hold.sleep"
    { sleep infinity & echo $! >"$work/hold.sleep"; wait; } |
        wine "$tool64" hold "$1" >"$work/hold.log" 2>&1 &
    holder_pid=$!
    eventually 30 grep -q loaded "$work/hold.log"
}
holder_process() { # its Windows process id
    sed -n 's/^loaded by process \([0-9]*\).*/\1/p' "$work/hold.log"
}
release_driver() {
    [ -n "$holder_pid" ] || return 0
    kill "$(cat "$work/hold.sleep")"
    wait "$holder_pid"
    holder_pid=
}

# Wine carries out what waits for a restart.
restart_windows() {
    wineboot -r >/dev/null 2>&1
}
