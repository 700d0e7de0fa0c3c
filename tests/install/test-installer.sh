#!/usr/bin/env bash
# Runs the installer and the uninstaller in a fresh 64-bit Wine prefix and checks the system
# folders and both registry views before and after: each DLL lands in the folder of its bitness
# and is registered in a free "midi" slot, a driver registered before is left alone, a second
# install changes nothing, and removal takes away exactly what was added.
#   tests/install/test-installer.sh BUILD_DIR_WIN64 BUILD_DIR_WIN32
set -euo pipefail
win64=$(cd "$1" && pwd)
win32=$(cd "$2" && pwd)

work=$(mktemp -d /tmp/melv-install.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

passes=0
failures=0
check() { # description, command...
    local description=$1
    shift
    if "$@"; then
        echo "ok: $description"
        passes=$((passes + 1))
    else
        echo "FAILED: $description"
        failures=$((failures + 1))
    fi
}

drivers='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
slots() { # view: the slots that name our driver
    wine reg query "$drivers" "/reg:$1" 2>/dev/null | tr -d '\r' |
        awk 'tolower($3) == "melvpcif.dll" { print $1 }'
}
value_of() { # view, slot
    wine reg query "$drivers" /v "$2" "/reg:$1" 2>/dev/null | tr -d '\r' |
        awk -v slot="$2" '$1 == slot { print $3 }'
}
system64="$WINEPREFIX/drive_c/windows/system32/melvpcif.dll"
system32="$WINEPREFIX/drive_c/windows/syswow64/melvpcif.dll"

wineboot -i >/dev/null 2>&1
# A driver someone installed before us, in the first slot of each view.
for view in 64 32; do
    wine reg add "$drivers" /v midi /t REG_SZ /d other.drv /f "/reg:$view" >/dev/null 2>&1
done

mkdir -p "$work/package/x64" "$work/package/x86"
cp "$win64/melvpcif.dll" "$work/package/x64/"
cp "$win32/melvpcif.dll" "$work/package/x86/"
cp "$win64/installer/melvpcif-setup.exe" "$work/package/"
setup="$work/package/melvpcif-setup.exe"

check "nothing of ours before installing" \
    test -z "$(slots 64)$(slots 32)" -a ! -e "$system64" -a ! -e "$system32"

wine "$setup" install >"$work/install.log" 2>&1 || { cat "$work/install.log"; false; }
check "the 64-bit DLL is in System32" cmp -s "$system64" "$win64/melvpcif.dll"
check "the 32-bit DLL is in SysWOW64" cmp -s "$system32" "$win32/melvpcif.dll"
check "registered once in the 64-bit view, in a free slot" test "$(slots 64)" = midi1
check "registered once in the 32-bit view, in a free slot" test "$(slots 32)" = midi1
check "the driver that was there stays" test "$(value_of 64 midi)$(value_of 32 midi)" = other.drvother.drv

descriptions='HKLM\Software\Microsoft\Windows NT\CurrentVersion\drivers.desc'
described() { # view
    wine reg query "$descriptions" /v melvpcif.dll "/reg:$1" 2>/dev/null | tr -d '\r' |
        grep -c 'MELV PC I/F MIDI Driver' || true
}
check "both views describe the driver by name" test "$(described 64)$(described 32)" = 11

wine "$setup" install >/dev/null 2>&1
check "a second install takes no second slot" test "$(slots 64)$(slots 32)" = midi1midi1

if wine "$win32/installer/melvpcif-setup.exe" install "$(winepath -w "$work/package")" \
    >/dev/null 2>&1; then
    check "the 32-bit installer refuses 64-bit Windows" false
else
    check "the 32-bit installer refuses 64-bit Windows" test $? -eq 2
fi

wine "$setup" uninstall >"$work/uninstall.log" 2>&1 || { cat "$work/uninstall.log"; false; }
check "removal takes both registrations away" test -z "$(slots 64)$(slots 32)"
check "removal takes the descriptions away" test "$(described 64)$(described 32)" = 00
check "removal takes both files away" test ! -e "$system64" -a ! -e "$system32"
check "removal leaves the other driver" test "$(value_of 64 midi)$(value_of 32 midi)" = other.drvother.drv

echo "installer: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
