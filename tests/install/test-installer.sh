#!/usr/bin/env bash
# Runs the command-line installer, which holds the rules the setup program follows, and the
# uninstaller in a fresh 64-bit Wine prefix and checks the system folders and both registry views
# before and after: each DLL lands in the folder of its bitness and is registered in a free
# "midi" slot, a driver registered before is left alone, a second install changes nothing, a
# full registry view stops the install before anything changes, and removal takes away exactly
# what was added. A driver file that a running program has loaded is replaced or removed when
# Windows next starts (Wine's restart carries that out), also when it is installed again before.
#   tests/install/test-installer.sh BUILD_DIR_WIN64 BUILD_DIR_WIN32
#
# With --arm64, under an arm64 Wine (tests/arm64/with-wine.sh), the ARM64 build's installer on ARM64
# Windows instead: the ARM64 and the x64 DLL both in System32 under two names, each in a slot of
# its own in the 64-bit view, the x86 DLL in SysWOW64, and all of it removed again.
#   tests/arm64/with-wine.sh tests/install/test-installer.sh --arm64 BUILD_DIR_ARM64 \
#       BUILD_DIR_WIN64 BUILD_DIR_WIN32
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/wine/wine-env.sh"
. "$top/tests/lib/checks.sh"
. "$top/tests/install/common.sh"
if [ "${1:-}" = --arm64 ]; then
    shift
    [ $# -eq 3 ] && [ -f "$1/installer/melvpcif-setup.exe" ] ||
        { echo "usage: $0 --arm64 BUILD_DIR_ARM64 BUILD_DIR_WIN64 BUILD_DIR_WIN32" >&2; exit 2; }
    arm64=$(realpath "$1")
    shift
    arm64_windows=1
fi
wine_env_find_builds \
    "melvpcif.dll melvpcif-share.exe installer/melvpcif-setup.exe tests/install/setup-test-tool.exe
     toolbox/melv-toolbox.exe" \
    "$@" ||
    exit 2
win64=${wine_env_builds[0]}
win32=${wine_env_builds[1]}
tool64="$win64/tests/install/setup-test-tool.exe"

wine_env_begin melv-install || exit 2
trap 'release_driver 2>/dev/null; wine_env_end' EXIT

slots() { # view, [driver file]: the slots that name our driver
    slots_in "$(query "$1" "$drivers")" "${2:-}"
}
value_of() { # view, slot
    value_in "$(query "$1" "$drivers")" "$2"
}
descriptions_of() { # view, [driver file]: how many of our descriptions it has
    if described "$(query "$1" "$descriptions")" "${2:-}"; then echo 1; else echo 0; fi
}
settings_key_exists() {
    key_exists 64 "$settings"
}
system64="$WINEPREFIX/drive_c/windows/system32/melvpcif.dll"
system32="$WINEPREFIX/drive_c/windows/syswow64/melvpcif.dll"

wine_env_boot || exit 2
# A driver someone installed before us, in the first slot of each view.
for view in 64 32; do
    wine reg add "$drivers" /v midi /t REG_SZ /d other.drv /f "/reg:$view" >/dev/null 2>&1
done

mkdir -p "$wine_work/package/x64" "$wine_work/package/x86"
cp "$win64/melvpcif.dll" "$win64/melvpcif-share.exe" "$wine_work/package/x64/"
cp "$win32/melvpcif.dll" "$win32/melvpcif-share.exe" "$wine_work/package/x86/"
cp "$win64/installer/melvpcif-setup.exe" "$wine_work/package/"
setup="$wine_work/package/melvpcif-setup.exe"

run_setup() { # log name, arguments...: the installer's exit code; its output in NAME.log
    local log="$wine_work/$1.log"
    shift
    wine "$setup" "$@" >"$log" 2>&1
    local status=$?
    tr -d '\r' <"$log" >"$log.text"
    mv "$log.text" "$log"
    return $status
}
exit_code() { # log name, arguments...
    run_setup "$@"
    echo $?
}
says() { # log name, text
    grep -q -- "$2" "$wine_work/$1.log"
}

# ARM64 Windows: native ARM64 programs and emulated x64 ones share System32 and the 64-bit view.
if [ -n "${arm64_windows:-}" ]; then
    mkdir -p "$wine_work/package/arm64"
    cp "$arm64/melvpcif.dll" "$arm64/melvpcif-share.exe" "$wine_work/package/arm64/"
    cp "$arm64/installer/melvpcif-setup.exe" "$setup"
    tool64="$arm64/tests/install/setup-test-tool.exe"
    system_arm64="$WINEPREFIX/drive_c/windows/system32/melvpcif-arm64.dll"
    arm64_slots() { slots 64 melvpcif-arm64.dll; }

    check "the install on ARM64 Windows ends with exit code 0" \
        test "$(exit_code arm64-install install)" = 0
    check "the ARM64 DLL is in System32 as melvpcif-arm64.dll" \
        cmp -s "$system_arm64" "$arm64/melvpcif.dll"
    check "the x64 DLL is in System32 as melvpcif.dll" cmp -s "$system64" "$win64/melvpcif.dll"
    check "the x86 DLL is in SysWOW64" cmp -s "$system32" "$win32/melvpcif.dll"
    check "the ARM64 sharing service is installed to start with Windows" service_installed_from "$arm64"
    check "the ARM64 and the x64 driver each have a slot of their own in the 64-bit view" \
        eval '[[ "$(arm64_slots)" == midi* && "$(slots 64)" == midi* &&
                 "$(arm64_slots)" != *" "* && "$(slots 64)" != *" "* &&
                 "$(arm64_slots)" != "$(slots 64)" ]]'
    check "the x86 driver has one slot in the 32-bit view" eval '[[ "$(slots 32)" == midi? ]]'
    check "both names are described in the 64-bit view, the x86 one in the 32-bit view" \
        test "$(descriptions_of 64 melvpcif-arm64.dll)$(descriptions_of 64)$(descriptions_of 32)" = 111
    check "one device of the Media class names both 64-bit files in their slots" \
        one_device_naming "melvpcif-arm64.dll=$(arm64_slots),melvpcif.dll=$(slots 64)"
    check "and the x86 driver's slot is the x64 driver's" test "$(slots 32)" = "$(slots 64)"
    slots_before="$(arm64_slots) $(slots 64) $(slots 32)"
    run_setup arm64-install-again install
    check "a second install keeps the slots and the one device" \
        eval 'test "$(arm64_slots) $(slots 64) $(slots 32)" = "$slots_before" &&
              test "$(driver_devices | wc -l)" = 1'

    check "removal ends with exit code 0" test "$(exit_code arm64-uninstall uninstall)" = 0
    check "removal takes the three files, slots and descriptions away" \
        test ! -e "$system_arm64" -a ! -e "$system64" -a ! -e "$system32" \
        -a -z "$(arm64_slots)$(slots 64)$(slots 32)" \
        -a "$(descriptions_of 64 melvpcif-arm64.dll)$(descriptions_of 64)$(descriptions_of 32)" = 000
    check "removal leaves the other driver and no device" \
        eval 'test "$(value_of 64 midi)$(value_of 32 midi)" = other.drvother.drv &&
              test -z "$(driver_devices)"'

    echo "== a 64-bit view with one free slot, for two drivers"
    filler_drivers 64 take
    wine reg delete "$drivers" /v midi9 /f /reg:64 >/dev/null 2>&1
    check "the install fails with exit code 1" test "$(exit_code arm64-full install)" = 1
    check "it changed nothing: no file, no slot, no description" \
        test ! -e "$system_arm64" -a ! -e "$system64" -a ! -e "$system32" \
        -a -z "$(arm64_slots)$(slots 64)$(slots 32)" \
        -a "$(descriptions_of 64 melvpcif-arm64.dll)$(descriptions_of 64)$(descriptions_of 32)" = 000
    filler_drivers 64 free
    checks_summary "installer on ARM64 Windows"
    exit
fi

check "nothing of ours before installing" \
    test -z "$(slots 64)$(slots 32)" -a ! -e "$system64" -a ! -e "$system32"

check "the install ends with exit code 0" test "$(exit_code install install)" = 0
check "the 64-bit DLL is in System32" cmp -s "$system64" "$win64/melvpcif.dll"
check "the 32-bit DLL is in SysWOW64" cmp -s "$system32" "$win32/melvpcif.dll"
# "midi1" is free, but Windows 11's MIDI stack takes it whenever it is switched on.
check "registered once in the 64-bit view, in the first free slot from midi2" test "$(slots 64)" = midi2
check "registered once in the 32-bit view, in the first free slot from midi2" test "$(slots 32)" = midi2
check "the driver that was there stays" test "$(value_of 64 midi)$(value_of 32 midi)" = other.drvother.drv
check "both views describe the driver by name" test "$(descriptions_of 64)$(descriptions_of 32)" = 11
check "one device of the Media class holds the driver's MIDI entry, in the same slot" \
    one_device_naming melvpcif.dll=midi2
check "the settings key is there for the driver, in the 64-bit view" settings_key_exists
check "the 64-bit sharing service is installed to start with Windows" service_installed_from "$win64"

run_setup install-again install
check "a second install takes no second slot and makes no second device" \
    eval 'test "$(slots 64)$(slots 32)" = midi2midi2 && one_device_naming melvpcif.dll=midi2'

if ! wine_env_runs_32bit; then
    echo "=== (the 32-bit installer's refusal of 64-bit Windows is not tried: no 32-bit program runs here)"
elif wine "$win32/installer/melvpcif-setup.exe" install "$(winepath -w "$wine_work/package")" \
    >/dev/null 2>&1; then
    check "the 32-bit installer refuses 64-bit Windows" false
else
    check "the 32-bit installer refuses 64-bit Windows" test $? -eq 2
fi

check "removal ends with exit code 0" test "$(exit_code uninstall uninstall)" = 0
check "removal takes both registrations away" test -z "$(slots 64)$(slots 32)"
check "removal takes the descriptions away" test "$(descriptions_of 64)$(descriptions_of 32)" = 00
check "removal takes both files away" test ! -e "$system64" -a ! -e "$system32"
check "removal takes the device and its entry away" test -z "$(driver_devices)"
check "removal takes the sharing service away" service_gone
check "removal leaves the other driver" test "$(value_of 64 midi)$(value_of 32 midi)" = other.drvother.drv
check "removal takes the settings key away when it holds no settings" \
    eval '! settings_key_exists && ! wine reg query "HKLM\Software\MELV" /reg:64 >/dev/null 2>&1'

echo "== settings the user made"
run_setup install install
wine reg add "$settings" /v COM /t REG_DWORD /d 2 /f /reg:64 >/dev/null 2>&1
run_setup uninstall uninstall
check "removal keeps the settings" \
    is_number "$(value_in "$(query 64 "$settings")" COM)" 2

echo "== a registry view with no free slot"
filler_drivers 32 take
check "the install fails with exit code 1" test "$(exit_code full install)" = 1
check "and says which view is full" says full "All eight MIDI driver slots of the 32-bit registry view"
check "it changed nothing: no file, no slot in the other view, no description, no device" \
    test ! -e "$system64" -a ! -e "$system32" -a -z "$(slots 64)$(driver_devices)" \
    -a "$(descriptions_of 64)$(descriptions_of 32)" = 00
filler_drivers 32 free

echo "== a slot free in one view only"
# The device's entry names one slot for the file, so both views take the first free in both.
wine reg add "$drivers" /v midi2 /d other2.drv /f /reg:32 >/dev/null 2>&1
run_setup one-view install
check "both views and the device name midi3, and the other driver keeps midi2" \
    eval 'test "$(slots 64)|$(slots 32)|$(value_of 32 midi2)" = "midi3|midi3|other2.drv" &&
          one_device_naming melvpcif.dll=midi3'
run_setup uninstall uninstall
wine reg delete "$drivers" /v midi2 /f /reg:32 >/dev/null 2>&1

echo "== Windows 11's MIDI stack"
# Switched on, it sets "midi" and "midi1" to its own drivers; an earlier version of this driver may
# sit in "midi1".
run_setup uninstall uninstall
for view in 64 32; do
    wine reg add "$drivers" /v midi /d wdmaud.drv /f "/reg:$view" >/dev/null 2>&1
    wine reg add "$drivers" /v midi1 /d melvpcif.dll /f "/reg:$view" >/dev/null 2>&1
done
check "installing over an installation in midi1 ends with exit code 0" \
    test "$(exit_code stack install)" = 0
check "the driver moved to midi2 in both views" test "$(slots 64)|$(slots 32)" = "midi2|midi2"
check "midi1 is free for the MIDI stack" test -z "$(value_of 64 midi1)$(value_of 32 midi1)"
for view in 64 32; do
    wine reg add "$drivers" /v midi1 /d wdmaud2.drv /f "/reg:$view" >/dev/null 2>&1
done
run_setup stack-again install
check "with midi and midi1 the stack's, the driver keeps midi2 and leaves them alone" \
    test "$(slots 64)|$(slots 32)|$(value_of 64 midi)|$(value_of 32 midi1)" \
    = "midi2|midi2|wdmaud.drv|wdmaud2.drv"

echo "== the watch, at a Windows start"
# Windows' clean-up at a restart and the MIDI registry repair delete the values; the sharing
# service, an automatic service, puts them back at the next Windows start: the Wine server's, which
# starts the automatic services. Sharing is off: it ends right after.
windows_starts() {
    wineserver -k >/dev/null 2>&1
    wineserver -w
    wine cmd /c exit >/dev/null 2>&1
}
whole_again() { # slot both views and the device name
    test "$(slots 64)|$(slots 32)|$(descriptions_of 64)$(descriptions_of 32)" = "$1|$1|11" &&
        one_device_naming "melvpcif.dll=$1" >/dev/null
}
wine reg delete "$drivers" /v midi2 /f /reg:32 >/dev/null 2>&1
windows_starts
check "the value deleted from one view is back at the next start, the stack's left alone" \
    eval 'eventually 30 whole_again midi2 &&
          test "$(value_of 64 midi)|$(value_of 32 midi1)" = "wdmaud.drv|wdmaud2.drv"'
for view in 64 32; do
    wine reg delete "$drivers" /v midi2 /f "/reg:$view" >/dev/null 2>&1
    wine reg delete "$descriptions" /v melvpcif.dll /f "/reg:$view" >/dev/null 2>&1
done
wine reg add "$drivers" /v midi2 /d newcomer.drv /f /reg:32 >/dev/null 2>&1
windows_starts
check "deleted from both, with midi2 taken meanwhile, the driver is back in midi3 everywhere" \
    eval 'eventually 30 whole_again midi3 && test "$(value_of 32 midi2)" = newcomer.drv &&
          test -z "$(value_of 64 midi2)$(value_of 64 midi0)$(value_of 32 midi0)"'
service_stopped() {
    wine sc query melvpcif-share | grep -q STOPPED
}
check "the service ended by itself, as sharing is off" eventually 30 service_stopped
# Started by hand, it looks as at a Windows start; it is starting until it has looked.
service_looks() {
    wine sc start melvpcif-share >/dev/null 2>&1
    eventually 30 service_stopped
}
registration_now() {
    echo "$(query 64 "$drivers")|$(query 32 "$drivers")|$(query 64 "$descriptions")|$(driver_devices)"
}
before=$(registration_now)
check "with everything in place, a look changes nothing" \
    eval 'service_looks && test "$(registration_now)" = "$before"'
for view in 64 32; do
    wine reg delete "$drivers" /v midi3 /f "/reg:$view" >/dev/null 2>&1
done
repair_says() { # text
    wine "$win64/toolbox/melv-toolbox.exe" --repair 2>&1 | tr -d '\r' | grep -q -- "$1"
}
check "the check program's --repair puts it back, with no administrator's step, and says so" \
    eval 'repair_says "registered again as midi3" && whole_again midi3'
check "asked again, it says the registration is whole" repair_says "is whole (as midi3)"
# The device removed, as in Device Manager: the user's word, and nothing comes back.
wine reg delete 'HKLM\System\CurrentControlSet\Enum\ROOT\MEDIA' /f >/dev/null 2>&1
wine reg delete "$drivers" /v midi3 /f /reg:32 >/dev/null 2>&1
check "with the driver's device removed, nothing is put back" \
    eval 'service_looks && test -z "$(slots 32)$(driver_devices)"'
run_setup uninstall uninstall
wine reg delete "$drivers" /v midi2 /f /reg:32 >/dev/null 2>&1
run_setup install install

echo "== repairing an installation that Windows took apart"
# The MIDI registry repair deletes the slot; a feature update may drop one view's; a file is lost.
wine reg add "$settings" /v COM /t REG_DWORD /d 7 /f /reg:64 >/dev/null 2>&1
wine reg delete "$drivers" /v midi2 /f /reg:64 >/dev/null 2>&1
wine reg delete "$descriptions" /v melvpcif.dll /f /reg:32 >/dev/null 2>&1
rm -f "$system32"
# An interrupted installation left a second device.
enum='HKLM\System\CurrentControlSet\Enum\ROOT\MEDIA'
first=$(wine reg query "$enum" | tr -d '\r' | grep -m1 -i '\\ROOT\\MEDIA\\')
wine reg copy "$first" "$enum\\9999" /s /f >/dev/null 2>&1
check "a second device of the driver is there before the repair" \
    test "$(driver_devices | wc -l)" = 2
check "installing again repairs with exit code 0" test "$(exit_code repair install)" = 0
check "the slots, descriptions and files are back in both views" \
    eval 'test "$(slots 64)|$(slots 32)|$(descriptions_of 64)$(descriptions_of 32)" = "midi2|midi2|11" &&
          cmp -s "$system64" "$win64/melvpcif.dll" && cmp -s "$system32" "$win32/melvpcif.dll"'
check "the settings are kept, and the device is still one" \
    eval 'is_number "$(value_in "$(query 64 "$settings")" COM)" 7 &&
          one_device_naming melvpcif.dll=midi2'
run_setup uninstall uninstall
for view in 64 32; do
    wine reg add "$drivers" /v midi /d other.drv /f "/reg:$view" >/dev/null 2>&1
    wine reg delete "$drivers" /v midi1 /f "/reg:$view" >/dev/null 2>&1
done

echo "== a driver that a running program has loaded"
# An earlier version of the driver: the same DLL with one byte more at its end.
mkdir -p "$wine_work/earlier/x64" "$wine_work/earlier/x86"
cp "$wine_work/package/x86/melvpcif.dll" "$wine_work/earlier/x86/"
cp "$win64/melvpcif-share.exe" "$wine_work/earlier/x64/"
{ cat "$win64/melvpcif.dll"; printf '\0'; } >"$wine_work/earlier/x64/melvpcif.dll"
check "the earlier version installs" \
    test "$(exit_code earlier install "$(winepath -w "$wine_work/earlier")")" = 0
check "a running program has the driver loaded" hold_driver 'C:\windows\system32\melvpcif.dll'
check "installing the same version again while it is loaded changes nothing" \
    eval 'test "$(exit_code same install "$(winepath -w "$wine_work/earlier")")" = 0 &&
          ! pending_at_restart | grep -qi melvpcif'
check "installing the new version while the earlier is loaded ends with exit code 3" \
    test "$(exit_code update install)" = 3
check "and says the new file is put in place when Windows next starts" \
    says update "Windows puts the new file in place when it next starts"
check "the loaded file stays as it is until then" \
    cmp -s "$system64" "$wine_work/earlier/x64/melvpcif.dll"
release_driver
wine_env_restart_windows
check "after the restart the new version is in place" \
    eval 'cmp -s "$system64" "$win64/melvpcif.dll" && test -z "$(pending_at_restart)"'

check "a running program has the driver loaded" hold_driver 'C:\windows\system32\melvpcif.dll'
check "removal while the driver is loaded ends with exit code 3" \
    test "$(exit_code in-use-removal uninstall)" = 3
check "and says the file goes when Windows next starts" \
    says in-use-removal "Windows deletes .*melvpcif.dll when it next starts"
check "the registrations are gone at once; the loaded file waits for the restart" \
    eval 'test -z "$(slots 64)$(slots 32)" -a -e "$system64" -a ! -e "$system32" &&
          pending_at_restart | grep -qi "system32.melvpcif.dll"'
check "installing again before that restart ends with exit code 3" \
    test "$(exit_code reinstall install)" = 3
release_driver
wine_env_restart_windows
check "after the restart the driver installed last is there and registered" \
    eval 'cmp -s "$system64" "$win64/melvpcif.dll" && cmp -s "$system32" "$win32/melvpcif.dll" &&
          test "$(slots 64)$(slots 32)" = midi2midi2'
check "and is removed with exit code 0" test "$(exit_code last-removal uninstall)" = 0

run_setup earlier install "$(winepath -w "$wine_work/earlier")"
check "a running program has the driver loaded" hold_driver 'C:\windows\system32\melvpcif.dll'
run_setup update install
release_driver
check "removing a driver whose update waits for the restart ends with exit code 0" \
    test "$(exit_code removal-before-update uninstall)" = 0
wine_env_restart_windows
check "the update does not bring the file back at the restart" test ! -e "$system64"

echo "== removing files once a program has ended"
# The program runs from the folder to be removed, as the uninstaller does.
leftover="$WINEPREFIX/drive_c/leftover"
mkdir -p "$leftover"
echo data >"$leftover/file.txt"
cp "$tool64" "$leftover/holder.exe"
check "the program that holds a file runs" \
    eval 'tool64="$leftover/holder.exe" hold_driver "C:\\windows\\system32\\version.dll"'
wine "$setup" remove-after "$(holder_process)" 'C:\leftover\holder.exe' 'C:\leftover\file.txt' \
    'C:\leftover' >"$wine_work/remove-after.log" 2>&1 &
remover=$!
sleep 2
check "nothing is removed while the program runs" test -e "$leftover/file.txt"
# The process id of a program that has ended may be another program's by the time the remover
# looks: that one is not waited for.
elsewhere="$WINEPREFIX/drive_c/elsewhere"
mkdir -p "$elsewhere"
echo data >"$elsewhere/file.txt"
check "a remover given another program's process id does not wait for it" \
    timeout 60 wine "$setup" remove-after "$(holder_process)" 'C:\elsewhere\uninstall.exe' \
    'C:\elsewhere\file.txt' 'C:\elsewhere'
check "and removes at once" test ! -e "$elsewhere"
release_driver
check "the files and the folder go when it has ended" eventually 30 test ! -e "$leftover"
wait "$remover"
check "and the remover ends with exit code 0" test $? -eq 0

checks_summary installer
