@echo off
rem Joyvane: stops the Windows service "ZUR Service 1.02", waits until it has
rem stopped (at most about 30 seconds), removes it, and removes the folder that
rem install.cmd copied it to ("%ProgramFiles(x86)%\Joyvane", or
rem "%ProgramFiles%\Joyvane" on 32-bit Windows), with everything in it.
rem
rem   uninstall.cmd
rem
rem Run it from a command prompt opened with "Run as administrator".
rem Exit status: 0 removed (or was not installed), 1 could not be removed.

setlocal EnableExtensions DisableDelayedExpansion
rem Every program by its full path, never one that happens to lie in the
rem current directory (see install.cmd).
set "NoDefaultCurrentDirectoryInExePath=1"
set "SC=%SystemRoot%\System32\sc.exe"
set "REG=%SystemRoot%\System32\reg.exe"
set "NET=%SystemRoot%\System32\net.exe"
set "FIND=%SystemRoot%\System32\find.exe"
set "PING=%SystemRoot%\System32\ping.exe"
set "SERVICE=ZUR Service 1.02"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "PROGRAMS=%ProgramFiles%"
if not "%ProgramFiles(x86)%"=="" if exist "%ProgramFiles(x86)%\" set "PROGRAMS=%ProgramFiles(x86)%"
set "TARGET="
if not "%PROGRAMS%"=="" set "TARGET=%PROGRAMS%\Joyvane"

"%REG%" query "%KEY%" >nul 2>&1
if errorlevel 1 (
    echo uninstall: the service "%SERVICE%" is not installed.
    goto :remove_folder
)

rem "net stop" sends the stop control and waits until the service has stopped
rem (it gives up after its own time limit); it fails when the service was not
rem running, which is fine here.
echo Stopping "%SERVICE%"
"%NET%" stop "%SERVICE%" >nul 2>&1

rem Make sure it has stopped: at most 30 checks, one second apart. A service
rem manager whose "sc query" shows no state is trusted to have stopped it.
set /a "CHECKS=0"
:wait_stopped
"%SC%" query "%SERVICE%" 2>nul | "%FIND%" "STATE" >nul
if errorlevel 1 goto :stopped
"%SC%" query "%SERVICE%" 2>nul | "%FIND%" "STOPPED" >nul
if not errorlevel 1 goto :stopped
set /a "CHECKS+=1"
if %CHECKS% geq 30 (
    echo uninstall: "%SERVICE%" did not stop within 30 seconds; it is not removed.
    exit /b 1
)
if %CHECKS% equ 1 "%SC%" stop "%SERVICE%" >nul 2>&1
"%PING%" -n 2 127.0.0.1 >nul
goto :wait_stopped
:stopped

echo Removing "%SERVICE%"
"%SC%" delete "%SERVICE%" >nul
if errorlevel 1 (
    echo uninstall: the service could not be removed ^(is this prompt elevated?^).
    exit /b 1
)
echo uninstall: "%SERVICE%" is stopped and removed.

:remove_folder
if "%TARGET%"=="" exit /b 0
if not exist "%TARGET%\" exit /b 0
rem The service's process may hold its program open for a moment after it has
rem reported stopped: up to 10 tries, one second apart.
set /a "TRIES=0"
:remove_again
rd /s /q "%TARGET%" >nul 2>&1
if not exist "%TARGET%\" goto :removed
set /a "TRIES+=1"
if %TRIES% geq 10 (
    echo uninstall: "%TARGET%" could not be removed.
    exit /b 1
)
"%PING%" -n 2 127.0.0.1 >nul
goto :remove_again
:removed
echo uninstall: "%TARGET%" is removed.
exit /b 0
