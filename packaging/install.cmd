@echo off
rem Joyvane: installs joyvane_service.exe, which sits beside this script, as the
rem Windows service "ZUR Service 1.02" and starts it.
rem
rem   install.cmd [/localservice] [BUTTON MODE INVERTED POLL_MS CLICK_MS]
rem
rem   BUTTON    first joystick button, 2 to 7 (anything else selects button 1)
rem   MODE      0 follow, 1 pulse, 2 short/long press
rem   INVERTED  1 for active-low button values, 0 for normal values
rem   POLL_MS   milliseconds between two reads of the button
rem   CLICK_MS  milliseconds a generated click lasts
rem   /localservice  run as NT AUTHORITY\LocalService instead of LocalSystem
rem
rem Without numbers: 4 1 0 30 250. Give all five numbers or none.
rem Run it from a command prompt opened with "Run as administrator".
rem
rem What it does:
rem 1. Copies joyvane_service.exe, joyvane_console.exe, uninstall.cmd and (when
rem    they are there) README.md and LICENSE into the folder Joyvane of the x86
rem    Program Files folder (of Program Files on 32-bit Windows), as the
rem    registry names it. That folder inherits the Program Files permissions:
rem    users may read and run, only administrators may change anything. A
rem    folder of that name that holds anything else but the capture library
rem    is refused. The capture library ZUR_USBIO_KAD.dll is never copied: an
rem    administrator puts it there, or into System32 (SysWOW64), on purpose.
rem 2. Registers that copy, quoted, with the five numbers: own process, started
rem    with Windows, as LocalSystem (or LocalService); records the numbers
rem    under HKLM\SOFTWARE\Joyvane.
rem 3. Recovery: a service that fails, or stops with an exit code, is restarted
rem    after 5 s, once more after 60 s, and then left stopped; the count starts
rem    again after a day without failures.
rem 4. Least privilege: of the account's privileges only SeChangeNotifyPrivilege
rem    is kept, and the service gets a SID of its own (unrestricted SID type).
rem 5. Starts the service and waits up to 10 s until it runs.
rem A step of 3 or 4 that the service manager refuses is reported as a warning.
rem Any other failure, a service that stops at its start included, undoes
rem everything done so far.
rem Exit status: 0 installed and running, 1 nothing installed.

setlocal EnableExtensions DisableDelayedExpansion
rem Nothing here comes from a variable that whoever starts this script can set:
rem not the tools, not the folder. cmd looks for a bare "sc" or "reg" in the
rem current directory first (where an sc.bat beside this script would run
rem instead, elevated); this variable stops that search for anything named bare.
set "NoDefaultCurrentDirectoryInExePath=1"

rem The tools come from the folder of the cmd.exe that runs this script. cmd
rem answers %__APPDIR__% with that folder (trailing backslash) as long as no
rem variable of that name hides it, so one inherited from the caller is cleared
rem first. %SystemRoot%, %windir% and %ComSpec% are the caller's to set.
set "__APPDIR__="
set "SYS=%__APPDIR__%"
set "WINE_CMD="
if not defined SYS goto :no_appdir
if /i "%SYS:~-10%"=="\System32\" goto :system_folder_known
if /i "%SYS:~-10%"=="\SysWOW64\" goto :system_folder_known
echo install: run install.cmd with Windows' own cmd.exe, not "%SYS%cmd.exe".
exit /b 1
:no_appdir
rem Wine only: Wine's cmd has no %__APPDIR__%. Its Windows folder is always
rem C:\windows, whatever the environment says, and Windows' own cmd.exe never
rem comes here.
if not exist "C:\windows\system32\wineboot.exe" (
    echo install: this cmd.exe does not tell its own folder; run install.cmd with Windows' own cmd.exe.
    exit /b 1
)
set "SYS=C:\windows\system32\"
set "WINE_CMD=1"
:system_folder_known
set "WINDOWS=%SYS:~0,-10%"
rem A 32-bit program's System32 is SysWOW64 on 64-bit Windows.
set "LIBRARY_SYSTEM=%WINDOWS%\System32"
if exist "%WINDOWS%\SysWOW64\" set "LIBRARY_SYSTEM=%WINDOWS%\SysWOW64"
set "SC=%SYS%sc.exe"
set "REG=%SYS%reg.exe"
set "PING=%SYS%ping.exe"
rem "for /f" runs its command through %ComSpec%.
set "ComSpec=%SYS%cmd.exe"
set "SERVICE=ZUR Service 1.02"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
rem The settings' key, in the 32-bit view that the MSI package writes.
set "SETTINGS_KEY=HKLM\SOFTWARE\Joyvane"
rem The Event Log's source of the service's events, whose texts are the
rem message table in the installed joyvane_service.exe.
set "SOURCE_KEY=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Joyvane"
set "ACCOUNT=LocalSystem"
rem What this script puts into its folder, and the capture library that an
rem administrator puts there.
set "OURS_NAMES=joyvane_service.exe joyvane_console.exe uninstall.cmd README.md LICENSE ZUR_USBIO_KAD.dll"

if /i "%~1"=="/localservice" (
    set "ACCOUNT=NT AUTHORITY\LocalService"
    shift
)
if "%~1"=="" (
    set "SETTINGS=4 1 0 30 250"
    set "BUTTON=4"
    set "MODE=1"
    set "INVERTED=0"
    set "POLL_MS=30"
    set "CLICK_MS=250"
    goto :settings_ready
)
if "%~5"=="" goto :usage
if not "%~6"=="" goto :usage
rem A bad number gets one line naming it and the range, nothing more.
call :check_number "%~1" BUTTON
if errorlevel 1 exit /b 1
call :check_number "%~2" MODE
if errorlevel 1 exit /b 1
call :check_number "%~3" INVERTED
if errorlevel 1 exit /b 1
call :check_number "%~4" POLL_MS
if errorlevel 1 exit /b 1
call :check_number "%~5" CLICK_MS
if errorlevel 1 exit /b 1
rem The service refuses any other mode and stops at once.
if not "%~2"=="0" if not "%~2"=="1" if not "%~2"=="2" (
    echo install: MODE must be 0, 1 or 2, not %~2.
    exit /b 1
)
set "BUTTON=%~1"
set "MODE=%~2"
set "INVERTED=%~3"
set "POLL_MS=%~4"
set "CLICK_MS=%~5"
set "SETTINGS=%~1 %~2 %~3 %~4 %~5"
:settings_ready

rem From here on this script's own folder is the current directory whenever
rem its files are read, and they are named relatively. Its path is expanded
rem this once, in quotes: cmd would read a "&", "(" or "%" of a folder name as
rem its own syntax anywhere else (and Wine's cmd expands a "%" in "%~dp0" a
rem second time; there pushd fails and the script must be run from its own
rem folder).
pushd "%~dp0" 2>nul
if not exist "joyvane_service.exe" goto :no_programs_here
if not exist "joyvane_console.exe" goto :no_programs_here
if not exist "uninstall.cmd" goto :no_programs_here
set "HAVE_README="
set "HAVE_LICENSE="
set "LIBRARY_BESIDE="
if exist "README.md" set "HAVE_README=1"
if exist "LICENSE" set "HAVE_LICENSE=1"
if exist "ZUR_USBIO_KAD.dll" set "LIBRARY_BESIDE=1"
rem Every tool runs with System32 as its current directory, where nobody but
rem an administrator puts a DLL it might load; only the copies (cmd's own
rem "copy") run in this script's folder.
pushd "%SYS%"
if not exist "%SC%" (
    echo install: "%SC%" not found.
    exit /b 1
)

rem The Program Files folder as the registry names it: the x86 one where there
rem is one, the only one on 32-bit Windows.
set "PROGRAMS="
for /f "tokens=3,*" %%A in ('""%REG%" query "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion" /v "ProgramFilesDir ^(x86^)" 2>nul"') do (
    if "%%A"=="REG_SZ" set "PROGRAMS=%%B"
)
if defined PROGRAMS goto :programs_known
for /f "tokens=2,*" %%A in ('""%REG%" query "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion" /v "ProgramFilesDir" 2>nul"') do (
    if "%%A"=="REG_SZ" set "PROGRAMS=%%B"
)
:programs_known
if not defined PROGRAMS goto :no_program_files
if not exist "%PROGRAMS%\" goto :no_program_files
set "TARGET=%PROGRAMS%\Joyvane"

call :installer
if /i "%INSTALLER%"=="msi" (
    echo install: Joyvane is installed with its MSI package; remove that first ^(msiexec /x, or Programs and Features^).
    exit /b 1
)
"%REG%" query "%KEY%" >nul 2>&1
if not errorlevel 1 (
    echo install: the service "%SERVICE%" is already installed; run uninstall.cmd in "%TARGET%" first.
    exit /b 1
)

rem What exists only because of this run, for the undo.
set "MADE_TARGET="
set "COPIED="
set "REGISTERED="
set "RECORDED="

if not exist "%TARGET%\" goto :make_target
rem A folder of that name must hold nothing that this script would not put
rem there itself: a hid.dll there, say, would be loaded by the service.
rem The names are compared where "for" hands them over: a "call" would expand
rem a "%" in them once more.
set "STRAY="
for /f "delims=" %%F in ('dir /b /a /on "%TARGET%" 2^>nul') do (
    set "OURS="
    for %%N in (%OURS_NAMES%) do if /i "%%F"=="%%N" set "OURS=1"
    if not defined OURS set "STRAY=1"
)
if not defined STRAY goto :target_ready
echo install: "%TARGET%" holds files that install.cmd does not put there:
for /f "delims=" %%F in ('dir /b /a /on "%TARGET%" 2^>nul') do (
    set "OURS="
    for %%N in (%OURS_NAMES%) do if /i "%%F"=="%%N" set "OURS=1"
    if not defined OURS echo     %%F
)
echo install: nothing was installed; remove them, or the folder, first.
exit /b 1
:make_target
md "%TARGET%" 2>nul
if not exist "%TARGET%\" (
    echo install: cannot create "%TARGET%" ^(is this prompt elevated?^).
    goto :undo
)
set "MADE_TARGET=1"
:target_ready
popd
call :copy_one joyvane_service.exe
if errorlevel 1 goto :undo
call :copy_one joyvane_console.exe
if errorlevel 1 goto :undo
call :copy_one uninstall.cmd
if errorlevel 1 goto :undo
if defined HAVE_README call :copy_one README.md
if errorlevel 1 goto :undo
if defined HAVE_LICENSE call :copy_one LICENSE
if errorlevel 1 goto :undo
pushd "%SYS%"

call :register
if errorlevel 1 (
    echo install: the service could not be registered.
    goto :undo
)
set "REGISTERED=1"
set "RECORDED=1"
call :record
if errorlevel 1 (
    echo install: the settings could not be recorded under %SETTINGS_KEY%.
    goto :undo
)
set "SOURCE_ADDED=1"
call :register_source
if errorlevel 1 (
    echo install: the Event Log source could not be registered under %SOURCE_KEY%.
    goto :undo
)
"%SC%" description "%SERVICE%" "Joyvane: the capture device's push-button as virtual joystick buttons (settings %SETTINGS%)." >nul
rem The last action applies to every later failure, so the third one ends the
rem restarts: a service that cannot work is not started again every minute for
rem ever.
"%SC%" failure "%SERVICE%" reset= 86400 actions= restart/5000/restart/60000/""/0 >nul
if errorlevel 1 echo install: warning: the service manager refused the restart policy ^(sc failure^).
"%SC%" failureflag "%SERVICE%" 1 >nul
if errorlevel 1 echo install: warning: the service manager refused recovery after a stop with an exit code ^(sc failureflag^).
"%SC%" privs "%SERVICE%" SeChangeNotifyPrivilege >nul
if errorlevel 1 echo install: warning: the service manager refused to drop the account's other privileges ^(sc privs^).
"%SC%" sidtype "%SERVICE%" unrestricted >nul
if errorlevel 1 echo install: warning: the service manager refused the service its own SID ^(sc sidtype^).

echo Starting "%SERVICE%"
"%SC%" start "%SERVICE%" >nul
if errorlevel 1 goto :start_refused
rem "sc start" returns once the service manager has started the program; the
rem service may still stop on its own. Up to 10 s, one query a second.
set /a "CHECKS=0"
:wait_running
call :query_state
if "%STATE%"=="4" goto :running
if "%STATE%"=="1" goto :stopped_at_start
if %CHECKS% geq 10 (
    echo install: the service did not report running within 10 s ^(state %STATE%^).
    goto :undo
)
set /a "CHECKS+=1"
"%PING%" -n 2 127.0.0.1 >nul
goto :wait_running
:running
echo install: "%SERVICE%" is installed in "%TARGET%" and running as %ACCOUNT% with settings %SETTINGS%.
if exist "%TARGET%\ZUR_USBIO_KAD.dll" exit /b 0
if exist "%LIBRARY_SYSTEM%\ZUR_USBIO_KAD.dll" exit /b 0
if defined LIBRARY_BESIDE echo install: the ZUR_USBIO_KAD.dll beside install.cmd is not copied: whoever can write to that folder could have put it there.
echo install: the service is running and waiting for the capture library: copy the 32-bit ZUR_USBIO_KAD.dll to "%TARGET%\ZUR_USBIO_KAD.dll"
exit /b 0

rem sc's exit status is the service manager's error.
:start_refused
call :explain %errorlevel%
echo install: the service did not start: error %EXPLAINED%.
goto :undo
:stopped_at_start
call :explain %EXIT_CODE%
echo install: the service stopped at its start with exit code %EXPLAINED%.
goto :undo

rem Removes whatever this run registered, recorded or copied; exit status 1.
:undo
if defined REGISTERED "%SC%" stop "%SERVICE%" >nul 2>&1
if defined REGISTERED "%SC%" delete "%SERVICE%" >nul 2>&1
if defined RECORDED "%REG%" delete "%SETTINGS_KEY%" /f /reg:32 >nul 2>&1
if defined SOURCE_ADDED "%REG%" delete "%SOURCE_KEY%" /f >nul 2>&1
call :remove_copied
if defined MADE_TARGET rd /s /q "%TARGET%" >nul 2>&1
echo install: nothing was installed.
exit /b 1

rem :remove_copied: a program that was running a moment ago may still be held
rem open by its ending process: up to 10 tries, one second apart.
:remove_copied
set /a "TRIES=0"
:remove_copied_again
set "LEFT="
for %%F in (%COPIED%) do (
    del /f /q "%TARGET%\%%F" >nul 2>&1
    if exist "%TARGET%\%%F" set "LEFT=1"
)
if not defined LEFT exit /b 0
set /a "TRIES+=1"
if %TRIES% geq 10 (
    echo install: could not remove%COPIED% from "%TARGET%".
    exit /b 1
)
"%PING%" -n 2 127.0.0.1 >nul
goto :remove_copied_again

rem :copy_one NAME: copies NAME from the current directory into the target.
:copy_one
copy /y "%~1" "%TARGET%\%~1" >nul 2>&1
if errorlevel 1 (
    echo install: cannot copy %~1 to "%TARGET%" ^(is this prompt elevated?^).
    exit /b 1
)
set "COPIED=%COPIED% %~1"
exit /b 0

rem :installer: INSTALLER becomes the Installer value of the settings' key
rem (empty without one).
:installer
set "INSTALLER="
for /f "tokens=2,*" %%A in ('""%REG%" query "%SETTINGS_KEY%" /v Installer /reg:32 2>nul"') do (
    if "%%A"=="REG_SZ" set "INSTALLER=%%B"
)
exit /b 0

rem :record: the five numbers and who installed them, as the MSI package
rem records its own.
:record
"%REG%" add "%SETTINGS_KEY%" /v BUTTON /t REG_SZ /d "%BUTTON%" /f /reg:32 >nul
if errorlevel 1 exit /b 1
"%REG%" add "%SETTINGS_KEY%" /v MODE /t REG_SZ /d "%MODE%" /f /reg:32 >nul
if errorlevel 1 exit /b 1
"%REG%" add "%SETTINGS_KEY%" /v INVERTED /t REG_SZ /d "%INVERTED%" /f /reg:32 >nul
if errorlevel 1 exit /b 1
"%REG%" add "%SETTINGS_KEY%" /v POLL_MS /t REG_SZ /d "%POLL_MS%" /f /reg:32 >nul
if errorlevel 1 exit /b 1
"%REG%" add "%SETTINGS_KEY%" /v CLICK_MS /t REG_SZ /d "%CLICK_MS%" /f /reg:32 >nul
if errorlevel 1 exit /b 1
"%REG%" add "%SETTINGS_KEY%" /v Installer /t REG_SZ /d install.cmd /f /reg:32 >nul
if errorlevel 1 exit /b 1
exit /b 0

rem :register_source: the service's events in the Application log under
rem "Joyvane": their texts come from the installed program (a path that the
rem Event Log expands), of the three types error, warning and information.
:register_source
"%REG%" add "%SOURCE_KEY%" /v EventMessageFile /t REG_EXPAND_SZ /d "%TARGET%\joyvane_service.exe" /f >nul
if errorlevel 1 exit /b 1
"%REG%" add "%SOURCE_KEY%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 exit /b 1
exit /b 0

rem :query_state: STATE and EXIT_CODE become the service's state number and
rem WIN32_EXIT_CODE, as "sc query" shows them.
:query_state
set "STATE="
set "EXIT_CODE="
for /f "tokens=1,3" %%A in ('""%SC%" query "%SERVICE%""') do (
    if "%%A"=="STATE" set "STATE=%%B"
    if "%%A"=="WIN32_EXIT_CODE" set "EXIT_CODE=%%B"
)
exit /b 0

rem :explain CODE: EXPLAINED becomes CODE and what it means here.
:explain
set "EXPLAINED=%~1"
if "%~1"=="87" set "EXPLAINED=87 (the service refused its numbers)"
if "%~1"=="2" set "EXPLAINED=2 (the program was not found)"
if "%~1"=="3" set "EXPLAINED=3 (the program's folder was not found)"
if "%~1"=="5" set "EXPLAINED=5 (access to the program was denied)"
if "%~1"=="193" set "EXPLAINED=193 (not a 32-bit Windows program)"
exit /b 0

rem :register: creates the service. The command line is built and passed with
rem delayed expansion, so that no character of a path is parsed by cmd, even
rem where the quotes that sc needs around the program leave it unquoted for cmd.
:register
setlocal EnableDelayedExpansion
set "BINPATH=\"!TARGET!\joyvane_service.exe\" !SETTINGS!"
echo Installing "!SERVICE!" as !ACCOUNT!: "!TARGET!\joyvane_service.exe" !SETTINGS!
if "!ACCOUNT!"=="LocalSystem" (
    "!SC!" create "!SERVICE!" binPath= "!BINPATH!" type= own start= auto DisplayName= "!SERVICE!" obj= LocalSystem >nul
) else (
    "!SC!" create "!SERVICE!" binPath= "!BINPATH!" type= own start= auto DisplayName= "!SERVICE!" obj= "!ACCOUNT!" password= "" >nul
)
if errorlevel 1 exit /b 1
exit /b 0

:no_program_files
echo install: the registry names no Program Files folder that exists.
exit /b 1

:no_programs_here
echo install: joyvane_service.exe, joyvane_console.exe and uninstall.cmd must be
echo          beside install.cmd, and install.cmd run from that folder.
exit /b 1

:usage
echo usage: install.cmd [/localservice] [BUTTON MODE INVERTED POLL_MS CLICK_MS]
echo        all five whole numbers, or none for 4 1 0 30 250
exit /b 1

rem :check_number "TEXT" NAME: succeeds when TEXT is a plain decimal number from
rem -32767 to 32767, the range that joyvane_console --configure and the MSI take too.
:check_number
set "CHECKED="
set /a "CHECKED=%~1" >nul 2>&1
if not "%CHECKED%"=="%~1" goto :bad_number
if %CHECKED% lss -32767 goto :bad_number
if %CHECKED% gtr 32767 goto :bad_number
exit /b 0
:bad_number
echo install: %2 must be a whole number from -32767 to 32767, without leading zeros, not "%~1".
exit /b 1
