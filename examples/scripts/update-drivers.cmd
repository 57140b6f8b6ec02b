@echo off
rem update-drivers.cmd <driver package directory>
rem Runs usb-serial-driver-update.exe from this file's folder on the package, shows what it
rem printed, and exits 0 when both drivers were updated, 1 otherwise. The command itself always
rem exits 0 and tells the outcome in its output; tools that judge a run by its exit status
rem (Intune, Configuration Manager, Ansible's win_command, Group Policy scripts) run this instead.
rem Extensions on, for %~f1, "for /f" and "exit /b", wherever the registry turned them off;
rem delayed expansion off, so that a "!" in a folder's name is kept where it is on by default.
setlocal EnableExtensions DisableDelayedExpansion
if "%~1"=="" (
  echo usage: %~nx0 ^<driver package directory^> 1>&2
  exit /b 1
)
rem The directory goes on as a full path (%~f1), which is what Windows asks for, less one
rem trailing backslash: a quoted argument that ends in one ("E:\") would end in \", which the
rem command reads as an escaped quote. "E:" is fine: the command makes it E:\ftdibus.inf.
set "dir=%~f1"
if "%dir:~-1%"=="\" set "dir=%dir:~0,-1%"
set bus=
set port=
rem Input from nul: with no console to read from, nothing can make the command wait. The line
rem starts with the redirection, not a quote, so that the cmd which "for /f" starts keeps the
rem quotes around the two paths; "call" would keep them too, but doubles every caret in them.
rem The output is read line by line, not through a temporary file, so that runs started at
rem the same moment cannot take each other's file.
for /f "delims=" %%L in ('^<nul "%~dp0usb-serial-driver-update.exe" "%dir%"') do (
  echo %%L
  if "%%L"=="FTDIBus driver update: OK" set bus=ok
  if "%%L"=="FTDIPort driver update: OK" set port=ok
)
if defined bus if defined port exit /b 0
echo USB serial adapter driver update failed. 1>&2
exit /b 1
