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
set bus=
set port=
rem The directory goes on as a full path (%~f1), which is what Windows asks for. Input from nul:
rem with no console to read from, nothing can make the command wait. "call" keeps cmd from
rem stripping the quotes around the two paths. The output is read line by line, not through a
rem temporary file, so that runs started at the same moment cannot take each other's file.
for /f "delims=" %%L in ('call "%~dp0usb-serial-driver-update.exe" "%~f1" ^<nul') do (
  echo %%L
  if "%%L"=="FTDIBus driver update: OK" set bus=ok
  if "%%L"=="FTDIPort driver update: OK" set port=ok
)
if defined bus if defined port exit /b 0
echo USB serial adapter driver update failed. 1>&2
exit /b 1
