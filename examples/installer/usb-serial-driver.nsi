; usb-serial-driver.nsi: an example NSIS installer that updates the drivers of the USB serial
; adapter (VID 0403, PID 6001) with usb-serial-driver-update.exe. Copy it into your own installer.
;
; What it does: it carries the command and a driver package, unpacks both into a temporary folder,
; runs the command there on the package, shows the command's two lines in the installer's details
; and in a log file, and succeeds only when both are the OK lines. Otherwise it fails with a clear
; message and exit status 1, also when run silently (/S), so that whatever started it can tell.
;
; Build it (makensis comes with NSIS 3; Debian's package is `nsis`):
;   makensis [/DCOMMAND_EXE=<the .exe>] [/DPACKAGE_DIR=<driver package dir>] [/DOUTFILE=<installer>]
;            usb-serial-driver.nsi
; The defaults are this repository's build, its sample package and a file beside this script.
; Run it: usb-serial-driver-setup.exe [/S] [/LOG=<file>]
;   /S    silent: no window, no question; the exit status and the log tell the outcome
;   /LOG  where the log goes (default: usb-serial-driver-setup.log in the user's temporary folder)

; A 64-bit installer: the command must run as a 64-bit process, and an installer's child
; processes see the file system as the installer does.
Unicode true
Target amd64-unicode

!include FileFunc.nsh
!include LogicLib.nsh

; makensis resolves relative paths from this script's folder.
!ifndef COMMAND_EXE
  !define COMMAND_EXE "../../build/mingw/src/usb-serial-driver-update.exe"
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

Section "Update the drivers"
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/LOG=" $Log
  ${If} ${Errors}
    StrCpy $Log "$TEMP\usb-serial-driver-setup.log"
  ${EndIf}

  ; $PLUGINSDIR is a fresh folder in the temporary folder, removed when the installer ends.
  InitPluginsDir
  SetOutPath "$PLUGINSDIR\driver"
  File "/oname=usb-serial-driver-update.exe" "${COMMAND_EXE}"
  SetOutPath "$PLUGINSDIR\driver\package"
  File /r "${PACKAGE_DIR}/*.*"
  ; Leave the working folder so that the temporary one can be removed at the end.
  SetOutPath "$PLUGINSDIR"

  DetailPrint "Updating the USB serial adapter's drivers..."
  ; nsExec runs the command without a console window and hands back its exit status and its
  ; output. The exit status is always 0 by the command's contract; the output tells the outcome.
  ; Standard input is not a console there, so even a wrong argument cannot make it wait.
  nsExec::ExecToStack '"$PLUGINSDIR\driver\usb-serial-driver-update.exe" "$PLUGINSDIR\driver\package"'
  Pop $1 ; the exit status, or "error" when the command could not be started
  Pop $2 ; everything it printed

  Push $2
  Call ShowLines
  FileOpen $3 $Log w
  FileWrite $3 $2
  FileClose $3

  ${If} $1 != 0
  ${OrIf} $2 != "${OK_LINES}"
    ; Both at once: a window for a person, nothing that waits in a silent run, and a status for
    ; the script or management tool that started the installer.
    SetErrorLevel 1
    MessageBox MB_OK|MB_ICONSTOP "The drivers of the USB serial adapter were not updated.$\r$\n$\r$\n$2$\r$\nSee $Log" /SD IDOK
    Abort "Driver update failed. See $Log"
  ${EndIf}
  DetailPrint "Both drivers updated."
SectionEnd

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
