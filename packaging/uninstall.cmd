@echo off
rem Joyvane: removes what install.cmd installed. It lies in the installed folder
rem (Joyvane in the x86 Program Files folder, in Program Files on 32-bit
rem Windows), where only administrators can change it, and runs from there:
rem
rem   "C:\Program Files (x86)\Joyvane\uninstall.cmd"
rem
rem It stops the Windows service "ZUR Service 1.02", waits until it has stopped
rem (at most about 30 seconds), removes it, removes the settings' key
rem HKLM\SOFTWARE\Joyvane and the files install.cmd put into the folder, this
rem script last. The folder goes too, unless it holds something else (the
rem capture library an administrator put there): that stays, and so does the
rem folder. An installation of the MSI package is left to msiexec.
rem
rem Run it from a command prompt opened with "Run as administrator".
rem Exit status: 0 removed (or was not installed), 1 could not be removed.

setlocal EnableExtensions DisableDelayedExpansion
rem Where this script lies, taken before anything changes the current
rem directory (cmd may resolve %~dp0 against the current one).
set "HERE=%~dp0"
rem Nothing here comes from a variable that whoever starts this script can set
rem (see install.cmd): the tools come from the folder of the cmd.exe that runs
rem it, which cmd names as %__APPDIR__% once no variable of that name hides it.
set "NoDefaultCurrentDirectoryInExePath=1"
set "__APPDIR__="
set "SYS=%__APPDIR__%"
set "WINE_CMD="
if not defined SYS goto :no_appdir
if /i "%SYS:~-10%"=="\System32\" goto :system_folder_known
if /i "%SYS:~-10%"=="\SysWOW64\" goto :system_folder_known
echo uninstall: run uninstall.cmd with Windows' own cmd.exe, not "%SYS%cmd.exe".
exit /b 1
:no_appdir
rem Wine only: Wine's cmd has no %__APPDIR__%; its Windows folder is always
rem C:\windows. Windows' own cmd.exe never comes here.
if not exist "C:\windows\system32\wineboot.exe" (
    echo uninstall: this cmd.exe does not tell its own folder; run uninstall.cmd with Windows' own cmd.exe.
    exit /b 1
)
set "SYS=C:\windows\system32\"
set "WINE_CMD=1"
:system_folder_known
set "SC=%SYS%sc.exe"
set "REG=%SYS%reg.exe"
set "NET=%SYS%net.exe"
set "FIND=%SYS%find.exe"
set "PING=%SYS%ping.exe"
rem "for /f" and pipes run their commands through %ComSpec%.
set "ComSpec=%SYS%cmd.exe"
set "SERVICE=ZUR Service 1.02"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "SETTINGS_KEY=HKLM\SOFTWARE\Joyvane"
set "SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Joyvane"
rem What install.cmd puts into the folder, this script apart.
set "INSTALLED=joyvane_service.exe joyvane_console.exe README.md LICENSE"

rem Every tool runs with System32 as its current directory.
pushd "%SYS%"

rem The folder as install.cmd finds it: in the Program Files folder that the
rem registry names.
set "PROGRAMS="
for /f "tokens=3,*" %%A in ('""%REG%" query "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion" /v "ProgramFilesDir ^(x86^)" 2>nul"') do (
    if "%%A"=="REG_SZ" set "PROGRAMS=%%B"
)
if defined PROGRAMS goto :programs_known
for /f "tokens=2,*" %%A in ('""%REG%" query "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion" /v "ProgramFilesDir" 2>nul"') do (
    if "%%A"=="REG_SZ" set "PROGRAMS=%%B"
)
:programs_known
if not defined PROGRAMS (
    echo uninstall: the registry names no Program Files folder.
    exit /b 1
)
set "TARGET=%PROGRAMS%\Joyvane"

rem Only the copy in that folder runs: one elsewhere (where the ZIP was
rem unpacked, say) could have been changed by anybody who can write there.
if /i not "%HERE%"=="%TARGET%\" (
    echo uninstall: run the uninstall.cmd of the installed folder: "%TARGET%\uninstall.cmd"
    exit /b 1
)

set "INSTALLER="
for /f "tokens=2,*" %%A in ('""%REG%" query "%SETTINGS_KEY%" /v Installer /reg:32 2>nul"') do (
    if "%%A"=="REG_SZ" set "INSTALLER=%%B"
)
if /i "%INSTALLER%"=="msi" (
    echo uninstall: Joyvane was installed with its MSI package; remove it with msiexec /x or in Programs and Features.
    exit /b 1
)

"%REG%" query "%KEY%" >nul 2>&1
if errorlevel 1 (
    echo uninstall: the service "%SERVICE%" is not installed.
    goto :remove_settings
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

:remove_settings
"%REG%" query "%SETTINGS_KEY%" /reg:32 >nul 2>&1
if errorlevel 1 goto :remove_source
"%REG%" delete "%SETTINGS_KEY%" /f /reg:32 >nul
if errorlevel 1 (
    echo uninstall: %SETTINGS_KEY% could not be removed.
    exit /b 1
)
echo uninstall: %SETTINGS_KEY% is removed.

:remove_source
rem The Event Log source goes with the program that holds its texts; the
rem events logged stay in the Application log.
"%REG%" query "%SOURCE_KEY%" >nul 2>&1
if errorlevel 1 goto :remove_files
"%REG%" delete "%SOURCE_KEY%" /f >nul
if errorlevel 1 (
    echo uninstall: the Event Log source %SOURCE_KEY% could not be removed.
    exit /b 1
)
echo uninstall: the Event Log source %SOURCE_KEY% is removed.

:remove_files
rem The service's process may hold its program open for a moment after it has
rem reported stopped: up to 10 tries, one second apart.
set "PRESENT="
for %%F in (%INSTALLED%) do if exist "%TARGET%\%%F" call set "PRESENT=%%PRESENT%% %%F"
set /a "TRIES=0"
:remove_again
set "LEFT="
for %%F in (%INSTALLED%) do (
    if exist "%TARGET%\%%F" del /f /q "%TARGET%\%%F" >nul 2>&1
    if exist "%TARGET%\%%F" set "LEFT=1"
)
if not defined LEFT goto :files_removed
set /a "TRIES+=1"
if %TRIES% geq 10 (
    echo uninstall: the files in "%TARGET%" could not be removed.
    exit /b 1
)
"%PING%" -n 2 127.0.0.1 >nul
goto :remove_again
:files_removed
if defined PRESENT echo uninstall: removed from "%TARGET%":%PRESENT%

rem What else the folder holds stays, and with it the folder.
set "KEPT="
for /f "delims=" %%F in ('dir /b /a /on "%TARGET%" 2^>nul') do (
    if /i not "%%F"=="uninstall.cmd" set "KEPT=1"
)
if not defined KEPT goto :remove_folder
echo uninstall: "%TARGET%" stays, with what install.cmd did not put there:
for /f "delims=" %%F in ('dir /b /a /on "%TARGET%" 2^>nul') do (
    if /i not "%%F"=="uninstall.cmd" echo     %%F
)
rem This script deletes itself last. Windows' cmd reads a script line by line
rem from its file; "(goto)" ends the script first, so that cmd reads no more
rem from a file that is gone, while the rest of this line still runs (in the
rem caller's context: "(call )" and "(call)" leave 0 or 1 as the exit status,
rem where "exit /b" would end the caller's console).
if defined WINE_CMD goto :remove_self_wine
(goto) 2>nul & del /f /q "%TARGET%\uninstall.cmd" & if exist "%TARGET%\uninstall.cmd" (echo uninstall: uninstall.cmd could not be removed. & (call)) else (echo uninstall: uninstall.cmd is removed. & (call ))
rem Wine only: Wine's cmd knows no "(goto)", and it keeps the script open to
rem its end, which is when the file goes.
:remove_self_wine
del /f /q "%TARGET%\uninstall.cmd"
echo uninstall: uninstall.cmd is removed.
exit /b 0

:remove_folder
rem The folder itself, this script with it. The current directory is
rem System32 (also after "(goto)", which ends this script's setlocal and so
rem its pushd), so that nothing holds the folder open.
if defined WINE_CMD goto :remove_folder_wine
(goto) 2>nul & cd /d "%SYS%" & rd /s /q "%TARGET%" & if exist "%TARGET%\" (echo uninstall: "%TARGET%" could not be removed. & (call)) else (echo uninstall: "%TARGET%" is removed, uninstall.cmd with it. & (call ))
rem Wine only: Wine's cmd knows no "(goto)" and keeps the script open until
rem it ends, and a folder that still holds a file cannot go. A second cmd,
rem started in the background, removes it once this one has ended (after 2 s,
rem and once more 2 s later) and says so. Wine's start passes its arguments
rem on re-quoted, so the second cmd's command line is written as words whose
rem redirections and "&" start passes on as they are.
:remove_folder_wine
start "" /b "%SYS%cmd.exe" /d /c "%PING%" -n 3 127.0.0.1 ^>nul ^& rd /s /q "%TARGET%" 2^>nul ^& if exist "%TARGET%" "%PING%" -n 3 127.0.0.1 ^>nul ^& rd /s /q "%TARGET%" 2^>nul ^& if exist "%TARGET%" ^(echo uninstall: "%TARGET%" could not be removed.^) else ^(echo uninstall: "%TARGET%" is removed, uninstall.cmd with it.^)
exit /b 0
