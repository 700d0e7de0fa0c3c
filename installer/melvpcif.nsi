; The setup program a musician double-clicks: it asks for administrator rights itself, shows the
; licence, installs the driver for 32- and 64-bit programs (and ARM64 programs on ARM64 Windows),
; the settings program and the connection check with their Start menu entries, the README and the
; licence, and registers with Apps & features. /S installs and uninstalls silently. A page asks
; whether several programs may use the instrument at once (the "Share" setting); /SHARE=1 or
; /SHARE=0 sets it in a silent install, and without it the setting stays as it was (a fresh
; installation: one program at a time).
;
; Where the DLLs go and which registry slots they take is the business of melvpcif-setup.exe
; (setup.cpp), which this program carries and runs, so those rules exist once. This script adds
; what a Windows installation has around them.
;
;   makensis -DVERSION=VERSION -DSTAGE=FOLDER -DOUTFILE=FILE installer/melvpcif.nsi
;
; VERSION is the project's version (CMakeLists.txt), which package.sh reads from the version.txt
; that CMake writes into each build tree.
; FOLDER holds x64\, x86\ and arm64\ (melvpcif.dll, melvpcif-setup.exe, melv-toolbox.exe,
; melv-settings.exe of that processor), README.txt and LICENSE.txt.
;
; Exit codes, also with /S: 0 done; 3010 done, but a program had the driver loaded and Windows
; finishes at the next restart; 2 failed; 1 cancelled.

!ifndef VERSION | STAGE | OUTFILE
  !error "define VERSION, STAGE and OUTFILE"
!endif

Unicode true
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include nsDialogs.nsh

!define PRODUCT "MELV PC I/F MIDI Driver"
!define PUBLISHER "MELV"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\melvpcif"
; The driver's settings, which both bitnesses of the driver read in the 64-bit view.
!define SETTINGS_KEY "Software\MELV\MELV PC I/F MIDI Driver"
!define TOOLBOX_PROGRAM "melv-toolbox.exe"
; What the toolbox was called before it held the librarian: an earlier installation left it.
!define EARLIER_TOOLBOX_PROGRAM "melv-demo.exe"
; A file name cannot hold "/": the Start menu entry shows the same name with a division slash.
!define CHECK_ENTRY "Check the MELV PC I${U+2215}F connection.lnk"
!define MONITOR_ENTRY "MELV PC I${U+2215}F MIDI monitor.lnk"
!define PANIC_ENTRY "MELV PC I${U+2215}F MIDI panic.lnk"
!define SETTINGS_PROGRAM "melv-settings.exe"
; A copy of this setup program, which Apps & features runs to repair the installation.
!define REPAIR_PROGRAM "setup.exe"
!define SETTINGS_ENTRY "MELV PC I${U+2215}F MIDI Driver settings.lnk"
!define RESTART_NEEDED 3 ; melvpcif-setup.exe: done, the rest when Windows next starts
!define ERROR_SUCCESS_REBOOT_REQUIRED 3010

Name "${PRODUCT}"
Caption "${PRODUCT} ${VERSION} Setup"
UninstallCaption "${PRODUCT} ${VERSION} Uninstall"
BrandingText "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 MELV"

!define MUI_ABORTWARNING
!define MUI_UNABORTWARNING

!define MUI_WELCOMEPAGE_TEXT "This installs the ${PRODUCT} ${VERSION}. With it, every MIDI \
program on this computer reaches the MELV synthesizer through its computer port, on a serial \
cable to a COM port of this computer (COM1 to COM4, or a USB serial adapter with any number).$\r$\n$\r$\nThe driver is installed for 32-bit and 64-bit \
programs (on ARM64 Windows also for ARM64 programs) and for every user. If it is installed \
already, it is updated or repaired and keeps its settings.$\r$\n$\r$\nClose your MIDI programs, \
then click Next to continue."
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
Page custom SharingPage SharingPageLeave
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "The driver is installed"
!define MUI_FINISHPAGE_TEXT_LARGE
!define MUI_FINISHPAGE_TEXT "Start your MIDI program (restart it if it was running): it lists \
$\"MELV PC I/F MIDI Port$\" among its MIDI inputs and outputs.$\r$\n$\r$\n\
Settings: open $\"${PRODUCT} settings$\" in the Start menu to pick the serial port (COM1 \
unless you change it; a USB serial adapter usually has another), the message filters and \
independent mode.$\r$\n$\r$\n\
Checking the connection: connect the instrument's computer port to that serial port, then open \
$\"Check the MELV PC I/F connection$\" in the Start menu."
!define MUI_FINISHPAGE_TEXT_REBOOT "A running program has the previous driver loaded: Windows \
puts the new one in place when it restarts. Restart now?"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT_REBOOT "A running program still has the driver loaded: Windows \
deletes its file when it restarts. Restart now?"
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

; The "Share" setting: what it is now (0 when the value is not there), and what the installation
; writes: 0 or 1, or nothing when it stays as it is.
Var ShareNow
Var ShareChoice
Var ShareBox

; Apps & features lists what is in the 64-bit view on 64-bit Windows.
!macro NativeRegistryView
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
!macroend

; The helper of this Windows' processor, into the plug-ins folder: the 64-bit one serves both
; bitnesses of 64-bit Windows, the ARM64 one ARM64 Windows (which runs x64 programs only from
; Windows 11 on), the 32-bit one 32-bit Windows.
!macro ExtractHelper
  SetOutPath "$PLUGINSDIR"
  ${If} ${IsNativeARM64}
    File "${STAGE}\arm64\melvpcif-setup.exe"
  ${ElseIf} ${RunningX64}
    File "${STAGE}\x64\melvpcif-setup.exe"
  ${Else}
    File "${STAGE}\x86\melvpcif-setup.exe"
  ${EndIf}
!macroend

Function .onInit
  !insertmacro NativeRegistryView
  ReadRegDWORD $ShareNow HKLM "${SETTINGS_KEY}" "Share"
  ${If} $ShareNow != 1
    StrCpy $ShareNow 0
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/SHARE=" $ShareChoice
  ${If} ${Errors}
    StrCpy $ShareChoice ""
  ${ElseIf} $ShareChoice != 0
  ${AndIf} $ShareChoice != 1
    MessageBox MB_OK|MB_ICONSTOP "/SHARE= takes 0 (one program at a time) or 1 (several \
      programs at once)." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  ; /D= chooses the folder; otherwise that of an earlier installation, or Program Files.
  ${If} $INSTDIR == ""
    ReadRegStr $INSTDIR HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    ${If} ${RunningX64}
      StrCpy $INSTDIR "$PROGRAMFILES64\MELV PC IF MIDI Driver"
    ${Else}
      StrCpy $INSTDIR "$PROGRAMFILES\MELV PC IF MIDI Driver"
    ${EndIf}
  ${EndIf}
FunctionEnd

Function SharingPage
  !insertmacro MUI_HEADER_TEXT "Sharing the instrument" \
    "One program at a time, or several programs at once."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 100% 12u "Let several programs use the instrument at once"
  Pop $ShareBox
  ; Ticked as /SHARE= says, or else as the setting is now: an upgrade keeps the user's choice.
  StrCpy $1 $ShareNow
  ${If} $ShareChoice != ""
    StrCpy $1 $ShareChoice
  ${EndIf}
  ${If} $1 == 1
    ${NSD_Check} $ShareBox
  ${EndIf}
  ${NSD_CreateLabel} 12u 18u 95% 36u "Turn this on to use a web editor, or a sequencer and an \
    editor, at the same time: web browsers open every MIDI port as soon as a page asks for \
    MIDI. Left off, one program at a time has the instrument and the others are told it is in \
    use. The driver's settings can change this later."
  Pop $0
  nsDialogs::Show
FunctionEnd

; The setting is written only when the box says otherwise than the setting does now.
Function SharingPageLeave
  ${NSD_GetState} $ShareBox $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  ${If} $0 == $ShareNow
    StrCpy $ShareChoice ""
  ${Else}
    StrCpy $ShareChoice $0
  ${EndIf}
FunctionEnd

Section "Driver"
  InitPluginsDir
  !insertmacro ExtractHelper
  SetOutPath "$PLUGINSDIR\driver\x86"
  File "${STAGE}\x86\melvpcif.dll"
  File "${STAGE}\x86\melvpcif-share.exe"
  ${If} ${RunningX64}
    SetOutPath "$PLUGINSDIR\driver\x64"
    File "${STAGE}\x64\melvpcif.dll"
    File "${STAGE}\x64\melvpcif-share.exe"
  ${EndIf}
  ${If} ${IsNativeARM64}
    SetOutPath "$PLUGINSDIR\driver\arm64"
    File "${STAGE}\arm64\melvpcif.dll"
    File "${STAGE}\arm64\melvpcif-share.exe"
  ${EndIf}
  DetailPrint "Installing the driver into the system folders and the list of MIDI drivers..."
  nsExec::ExecToLog '"$PLUGINSDIR\melvpcif-setup.exe" install "$PLUGINSDIR\driver"'
  Pop $0
  ${If} $0 == ${RESTART_NEEDED}
    SetRebootFlag true
  ${ElseIf} $0 != 0
    DetailPrint "The driver was not installed (melvpcif-setup.exe ended with $0)."
    MessageBox MB_OK|MB_ICONSTOP "The ${PRODUCT} could not be installed: the details above \
      say why." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  ; The toolbox (the connection check, the monitor, the panic, the librarian) and the settings
  ; program of this Windows' processor.
  SetOutPath "$INSTDIR"
  Delete "$INSTDIR\${EARLIER_TOOLBOX_PROGRAM}"
  ${If} ${IsNativeARM64}
    File "${STAGE}\arm64\${TOOLBOX_PROGRAM}"
    File "${STAGE}\arm64\${SETTINGS_PROGRAM}"
  ${ElseIf} ${RunningX64}
    File "${STAGE}\x64\${TOOLBOX_PROGRAM}"
    File "${STAGE}\x64\${SETTINGS_PROGRAM}"
  ${Else}
    File "${STAGE}\x86\${TOOLBOX_PROGRAM}"
    File "${STAGE}\x86\${SETTINGS_PROGRAM}"
  ${EndIf}
  ${If} $ShareChoice != ""
    WriteRegDWORD HKLM "${SETTINGS_KEY}" "Share" $ShareChoice
  ${EndIf}
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  Call KeepForRepair
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The check runs in a console window; the window waits for a key so that its result can be
  ; read.
  SetShellVarContext all
  CreateShortCut "$SMPROGRAMS\${CHECK_ENTRY}" "$SYSDIR\cmd.exe" \
    '/c ""$INSTDIR\${TOOLBOX_PROGRAM}" & pause"' "$INSTDIR\${TOOLBOX_PROGRAM}" 0 SW_SHOWNORMAL "" \
    "Checks that the driver is installed and that the instrument answers on the serial cable"
  ; The monitor runs until Ctrl+C; the window stays open so that its counts can be read.
  CreateShortCut "$SMPROGRAMS\${MONITOR_ENTRY}" "$SYSDIR\cmd.exe" \
    '/k ""$INSTDIR\${TOOLBOX_PROGRAM}" --monitor"' "$INSTDIR\${TOOLBOX_PROGRAM}" 0 SW_SHOWNORMAL "" \
    "Shows every message programs send to the instrument and every one it sends back"
  ; The panic says what it did, or why it could not, and the window closes by itself.
  CreateShortCut "$SMPROGRAMS\${PANIC_ENTRY}" "$SYSDIR\cmd.exe" \
    '/c ""$INSTDIR\${TOOLBOX_PROGRAM}" --panic & timeout /t 5"' "$INSTDIR\${TOOLBOX_PROGRAM}" 0 \
    SW_SHOWNORMAL "" "Turns off every note and sustain pedal on the instrument"
  ; The settings program asks for administrator rights itself, as it starts.
  CreateShortCut "$SMPROGRAMS\${SETTINGS_ENTRY}" "$INSTDIR\${SETTINGS_PROGRAM}" "" \
    "$INSTDIR\${SETTINGS_PROGRAM}" 0 SW_SHOWNORMAL "" \
    "The serial port, the message filters and independent mode of the MIDI driver"

  ; The size Apps & features shows: the install folder and the DLLs in the system folders.
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  ${GetSize} "$PLUGINSDIR\driver" "/M=melvpcif.dll /S=0K" $4 $2 $3
  IntOp $1 $1 + $4
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ; Started in place (_?=), the uninstaller's exit code is that of the uninstall itself.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" \
    '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $1
  ; Running the setup program again repairs (files, slots and descriptions put back, settings
  ; kept): Apps & features offers that as its Modify command, and there is nothing else to modify.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "ModifyPath" '"$INSTDIR\${REPAIR_PROGRAM}"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Keeps a copy of this setup program in the install folder, for the repair; a repair started
; from that copy keeps it as it is.
Function KeepForRepair
  ${If} $EXEPATH != "$INSTDIR\${REPAIR_PROGRAM}"
    CopyFiles /SILENT "$EXEPATH" "$INSTDIR\${REPAIR_PROGRAM}"
  ${EndIf}
FunctionEnd

Function .onInstSuccess
  ${If} ${RebootFlag}
    SetErrorLevel ${ERROR_SUCCESS_REBOOT_REQUIRED}
  ${EndIf}
FunctionEnd

Function un.onInit
  !insertmacro NativeRegistryView
FunctionEnd

; Removes the uninstaller and the install folder.
Function un.RemoveUninstallerAndFolder
  SetOutPath "$TEMP"
  ${If} $EXEDIR != $INSTDIR
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Return
  ${EndIf}
  ; Started in place, as the Apps & features entry's commands start it so that they end with
  ; this uninstall's exit code, this program keeps its own file until it ends. The helper, from
  ; the temporary folder, removes the file and the folder then.
  System::Call "kernel32::GetCurrentProcessId() i .r0"
  ExecShell "open" "$PLUGINSDIR\melvpcif-setup.exe" \
    'remove-after $0 "$INSTDIR\uninstall.exe" "$INSTDIR"' SW_HIDE
FunctionEnd

Section "Uninstall"
  InitPluginsDir
  !insertmacro ExtractHelper
  DetailPrint "Removing the driver from the system folders and the list of MIDI drivers..."
  nsExec::ExecToLog '"$PLUGINSDIR\melvpcif-setup.exe" uninstall'
  Pop $0
  ${If} $0 == ${RESTART_NEEDED}
    SetRebootFlag true
    DetailPrint "A running program still has the driver loaded: Windows deletes its file when \
      it restarts."
  ${ElseIf} $0 != 0
    DetailPrint "The driver was not removed (melvpcif-setup.exe ended with $0)."
    MessageBox MB_OK|MB_ICONSTOP "The ${PRODUCT} could not be removed: the details above say \
      why." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  SetShellVarContext all
  Delete "$SMPROGRAMS\${CHECK_ENTRY}"
  Delete "$SMPROGRAMS\${MONITOR_ENTRY}"
  Delete "$SMPROGRAMS\${PANIC_ENTRY}"
  Delete "$SMPROGRAMS\${SETTINGS_ENTRY}"
  Delete "$INSTDIR\${TOOLBOX_PROGRAM}"
  Delete "$INSTDIR\${SETTINGS_PROGRAM}"
  Delete "$INSTDIR\${REPAIR_PROGRAM}"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Call un.RemoveUninstallerAndFolder
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onUninstSuccess
  ${If} ${RebootFlag}
    SetErrorLevel ${ERROR_SUCCESS_REBOOT_REQUIRED}
  ${EndIf}
FunctionEnd
