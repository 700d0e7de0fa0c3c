#!/usr/bin/env bash
# The setup program of the release package under Wine, used as a musician and a studio's
# administrator use it, in a fresh 64-bit prefix where another driver already has the "midi"
# slot: a silent install, a second one over it with settings made and the slot it had, the
# quiet uninstall command of the Apps & features entry, an install that fails, the pages of the
# setup program clicked through under a private X server, an uninstall while a program has the
# driver loaded, and at last a silent install and uninstall on 32-bit Windows. Each step checks
# the files, both registry views, drivers.desc, the Apps & features entry and the Start menu
# entry.
#
#   tests/install/test-setup.sh [--picture DIR] PACKAGE.zip BUILD_DIR_WIN64 BUILD_DIR_WIN32
#
# The build directories hold tests/install/setup-test-tool.exe. With --picture, the finishing
# page of the setup program is written to DIR/installer-finish.png, and its sharing page, the box
# ticked, to DIR/installer-sharing.png.
set -uo pipefail

usage() {
    echo "usage: $0 [--picture DIR] PACKAGE.zip BUILD_DIR_WIN64 BUILD_DIR_WIN32" >&2
    exit 2
}
picture_dir=
if [ "${1:-}" = --picture ]; then
    [ $# -ge 2 ] && [ -d "$2" ] || usage
    picture_dir=$(realpath "$2")
    shift 2
fi
[ $# -eq 3 ] || usage
package=$(realpath "$1")
top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/tests/wine/wine-env.sh"
. "$top/tests/lib/checks.sh"
. "$top/tests/install/common.sh"
wine_env_find_builds tests/install/setup-test-tool.exe "$2" "$3" || exit 2
tool64="${wine_env_builds[0]}/tests/install/setup-test-tool.exe"
tool32="${wine_env_builds[1]}/tests/install/setup-test-tool.exe"

wine_env_begin melv-setup || exit 2
trap 'release_driver 2>/dev/null; wine_env_end' EXIT

python3 -m zipfile -e "$package" "$wine_work/package"
setup_name=$(cd "$wine_work/package" && ls melvpcif-*-setup.exe)
version=${setup_name#melvpcif-}
version=${version%-setup.exe}
setup="$wine_work/package/$setup_name"
plain64="$wine_work/package/by-hand/x64/melvpcif.dll"
plain32="$wine_work/package/by-hand/x86/melvpcif.dll"

# --- what the registry and the disk say ---

entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\melvpcif'

# Takes what every check of a step looks at, in one go.
snapshot() { # view of the Apps & features entry and of the settings (64, or 32 on 32-bit Windows)
    drivers64=$(query 64 "$drivers")
    drivers32=$(query 32 "$drivers")
    descriptions64=$(query 64 "$descriptions")
    descriptions32=$(query 32 "$descriptions")
    entry_native=$(query "$1" "$entry")
    entry_other=$([ "$1" = 64 ] && query 32 "$entry")
    settings_values=$(query "$1" "$settings")
    settings_exists=$(key_exists "$1" "$settings" && echo yes)
    pending=$(pending_at_restart)
}
entry_value() { value_in "$entry_native" "$1"; }

drive_c="$WINEPREFIX/drive_c"
system64="$drive_c/windows/system32/melvpcif.dll"
system32="$drive_c/windows/syswow64/melvpcif.dll"
install_dir="$drive_c/Program Files/MELV PC IF MIDI Driver"
programs="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
# The entry's name as Windows shows it; a file name cannot hold "/", so it has U+2215.
check_entry="Check the MELV PC I$(printf '\342\210\225')F connection.lnk"
settings_entry="MELV PC I$(printf '\342\210\225')F MIDI Driver settings.lnk"
monitor_entry="MELV PC I$(printf '\342\210\225')F MIDI monitor.lnk"
panic_entry="MELV PC I$(printf '\342\210\225')F MIDI panic.lnk"

folder_holds() { # folder, names...: exactly those files
    local folder=$1
    shift
    [ "$(cd "$folder" 2>/dev/null && ls | sort | xargs)" = "$(printf '%s\n' "$@" | sort | xargs)" ]
}
pe_machine() { # file: x64 or x86
    python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read(4096)
machine = struct.unpack_from("<H", data, struct.unpack_from("<I", data, 0x3C)[0] + 4)[0]
print({0x8664: "x64", 0x14C: "x86"}.get(machine, hex(machine)))
PY
}
link_runs() { # .lnk, program name: the shortcut names the program
    python3 - "$1" "$2" <<'PY'
import sys
data, name = open(sys.argv[1], "rb").read(), sys.argv[2]
sys.exit(0 if name.encode("utf-16-le") in data or name.encode() in data else 1)
PY
}
crlf_copy_of() { # file, original: the same text with Windows line ends
    cmp -s "$1" <(sed 's/\r*$/\r/' "$2")
}
# EstimatedSize, in KiB, against the files it stands for: the install folder and the DLLs.
size_matches() { # entry's size, files...
    local kib=$1 bytes
    shift
    bytes=$(du -cb "$@" | tail -n 1 | cut -f1)
    [ -n "$kib" ] && python3 -c "import sys; sys.exit(abs($kib * 1024 - $bytes) > $bytes * 0.05)"
}

# --- running programs ---

# The tool's output, without carriage returns, in a file and not a pipe: a program it started
# that lives on (the uninstaller's remover, Wine's desktop while another program keeps the
# prefix running) then holds a file open instead of the test.
run_logged() { # log, tool, its arguments...
    local log=$1 raw
    shift
    raw=$(mktemp "$wine_work/run.XXXXXX")
    wine "$@" >"$raw" 2>&1
    tr -d '\r' <"$raw" >"$log"
}
# A program's whole exit code, which the tool prints: the shell sees only its low eight bits.
exit_code_of() { # tool, its arguments...
    run_logged "$wine_work/run.log" "$@"
    sed -n 's/^exit code: //p' "$wine_work/run.log"
}
install_silently() { # tool of the prefix's bitness, [more arguments]
    exit_code_of "$1" run "$(winepath -w "$setup")" /S "${@:2}"
}
sharing_is() { # 0, 1 or "" for none: the "Share" value in the view both drivers read, with no
    # copy in the other
    local share
    share=$(value_in "$settings_values" Share)
    if [ -z "$1" ]; then test -z "$share"; else is_number "$share" "$1"; fi &&
        test -z "$(value_in "$(query 32 "$settings")" Share)"
}
uninstall_quietly() { # tool of the prefix's bitness: Apps & features' quiet command
    exit_code_of "$1" run-entry QuietUninstallString
}

# --- the machine: a private X server, a Wine desktop, another driver in "midi" ---

other_driver() { # view: another maker's driver in the first slot, with its description
    wine reg add "$drivers" /v midi /d other.drv /f "/reg:$1" >/dev/null 2>&1
    wine reg add "$descriptions" /v other.drv /d "Other MIDI Driver" /f "/reg:$1" >/dev/null 2>&1
}
others_left_alone() { # the other driver and its description, as they were
    [ "$(value_in "$drivers64" midi)|$(value_in "$drivers32" midi)" = "other.drv|other.drv" ] &&
        [ "$(value_in "$descriptions64" other.drv)" = "Other MIDI Driver" ] &&
        [ "$(value_in "$descriptions32" other.drv)" = "Other MIDI Driver" ]
}
start=$(date +%s)
wine_env_start_display || exit 2
wine_env_boot || exit 2
# Wine draws the windows itself on its own desktop, title bars and all, as no window manager
# runs.
wine_env_use_virtual_desktop || exit 2
wine_env_install_title_bar_font
other_driver 64
other_driver 32
wineserver -k 2>/dev/null
wineserver -w

echo "== before installing"
snapshot 64
check "nothing of ours before installing: no DLL, slot, description, entry, folder or shortcut" \
    test ! -e "$system64" -a ! -e "$system32" -a -z "$(slots_in "$drivers64")$(slots_in "$drivers32")" \
    -a -z "$(value_in "$descriptions64" melvpcif.dll)$entry_native$entry_other" \
    -a ! -e "$install_dir" -a ! -e "$programs/$check_entry"

echo "== silent install"
status=$(install_silently "$tool64")
snapshot 64
check "the silent install ends with exit code 0" test "$status" = 0
check "the 64-bit DLL is in System32" cmp -s "$system64" "$plain64"
check "the 32-bit DLL is in SysWOW64" cmp -s "$system32" "$plain32"
check "each registry view has the driver once, in the first free slot from midi2" \
    test "$(slots_in "$drivers64")|$(slots_in "$drivers32")" = "midi2|midi2"
check "both views describe the driver by name" \
    eval 'described "$descriptions64" && described "$descriptions32"'
check "the other driver and its description are left alone" others_left_alone
check "one device of the Media class holds the driver's MIDI entry, in the same slot" \
    one_device_naming melvpcif.dll=midi2
check "the sharing service is the package's 64-bit one, started with Windows and on demand" \
    service_installed_from "$wine_work/package/by-hand/x64"
check "the install folder holds the check and settings programs, README, licence, uninstaller and the copy for repairs" \
    folder_holds "$install_dir" LICENSE.txt README.txt melv-toolbox.exe melv-settings.exe setup.exe \
    uninstall.exe
check "the check and settings programs are the 64-bit ones" \
    eval 'test "$(pe_machine "$install_dir/melv-toolbox.exe")" = x64 &&
          test "$(pe_machine "$install_dir/melv-settings.exe")" = x64' 
check "README and licence are the package's, with Windows line ends" \
    eval 'crlf_copy_of "$install_dir/README.txt" "$wine_work/package/README.md" &&
          crlf_copy_of "$install_dir/LICENSE.txt" "$wine_work/package/LICENSE"'
check "the Start menu has the entry that runs the check program" \
    link_runs "$programs/$check_entry" melv-toolbox.exe
check "the Start menu has the entry that opens the settings" \
    link_runs "$programs/$settings_entry" melv-settings.exe
check "the Start menu has the entries that run the monitor and the panic" \
    eval 'link_runs "$programs/$monitor_entry" melv-toolbox.exe &&
          link_runs "$programs/$monitor_entry" --monitor &&
          link_runs "$programs/$panic_entry" melv-toolbox.exe && link_runs "$programs/$panic_entry" --panic'
check "Apps & features lists the driver by name, maker and version" \
    test "$(entry_value DisplayName)|$(entry_value Publisher)|$(entry_value DisplayVersion)" \
    = "MELV PC I/F MIDI Driver|MELV|$version"
check "the entry offers uninstalling, quietly too, and repair as its Modify command" \
    test "$(entry_value UninstallString)|$(entry_value QuietUninstallString)|$(entry_value ModifyPath)|$(entry_value NoModify)" \
    = "\"C:\\Program Files\\MELV PC IF MIDI Driver\\uninstall.exe\" _?=C:\\Program Files\\MELV PC IF MIDI Driver|\"C:\\Program Files\\MELV PC IF MIDI Driver\\uninstall.exe\" /S _?=C:\\Program Files\\MELV PC IF MIDI Driver|\"C:\\Program Files\\MELV PC IF MIDI Driver\\setup.exe\"|0x0"
check "the entry's size is that of the installed files" \
    size_matches "$(printf '%d' "$(entry_value EstimatedSize)" 2>/dev/null)" \
    "$install_dir"/* "$system64" "$system32"
check "the entry is in the 64-bit registry view only" test -z "$entry_other"
check "the settings key is ready, still without settings" \
    test "$settings_exists" = yes -a -z "$(value_in "$settings_values" COM)"
check "sharing stays off: no Share value" sharing_is ""

echo "== installing again over an earlier installation"
# Settings the user made, and the slot an earlier installation had.
wine reg add "$settings" /v COM /t REG_DWORD /d 3 /f /reg:64 >/dev/null 2>&1
wine reg add "$settings" /v Messages /t REG_DWORD /d 0x142 /f /reg:64 >/dev/null 2>&1
wine reg add "$settings" /v Share /t REG_DWORD /d 1 /f /reg:64 >/dev/null 2>&1
for view in 64 32; do
    wine reg delete "$drivers" /v midi2 /f "/reg:$view" >/dev/null 2>&1
    wine reg add "$drivers" /v midi4 /d melvpcif.dll /f "/reg:$view" >/dev/null 2>&1
done
# The toolbox under the name it had before.
cp "$install_dir/melv-toolbox.exe" "$install_dir/melv-demo.exe"
status=$(install_silently "$tool64")
snapshot 64
check "installing again ends with exit code 0" test "$status" = 0
check "the driver keeps the slot it had, in each view, and takes no other" \
    test "$(slots_in "$drivers64")|$(slots_in "$drivers32")" = "midi4|midi4"
check "the settings are kept, sharing among them" \
    eval 'is_number "$(value_in "$settings_values" COM)" 3 &&
          is_number "$(value_in "$settings_values" Messages)" 0x142 && sharing_is 1'
check "the DLLs are the package's" eval 'cmp -s "$system64" "$plain64" && cmp -s "$system32" "$plain32"'
check "the toolbox under its earlier name is gone" test ! -e "$install_dir/melv-demo.exe"
check "there is still one entry and one Start menu entry" \
    test "$(entry_value DisplayVersion)" = "$version" -a -e "$programs/$check_entry"

echo "== the repair of Apps & features, after Windows took the installation apart"
# Windows 11's MIDI registry repair deletes the slots; a file is lost.
for view in 64 32; do
    wine reg delete "$drivers" /v midi4 /f "/reg:$view" >/dev/null 2>&1
done
rm -f "$system32"
status=$(exit_code_of "$tool64" run "$(winepath -w "$install_dir/setup.exe")" /S)
snapshot 64
check "the repair ends with exit code 0" test "$status" = 0
check "the slots are back in both views, from midi2" \
    test "$(slots_in "$drivers64")|$(slots_in "$drivers32")" = "midi2|midi2"
check "the DLLs are back" eval 'cmp -s "$system64" "$plain64" && cmp -s "$system32" "$plain32"'
check "the settings are kept" \
    eval 'is_number "$(value_in "$settings_values" COM)" 3 &&
          is_number "$(value_in "$settings_values" Messages)" 0x142'
check "the copy for repairs is still there" test -s "$install_dir/setup.exe"

echo "== the quiet uninstall command of Apps & features"
status=$(uninstall_quietly "$tool64")
snapshot 64
check "the quiet uninstall ends with exit code 0" test "$status" = 0
check "the DLLs are gone" test ! -e "$system64" -a ! -e "$system32"
check "the sharing service and the driver's device are gone" \
    eval 'service_gone && test -z "$(driver_devices)"'
check "the slots and descriptions are gone from both views" \
    test -z "$(slots_in "$drivers64")$(slots_in "$drivers32")$(value_in "$descriptions64" melvpcif.dll)$(value_in "$descriptions32" melvpcif.dll)"
check "the other driver and its description are left alone" others_left_alone
check "the Apps & features entry and the Start menu entries are gone" \
    test -z "$entry_native" -a ! -e "$programs/$check_entry" -a ! -e "$programs/$settings_entry" \
    -a ! -e "$programs/$monitor_entry" -a ! -e "$programs/$panic_entry"
check "the install folder goes once the uninstaller has ended" \
    eventually 30 test ! -e "$install_dir"
check "the settings are kept" \
    eval 'is_number "$(value_in "$settings_values" COM)" 3 &&
          is_number "$(value_in "$settings_values" Messages)" 0x142'
check "nothing of the driver waits for a restart" \
    eval '! printf "%s" "$pending" | grep -qi -e melvpcif.dll -e "MELV PC IF"'

echo "== an install that cannot succeed"
# Every slot of the 32-bit view is taken by other drivers.
filler_drivers 32 take
status=$(install_silently "$tool64")
snapshot 64
check "the failed install ends with exit code 2" test "$status" = 2
check "it leaves nothing of the driver: no DLL, slot, description, entry, folder or shortcut" \
    test ! -e "$system64" -a ! -e "$system32" -a -z "$(slots_in "$drivers64")$(slots_in "$drivers32")" \
    -a -z "$(value_in "$descriptions64" melvpcif.dll)$entry_native" \
    -a ! -e "$install_dir" -a ! -e "$programs/$check_entry"
filler_drivers 32 free

echo "== the setup program's pages, as a musician clicks through them"
bitmap="$wine_work/installer-finish.bmp"
sharing_bitmap="$wine_work/installer-sharing.bmp"
sharing_box="Let several programs use the instrument at once"
wine reg delete "$settings" /v Share /f /reg:64 >/dev/null 2>&1
run_logged "$wine_work/pages.log" "$tool64" pages "$(winepath -w "$setup")" \
    "$(winepath -w "$bitmap")" "Next >" "I Agree" "choose:$sharing_box" \
    "picture:$(winepath -w "$sharing_bitmap")" Install Finish
status=$(sed -n 's/^exit code: //p' "$wine_work/pages.log")
cat "$wine_work/pages.log"
snapshot 64
page_says() { grep -q -- "$1" "$wine_work/pages.log"; }
check "the window names the driver and its version" page_says "^title: MELV PC I/F MIDI Driver $version Setup"
check "the licence page shows the licence" page_says "^I Agree: .*Permission is granted to install"
check "the next page offers sharing and says why one would turn it on" \
    eval 'page_says "^Install: $sharing_box$" &&
          page_says "^Install: Turn this on to use a web editor, or a sequencer and an editor"'
check "the finishing page says how to open the settings" \
    page_says "^Finish: .*Settings: open \"MELV PC I/F MIDI Driver settings\" in the Start menu"
check "the finishing page says how to check the connection" \
    page_says "^Finish: .*open \"Check the MELV PC I/F connection\" in the Start menu"
check "the setup program ends with exit code 0 after Finish" test "$status" = 0
check "it has installed the driver, listed it and made the Start menu entry" \
    test "$(slots_in "$drivers64")|$(slots_in "$drivers32")" = "midi2|midi2" \
    -a -n "$entry_native" -a -e "$programs/$check_entry"
check "the box ticked turned sharing on" sharing_is 1
if [ -n "$picture_dir" ]; then
    check "a picture of the sharing page is written" \
        convert "$sharing_bitmap" -strip -define png:exclude-chunks=date,time \
        "$picture_dir/installer-sharing.png"
    check "a picture of the finishing page is written" \
        convert "$bitmap" -strip -define png:exclude-chunks=date,time \
        "$picture_dir/installer-finish.png"
fi

echo "== the settings program of the Start menu"
# It opens the installed driver's own dialog; what the dialog shows and does is the Wine tests'.
settings_program() { # step...: the program's exit code
    run_logged "$wine_work/settings.log" "$tool64" pages \
        "$(winepath -w "$install_dir/melv-settings.exe")" - "$@"
    sed -n 's/^exit code: //p' "$wine_work/settings.log"
}
settings_agree() { # COM, Messages: both in the 64-bit view, which both drivers read; no copy in
    # the 32-bit view
    is_number "$(value_in "$(query 64 "$settings")" COM)" "$1" &&
        is_number "$(value_in "$(query 64 "$settings")" Messages)" "$2" &&
        test -z "$(value_in "$(query 32 "$settings")" COM)$(value_in "$(query 32 "$settings")" Messages)"
}
wine reg delete "$settings" /f /reg:64 >/dev/null 2>&1
status=$(settings_program "choose:Independent Synth / MIDI Out" OK)
check "OK ends the settings program with exit code 0" test "$status" = 0
check "the dialog was the driver's" grep -q '^title: MELV PC I/F NT Driver' "$wine_work/settings.log"
check "OK wrote the settings chosen, in the view both drivers read" settings_agree 1 0x7f7f
status=$(settings_program "choose:Independent Synth / MIDI Out" "choose:Cancel")
check "Cancel ends the settings program with exit code 1" test "$status" = 1
check "Cancel wrote nothing" settings_agree 1 0x7f7f

echo "== uninstalling while a program has the driver loaded"
check "a running program has the driver loaded" hold_driver 'C:\windows\system32\melvpcif.dll'
run_logged "$wine_work/pages.log" "$tool64" pages entry:UninstallString - Uninstall \
    "choose:I want to manually reboot later" Finish
status=$(sed -n 's/^exit code: //p' "$wine_work/pages.log")
cat "$wine_work/pages.log"
snapshot 64
check "the uninstaller says that the file goes when Windows restarts" \
    page_says "^Finish: .*still has the driver loaded: Windows deletes its file when it restarts"
check "it ends with exit code 3010, restart needed" test "$status" = 3010
check "the loaded DLL waits for the restart; the other went" \
    eval 'test -e "$system64" -a ! -e "$system32" && printf "%s" "$pending" | grep -qi "system32.melvpcif.dll"'
check "the registrations, the entry and the Start menu entry are gone now" \
    test -z "$(slots_in "$drivers64")$(slots_in "$drivers32")$entry_native" \
    -a ! -e "$programs/$check_entry"

echo "== installing again before that restart, with sharing asked for"
wine reg add "$settings" /v Share /t REG_DWORD /d 0 /f /reg:64 >/dev/null 2>&1
status=$(install_silently "$tool64" /SHARE=1)
check "the silent install ends with exit code 3010, restart needed" test "$status" = 3010
release_driver
wine_env_restart_windows
snapshot 64
check "after the restart the driver is there, registered and listed" \
    eval 'cmp -s "$system64" "$plain64" && cmp -s "$system32" "$plain32" &&
          test "$(slots_in "$drivers64")|$(slots_in "$drivers32")" = "midi2|midi2" -a -n "$entry_native"'
check "/SHARE=1 turned sharing on, in the view both drivers read" sharing_is 1
check "and uninstalls quietly with exit code 0" test "$(uninstall_quietly "$tool64")" = 0

echo "== 32-bit Windows"
wine_env_boot win32 || exit 2
drive_c="$WINEPREFIX/drive_c"
install_dir="$drive_c/Program Files/MELV PC IF MIDI Driver"
programs="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
wine reg add "$drivers" /v midi /d other.drv /f >/dev/null 2>&1
status=$(install_silently "$tool32" /SHARE=1)
snapshot 32
check "the silent install ends with exit code 0" test "$status" = 0
check "/SHARE=1 turned sharing on" is_number "$(value_in "$settings_values" Share)" 1
check "the 32-bit DLL is in System32, registered in the first free slot and described" \
    eval 'cmp -s "$drive_c/windows/system32/melvpcif.dll" "$plain32" &&
          test "$(slots_in "$drivers32")" = midi2 && described "$descriptions32"'
check "the check and settings programs are the 32-bit ones, with their Start menu entries" \
    eval 'test "$(pe_machine "$install_dir/melv-toolbox.exe")" = x86 &&
          link_runs "$programs/$check_entry" melv-toolbox.exe &&
          test "$(pe_machine "$install_dir/melv-settings.exe")" = x86 &&
          link_runs "$programs/$settings_entry" melv-settings.exe'
check "Apps & features lists the driver" test "$(entry_value DisplayVersion)" = "$version"
status=$(uninstall_quietly "$tool32")
snapshot 32
check "the quiet uninstall ends with exit code 0 and leaves the other driver" \
    test "$status" = 0 -a "$(value_in "$drivers32" midi)" = other.drv
check "nothing of ours is left" \
    eval 'test ! -e "$drive_c/windows/system32/melvpcif.dll" -a -z "$(slots_in "$drivers32")" \
          -a -z "$entry_native" -a ! -e "$programs/$check_entry" && eventually 30 test ! -e "$install_dir"'

checks_summary "setup program" "$(($(date +%s) - start)) s"
