; usb-serial-driver.nsi: an example NSIS installer that updates the drivers of the USB serial
; adapter (VID 0403, PID 6001) with usb-serial-driver-update.exe. Copy it into your own installer.
;
; What it does: it carries the command, the status program and a driver package, unpacks them
; into a fresh folder under Program Files, runs the command there on the package and then the
; status program (what the adapter has now, judged against the package), shows what both printed
; in the installer's details and in a log file, removes the folder, and succeeds only when both of
; the command's lines are the OK lines and the adapter, where one is plugged in, works. Otherwise it
; fails with a clear message and exit status 1, also when run silently (/S), so that whatever
; started it can tell. Where the adapter needs a restart to finish, it succeeds with exit status
; 3010 and sets the restart flag; the restart is left to whoever started it.
;
; Build it (makensis comes with NSIS 3; Debian's package is `nsis`):
;   makensis [/DCOMMAND_EXE=<the .exe>] [/DSTATUS_EXE=<the status .exe>]
;            [/DARM64_COMMAND_EXE=<its ARM64 build>] [/DARM64_STATUS_EXE=<its ARM64 build>]
;            [/DPACKAGE_DIR=<driver package dir>] [/DOUTFILE=<installer>] [/DAMD64] usb-serial-driver.nsi
; Relative paths are taken from this script's folder. The defaults: each .exe one folder up (as in
; the release zip; the ARM64 builds in arm64 there) or else this repository's build, the folder driver-package one folder up (in
; the release zip, put your package there; in the repository it is the sample package), and
; usb-serial-driver-setup.exe beside this script.
; Run it: usb-serial-driver-setup.exe [/S] [/LOG=<file>]
;   /S    silent: no window, no question; the exit status and the log tell the outcome
;   /LOG  where the log goes (default: usb-serial-driver-setup.log in the user's temporary folder)

; A 32-bit installer by default: the NSIS that Windows users install builds only the x86 targets.
; That is enough: 64-bit Windows starts the 64-bit command as a 64-bit process whoever asks, and
; nothing here lies in System32, the folder that WOW64 redirects for a 32-bit process.
; /DAMD64 builds a 64-bit installer instead, where the NSIS at hand has the amd64 target.
; On Windows on ARM64 it unpacks the ARM64 builds instead: an x64 program runs there emulated, as
; on an x64 machine, and cannot load the native installer components a driver install may need.
; An x86 installer runs emulated on every Windows on ARM64, so it can choose for itself.
Unicode true
!ifdef AMD64
  Target amd64-unicode
!else
  Target x86-unicode
!endif

!include FileFunc.nsh
!include LogicLib.nsh
!include x64.nsh

; makensis resolves relative paths from this script's folder.
!ifndef COMMAND_EXE
  !if /FileExists "../usb-serial-driver-update.exe"
    !define COMMAND_EXE "../usb-serial-driver-update.exe"
  !else
    !define COMMAND_EXE "../../build/mingw/src/usb-serial-driver-update.exe"
  !endif
!endif
!ifndef STATUS_EXE
  !if /FileExists "../usb-serial-driver-status.exe"
    !define STATUS_EXE "../usb-serial-driver-status.exe"
  !else
    !define STATUS_EXE "../../build/mingw/src/usb-serial-driver-status.exe"
  !endif
!endif
!ifndef ARM64_COMMAND_EXE
  !if /FileExists "../arm64/usb-serial-driver-update.exe"
    !define ARM64_COMMAND_EXE "../arm64/usb-serial-driver-update.exe"
  !else
    !define ARM64_COMMAND_EXE "../../build/arm64/src/usb-serial-driver-update.exe"
  !endif
!endif
!ifndef ARM64_STATUS_EXE
  !if /FileExists "../arm64/usb-serial-driver-status.exe"
    !define ARM64_STATUS_EXE "../arm64/usb-serial-driver-status.exe"
  !else
    !define ARM64_STATUS_EXE "../../build/arm64/src/usb-serial-driver-status.exe"
  !endif
!endif
!ifndef PACKAGE_DIR
  !define PACKAGE_DIR "../driver-package"
!endif
!ifndef OUTFILE
  !define OUTFILE "usb-serial-driver-setup.exe"
!endif

; What a successful run prints, byte for byte: the command's output is a contract.
!define OK_LINES "FTDIBus driver update: OK$\r$\nFTDIPort driver update: OK$\r$\n"

Name "USB serial adapter drivers"
OutFile "${OUTFILE}"
; Installing drivers needs administrator rights: ask for them here, because the command itself
; never asks (it runs with the rights of whoever starts it).
RequestExecutionLevel admin
; Nothing is installed into a folder of its own, so there is no directory page.
ShowInstDetails show
Page instfiles

Var Log
Var Unpacked ; the folder the programs and the package are unpacked into

Section "Update the drivers"
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/LOG=" $Log
  ${If} ${Errors}
    StrCpy $Log "$TEMP\usb-serial-driver-setup.log"
  ${EndIf}

  ; The command runs elevated on what lies in this folder, so no one but an administrator may be
  ; able to change it in the meantime: not the user's temporary folder (the plug-ins folder is
  ; there), which the same user's unelevated programs can write. Program Files lets only
  ; administrators write, and its path is plain ASCII on every Windows (the user's folder may hold
  ; characters the command's ANSI code page lacks). $PROGRAMFILES64 is the 64-bit one, also from
  ; a 32-bit installer; that folder is not redirected. GetTempFileName makes a fresh, uniquely
  ; named file there, which becomes the folder.
  GetTempFileName $Unpacked "$PROGRAMFILES64"
  ClearErrors
  ${If} $Unpacked != ""
    Delete $Unpacked
    CreateDirectory $Unpacked
  ${EndIf}
  ${If} $Unpacked == ""
  ${OrIf} ${Errors}
    StrCpy $Unpacked ""
    StrCpy $1 "error"
    StrCpy $4 ""
    StrCpy $5 ""
    StrCpy $2 "No folder could be made in $PROGRAMFILES64: run the installer as administrator.$\r$\n"
  ${Else}
    SetOutPath $Unpacked
    ${If} ${IsNativeARM64}
      File "/oname=usb-serial-driver-update.exe" "${ARM64_COMMAND_EXE}"
      File "/oname=usb-serial-driver-status.exe" "${ARM64_STATUS_EXE}"
    ${Else}
      File "/oname=usb-serial-driver-update.exe" "${COMMAND_EXE}"
      File "/oname=usb-serial-driver-status.exe" "${STATUS_EXE}"
    ${EndIf}
    SetOutPath "$Unpacked\package"
    File /r "${PACKAGE_DIR}/*.*"
    ; Leave the folder, so that it can be removed.
    SetOutPath $EXEDIR

    DetailPrint "Updating the USB serial adapter's drivers..."
    ; nsExec runs the command without a console window and hands back its exit status and its
    ; output. The exit status is always 0 by the command's contract; the output tells the
    ; outcome. Standard input is not a console there, so even a wrong argument cannot make it wait.
    nsExec::ExecToStack '"$Unpacked\usb-serial-driver-update.exe" "$Unpacked\package"'
    Pop $1 ; the exit status, or "error" when the command could not be started
    Pop $2 ; everything it printed
    ; What the adapter has now: 0 working (or not plugged in, package staged), 1 not plugged in,
    ; 2 a problem or another driver than the package's, 3010 a restart is needed.
    nsExec::ExecToStack '"$Unpacked\usb-serial-driver-status.exe" --package "$Unpacked\package"'
    Pop $4 ; its exit status
    Pop $5 ; its lines, the last one its verdict
    StrCpy $2 "$2$5"
    Call RemoveUnpacked
  ${EndIf}

  ; The adapter's verdict fails the install unless it is working or staged (0), not plugged in (1)
  ; or waiting for a restart (3010): also where the status program could not be started ("error")
  ; or ended some other way, since then nothing says the adapter works.
  StrCpy $6 "fails"
  ${If} $4 == 0
  ${OrIf} $4 == 1
  ${OrIf} $4 == 3010
    StrCpy $6 ""
  ${EndIf}

  Push $2
  Call ShowLines
  FileOpen $3 $Log w
  FileWrite $3 $2
  FileClose $3

  ${If} $1 != 0
  ${OrIf} $2 != "${OK_LINES}$5"
  ${OrIf} $6 == "fails"
    ; Both at once: a window for a person, nothing that waits in a silent run, and a status for
    ; the script or management tool that started the installer.
    SetErrorLevel 1
    MessageBox MB_OK|MB_ICONSTOP "The drivers of the USB serial adapter were not updated.$\r$\n$\r$\n$2$\r$\nSee $Log" /SD IDOK
    Abort "Driver update failed. See $Log"
  ${EndIf}
  ${If} $4 == 3010
    ; Fleet tools read 3010 as "installed, restart needed".
    SetRebootFlag true
    SetErrorLevel 3010
    DetailPrint "Both drivers updated; the adapter needs a restart to finish."
  ${Else}
    DetailPrint "Both drivers updated."
  ${EndIf}
SectionEnd

; An installer that stops early (a file it could not unpack) leaves no folder behind either.
Function .onInstFailed
  Call RemoveUnpacked
FunctionEnd

Function RemoveUnpacked
  ${If} $Unpacked != ""
    RMDir /r $Unpacked
    StrCpy $Unpacked ""
  ${EndIf}
FunctionEnd

; Shows the text on the stack in the installer's details, one item a line.
Function ShowLines
  Exch $R0 ; what is left of the text
  Push $R1 ; the line so far
  Push $R2 ; the next character
  StrCpy $R1 ""
  next:
    StrCpy $R2 $R0 1
    StrCmp $R2 "" done
    StrCpy $R0 $R0 "" 1
    StrCmp $R2 "$\r" next
    StrCmp $R2 "$\n" 0 append
    DetailPrint $R1
    StrCpy $R1 ""
    Goto next
  append:
    StrCpy $R1 "$R1$R2"
    Goto next
  done:
  StrCmp $R1 "" +2
    DetailPrint $R1
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd
