@echo off
rem update-drivers.cmd <driver package directory>
rem Runs usb-serial-driver-update.exe from this file's folder on the package, shows what it
rem printed, and exits 0 when both drivers were updated, 1 otherwise. The command itself always
rem exits 0 and tells the outcome in its output; tools that judge a run by its exit status
rem (Intune, Configuration Manager, Ansible's win_command, Group Policy scripts) run this instead.
setlocal
if "%~1"=="" (
  echo usage: %~nx0 ^<driver package directory^> 1>&2
  exit /b 1
)
set "output=%TEMP%\usb-serial-driver-update-%RANDOM%%RANDOM%.txt"
rem The directory goes on as a full path (%~f1), which is what Windows asks for. Input from nul:
rem with no console to read from, nothing can make the command wait.
"%~dp0usb-serial-driver-update.exe" "%~f1" > "%output%" < nul
type "%output%"
rem find, not findstr: find is on every Windows and behaves the same everywhere. Only an OK line
rem holds these texts; a failure line reads "... update error: N".
find "FTDIBus driver update: OK" "%output%" > nul
if errorlevel 1 goto failed
find "FTDIPort driver update: OK" "%output%" > nul
if errorlevel 1 goto failed
del "%output%"
exit /b 0

:failed
del "%output%"
echo USB serial adapter driver update failed. 1>&2
exit /b 1
