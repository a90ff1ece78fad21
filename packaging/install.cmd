@echo off
rem Joyvane: registers joyvane_service.exe, which sits beside this script, as the
rem Windows service "ZUR Service 1.02" and starts it.
rem
rem   install.cmd [BUTTON MODE INVERTED POLL_MS CLICK_MS]
rem
rem   BUTTON    first joystick button, 2 to 7 (anything else selects button 1)
rem   MODE      0 follow, 1 pulse, 2 short/long press
rem   INVERTED  1 for active-low button values, 0 for normal values
rem   POLL_MS   milliseconds between two reads of the button
rem   CLICK_MS  milliseconds a generated click lasts
rem
rem Without arguments: 4 1 0 30 250. Give all five numbers or none.
rem Run it from a command prompt opened with "Run as administrator".
rem The service starts with Windows and is restarted by the service manager if
rem it ends unexpectedly (after 5 s, 5 s, then 60 s; the count resets after a day).
rem Exit status: 0 installed and started, 1 not installed, 2 installed but not started.

setlocal EnableExtensions DisableDelayedExpansion
set "SERVICE=ZUR Service 1.02"
set "EXE=%~dp0joyvane_service.exe"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"

if "%~1"=="" (
    set "SETTINGS=4 1 0 30 250"
    goto :settings_ready
)
if "%~5"=="" goto :usage
if not "%~6"=="" goto :usage
call :check_number "%~1" BUTTON
if errorlevel 1 goto :usage
call :check_number "%~2" MODE
if errorlevel 1 goto :usage
call :check_number "%~3" INVERTED
if errorlevel 1 goto :usage
call :check_number "%~4" POLL_MS
if errorlevel 1 goto :usage
call :check_number "%~5" CLICK_MS
if errorlevel 1 goto :usage
set "SETTINGS=%~1 %~2 %~3 %~4 %~5"
:settings_ready

if not exist "%EXE%" (
    echo install: "%EXE%" not found; keep this script beside joyvane_service.exe.
    exit /b 1
)
reg query "%KEY%" >nul 2>&1
if not errorlevel 1 (
    echo install: the service "%SERVICE%" is already installed; run uninstall.cmd first.
    exit /b 1
)

echo Installing "%SERVICE%": "%EXE%" %SETTINGS%
sc create "%SERVICE%" binPath= "\"%EXE%\" %SETTINGS%" type= own start= auto DisplayName= "%SERVICE%"
if errorlevel 1 goto :create_failed
sc description "%SERVICE%" "Joyvane: the capture device's push-button as virtual joystick buttons (settings %SETTINGS%)." >nul
sc failure "%SERVICE%" reset= 86400 actions= restart/5000/restart/5000/restart/60000
if errorlevel 1 echo install: warning: the restart-on-failure policy could not be set.

echo Starting "%SERVICE%"
sc start "%SERVICE%" >nul
if errorlevel 1 (
    echo install: the service is installed but did not start; see the event log.
    exit /b 2
)
echo install: "%SERVICE%" is installed and running with settings %SETTINGS%.
exit /b 0

:create_failed
echo install: the service could not be registered (is this prompt elevated?).
exit /b 1

:usage
echo usage: install.cmd [BUTTON MODE INVERTED POLL_MS CLICK_MS]
echo        all five whole numbers, or none for 4 1 0 30 250
exit /b 1

rem :check_number "TEXT" NAME: succeeds when TEXT is a plain decimal number.
:check_number
set "CHECKED="
set /a "CHECKED=%~1" >nul 2>&1
if not "%CHECKED%"=="%~1" (
    echo install: %2 must be a decimal number without leading zeros, not "%~1".
    exit /b 1
)
exit /b 0
