@echo off
rem Joyvane: stops the Windows service "ZUR Service 1.02", waits until it has
rem stopped (at most about 30 seconds) and removes it. The files stay where they are.
rem
rem   uninstall.cmd
rem
rem Run it from a command prompt opened with "Run as administrator".
rem Exit status: 0 removed (or was not installed), 1 could not be removed.

setlocal EnableExtensions DisableDelayedExpansion
set "SERVICE=ZUR Service 1.02"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"

reg query "%KEY%" >nul 2>&1
if errorlevel 1 (
    echo uninstall: the service "%SERVICE%" is not installed.
    exit /b 0
)

rem "net stop" sends the stop control and waits until the service has stopped
rem (it gives up after its own time limit); it fails when the service was not
rem running, which is fine here.
echo Stopping "%SERVICE%"
net stop "%SERVICE%" >nul 2>&1

rem Make sure it has stopped: at most 30 checks, one second apart. A service
rem manager whose "sc query" shows no state is trusted to have stopped it.
set /a "CHECKS=0"
:wait_stopped
sc query "%SERVICE%" 2>nul | find "STATE" >nul
if errorlevel 1 goto :stopped
sc query "%SERVICE%" 2>nul | find "STOPPED" >nul
if not errorlevel 1 goto :stopped
set /a "CHECKS+=1"
if %CHECKS% geq 30 (
    echo uninstall: "%SERVICE%" did not stop within 30 seconds; it is not removed.
    exit /b 1
)
if %CHECKS% equ 1 sc stop "%SERVICE%" >nul 2>&1
ping -n 2 127.0.0.1 >nul
goto :wait_stopped
:stopped

echo Removing "%SERVICE%"
sc delete "%SERVICE%" >nul
if errorlevel 1 (
    echo uninstall: the service could not be removed ^(is this prompt elevated?^).
    exit /b 1
)
echo uninstall: "%SERVICE%" is stopped and removed.
exit /b 0
