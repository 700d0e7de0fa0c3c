# What the installer tests share (sourced after tests/wine/wine-env.sh and tests/lib/checks.sh):
# reading what an installation left in the registry of the prefix in $WINEPREFIX, filling the
# driver slots, and a program that keeps the driver loaded. The caller sets $tool64
# (setup-test-tool.exe of the win64 tree).

drivers=$wine_env_drivers32
descriptions='HKLM\Software\Microsoft\Windows NT\CurrentVersion\drivers.desc'
settings='HKLM\Software\MELV\MELV PC I/F MIDI Driver'
session='HKLM\System\CurrentControlSet\Control\Session Manager'
service_key='HKLM\System\CurrentControlSet\Services\melvpcif-share'

query() { # view, key: the key's values as reg prints them, empty when the key is absent
    local out
    # Wine's reg says on standard output that a key is absent.
    out=$(wine reg query "$2" "/reg:$1" 2>/dev/null) && printf '%s\n' "$out" | tr -d '\r'
}

key_exists() { # view, key
    wine reg query "$2" "/reg:$1" >/dev/null 2>&1
}

# The data of one value in a query's output, empty when absent.
value_in() { # query output, name
    printf '%s\n' "$1" | awk -v name="$2" '
        { line = $0 }
        sub("^ +" name " +REG_[A-Z_]+ *", "", line) && !found { print line; found = 1 }'
}

slots_in() { # query output of Drivers32, [driver file]: the slots that name our driver
    printf '%s\n' "$1" |
        awk -v file="${2:-melvpcif.dll}" 'tolower($3) == file { printf "%s ", $1 }' | xargs
}

described() { # query output of drivers.desc, [driver file]: ours is there by name
    [ "$(value_in "$1" "${2:-melvpcif.dll}")" = "MELV PC I/F MIDI Driver" ]
}

# The sharing service is installed from System32's melvpcif-share.exe, the same as the one in
# folder $1, to start at every Windows start (and on demand).
service_installed_from() { # folder
    local service
    service=$(query 64 "$service_key")
    cmp -s "$WINEPREFIX/drive_c/windows/system32/melvpcif-share.exe" "$1/melvpcif-share.exe" &&
        [[ "$(value_in "$service" ImagePath)" == *'\system32\melvpcif-share.exe"' ]] &&
        is_number "$(value_in "$service" Start)" 2
}
service_gone() {
    ! key_exists 64 "$service_key" && [ ! -e "$WINEPREFIX/drive_c/windows/system32/melvpcif-share.exe" ]
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

# The slots midi1 to midi9 of a registry view taken by other drivers ("take"; with another driver
# in "midi", the view is full), or freed again ("free").
filler_drivers() { # view, take|free
    local fillers="$wine_work/fillers.reg" n data
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[%s]\r\n' "${drivers/#HKLM/HKEY_LOCAL_MACHINE}"
        for n in 1 2 3 4 5 6 7 8 9; do
            data=-
            [ "$2" = take ] && data="\"filler$n.drv\""
            printf '"midi%s"=%s\r\n' "$n" "$data"
        done
    } >"$fillers"
    wine reg import "$(winepath -w "$fillers")" "/reg:$1" >/dev/null 2>&1
}

# A program that keeps a DLL loaded, as a MIDI program has the driver, until release_driver. It
# holds on while its standard input stays open: a pipe from a sleep that only this pipeline has,
# so that no other program started meanwhile keeps it open.
holder_pid=
hold_driver() { # the DLL's Windows path
    rm -f "$wine_work/hold.log" "$wine_work/hold.sleep"
    { sleep infinity & echo $! >"$wine_work/hold.sleep"; wait; } |
        wine "$tool64" hold "$1" >"$wine_work/hold.log" 2>&1 &
    holder_pid=$!
    eventually 30 grep -q loaded "$wine_work/hold.log"
}
holder_process() { # its Windows process id
    sed -n 's/^loaded by process \([0-9]*\).*/\1/p' "$wine_work/hold.log"
}
release_driver() {
    [ -n "$holder_pid" ] || return 0
    kill "$(cat "$wine_work/hold.sleep")"
    wait "$holder_pid"
    holder_pid=
}

# The driver's devices as SetupAPI lists them, through the setup test tool $tool64:
# hardware id|description|maker|FILE=SLOT,...
driver_devices() {
    wine "$tool64" media-devices 2>/dev/null | tr -d '\r' | grep -i '^ROOT\\MELVPCIF|'
}
one_device_naming() { # FILE=SLOT,...: exactly one device of the driver, with those MIDI entries
    local devices
    devices=$(driver_devices)
    [ "$devices" = "ROOT\MELVPCIF|MELV PC I/F MIDI Driver|MELV|$1" ] && return 0
    echo "the driver's devices: ${devices:-none}"
    return 1
}
