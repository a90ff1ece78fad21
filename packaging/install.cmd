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
rem 1. Copies joyvane_service.exe, joyvane_console.exe and, when it lies beside
rem    this script, ZUR_USBIO_KAD.dll into "%ProgramFiles(x86)%\Joyvane"
rem    ("%ProgramFiles%\Joyvane" on 32-bit Windows). That folder inherits the
rem    Program Files permissions: users may read and run, only administrators
rem    may change anything, so nobody else can replace the service or put a DLL
rem    beside it. The service never runs from where the ZIP was unpacked.
rem 2. Registers that copy, quoted, with the five numbers: own process, started
rem    with Windows, as LocalSystem (or LocalService).
rem 3. Recovery: a service that fails, or stops with an exit code, is restarted
rem    after 5 s, once more after 60 s, and then left stopped; the count starts
rem    again after a day without failures.
rem 4. Least privilege: of the account's privileges only SeChangeNotifyPrivilege
rem    is kept, and the service gets a SID of its own (unrestricted SID type).
rem 5. Starts the service.
rem A step of 3 or 4 that the service manager refuses is reported as a warning.
rem Any other failure undoes everything done so far.
rem Exit status: 0 installed and running, 1 nothing installed.

setlocal EnableExtensions DisableDelayedExpansion
rem Every program by its full path: cmd looks for a bare "sc" or "reg" in the
rem current directory first, where an sc.bat or reg.bat beside this script
rem would run instead, elevated. The variable stops that search for anything
rem named bare all the same.
set "NoDefaultCurrentDirectoryInExePath=1"
set "SC=%SystemRoot%\System32\sc.exe"
set "REG=%SystemRoot%\System32\reg.exe"
set "SERVICE=ZUR Service 1.02"
set "KEY=HKLM\SYSTEM\CurrentControlSet\Services\%SERVICE%"
set "ACCOUNT=LocalSystem"

if /i "%~1"=="/localservice" (
    set "ACCOUNT=NT AUTHORITY\LocalService"
    shift
)
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

if not exist "%SC%" (
    echo install: "%SC%" not found.
    exit /b 1
)
rem A 32-bit program belongs in the x86 Program Files folder where there is one.
set "PROGRAMS=%ProgramFiles%"
if not "%ProgramFiles(x86)%"=="" if exist "%ProgramFiles(x86)%\" set "PROGRAMS=%ProgramFiles(x86)%"
if "%PROGRAMS%"=="" goto :no_program_files
if not exist "%PROGRAMS%\" goto :no_program_files
set "TARGET=%PROGRAMS%\Joyvane"

rem From here on this script's own folder is the current directory and its files
rem are named relatively. Its path is expanded this once, in quotes: cmd would
rem read a "&", "(" or "%" of a folder name as its own syntax anywhere else (and
rem Wine's cmd expands a "%" in "%~dp0" a second time; there pushd fails and the
rem script must be run from its own folder).
pushd "%~dp0" 2>nul
if not exist "joyvane_service.exe" goto :no_programs_here
if not exist "joyvane_console.exe" goto :no_programs_here

"%REG%" query "%KEY%" >nul 2>&1
if not errorlevel 1 (
    echo install: the service "%SERVICE%" is already installed; run uninstall.cmd first.
    exit /b 1
)

rem What exists only because of this run, for the undo.
set "MADE_TARGET="
set "COPIED="
set "REGISTERED="

if exist "%TARGET%\" goto :target_ready
md "%TARGET%" 2>nul
if not exist "%TARGET%\" (
    echo install: cannot create "%TARGET%" ^(is this prompt elevated?^).
    goto :undo
)
set "MADE_TARGET=1"
:target_ready
call :copy_one joyvane_service.exe
if errorlevel 1 goto :undo
call :copy_one joyvane_console.exe
if errorlevel 1 goto :undo
if not exist "ZUR_USBIO_KAD.dll" goto :copied
call :copy_one ZUR_USBIO_KAD.dll
if errorlevel 1 goto :undo
:copied

call :register
if errorlevel 1 (
    echo install: the service could not be registered.
    goto :undo
)
set "REGISTERED=1"
"%SC%" description "%SERVICE%" "Joyvane: the capture device's push-button as virtual joystick buttons (settings %SETTINGS%)." >nul
rem The last action applies to every later failure, so the third one ends the
rem restarts: a service that cannot work (no capture library, say) is not
rem started again every minute for ever.
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
if errorlevel 1 (
    echo install: the service did not start.
    goto :undo
)
echo install: "%SERVICE%" is installed in "%TARGET%" and running as %ACCOUNT% with settings %SETTINGS%.
exit /b 0

rem Removes whatever this run registered or copied; exit status 1.
:undo
if defined REGISTERED "%SC%" stop "%SERVICE%" >nul 2>&1
if defined REGISTERED "%SC%" delete "%SERVICE%" >nul 2>&1
for %%F in (%COPIED%) do del /f /q "%TARGET%\%%F" >nul 2>&1
if defined MADE_TARGET rd /s /q "%TARGET%" >nul 2>&1
echo install: nothing was installed.
exit /b 1

rem :copy_one NAME: copies NAME from the current directory into the target.
:copy_one
copy /y "%~1" "%TARGET%\%~1" >nul 2>&1
if errorlevel 1 (
    echo install: cannot copy %~1 to "%TARGET%" ^(is this prompt elevated?^).
    exit /b 1
)
set "COPIED=%COPIED% %~1"
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
echo install: no Program Files folder found.
exit /b 1

:no_programs_here
echo install: joyvane_service.exe and joyvane_console.exe must be beside install.cmd,
echo          and install.cmd run from that folder.
exit /b 1

:usage
echo usage: install.cmd [/localservice] [BUTTON MODE INVERTED POLL_MS CLICK_MS]
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
