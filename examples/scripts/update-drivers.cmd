@echo off
rem update-drivers.cmd <driver package directory> [/restart-is-success]
rem Runs usb-serial-driver-update.exe from this file's folder on the package (on Windows on ARM64,
rem from the arm64 folder there) and shows what it printed. A driver whose device is not plugged in (the command's line for it carries
rem ERROR_NO_SUCH_DEVINST, -536870389) is staged instead with Windows' pnputil, so that Windows
rem installs it when the adapter is plugged in. Then usb-serial-driver-status.exe, from the same
rem folder, says what the adapter has now. Exits 0 when each driver was updated or staged
rem and the adapter works (or is not plugged in), 3010 when a restart is needed to finish, 1
rem otherwise: a driver neither updated nor staged, or an adapter that does not work (a problem
rem code, a USB device without its COM-port device, another driver than the package's). With
rem /restart-is-success a needed restart is logged and exits 0, for callers that fail on any
rem other status, such as an MSI's deferred custom action, whose non-zero exit status rolls the
rem install back. The command itself always exits 0 and tells the outcome in its output; tools that
rem judge a run by its exit status (Intune, Configuration Manager, Ansible's win_command, Group
rem Policy scripts) run this instead. Each run appends a record to update-drivers.log beside this
rem file: keep it in a folder only administrators can write, as it runs elevated.
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
rem Beside this file, not in a temp folder: a name that an ordinary user can create there could
rem be a link that turns an elevated append against another file.
set "log=%~dp0update-drivers.log"
>>"%log%" echo ---- %date% %time% %~nx0 "%dir%"
rem Windows on ARM64 runs the ARM64 builds, from the arm64 folder beside this file: an x64 program
rem runs there only emulated (Windows 11) or not at all (Windows 10), and an emulated process is
rem not what installs drivers there. PROCESSOR_ARCHITECTURE is what cmd itself runs as; a 32-bit
rem or emulated cmd (a 32-bit agent's) finds the machine's in PROCESSOR_ARCHITEW6432. Where the
rem ARM64 builds are missing the run fails: the x64 ones are never run in their place.
set "bin="
set "arch=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "arch=%PROCESSOR_ARCHITEW6432%"
if /i "%arch%"=="ARM64" set "bin=arm64\"
if not exist "%~dp0%bin%usb-serial-driver-update.exe" goto missing
if not exist "%~dp0%bin%usb-serial-driver-status.exe" goto missing
set bus=
set port=
rem Input from nul: with no console to read from, nothing can make the command wait. The line
rem starts with the redirection, not a quote, so that the cmd which "for /f" starts keeps the
rem quotes around the two paths; "call" would keep them too, but doubles every caret in them.
rem The output is read line by line, not through a temporary file, so that runs started at
rem the same moment cannot take each other's file.
for /f "delims=" %%L in ('^<nul "%~dp0%bin%usb-serial-driver-update.exe" "%dir%"') do (
  echo %%L
  >>"%log%" echo %%L
  if "%%L"=="FTDIBus driver update: OK" set bus=ok
  if "%%L"=="FTDIBus driver update error: -536870389" set bus=absent
  if "%%L"=="FTDIPort driver update: OK" set port=ok
  if "%%L"=="FTDIPort driver update error: -536870389" set port=absent
)
if "%bus%%port%"=="okok" goto adapter
rem Staging. pnputil by its full path in the 64-bit system folder, never by name from PATH or the
rem current folder; a 32-bit cmd (a 32-bit agent's) sees that folder as Sysnative.
set "pnputil=%SystemRoot%\System32\pnputil.exe"
if exist "%SystemRoot%\Sysnative\pnputil.exe" set "pnputil=%SystemRoot%\Sysnative\pnputil.exe"
rem "/add-driver" from Windows 10 version 1607 (build 14393) on, "-a" before: the version is the
rem last word of what "ver" prints ("Microsoft Windows [Version 10.0.19045.3803]"); "-a" when it
rem cannot be read. The words are split from a variable, not from a "for" variable, which Wine's
rem cmd does not split.
set add=-a
set verline=
set winver=
for /f "delims=" %%V in ('ver') do set "verline=%%V"
if defined verline set "verline=%verline:[= %"
if defined verline set "verline=%verline:]= %"
for %%W in (%verline%) do set "winver=%%W"
set major=0
set build=0
for /f "tokens=1,3 delims=." %%A in ("%winver%") do set /a "major=%%A, build=%%B" 2>nul
if %major% GEQ 10 if %build% GEQ 14393 set add=/add-driver
if "%bus%"=="absent" call :stage FTDIBus ftdibus.inf bus
if "%port%"=="absent" call :stage FTDIPort ftdiport.inf port
rem What the adapter has now, judged against the package. Every line goes to the log; the last,
rem "Adapter: <result> (exit N): <why>.", gives the verdict, as "for /f" cannot see a program's
rem exit status. Its lines are read as their first word, their second and the rest: the program
rem separates words by one space. With no adapter plugged in, or no status program beside this file, the drivers'
rem verdict stands.
:adapter
set adapter=
set why=
for /f "tokens=1,2,*" %%A in ('^<nul "%~dp0%bin%usb-serial-driver-status.exe" --package "%dir%"') do (
  >>"%log%" echo %%A %%B %%C
  if "%%A"=="Adapter:" set "adapter=%%B"
  if "%%A"=="Adapter:" set "why=%%A %%B %%C"
)
set result=0
if not "%bus%"=="ok" if not "%bus%"=="staged" set result=1
if not "%port%"=="ok" if not "%port%"=="staged" set result=1
if %result%==1 (
  >>"%log%" echo Result: exit 1, a driver was neither updated nor staged.
  echo USB serial adapter driver update failed. 1>&2
  exit /b 1
)
if "%adapter%"=="problem" goto broken
if "%adapter%"=="other-driver" goto broken
if "%adapter%"=="restart" goto restart
>>"%log%" echo Result: exit 0, every driver updated or staged.
exit /b 0
rem The verdict line is shown through a "for" variable: expanded as %why% on a command line of
rem its own, the "&" of an instance ID would end the command.
:broken
for /f "delims=" %%W in ("%why%") do echo %%W
>>"%log%" echo Result: exit 1, the drivers were updated or staged, but the adapter does not work.
echo USB serial adapter driver update failed. 1>&2
exit /b 1
:restart
for /f "delims=" %%W in ("%why%") do echo %%W
if /i "%~2"=="/restart-is-success" (
  >>"%log%" echo Result: exit 0, every driver updated or staged; a restart is needed to finish, left to the caller.
  exit /b 0
)
>>"%log%" echo Result: exit 3010, every driver updated or staged; a restart is needed to finish.
exit /b 3010

:missing
echo %bin%usb-serial-driver-update.exe or %bin%usb-serial-driver-status.exe is missing beside %~nx0: this Windows (%arch%) runs that build of the programs.
>>"%log%" echo %bin%usb-serial-driver-update.exe or %bin%usb-serial-driver-status.exe is missing beside %~nx0: this Windows (%arch%) runs that build of the programs.
>>"%log%" echo Result: exit 1, a driver was neither updated nor staged.
echo USB serial adapter driver update failed. 1>&2
exit /b 1

rem :stage <label> <INF file> <variable>: adds the package's INF to the driver store. Exit status
rem 0, or 3010 (a restart is needed), is success. pnputil's own output is shown, not logged: where
rem the log cannot be written (the batch file on a read-only share), cmd would not run a command
rem whose output goes there, and a staging that never ran would pass for one that succeeded.
:stage
"%pnputil%" %add% "%dir%\%2"
set status=%errorlevel%
if "%status%"=="0" goto staged
if "%status%"=="3010" goto staged
echo %1 driver staging error: %status% (pnputil %add%)
>>"%log%" echo %1 driver staging error: %status% (pnputil %add%)
exit /b 0
:staged
set %3=staged
echo %1 driver staged: no such device is plugged in; Windows installs it on an adapter plugged in for the first time.
>>"%log%" echo %1 driver staged: no such device is plugged in; Windows installs it on an adapter plugged in for the first time.
exit /b 0
