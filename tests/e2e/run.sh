#!/usr/bin/env bash
# End-to-end tests of the real joyvane_service.exe under Wine.
#
#   tests/e2e/run.sh [BUILD_DIR]        (default build/windows)
#
# Runs the service as a Windows service under Wine, with our stand-ins for the
# capture library (both calling conventions) and the virtual joystick's driver
# stack (standins/README.md), in one fresh headless 32-bit prefix and one
# persistent Wine session. Each scenario file of tests/scenarios (the same
# files the host tests play on the simulated Windows) becomes the stand-ins'
# world; the service is registered with `sc create`, started, stopped with `sc
# stop` at the scenario's stop time, and deleted, and its logs are judged
# against the host run of the same file (tests/e2e/analyze.py). Further runs start the programs
# from a console, install and remove the service with packaging/install.cmd
# and uninstall.cmd from hostile folder names, and plant copies of the capture
# library where only the classic DLL search order would find them, and run the
# console's --status and --configure on a registered service. It prints
# one line per check, then the measured figures, then "N passed, M failed", and
# exits non-zero when a check failed.
#
# Needs: wine (wine32:i386), python3, the host preset built (its
# tests/joyvane_scenario plays each scenario file; JV_HOST_BUILD names another
# build), the windows preset built (cmake --preset windows && cmake --build
# --preset windows).
#
# Output: build/e2e/<scenario>/ (the scenario's logs), build/e2e/results.txt
# (every check), build/e2e/figures.txt (the measured figures).
#
# Settings (environment): JV_E2E_KEEP=1 keeps the Wine prefix (its path is
# printed); JV_E2E_ONLY="name ..." runs only the named scenarios.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR=${1:-build/windows}
[[ $BUILD_DIR = /* ]] || BUILD_DIR=$REPO/$BUILD_DIR
EXE=$BUILD_DIR/joyvane_service.exe
export JV_STANDINS=$BUILD_DIR/standins
OUT=$REPO/build/e2e
ANALYZE=$REPO/tests/e2e/analyze.py
# The host build's scenario player: each scenario's host run, which the Wine
# run is judged against.
HOST_SCENARIO=${JV_HOST_BUILD:-$REPO/build/host}/tests/joyvane_scenario
RUN_START_US=$(date +%s%6N)

# The session traces every SetServiceStatus with Wine's clock (+timestamp is
# the monotonic clock of the stand-in logs, in whole milliseconds) and reports
# crashes; fixme lines of the service channel show what Wine ignores.
export JV_WINEDEBUG=-all,+timestamp,+pid,+service,+eventlog,err+seh
# shellcheck source=tools/wine_service.sh
source "$REPO/tools/wine_service.sh"

jv_e2e_begin "$OUT" e2e "build the windows preset first" wine wineserver python3 timeout -- \
    "$EXE" "$JV_STANDINS"/{cdecl,stdcall}/ZUR_USBIO_KAD.dll "$JV_STANDINS"/driver/{hid,setupapi}.dll \
    "$JV_STANDINS"/tools/joyvane_{ctl,tracecat}.exe "$BUILD_DIR/platform_facts.exe" "$HOST_SCENARIO"
TRACE_ALL=$OUT/trace-all.log

cleanup() {
    trap - EXIT INT TERM
    jv_background_stop
    if [[ -n ${WINEPREFIX:-} ]]; then
        jv_server_stop
    fi
    if [[ ${JV_E2E_KEEP:-0} == 1 ]]; then
        echo "e2e: prefix kept in $WORK/prefix" >&2
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
trap 'echo "e2e: interrupted" >&2; exit 130' INT TERM

# --- results (check, jv_results_end: tools/wine_service.sh) --------------------

# ended SCENARIO WHAT [EXE_NAME]: checks that no such process is left within 5 s.
ended() {
    jv_wait_gone 5000 ${3:+"$3"}
    check $? "$1" "$2"
}

selected() {
    [[ -z ${JV_E2E_ONLY:-} ]] && return 0
    [[ " $JV_E2E_ONLY " == *" $1 "* ]]
}

# --- the session ----------------------------------------------------------------

session_start() {
    jv_server_start || return
    jv_tracecat_start "$TRACE_ALL.part$((++SESSION_COUNT))" || return
}
SESSION_COUNT=0
SCENARIO_ORDER=0

# A scenario that went wrong may leave a service behind: a fresh session ends
# every process of the prefix, and the registration is removed.
session_restart() {
    jv_background_stop
    session_start
    jv_service_delete 2>/dev/null
    return 0
}

# --- one scenario -------------------------------------------------------------

# scenario_begin NAME: remembers where the session's logs stand.
scenario_begin() {
    SDIR=$OUT/$1
    mkdir -p "$SDIR"
    SESSION_OFFSET=$(stat -c %s "$JV_LOGDIR/session.log" 2>/dev/null || echo 0)
    WINELOG_OFFSET=$(stat -c %s "$JV_LOGDIR/wine.log" 2>/dev/null || echo 0)
    TRACE_FILE=$TRACE_ALL.part$SESSION_COUNT
    TRACE_OFFSET=$(stat -c %s "$TRACE_FILE" 2>/dev/null || echo 0)
    : >"$SDIR/meta.env"
    meta name "$1"
    meta order $((++SCENARIO_ORDER))
}

meta() {
    echo "$1=$2" >>"$SDIR/meta.env"
}

# scenario_collect [FOLDER]: copies the scenario's logs (the service folder's
# and the slices of the session's) into its directory.
scenario_collect() {
    local folder=${1:-$JV_FOLDER} file
    for file in ZUR_USBIO_KAD.log world.scenario virtual_hid.log service_stdout.log service_stderr.log; do
        [[ -f $folder/$file ]] && cp "$folder/$file" "$SDIR/"
    done
    tail -c +$((SESSION_OFFSET + 1)) "$JV_LOGDIR/session.log" | tr -d '\r' >"$SDIR/session.log"
    tail -c +$((WINELOG_OFFSET + 1)) "$JV_LOGDIR/wine.log" >"$SDIR/wine.log"
    # The debug-output reader may still be writing the last lines.
    sleep 0.2
    tail -c +$((TRACE_OFFSET + 1)) "$TRACE_FILE" >"$SDIR/trace.log" 2>/dev/null
}

# event_strings: the insertion strings of the service's events in this
# scenario, one a line after the event's type as Wine's ReportEventW traces it
# (+eventlog: "err" for an error event, "warn" for a warning, "trace" for
# information), with Wine's escapes undone.
event_strings() {
    sed -n -E 's/^.*:(trace|warn|err):eventlog:ReportEventW L"(.*)"$/\1 \2/p' "$SDIR/session.log" |
        sed 's/\\\\/\\/g'
}

# events_check NAME STRING...: the events' strings are exactly these, in order;
# a STRING that begins with "~" is a shell pattern (the account, which is
# Wine's user; the joystick's device path).
events_check() {
    local name=$1 got expected
    shift
    got=$(event_strings)
    expected=$(printf '%s\n' "$@")
    local -a lines patterns
    mapfile -t lines <<<"$got"
    patterns=("$@")
    local ok=0 i
    ((${#lines[@]} == ${#patterns[@]})) || ok=1
    for ((i = 0; ok == 0 && i < ${#patterns[@]}; i++)); do
        if [[ ${patterns[i]} == '~'* ]]; then
            # shellcheck disable=SC2053
            [[ ${lines[i]} == ${patterns[i]#\~} ]] || ok=1
        else
            [[ ${lines[i]} == "${patterns[i]}" ]] || ok=1
        fi
    done
    check $ok "$name" "Event Log (Wine's +eventlog): ${expected//$'\n'/ | }" "${got//$'\n'/ | }"
}

# The strings of the started event of "4 1 0 30 250" and of the library's load.
started_events() {
    printf 'trace %s\n' "$1" "$2" "$3" "$4" "$5"
    echo '~trace ?*'
}

scenario_analyze() {
    python3 "$ANALYZE" check "$SDIR" | tee -a "$RESULTS"
}

# run_service NAME: plays tests/scenarios/NAME.scenario with the real service:
# the stand-ins present its world, the service is registered with its five
# numbers and started, and the stop comes at its stop time (milliseconds after
# the capture library loaded). The same file played on the simulated Windows
# (joyvane_scenario, the host run) is what the logs are judged against.
run_service() {
    local name=$1 file=$REPO/tests/scenarios/$1.scenario
    selected "$name" || return 0
    scenario_begin "$name"
    if ! "$HOST_SCENARIO" "$file" >"$SDIR/host_run.txt"; then
        check 1 "$name" "the host run of $file"
        return
    fi
    local args flavour stop_ms
    read -r flavour stop_ms args < <(jv_log first "$SDIR/host_run.txt" Scenario library stop service)
    echo "== $name ($flavour, $args)"
    meta kind service
    meta flavour "$flavour"
    meta args "$args"
    jv_folder_install "$EXE" "$flavour" "$file" || { check 1 "$name" "service folder installed"; return; }
    mv "$JV_FOLDER/$name.scenario" "$JV_FOLDER/world.scenario"

    local ok=1 out
    jv_service_create "$args" || ok=0
    check $((1 - ok)) "$name" "sc create \"$JV_SERVICE\" binpath= \"$JV_FOLDER_WIN\\$JV_EXE $args\""
    if ((ok)) && jv_service_start && out=$(jv_wait RUNNING 10000); then
        meta started 1
    else
        meta started 0
        meta start_error "${out:-sc start failed}"
        ok=0
    fi

    if ((ok)); then
        local load_us
        if load_us=$(jv_load_us "$JV_FOLDER/ZUR_USBIO_KAD.log" 10000); then
            jv_sleep_until_us $((load_us + stop_ms * 1000))
        else
            check 1 "$name" "capture library loaded within 10 s"
        fi
        meta stop_us "$(jv_now_us)"
        # sc stop's own status is not decisive: when the service reports
        # stopped from its control handler and its process ends at once, Wine's
        # services.exe may lose the handler's reply ("service protocol error -
        # failed to read pipe") and sc stop then fails although the stop went
        # through. The state reached is what counts.
        jv_service_stop
        meta sc_stop_status $?
        if out=$(jv_wait STOPPED 10000); then
            meta stopped 1
        else
            meta stopped 0
            meta stop_error "$out"
            ok=0
        fi
    fi
    # The process ends once stopped has been reported; the stand-ins log their
    # unload at its exit.
    ended "$name" "service process ended"
    jv_service_delete
    check $? "$name" "sc delete"
    if ((ok == 0)); then
        session_restart
    fi
    scenario_collect
    scenario_analyze
    local joystick='~trace \\\\\?\\*hid#zurvirtualhiddevice#0#{*}' library="trace $JV_FOLDER_WIN\\ZUR_USBIO_KAD.dll"
    local -a started
    mapfile -t started < <(started_events $args)
    case $name in
    mode1-normal)
        # Started, the library loaded, the joystick found, the device connected; stopped.
        events_check "$name" "${started[@]}" "$library" "$joystick" "trace 0" "trace 0" ;;
    poll-failure)
        # ... then the device lost at the failed GetGPIO (returned 1, once), connected again.
        events_check "$name" "${started[@]}" "$library" "$joystick" "trace 0" \
            "warn ZUR_USBIO_API_GetGPIO" "warn 1" "warn 1" "trace 0" "trace 0" ;;
    joystick-absent)
        # Not found once (the hardware id looked for), though looked for every second.
        events_check "$name" "${started[@]}" "$library" 'warn HID\ZurVirtualHidDevice' "trace 0" ;;
    joystick-restart)
        # The restarted driver refuses a report (1167): the device lost by the
        # joystick's call, the joystick found again, the device connected.
        events_check "$name" "${started[@]}" "$library" "$joystick" "trace 0" "warn 1167" \
            "warn HidD_SetFeature" "warn 0" "warn 1" "$joystick" "trace 0" "trace 0" ;;
    library-blocked)
        # Stuck in GetGPIO at the stop: the joystick let go of with report 0, and
        # stopped (exit code 0) with the worker let go after its stop deadline.
        events_check "$name" "${started[@]}" "$library" "$joystick" "trace 0" "warn 0" \
            "warn 0" "warn $(jv_log constant workerStopDeadlineMs bridge/poll_worker.h)" ;;
    esac
}

# Every scenario file, in the order of their names.
scenarios_service() {
    local file
    for file in "$REPO"/tests/scenarios/*.scenario; do
        run_service "$(basename "$file" .scenario)"
    done
}

# --- a start that cannot work --------------------------------------------------------

# run_start_failure NAME FLAVOUR "ARGS" EXIT SETUP: the service starts, finds it
# cannot work and stops by itself with EXIT as its Win32 exit code, which the
# service manager keeps (sc query's WIN32_EXIT_CODE). SETUP (a shell snippet) runs
# after the service folder is installed.
run_start_failure() {
    local name=$1 flavour=$2 args=$3 exit_code=$4 setup=$5
    selected "$name" || return 0
    echo "== $name (start fails, $flavour, $args)"
    scenario_begin "$name"
    meta kind start-fails
    meta args "$args"
    meta expect_exit "$exit_code"
    jv_folder_install "$EXE" "$flavour" || { check 1 "$name" "service folder installed"; return; }
    eval "$setup"
    local out start
    jv_service_create "$args"
    check $? "$name" "sc create \"$JV_SERVICE\" binpath= \"$JV_FOLDER_WIN\\$JV_EXE $args\""
    start=$(jv_now_us)
    jv_wine sc start "$JV_SERVICE" >"$SDIR/sc_start.log" 2>&1
    meta sc_start_status $?
    if out=$(jv_wait STOPPED 10000); then
        meta stopped 1
        meta stopped_after_ms $((($(jv_now_us) - start) / 1000))
    else
        meta stopped 0
        meta stop_error "$out"
        jv_service_stop 2>/dev/null
    fi
    out=$(jv_ctl query 2>/dev/null)
    meta query "$out"
    ended "$name" "service process ended"
    jv_service_delete
    check $? "$name" "sc delete"
    scenario_collect
    scenario_analyze
}

scenarios_start_failure() {
    # A bad mode or an incomplete command line ends the service at once with its
    # Windows error, so the service manager logs the failure and applies recovery,
    # instead of RUNNING and doing nothing.
    run_start_failure mode-3 stdcall "4 3 0 30 250" 87 ''
    # Four numbers on the registered command line: no message box on a desktop
    # nobody sees, the start fails at once.
    run_start_failure four-arguments-service cdecl "4 1 0 30" 87 ''
}

# --- a start without a usable capture library -------------------------------------

# trace_count LINE / wait_trace LINE COUNT TIMEOUT_MS: how many lines of this
# scenario's trace (joyvane_tracecat's since scenario_begin) have the text
# LINE; waits until it has COUNT of them.
trace_count() {
    jv_log --after "$TRACE_OFFSET" count "$TRACE_FILE" OutputDebugStringA text="$1"
}
wait_trace() {
    jv_log --after "$TRACE_OFFSET" wait "$TRACE_FILE" OutputDebugStringA "$2" "$3" text="$1"
}

# run_library_wait NAME SETUP "WHY" CODE [stop]: the service starts while the
# capture library is missing or unusable (SETUP, a shell snippet, runs after the
# service folder is installed). It reaches RUNNING, its trace says why (WHY, then
# the error CODE) once although it tries again every second, and it keeps
# running. Then the good stand-in library is copied in and the service polls it
# within 2 s; with "stop" it is stopped while still waiting instead.
run_library_wait() {
    local name=$1 setup=$2 why=$3 code=$4 mode=${5:-copy}
    selected "$name" || return 0
    echo "== $name (waits for the capture library)"
    scenario_begin "$name"
    meta kind library-wait
    meta args "4 1 0 30 250"
    meta flavour cdecl
    jv_folder_install "$EXE" cdecl || { check 1 "$name" "service folder installed"; return; }
    eval "$setup"
    local out ok=1 copied took library=$JV_FOLDER_WIN'\ZUR_USBIO_KAD.dll'
    jv_service_create "4 1 0 30 250"
    check $? "$name" "sc create \"$JV_SERVICE\" binpath= \"$JV_FOLDER_WIN\\$JV_EXE 4 1 0 30 250\""
    jv_service_start && out=$(jv_wait RUNNING 10000)
    check $? "$name" "the service reaches RUNNING without a usable library" "$out" || ok=0
    wait_trace "$why" 1 5000
    check $? "$name" "the trace says why: $why" "$(jv_log --after "$TRACE_OFFSET" all "$TRACE_FILE" '*' text | tail -n 5)"
    (($(trace_count "ZUR Joyvane: $code") == 1))
    check $? "$name" "the trace gives the error: ZUR Joyvane: $code"
    # Two more tries go by.
    sleep 2.2
    out=$(jv_ctl query)
    [[ $out == *" state=4 "*" exit=0 "* ]]
    check $? "$name" "still RUNNING with exit code 0 after 2 s of tries" "$out"
    (($(trace_count "$why") == 1))
    check $? "$name" "the reason is traced once, not at every try" "$(trace_count "$why") times"
    if [[ $mode == stop ]]; then
        meta stop_while_waiting 1
    else
        cp "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$JV_FOLDER/ZUR_USBIO_KAD.dll"
        copied=$(jv_now_us)
        jv_log wait "$JV_FOLDER/ZUR_USBIO_KAD.log" ZUR_USBIO_API_GetGPIO 1 2000
        check $? "$name" "the library copied in is polled within 2 s" || ok=0
        took=$((($(jv_now_us) - copied) / 1000))
        meta copy_to_poll_ms "$took"
        echo "   copied in to the first GetGPIO: $took ms"
        wait_trace "ZUR Joyvane: Capture library usable after error $code: $library" 1 1000
        check $? "$name" "the trace says the wait is over: Capture library usable after error $code: $library"
        (($(trace_count "ZUR Joyvane: Capture library: $library") == 1))
        check $? "$name" "the trace names the copy loaded: Capture library: $library"
    fi
    jv_service_stop
    out=$(jv_wait STOPPED 10000)
    check $? "$name" "sc stop: STOPPED" "$out" || ok=0
    ended "$name" "service process ended"
    jv_service_delete
    check $? "$name" "sc delete"
    ((ok)) || session_restart
    scenario_collect
    scenario_analyze
    if [[ $name == library-absent ]]; then
        local -a started
        mapfile -t started < <(started_events 4 1 0 30 250)
        # Waiting (the cause, the full path, the error) once, then the load.
        events_check "$name" "${started[@]}" "warn not found" "warn $library" "warn 126" \
            "trace $library" '~trace \\\\\?\\*hid#zurvirtualhiddevice#0#{*}' "trace 0" "trace 0"
    fi
}

scenarios_library_wait() {
    run_library_wait library-absent 'rm -f "$JV_FOLDER/ZUR_USBIO_KAD.dll"' \
        "ZUR Joyvane: Capture library not found, waiting for it: $JV_FOLDER_WIN\\ZUR_USBIO_KAD.dll" 126
    run_library_wait library-not-a-dll 'printf "not a DLL at all\n" >"$JV_FOLDER/ZUR_USBIO_KAD.dll"' \
        "ZUR Joyvane: Capture library is no 32-bit DLL, waiting for another: $JV_FOLDER_WIN\\ZUR_USBIO_KAD.dll" 193
    # Our setupapi stand-in: a 32-bit DLL that loads, without the library's exports.
    run_library_wait library-incomplete 'cp "$JV_STANDINS/driver/setupapi.dll" "$JV_FOLDER/ZUR_USBIO_KAD.dll"' \
        "ZUR Joyvane: Capture library lacks ZUR_USBIO_API_Init, waiting for another: $JV_FOLDER_WIN\\ZUR_USBIO_KAD.dll" 127
    run_library_wait library-absent-stop 'rm -f "$JV_FOLDER/ZUR_USBIO_KAD.dll"' \
        "ZUR Joyvane: Capture library not found, waiting for it: $JV_FOLDER_WIN\\ZUR_USBIO_KAD.dll" 126 stop
}

# --- started from a console -------------------------------------------------------

run_console() {
    local name=console-start
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    meta kind console
    jv_folder_install "$EXE" cdecl
    local start rc
    start=$(jv_now_us)
    (cd "$JV_FOLDER" && WINEDEBUG=-all,+timestamp,+pid,+service timeout 30 \
        wine "$JV_FOLDER_WIN\\$JV_EXE" 4 1 0 30 250 </dev/null >"$SDIR/console.log" 2>&1)
    rc=$?
    meta exit "$rc"
    meta elapsed_ms $((($(jv_now_us) - start) / 1000))
    jv_wait_gone 5000
    check $? "$name" "no service process left"
    local hint='joyvane_service.exe is a Windows service: install it with install.cmd or the MSI (as administrator) and it starts with Windows; "joyvane_console.exe 4 1 0 30 250" runs the bridge in this console.'
    tr -d '\r' <"$SDIR/console.log" | grep -qxF -- "$hint"
    check $? "$name" "says on standard error that it is a service and what to run instead" "$(cat "$SDIR/console.log")"
    scenario_collect
    scenario_analyze
}

# The console runner: the same bridge in a console; Wine turns the SIGINT of
# the terminal into the program's Ctrl+C.
run_console_runner() {
    local name=console-runner
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    meta kind console-runner
    local JV_EXE=joyvane_console.exe
    jv_folder_install "$BUILD_DIR/joyvane_console.exe" stdcall
    jv_scenario "press 1500 300"
    (cd "$JV_FOLDER" && WINEDEBUG=-all timeout -s INT 4 \
        wine "$JV_FOLDER_WIN\\$JV_EXE" 4 1 0 30 250 </dev/null >"$SDIR/console.log" 2>&1)
    local out reports
    out=$(tr -d '\r' <"$SDIR/console.log")
    [[ $out == "ZUR Joyvane: INIT - VideoCaptureResources...."$'\n'"Joyvane console: button 4, mode 1 (pulse), normal values, poll every 30 ms, clicks of 250 ms. Ctrl+C stops."* ]]
    check $? "$name" "shows the trace line and its settings first" "$out"
    [[ $out == *" Destroy_ZUR_GP: OK "$'\n'"Joyvane console: stopped." ]]
    check $? "$name" "Ctrl+C closes the joystick and stops the worker" "$out"
    reports=$(jv_log reports "$JV_FOLDER/virtual_hid.log" | tr '\n' '|')
    [[ $reports == "ok 00 00 00 00 00|ok 00 00 00 80 00|ok 00 00 00 00 00|"*"ok 00 00 00 00 00|" ]]
    check $? "$name" "idle report, the press's click of button 4, idle again at the stop" "$reports"
    # The live lines: each button change and each report, stamped with the time
    # since the runner started; the click's two reports 250 ms apart, the release
    # 300 ms after the press.
    local live
    live=$(grep -E '^\+[0-9]+\.[0-9]{3} s ' <<<"$out" | sed -E 's/^\+[0-9]+\.[0-9]{3} s /+t s /' | tr '\n' '|')
    [[ $live == "+t s report 00 00 00 00 00 all up|+t s press|+t s report 00 00 00 80 00 button 4 down|+t s report 00 00 00 00 00 all up|+t s release|+t s report 00 00 00 00 00 all up|"*"+t s report 00 00 00 00 00 all up|" ]]
    check $? "$name" "a line for each button change and each report" "$out"
    local gaps
    gaps=$(grep -E '^\+[0-9]+\.[0-9]{3} s (press|release|report 00 00 00 80 00)' <<<"$out" | awk '
        { sub(/^\+/, ""); t[$3] = $1 * 1000; if ($3 == "report" && !("click" in t)) t["click"] = $1 * 1000 }
        END { printf "%d %d", t["release"] - t["press"], t["click"] - t["press"] }')
    read -r held click_lag <<<"$gaps"
    ((held >= 250 && held <= 400 && click_lag >= 0 && click_lag <= 20))
    check $? "$name" "the release line 300 ms after the press line, the click's report with the press (held ${held} ms, report ${click_lag} ms after)" "$out"
    ended "$name" "no console process left" "$JV_EXE"
    cp "$JV_FOLDER"/*.log "$SDIR/" 2>/dev/null
}

# The console runner at the end of the session: Wine's wineboot --end-session
# tells the windows of every process, as a logoff does. The button is held down
# (follow mode) until then; the runner must let go of it before it answers.
run_console_logoff() {
    local name=console-logoff
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    meta kind console-runner
    local JV_EXE=joyvane_console.exe
    jv_folder_install "$BUILD_DIR/joyvane_console.exe" stdcall
    jv_scenario "press 1000 60000"
    (cd "$JV_FOLDER" && WINEDEBUG=-all timeout 30 \
        wine "$JV_FOLDER_WIN\\$JV_EXE" 4 0 0 30 250 </dev/null >"$SDIR/console.log" 2>&1) &
    local console=$! reports
    sleep 4
    WINEDEBUG=-all timeout 20 wine wineboot --end-session >"$SDIR/wineboot.log" 2>&1
    wait "$console"
    local out
    out=$(tr -d '\r' <"$SDIR/console.log")
    [[ $out == *" Destroy_ZUR_GP: OK "$'\n'"Joyvane console: stopped." ]]
    check $? "$name" "the end of the session closes the joystick and stops the worker" "$out"
    reports=$(jv_log reports "$JV_FOLDER/virtual_hid.log" | tr '\n' '|')
    [[ $reports == "ok 00 00 00 00 00|ok 00 00 00 80 00|"*"ok 00 00 00 00 00|" ]]
    check $? "$name" "idle, button 4 down, idle again when the session ends" "$reports"
    ended "$name" "no console process left" "$JV_EXE"
    cp "$JV_FOLDER"/*.log "$SDIR/" 2>/dev/null
}

# The setup check, with the stand-ins working and each broken in turn:
# run_check NAME "SCENARIO" EXIT "EXPECTED LINE" [SETUP]
run_check() {
    local name=$1 scenario=$2 exit_code=$3 line=$4 setup=${5:-}
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    local JV_EXE=joyvane_console.exe
    jv_folder_install "$BUILD_DIR/joyvane_console.exe" cdecl
    [[ -n $scenario ]] && jv_scenario "$scenario"
    eval "$setup"
    local start rc out took
    start=$(jv_now_us)
    (cd "$JV_FOLDER" && WINEDEBUG=-all timeout 20 \
        wine "$JV_FOLDER_WIN\\$JV_EXE" --check 4 1 0 30 250 </dev/null >"$SDIR/console.log" 2>&1)
    rc=$?
    took=$((($(jv_now_us) - start) / 1000))
    out=$(tr -d '\r' <"$SDIR/console.log")
    [[ $rc == "$exit_code" ]]
    check $? "$name" "exit code $exit_code" "exit $rc: $out"
    grep -qxF -- "$line" <<<"$out"
    check $? "$name" "prints: $line" "$out"
    [[ $out == "Joyvane setup check"$'\n'"settings: button 4, mode 1, normal values, poll every 30 ms, clicks of 250 ms: ok"* ]]
    check $? "$name" "heading, then the settings as the service takes them" "$out"
    ((took < 8000))
    check $? "$name" "done within 8 s (${took} ms)"
    ended "$name" "no console process left" "$JV_EXE"
    cp "$JV_FOLDER"/*.log "$SDIR/" 2>/dev/null
}

# --check beside a running service: the capture device is not opened and the
# joystick not written (no new Init or report in the stand-ins' logs), and
# --press says it cannot read the button.
run_check_service_running() {
    local name=check-service-running
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    jv_folder_install "$EXE" cdecl "$BUILD_DIR/joyvane_console.exe"
    jv_overrides_set joyvane_console.exe
    local out rc
    jv_service_create "4 1 0 30 250" && jv_service_start && out=$(jv_wait RUNNING 10000)
    check $? "$name" "the service runs" "$out"
    jv_log wait "$JV_FOLDER/virtual_hid.log" HidD_SetFeature 1 10000 result=1 bytes=00,00,00,00,00
    check $? "$name" "the service sent its idle report"
    local inits reports
    inits=$(jv_log count "$JV_FOLDER/ZUR_USBIO_KAD.log" ZUR_USBIO_API_Init)
    reports=$(jv_log count "$JV_FOLDER/virtual_hid.log" HidD_SetFeature)
    for press in "" --press; do
        (cd "$JV_FOLDER" && WINEDEBUG=-all timeout 20 \
            wine "$JV_FOLDER_WIN\\joyvane_console.exe" --check $press 4 1 0 30 250 </dev/null >"$SDIR/check$press.log" 2>&1)
        rc=$?
        out=$(tr -d '\r' <"$SDIR/check$press.log")
        [[ $rc == 0 ]]
        check $? "$name" "--check $press: exit code 0" "exit $rc: $out"
        for line in 'capture device: not opened: the service has it: skipped' \
            'virtual joystick: .*, usage page 1, usage 4, not opened for writing: the service has it: ok' \
            'Every link checked works; the capture device was left to the service\.'; do
            grep -qx -- "$line" <<<"$out"
            check $? "$name" "--check $press prints: $line" "$out"
        done
        [[ $out == "Joyvane setup check"$'\n''service "ZUR Service 1.02": RUNNING, process '[0-9]*': it holds the capture device and the joystick, so the steps that open them are skipped'$'\n'* ]]
        check $? "$name" "--check $press: says first that the service holds the devices" "$out"
    done
    tr -d '\r' <"$SDIR/check--press.log" | grep -qxF 'press: not tried: only the service can read the button while it runs; stop it to try a press here: skipped'
    check $? "$name" "--check --press says the button cannot be read while the service runs" "$(cat "$SDIR/check--press.log")"
    [[ $(jv_log count "$JV_FOLDER/ZUR_USBIO_KAD.log" ZUR_USBIO_API_Init) == "$inits" &&
        $(jv_log count "$JV_FOLDER/virtual_hid.log" HidD_SetFeature) == "$reports" ]]
    check $? "$name" "the checks opened no capture device and wrote no report" "$(jv_log reports "$JV_FOLDER/virtual_hid.log" | tail -n 3)"
    out=$(jv_ctl query)
    [[ $out == *" state=4 "* ]]
    check $? "$name" "the service still runs" "$out"
    jv_service_end
    cp "$JV_FOLDER"/*.log "$SDIR/" 2>/dev/null
}

# --check --press with the service stopped: the stand-in's button goes down at
# 1.5 s for 300 ms, and the check says what the service sends for it in mode 1.
run_check_press() {
    local name=check-press
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    local JV_EXE=joyvane_console.exe
    jv_folder_install "$BUILD_DIR/joyvane_console.exe" cdecl
    jv_scenario "press 1500 300"
    local rc out
    (cd "$JV_FOLDER" && WINEDEBUG=-all timeout 30 \
        wine "$JV_FOLDER_WIN\\$JV_EXE" --check --press 4 1 0 30 250 </dev/null >"$SDIR/console.log" 2>&1)
    rc=$?
    out=$(tr -d '\r' <"$SDIR/console.log")
    [[ $rc == 0 ]]
    check $? "$name" "exit code 0" "exit $rc: $out"
    grep -qxE 'press: down after [0-9]+\.[0-9]{3} s, held 0\.[23][0-9]{2} s; the service sends 00 00 00 80 00 button 4 down at the press and 00 00 00 00 00 all up 250 ms later: ok' <<<"$out"
    check $? "$name" "the press, held about 300 ms, and the click the service sends for it" "$out"
    ended "$name" "no console process left" "$JV_EXE"
    cp "$JV_FOLDER"/*.log "$SDIR/" 2>/dev/null
}

scenarios_check() {
    run_check_service_running
    run_check_press
    run_check check-works "" 0 "Every link works."
    run_check check-no-library "" 1 \
        "capture library: ZUR_USBIO_KAD.dll, error 126: FAILED: not found: put the 32-bit ZUR_USBIO_KAD.dll beside joyvane_service.exe" \
        'rm -f "$JV_FOLDER/ZUR_USBIO_KAD.dll"'
    run_check check-no-joystick "no-hid-devices" 1 \
        "virtual joystick: no present device HID\\ZurVirtualHidDevice, error 259: FAILED: install the virtual joystick and its driver"
    run_check check-not-a-joystick "device usage=5" 1 \
        "virtual joystick: found, but not opened as a joystick for writing: FAILED: its collection must be usage page 1, usage 4, with a 5-byte feature report, and the account needs write access"
    run_check check-device-unplugged "init fail 0 end" 1 \
        "capture device: Init 0, Open(0) -1, InitI2c -1: FAILED: is the capture device plugged in, and its own driver installed?"
    run_check check-library-stuck "init block 0 30000" 1 \
        "check: no answer within 5 seconds: FAILED: the capture library or a driver does not return"
}

# Four arguments: the message box. It waits for an OK that nobody can give
# under a headless Wine, so the harness ends it after a few seconds.
run_arguments() {
    local name=four-arguments
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    meta kind arguments
    jv_folder_install "$EXE" cdecl
    local rc wait_ms=6000
    (cd "$JV_FOLDER" && WINEDEBUG=-all,+msgbox timeout $((wait_ms / 1000)) \
        wine "$JV_FOLDER_WIN\\$JV_EXE" 4 1 0 30 </dev/null >"$SDIR/console.log" 2>&1)
    rc=$?
    meta wait_ms "$wait_ms"
    [[ $rc == 124 ]] && meta blocked 1
    jv_wait_gone 5000 && meta gone 1
    scenario_collect
    scenario_analyze
}

# --- install.cmd and uninstall.cmd --------------------------------------------------

# Where install.cmd puts the programs in this 32-bit prefix, whose registry
# names no x86 Program Files folder, and where it puts them once a test names one.
PF_WIN='C:\Program Files\Joyvane'
PF86_WIN='C:\Program Files (x86)\Joyvane'
# The scripts' tools. Wine's cmd has no %__APPDIR__%, so the scripts take Wine's
# fixed system folder, spelt as Wine spells it.
SYS_WIN='C:\windows\system32'
CV_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion'
SETTINGS_KEY='HKLM\SOFTWARE\Joyvane'
# The planted scripts append to this file (a path that no Wine cmd can mangle).
PLANTED_LOG_WIN='C:\jv-planted.log'
# A user's folder that poses as the Windows folder and as Program Files.
EVIL_WIN='C:\users\Public\evil'

# win_path C:\X\Y: the Linux path of a Windows path on drive C.
win_path() {
    local rest=${1#C:\\}
    echo "$WINEPREFIX/drive_c/${rest//\\//}"
}

# user_folder WINDOWS_PATH [EXE]: a folder as the release ZIP leaves it when
# unpacked (both programs, both scripts, the README and the license), a capture
# library planted beside them, and a reg.bat, sc.bat, net.bat, find.bat and
# ping.bat that would run in place of the real tools if a script named them
# bare. EXE replaces joyvane_service.exe.
user_folder() {
    local dir tool
    dir=$(win_path "$1")
    rm -rf "$dir"
    mkdir -p "$dir" &&
        cp "${2:-$EXE}" "$dir/joyvane_service.exe" &&
        cp "$BUILD_DIR/joyvane_console.exe" "$REPO/packaging/install.cmd" "$REPO/packaging/uninstall.cmd" \
            "$REPO/README.md" "$REPO/LICENSE" "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$dir/" || return
    for tool in reg sc net find ping; do
        printf '@echo off\r\necho PLANTED %%~nx0 %%*>>%s\r\necho PLANTED %%~nx0 ran\r\n' "$PLANTED_LOG_WIN" \
            >"$dir/$tool.bat" || return
    done
}

# evil_folder: $EVIL_WIN with a System32 of programs named like the tools
# (copies of a program that leaves a trace when it runs), and a Program Files
# of its own.
evil_folder() {
    local dir tool
    dir=$(win_path "$EVIL_WIN")
    rm -rf "$dir"
    mkdir -p "$dir/System32" "$dir/Program Files" || return
    for tool in reg sc net find ping cmd; do
        cp "$JV_STANDINS/tools/stopping_service.exe" "$dir/System32/$tool.exe" || return
    done
}

# bench_target WINDOWS_PATH: a clean slate for install.cmd, no folder at
# WINDOWS_PATH, and the test bench's virtual joystick (hid.dll and setupapi.dll)
# in System32, where real Windows has its own (jv_driver_install): the override of
# jv_overrides_set makes the service load them rather than Wine's built-in ones.
# Nothing of the bench lies in the installed folder.
bench_target() {
    rm -rf "$(win_path "$1")"
    jv_driver_install
}

# run_cmd WINDOWS_DIR ARG...: `cmd /c ARG...` in that current directory. Sets
# CMD_OUT (its output, without CRs), CMD_RC, CMD_RAN: the command line of every
# program it started, one a line, read from Wine's +process trace (without the
# blanks that cmd leaves at their ends), and CMD_APPS: the program file of each.
run_cmd() {
    local dir err
    dir=$(win_path "$1")
    shift
    err=$WORK/cmd-trace.log
    CMD_OUT=$(cd "$dir" && WINEDEBUG=-all,+process timeout 120 wine cmd /c "$@" 2>"$err" </dev/null)
    CMD_RC=$?
    CMD_OUT=${CMD_OUT//$'\r'/}
    CMD_RAN=$(run_cmd_trace cmdline <"$err")
    CMD_APPS=$(run_cmd_trace app <"$err")
    # Everything but the trace goes to Wine's log, where crashes are looked for.
    grep -av ':trace:process:' "$err" >>"$JV_LOGDIR/wine.log"
}

# run_cmd_trace cmdline|app: the started programs' command lines, or their
# program files (the one CreateProcess was given, else the command line's first
# word, without quotes and doubled backslashes).
run_cmd_trace() {
    python3 -c '
import re, sys
unescape = lambda s: re.sub(r"\\(.)", lambda e: {"n": "\n", "r": "\r", "t": "\t"}.get(e.group(1), e.group(1)), s)
for line in sys.stdin:
    m = re.search(r":trace:process:CreateProcessInternalW app (\(null\)|L\"(.*?)\") cmdline L\"(.*)\"\s*$", line)
    if not m:
        continue
    text = unescape(m.group(3))
    if text.startswith("\"C:\\windows\\system32\\cmd.exe\" /c "):
        continue
    if sys.argv[1] == "cmdline":
        print(text.rstrip())
    else:
        app = unescape(m.group(2)) if m.group(2) is not None else (
            text[1:].split("\"")[0] if text.startswith("\"") else text.split(" ")[0])
        print(re.sub(r"\\+", r"\\", app))
' "$1"
}

# show: the output of the last run_cmd, indented.
show() {
    printf '    | %s\n' "${CMD_OUT//$'\n'/$'\n'    | }"
}

# only_system32_ran: whether every program the last run_cmd started is a
# program file of System32, and no planted script ran.
only_system32_ran() {
    [[ -z $(grep -viE '^C:\\windows\\system32\\[a-z0-9_]+\.exe$' <<<"$CMD_APPS") ]] &&
        [[ ! -e $(win_path "$PLANTED_LOG_WIN") ]] && ! grep -q PLANTED <<<"$CMD_OUT"
}

# ran_query ARGS: the two programs a script's `for /f` over `reg query ARGS`
# starts: Wine's second cmd (named bare; found in System32, the folder of the
# cmd that asks) and reg in it.
ran_query() {
    printf '%s\n' "CMD.EXE /C \"\"$SYS_WIN\\reg.exe\" query $1 2>nul\"" "\"$SYS_WIN\\reg.exe\" query $1"
}

# expected_install_ran TARGET_WIN SETTINGS CREATE_ACCOUNT [x86]: the programs
# that a successful install.cmd starts, in order, up to `sc start` (the queries
# that wait for RUNNING follow: expected_wait_ran). With x86 the registry names
# an x86 Program Files folder.
expected_install_ran() {
    local reg="\"$SYS_WIN\\reg.exe\"" sc="\"$SYS_WIN\\sc.exe\"" service='"ZUR Service 1.02"' name value
    local -a numbers
    read -ra numbers <<<"$2"
    ran_query "\"$CV_KEY\" /v \"ProgramFilesDir (x86)\""
    [[ ${4:-} == x86 ]] || ran_query "\"$CV_KEY\" /v \"ProgramFilesDir\""
    ran_query "\"$SETTINGS_KEY\" /v Installer /reg:32"
    printf '%s\n' "$reg query \"HKLM\\SYSTEM\\CurrentControlSet\\Services\\ZUR Service 1.02\"" \
        "$sc create $service binPath= \"\\\"$1\\joyvane_service.exe\\\" $2\" type= own start= auto DisplayName= $service obj= $3"
    for name in BUTTON MODE INVERTED POLL_MS CLICK_MS; do
        value=${numbers[0]}
        numbers=("${numbers[@]:1}")
        echo "$reg add \"$SETTINGS_KEY\" /v $name /t REG_SZ /d \"$value\" /f /reg:32"
    done
    printf '%s\n' "$reg add \"$SETTINGS_KEY\" /v Installer /t REG_SZ /d install.cmd /f /reg:32" \
        "$reg add \"$SOURCE_KEY\" /v EventMessageFile /t REG_EXPAND_SZ /d \"$1\\joyvane_service.exe\" /f" \
        "$reg add \"$SOURCE_KEY\" /v TypesSupported /t REG_DWORD /d 7 /f" \
        "$sc description $service \"Joyvane: the capture device's push-button as virtual joystick buttons (settings $2).\"" \
        "$sc failure $service reset= 86400 actions= restart/5000/restart/60000/\"\"/0" \
        "$sc failureflag $service 1" \
        "$sc privs $service SeChangeNotifyPrivilege" \
        "$sc sidtype $service unrestricted" \
        "$sc start $service"
}

# install_ran_as EXPECTED: whether the last run_cmd started EXPECTED's programs
# in order, and after them only the queries of the service's state and the
# one-second pauses between them.
install_ran_as() {
    local count rest
    count=$(wc -l <<<"$1")
    [[ $(head -n "$count" <<<"$CMD_RAN") == "$1" ]] || return
    rest=$(tail -n +$((count + 1)) <<<"$CMD_RAN" | grep -vxF \
        -e "CMD.EXE /C \"\"$SYS_WIN\\sc.exe\" query \"$JV_SERVICE\"\"" \
        -e "\"$SYS_WIN\\sc.exe\" query \"$JV_SERVICE\"" \
        -e "\"$SYS_WIN\\ping.exe\" -n 2 127.0.0.1")
    [[ -z $rest ]]
}

# What Wine's sc cannot do: it starts sc for them, sc refuses, install.cmd warns.
WINE_WARNINGS="install: warning: the service manager refused recovery after a stop with an exit code (sc failureflag).
install: warning: the service manager refused to drop the account's other privileges (sc privs).
install: warning: the service manager refused the service its own SID (sc sidtype)."

# settings_values: the values of the settings' key in the 32-bit view, as
# "NAME=VALUE ..." in reg's order; empty without the key.
# The Event Log source of the service's events, and its values: "NAME=TYPE:DATA ".
SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Joyvane'
source_values() {
    jv_wine reg query "$SOURCE_KEY" 2>/dev/null | tr -d '\r' |
        sed -n -E 's/^ +([A-Za-z_]+) +(REG_[A-Z_]+) +(.*)$/\1=\2:\3/p' | tr '\n' ' '
}

settings_values() {
    jv_wine reg query "$SETTINGS_KEY" /reg:32 2>/dev/null | tr -d '\r' |
        sed -n -E 's/^ +([A-Za-z_]+) +REG_SZ +(.*)$/\1=\2/p' | tr '\n' ' '
}

# folder_files WINDOWS_DIR: the names in the folder, sorted, each followed by a blank.
folder_files() {
    local dir
    dir=$(win_path "$1")
    [[ -d $dir ]] || return 0
    # The joystick stand-ins keep their logs beside the program: the bench's, not
    # the installation's.
    find "$dir" -mindepth 1 -maxdepth 1 -printf '%f\n' |
        grep -vxE 'virtual_hid\.log|service_std(out|err)\.log' | LC_ALL=C sort | tr '\n' ' '
}
INSTALLED_FILES='LICENSE README.md joyvane_console.exe joyvane_service.exe uninstall.cmd '

# installed_unchanged WINDOWS_DIR: whether the folder holds install.cmd's files
# as the release has them.
installed_unchanged() {
    local dir
    dir=$(win_path "$1")
    cmp -s "$dir/joyvane_service.exe" "$EXE" &&
        cmp -s "$dir/joyvane_console.exe" "$BUILD_DIR/joyvane_console.exe" &&
        cmp -s "$dir/uninstall.cmd" "$REPO/packaging/uninstall.cmd" &&
        cmp -s "$dir/README.md" "$REPO/README.md" && cmp -s "$dir/LICENSE" "$REPO/LICENSE"
}

# nothing_installed: no service, no settings' key, no folder in either
# Program Files.
nothing_installed() {
    ! jv_service_registered && [[ -z $(settings_values) && -z $(source_values) && ! -e $(win_path "$PF_WIN") && ! -e $(win_path "$PF86_WIN") ]]
}

# planted_ran: whether a planted script ran (and so left its log).
planted_ran() {
    [[ -e $(win_path "$PLANTED_LOG_WIN") ]] || grep -q PLANTED <<<"$CMD_OUT"
}

# keep_logs WINDOWS_DIR...: hard links to the stand-ins' logs in those folders,
# so that they outlive uninstall.cmd (and still receive what the service
# writes while it stops). The logs that the joystick's stand-ins keep beside the
# program are test artefacts, not files of the installation: their names go from
# the folder (the service writes on through the links), so that uninstall.cmd
# finds there only what an installation holds.
keep_logs() {
    local dir file folder
    rm -rf "$WORK/kept"
    mkdir -p "$WORK/kept"
    for folder in "$@"; do
        dir=$(win_path "$folder")
        for file in ZUR_USBIO_KAD.log virtual_hid.log service_stdout.log service_stderr.log; do
            [[ -f $dir/$file ]] && ln -f "$dir/$file" "$WORK/kept/$file"
        done
        rm -f "$dir/virtual_hid.log" "$dir/service_stdout.log" "$dir/service_stderr.log"
    done
}

# uninstall_checks SCENARIO HOW WINDOWS_DIR KEPT ARG...: runs uninstall.cmd and
# checks that the service, the settings' key and install.cmd's files are gone,
# and that only programs of System32 ran. KEPT: what the folder is to keep (as
# folder_files lists it), or nothing, when the folder itself is to go.
uninstall_checks() {
    local name=$1 how=$2 target=$3 kept=$4 start files listed
    shift 4
    listed=${kept% }
    # The joystick stand-ins' logs beside the program are the bench's, not the
    # installation's.
    rm -f "$(win_path "$target")"/{virtual_hid.log,service_stdout.log,service_stderr.log}
    start=$(jv_now_us)
    run_cmd "$@"
    show
    check $CMD_RC "$name" "uninstall.cmd $how: exit 0 after $((($(jv_now_us) - start) / 1000)) ms" "exit $CMD_RC"
    ! jv_service_registered
    check $? "$name" "no service registered"
    ended "$name" "service process ended"
    [[ -z $(settings_values) ]]
    check $? "$name" "$SETTINGS_KEY removed" "$(settings_values)"
    [[ -z $(source_values) && $CMD_OUT == *"uninstall: the Event Log source $SOURCE_KEY is removed."* ]]
    check $? "$name" "the Event Log source $SOURCE_KEY removed; says so" "$(source_values)"
    files=$(folder_files "$target")
    if [[ -z $kept ]]; then
        [[ ! -e $(win_path "$target") && $CMD_OUT == *"uninstall: \"$target\" is removed, uninstall.cmd with it." ]]
        check $? "$name" "\"$target\" removed, uninstall.cmd with it; says so" "$files"
    else
        [[ $files == "$kept" && $CMD_OUT == *"uninstall: \"$target\" stays, with what install.cmd did not put there:"$'\n'"    ${listed// /$'\n'    }"$'\n'* &&
            $CMD_OUT == *$'\n'"uninstall: uninstall.cmd is removed." ]]
        check $? "$name" "install.cmd's files and uninstall.cmd removed; \"$target\" stays with $kept; says so" "$files"
    fi
    grep -qxF "\"$SYS_WIN\\sc.exe\" delete \"$JV_SERVICE\"" <<<"$CMD_RAN"
    check $? "$name" "removed with \"$SYS_WIN\\sc.exe\" delete" "$CMD_RAN"
    only_system32_ran
    check $? "$name" "only programs of $SYS_WIN ran; no planted script" "$CMD_APPS / $CMD_OUT"
}

# wrapper WINDOWS_PATH LINE...: a cmd script of those lines.
wrapper() {
    local path=$1
    shift
    printf '%s\r\n' '@echo off' "$@" >"$(win_path "$path")"
}

run_install() {
    local name=install-scripts
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    meta kind install
    jv_overrides_set "$JV_EXE"
    rm -f "$(win_path "$PLANTED_LOG_WIN")"
    local user='C:\users\Public\Joyvane 100% (Tom & Jerry)' path expected files waited hint
    user_folder "$user" && bench_target "$PF_WIN" && evil_folder
    check $? "$name" "release files in \"$user\" with a capture library and a reg.bat, sc.bat, net.bat, find.bat and ping.bat beside them"

    # Refused command lines change nothing.
    run_cmd "$user" install.cmd 4 1 0
    [[ $CMD_RC == 1 ]] && nothing_installed
    check $? "$name" "install.cmd with three numbers: usage, exit 1, nothing registered or copied" "exit $CMD_RC: $CMD_OUT"
    local number
    for number in fast 40000; do
        run_cmd "$user" install.cmd 4 1 0 $number 250
        [[ $CMD_RC == 1 && $CMD_OUT == "install: POLL_MS must be a whole number from -32767 to 32767, without leading zeros, not \"$number\"." && -z $CMD_RAN ]] && nothing_installed
        check $? "$name" "install.cmd with POLL_MS $number: one line naming it and the range, exit 1, nothing registered or copied" "exit $CMD_RC: $CMD_OUT"
    done
    run_cmd "$user" install.cmd 4 3 0 30 250
    [[ $CMD_RC == 1 && $CMD_OUT == "install: MODE must be 0, 1 or 2, not 3." && -z $CMD_RAN ]] && nothing_installed
    check $? "$name" "install.cmd with mode 3: one line naming MODE and its range, exit 1, no program started" "exit $CMD_RC: $CMD_OUT / $CMD_RAN"

    # The MSI package's installation is the MSI package's.
    jv_wine reg add "$SETTINGS_KEY" /v Installer /t REG_SZ /d msi /f /reg:32 >/dev/null
    run_cmd "$user" install.cmd
    [[ $CMD_RC == 1 && $CMD_OUT == *"install: Joyvane is installed with its MSI package; remove that first (msiexec /x, or Programs and Features)." ]] &&
        ! jv_service_registered && [[ ! -e $(win_path "$PF_WIN") && $(settings_values) == "Installer=msi " ]]
    check $? "$name" "install.cmd where $SETTINGS_KEY says Installer msi: refused, exit 1, nothing changed" "exit $CMD_RC: $CMD_OUT"
    jv_wine reg delete "$SETTINGS_KEY" /f /reg:32 >/dev/null

    # A folder of that name that install.cmd did not fill.
    mkdir -p "$(win_path "$PF_WIN")" && cp "$JV_STANDINS/driver/hid.dll" "$(win_path "$PF_WIN")/" &&
        printf 'notes\r\n' >"$(win_path "$PF_WIN")/notes.txt"
    run_cmd "$user" install.cmd
    show
    [[ $CMD_RC == 1 && $CMD_OUT == "install: \"$PF_WIN\" holds files that install.cmd does not put there:
    hid.dll
    notes.txt
install: nothing was installed; remove them, or the folder, first." && $(folder_files "$PF_WIN") == "hid.dll notes.txt " ]] &&
        ! jv_service_registered && [[ -z $(settings_values) ]]
    check $? "$name" "install.cmd into a \"$PF_WIN\" holding hid.dll and notes.txt: refused with their list, exit 1, nothing changed" "exit $CMD_RC"
    rm -rf "$(win_path "$PF_WIN")"

    # Defaults, run from the user's folder, with the caller's environment
    # pointing at the user's own programs and folders: ignored.
    wrapper 'C:\jv-env.cmd' \
        "set \"ProgramFiles(x86)=$EVIL_WIN\\Program Files\"" "set \"ProgramFiles=$EVIL_WIN\\Program Files\"" \
        "set \"SystemRoot=$EVIL_WIN\"" "set \"windir=$EVIL_WIN\"" "set \"ComSpec=$EVIL_WIN\\System32\\cmd.exe\"" \
        "set \"__APPDIR__=$EVIL_WIN\\System32\\\"" "set \"PATH=$EVIL_WIN\\System32;%PATH%\"" \
        'call install.cmd' 'exit /b %errorlevel%'
    run_cmd "$user" 'C:\jv-env.cmd'
    show
    check $CMD_RC "$name" "install.cmd (no arguments) from \"$user\", %ProgramFiles(x86)%, %SystemRoot%, %ComSpec%, %__APPDIR__% and %PATH% naming \"$EVIL_WIN\": exit 0" "exit $CMD_RC"
    path=$(jv_service_image_path)
    [[ $path == "\"$PF_WIN\\$JV_EXE\" 4 1 0 30 250" && -z $(folder_files "$EVIL_WIN\\Program Files") ]]
    check $? "$name" "installed where the registry says: $path; nothing in \"$EVIL_WIN\\Program Files\"" "expected \"$PF_WIN\\$JV_EXE\" 4 1 0 30 250"
    [[ $(jv_service_value ObjectName) == LocalSystem && $(jv_service_value Start) == 0x2 && $(jv_service_value Type) == 0x10 ]]
    check $? "$name" "as LocalSystem (ObjectName), start= auto (Start 2), own process (Type 0x10)"
    expected=$(expected_install_ran "$PF_WIN" "4 1 0 30 250" LocalSystem)
    install_ran_as "$expected"
    check $? "$name" "programs started, all of $SYS_WIN by full path, then the state queries:"$'\n'"${expected//$'\n'/$'\n'     }" "$CMD_RAN"
    only_system32_ran
    check $? "$name" "no program of \"$EVIL_WIN\" and none of the planted scripts ran" "$CMD_APPS"
    [[ $(settings_values) == "BUTTON=4 CLICK_MS=250 Installer=install.cmd INVERTED=0 MODE=1 POLL_MS=30 " ]]
    check $? "$name" "the settings recorded in $SETTINGS_KEY (32-bit view), Installer install.cmd" "$(settings_values)"
    [[ $(source_values) == "EventMessageFile=REG_EXPAND_SZ:$PF_WIN\\$JV_EXE TypesSupported=REG_DWORD:0x7 " ]]
    check $? "$name" "the Event Log source registered: $SOURCE_KEY, EventMessageFile the installed $JV_EXE (REG_EXPAND_SZ), TypesSupported 7" "$(source_values)"
    [[ $CMD_OUT == *"$WINE_WARNINGS"* ]]
    check $? "$name" "Wine's sc refuses failureflag, privs and sidtype; install.cmd warns of each and goes on"
    files=$(folder_files "$PF_WIN")
    [[ $files == "$INSTALLED_FILES" ]] && installed_unchanged "$PF_WIN"
    check $? "$name" "\"$PF_WIN\" holds the programs, uninstall.cmd, README.md and LICENSE, unchanged; not the capture library beside install.cmd" "$files"
    hint="install: the service is running and waiting for the capture library: copy the 32-bit ZUR_USBIO_KAD.dll to \"$PF_WIN\\ZUR_USBIO_KAD.dll\""
    [[ $CMD_OUT == *"install: \"$JV_SERVICE\" is installed in \"$PF_WIN\" and running as LocalSystem with settings 4 1 0 30 250."$'\n'"install: the ZUR_USBIO_KAD.dll beside install.cmd is not copied: whoever can write to that folder could have put it there."$'\n'"$hint" ]]
    check $? "$name" "no library in \"$PF_WIN\" or System32: says the service is running and waiting, and where to copy the library"
    waited=$(jv_wait RUNNING 10000)
    check $? "$name" "the service is running" "$waited"
    [[ ! -e $(win_path "$user")/ZUR_USBIO_KAD.log ]]
    check $? "$name" "the library left in the user's folder was never loaded"
    local copied
    cp "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$(win_path "$PF_WIN")/"
    copied=$(jv_now_us)
    jv_log wait "$(win_path "$PF_WIN")/ZUR_USBIO_KAD.log" ZUR_USBIO_API_GetGPIO 1 2000 &&
        jv_log first "$(win_path "$PF_WIN")/ZUR_USBIO_KAD.log" Process exe exe="$PF_WIN\\$JV_EXE" >/dev/null
    check $? "$name" "the library copied into \"$PF_WIN\" as told: the service polls the capture button within 2 s ($((($(jv_now_us) - copied) / 1000)) ms)"
    run_cmd "$user" install.cmd
    [[ $CMD_RC == 1 && $CMD_OUT == *"already installed"* && $(jv_service_image_path) == "$path" ]]
    check $? "$name" "a second install.cmd is refused (exit 1), the registration unchanged" "exit $CMD_RC: $CMD_OUT"

    # uninstall.cmd runs only from the installed folder, and not on the MSI
    # package's installation.
    run_cmd "$user" uninstall.cmd
    [[ $CMD_RC == 1 && $CMD_OUT == "uninstall: run the uninstall.cmd of the installed folder: \"$PF_WIN\\uninstall.cmd\"" ]] &&
        jv_service_registered && [[ $(folder_files "$PF_WIN") == "LICENSE README.md ZUR_USBIO_KAD.dll ZUR_USBIO_KAD.log joyvane_console.exe joyvane_service.exe uninstall.cmd " ]]
    check $? "$name" "uninstall.cmd from \"$user\": refused, names the installed one, exit 1, nothing removed" "exit $CMD_RC: $CMD_OUT"
    jv_wine reg add "$SETTINGS_KEY" /v Installer /t REG_SZ /d msi /f /reg:32 >/dev/null
    run_cmd "$PF_WIN" uninstall.cmd
    [[ $CMD_RC == 1 && $CMD_OUT == "uninstall: Joyvane was installed with its MSI package; remove it with msiexec /x or in Programs and Features." ]] &&
        jv_wait RUNNING 1000 >/dev/null && [[ $(folder_files "$PF_WIN") == "LICENSE README.md ZUR_USBIO_KAD.dll ZUR_USBIO_KAD.log joyvane_console.exe joyvane_service.exe uninstall.cmd " ]]
    check $? "$name" "uninstall.cmd where $SETTINGS_KEY says Installer msi: refused, points to msiexec /x, exit 1; the service runs on, nothing removed" "exit $CMD_RC: $CMD_OUT"
    jv_wine reg add "$SETTINGS_KEY" /v Installer /t REG_SZ /d install.cmd /f /reg:32 >/dev/null

    keep_logs "$PF_WIN" "$SYS_WIN"
    uninstall_checks "$name" "from \"$PF_WIN\"" "$PF_WIN" "ZUR_USBIO_KAD.dll ZUR_USBIO_KAD.log " "$PF_WIN" uninstall.cmd
    # The status the service last reported itself: it was stopped, not killed.
    [[ $(jv_status_reports | tail -n 1) == *" state=1 "* ]]
    check $? "$name" "the service reported STOPPED before it was removed" "$(jv_status_reports | tail -n 1)"
    cp "$WORK/kept/"* "$SDIR/" 2>/dev/null
    rm -rf "$(win_path "$PF_WIN")"

    # A folder name that is a cmd command line of its own; the library in
    # System32, where the service finds it without a word from install.cmd.
    local injected='C:\users\Public\a&echo INJECTED&b'
    user_folder "$injected" && bench_target "$PF_WIN" && plant "$SYS_WIN"
    run_cmd "$injected" install.cmd 4 1 0 30 250
    show
    ! grep -qx 'INJECTED' <<<"$CMD_OUT"
    check $? "$name" "install.cmd from \"$injected\": nothing injected"
    [[ $CMD_RC == 0 && $(jv_service_image_path) == "\"$PF_WIN\\$JV_EXE\" 4 1 0 30 250" ]] &&
        jv_wait RUNNING 10000 >/dev/null && only_system32_ran
    check $? "$name" "... and the Program Files copy registered and running" "exit $CMD_RC: $(jv_service_image_path)"
    [[ $CMD_OUT == *"install: \"$JV_SERVICE\" is installed in \"$PF_WIN\" and running as LocalSystem with settings 4 1 0 30 250." && $CMD_OUT != *"ZUR_USBIO_KAD.dll to"* ]]
    check $? "$name" "... the library in System32: no word of copying it"
    jv_log wait "$(win_path "$SYS_WIN")/ZUR_USBIO_KAD.log" ZUR_USBIO_API_GetGPIO 1 10000
    check $? "$name" "... the service polls through the library in System32"
    uninstall_checks "$name" "from \"$PF_WIN\", nothing else in it" "$PF_WIN" "" "$PF_WIN" uninstall.cmd
    unplant "$SYS_WIN"

    # A service that stops at its start: reported with its exit code and what it
    # means, and the installation undone.
    local stopper='C:\users\Public\Joyvane stops' code meaning
    for code in 87 2 5 1067; do
        case $code in
        87) meaning=' (the service refused its numbers)' ;;
        2) meaning=' (the program was not found)' ;;
        5) meaning=' (access to the program was denied)' ;;
        *) meaning='' ;;
        esac
        user_folder "$stopper" "$JV_STANDINS/tools/stopping_service.exe" && bench_target "$PF_WIN"
        run_cmd "$stopper" install.cmd "$code" 1 0 30 250
        [[ $code == 87 ]] && show
        [[ $CMD_RC == 1 && $CMD_OUT == *$'\n'"install: the service stopped at its start with exit code $code$meaning."$'\n'"install: nothing was installed." ]]
        check $? "$name" "a service that stops at its start with exit code $code: \"exit code $code$meaning\", exit 1" "exit $CMD_RC: $CMD_OUT"
        nothing_installed
        check $? "$name" "... nothing registered, recorded or left in \"$PF_WIN\"" "$(folder_files "$PF_WIN") $(settings_values)"
    done

    # An install that fails at its last step undoes the others.
    local broken='C:\users\Public\Joyvane broken'
    printf 'not a program\r\n' >"$WORK/not-a-program.exe"
    user_folder "$broken" "$WORK/not-a-program.exe" && bench_target "$PF_WIN"
    run_cmd "$broken" install.cmd
    show
    # sc's exit status is the service manager's error: 193 on Windows, while
    # Wine's sc exits with 1 for every failure.
    [[ $CMD_RC == 1 && $CMD_OUT == *$'\n'"install: the service did not start: error 1."$'\n'"install: nothing was installed." ]]
    check $? "$name" "install.cmd with a program that cannot start: sc's error (Wine's sc: 1), exit 1" "exit $CMD_RC"
    nothing_installed
    check $? "$name" "... nothing registered, recorded or left in \"$PF_WIN\"" "$(folder_files "$PF_WIN")"
    grep -qxF "\"$SYS_WIN\\sc.exe\" delete \"$JV_SERVICE\"" <<<"$CMD_RAN"
    check $? "$name" "... the registration undone with sc delete" "$CMD_RAN"

    # LocalService, on a machine whose registry names an x86 Program Files
    # folder, install.cmd by full path from elsewhere. Wine takes the account
    # but runs the service all the same; whether the account can reach the
    # device shows only on Windows.
    local plain='C:\users\Public\Joyvane plain' reports
    user_folder "$plain" && bench_target "$PF86_WIN" && plant "$SYS_WIN" && mkdir -p "$(win_path 'C:\Program Files (x86)')" &&
        jv_wine reg add "$CV_KEY" /v 'ProgramFilesDir (x86)' /t REG_SZ /d 'C:\Program Files (x86)' /f >/dev/null
    reports=$(win_path "$SYS_WIN")/virtual_hid.log
    rm -f "$reports"
    wrapper 'C:\jv-x86.cmd' "\"$plain\\install.cmd\" /localservice 5 2 1 40 200"
    run_cmd 'C:\' 'C:\jv-x86.cmd'
    show
    check $CMD_RC "$name" "install.cmd /localservice 5 2 1 40 200 by full path, x86 Program Files: exit 0" "exit $CMD_RC"
    path=$(jv_service_image_path)
    [[ $path == "\"$PF86_WIN\\$JV_EXE\" 5 2 1 40 200" ]]
    check $? "$name" "registered command line: $path"
    [[ $(jv_service_value ObjectName) == 'NT AUTHORITY\LocalService' ]]
    check $? "$name" "as NT AUTHORITY\\LocalService (ObjectName)" "$(jv_service_value ObjectName)"
    expected=$(expected_install_ran "$PF86_WIN" "5 2 1 40 200" '"NT AUTHORITY\LocalService" password= ""' x86)
    install_ran_as "$expected" && [[ ! -e $(win_path "$PF_WIN") ]] && only_system32_ran
    check $? "$name" "sc create ... obj= \"NT AUTHORITY\\LocalService\" password= \"\"; nothing in \"$PF_WIN\"" "$CMD_RAN"
    jv_log wait "$reports" HidD_SetFeature 1 10000 result=1 bytes=00,00,00,00,03
    check $? "$name" "the service runs with them: idle report of buttons 5 and 6 inverted (00 00 00 00 03)"
    wrapper 'C:\jv-x86.cmd' "\"$PF86_WIN\\uninstall.cmd\""
    uninstall_checks "$name" "by full path, x86 Program Files" "$PF86_WIN" "" 'C:\' 'C:\jv-x86.cmd'
    unplant "$SYS_WIN"
    jv_wine reg delete "$CV_KEY" /v 'ProgramFilesDir (x86)' /f >/dev/null
    rmdir "$(win_path 'C:\Program Files (x86)')"

    # uninstall.cmd where nothing is installed: it says so and removes itself.
    mkdir -p "$(win_path "$PF_WIN")" && cp "$REPO/packaging/uninstall.cmd" "$(win_path "$PF_WIN")/"
    run_cmd "$PF_WIN" uninstall.cmd
    [[ $CMD_RC == 0 && $CMD_OUT == *"not installed"* && ! -e $(win_path "$PF_WIN") ]]
    check $? "$name" "uninstall.cmd when nothing is installed: says so, removes itself and its folder, exit 0" "exit $CMD_RC: $CMD_OUT"
    jv_note "$name" "Wine's sc has no failureflag, privs or sidtype and Wine's service manager keeps no failure actions (a FIXME), so the restart policy, the privileges and the service SID can be seen working only on Windows"
    jv_note "$name" "Wine's cmd has no %__APPDIR__% and no (goto); the scripts' Wine-only branches (Wine's fixed C:\\windows\\system32, a background cmd that removes the folder) run here, their Windows branches only on Windows"
    scenario_collect "$(win_path "$user")"
    cp "$WORK/kept/"* "$SDIR/" 2>/dev/null
    scenario_analyze
}

# --- where the capture library may come from ------------------------------------

ENV_KEY='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
PATH_PLANT_WIN='C:\jv-path'
SYSTEM32_WIN='C:\windows\system32'

# plant WINDOWS_DIR: a copy of the capture library there (its DllMain logs to
# ZUR_USBIO_KAD.log beside it, so a log there means it was loaded).
plant() {
    local dir
    dir=$(win_path "$1")
    mkdir -p "$dir" && cp "$JV_STANDINS/stdcall/ZUR_USBIO_KAD.dll" "$dir/" && rm -f "$dir/ZUR_USBIO_KAD.log"
}

# unplant WINDOWS_DIR: removes the copy and its log.
unplant() {
    local dir
    dir=$(win_path "$1")
    rm -f "$dir/ZUR_USBIO_KAD.dll" "$dir/ZUR_USBIO_KAD.log"
}

# loaded_from WINDOWS_DIR: whether the copy there was loaded.
loaded_from() {
    jv_log first "$(win_path "$1")/ZUR_USBIO_KAD.log" Load pid >/dev/null
}

# search_run NAME WHAT LOG CALL COUNT [missing NAME=VALUE]: one run of the
# service, stopped once LOG has COUNT such records (the capture library's
# log, or the trace of why there is none). With "missing" no library is to be
# found: the service then runs and waits for one, and says so in its trace.
search_run() {
    local name=$1 what=$2 out
    jv_service_create "4 1 0 30 250" && jv_service_start && out=$(jv_wait RUNNING 10000)
    check $? "$name" "$what: the service runs" "$out"
    jv_log wait "$3" "$4" "$5" 10000 "${@:7}"
    check $? "$name" "$what: the worker tried to load the library"
    if [[ ${6:-} == missing ]]; then
        out=$(jv_ctl query)
        [[ $out == *" state=4 "*" exit=0 "* ]]
        check $? "$name" "$what: still RUNNING, waiting for the library" "$out"
    fi
    jv_service_end
}

run_library_search() {
    local name=library-search
    selected "$name" || return 0
    echo "== $name"
    # A folder on the machine's PATH, which the service inherits when its
    # session starts.
    local path_value
    path_value=$(jv_wine reg query "$ENV_KEY" /v PATH | tr -d '\r' | sed -n -E 's/^ +PATH +REG_[A-Z_]+ +//p')
    jv_wine reg add "$ENV_KEY" /v PATH /t REG_EXPAND_SZ /d "$PATH_PLANT_WIN;$path_value" /f >/dev/null
    session_restart
    scenario_begin "$name"
    meta kind library-search
    plant "$PATH_PLANT_WIN"

    # 1. Beside the program: loaded. Its log tells where the process would
    #    also have looked under the classic search order.
    jv_folder_install "$EXE" cdecl
    local log=$JV_FOLDER/ZUR_USBIO_KAD.log cwd
    search_run "$name" "library beside the program" "$log" ZUR_USBIO_API_GetGPIO 1
    loaded_from "$JV_FOLDER_WIN"
    check $? "$name" "the copy beside joyvane_service.exe is loaded"
    [[ $(jv_log first "$log" Process path) == "$PATH_PLANT_WIN;"* ]]
    check $? "$name" "the service's PATH begins with $PATH_PLANT_WIN" "$(jv_log first "$log" Process path)"
    cwd=$(jv_log first "$log" Process cwd)
    # (Windows starts services in System32, which would make the current
    # directory's case that of System32; Wine starts them in its Windows folder.)
    [[ -n $cwd && ${cwd,,} != "${SYSTEM32_WIN,,}" ]]
    check $? "$name" "the service's current directory, not System32: $cwd"
    cp "$log" "$SDIR/beside.ZUR_USBIO_KAD.log"

    # 2. Only on PATH, then only in the current directory (one at a time: the
    #    classic order would take the current directory's first): never loaded.
    rm -f "$JV_FOLDER/ZUR_USBIO_KAD.dll" "$log"
    local waiting="ZUR Joyvane: Capture library not found, waiting for it: $JV_FOLDER_WIN\\ZUR_USBIO_KAD.dll"
    search_run "$name" "a copy only on PATH" "$TRACE_FILE" OutputDebugStringA 1 missing text="$waiting"
    ! loaded_from "$PATH_PLANT_WIN"
    check $? "$name" "the copy in $PATH_PLANT_WIN (on PATH) is not loaded: its DllMain never ran"
    unplant "$PATH_PLANT_WIN"
    plant "$cwd"
    search_run "$name" "a copy only in the current directory" "$TRACE_FILE" OutputDebugStringA 2 missing text="$waiting"
    ! loaded_from "$cwd"
    check $? "$name" "the copy in $cwd (current directory) is not loaded: its DllMain never ran"
    [[ $(jv_log count "$TRACE_FILE" OutputDebugStringA text="ZUR Joyvane: 126") == 2 ]]
    check $? "$name" "each run traces once why it waits, \"$waiting\", then \"ZUR Joyvane: 126\""
    plant "$PATH_PLANT_WIN"

    # 3. In System32 as well: that one is loaded, the planted ones still not.
    plant "$SYSTEM32_WIN"
    search_run "$name" "a copy in System32 as well" "$(win_path "$SYSTEM32_WIN")/ZUR_USBIO_KAD.log" ZUR_USBIO_API_GetGPIO 1
    jv_log first "$(win_path "$SYSTEM32_WIN")/ZUR_USBIO_KAD.log" Process exe exe="$JV_FOLDER_WIN\\$JV_EXE" >/dev/null
    check $? "$name" "the copy in $SYSTEM32_WIN is loaded"
    ! loaded_from "$PATH_PLANT_WIN" && ! loaded_from "$cwd"
    check $? "$name" "the copies on PATH and in the current directory are still not loaded"
    cp "$(win_path "$SYSTEM32_WIN")/ZUR_USBIO_KAD.log" "$SDIR/system32.ZUR_USBIO_KAD.log"
    unplant "$SYSTEM32_WIN"
    unplant "$cwd"

    # 4. The console program, started from a folder that holds a copy: first
    #    with the library beside it (to see that folder is its current
    #    directory), then without.
    local JV_EXE=joyvane_console.exe console='C:\users\Public\jv-console'
    plant "$console"
    jv_folder_install "$BUILD_DIR/joyvane_console.exe" cdecl
    (cd "$(win_path "$console")" && WINEDEBUG=-all timeout -s INT 3 \
        wine "$JV_FOLDER_WIN\\$JV_EXE" 4 1 0 30 250 </dev/null >/dev/null 2>&1)
    jv_wait_gone 5000 "$JV_EXE"
    loaded_from "$JV_FOLDER_WIN" && [[ $(jv_log first "$log" Process cwd) == "$console"* ]] && ! loaded_from "$console"
    check $? "$name" "console with the library beside it, started in $console: that copy loaded, not the one in its current directory"
    rm -f "$JV_FOLDER/ZUR_USBIO_KAD.dll" "$log"
    # Without it the console waits for the library, as the service does, until
    # Ctrl+C (the SIGINT after 3 s).
    local out rc
    out=$(cd "$(win_path "$console")" && WINEDEBUG=-all timeout -s INT 3 \
        wine "$JV_FOLDER_WIN\\$JV_EXE" 4 1 0 30 250 </dev/null 2>/dev/null | tr -d '\r')
    rc=$?
    [[ $out == *"$waiting"$'\nZUR Joyvane: 126\n'* && $out == *$'\nJoyvane console: stopped.' &&
        $(grep -cF "waiting for it" <<<"$out") == 1 ]]
    check $? "$name" "console without it: \"$waiting\" once, running until Ctrl+C" "exit $rc: $out"
    ! loaded_from "$console" && ! loaded_from "$PATH_PLANT_WIN"
    check $? "$name" "the copies in its current directory and on PATH are not loaded"
    unplant "$console"
    unplant "$PATH_PLANT_WIN"

    jv_wine reg add "$ENV_KEY" /v PATH /t REG_EXPAND_SZ /d "$path_value" /f >/dev/null
    scenario_collect
    session_restart
}

# --- DLLs planted beside the programs ----------------------------------------------

# planted_dlls WINDOWS_DIR: copies of the planted hid.dll and winmm.dll there
# (standins/planted: their DllMain leaves NAME.ran beside them), none run yet.
planted_dlls() {
    local dir
    dir=$(win_path "$1")
    rm -f "$dir"/*.ran
    cp "$JV_STANDINS/planted/hid.dll" "$JV_STANDINS/planted/winmm.dll" "$dir/"
}

# planted_dlls_ran WINDOWS_DIR: the planted DLLs there whose DllMain ran.
planted_dlls_ran() {
    local file
    for file in "$(win_path "$1")"/*.ran; do
        [[ -e $file ]] && printf '%s (in %s) ' "$(basename "$file" .ran)" "$(tr -d '\r' <"$file")"
    done
}

# A hid.dll and a winmm.dll beside each program, in a folder any user may write
# to: neither program imports them, and both load the real ones from System32
# only, so the planted copies never run.
run_planted_dlls() {
    local name=planted-dlls
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    meta kind planted
    local JV_FOLDER_WIN='C:\users\Public\jv-planted' JV_FOLDER ran out
    JV_FOLDER=$(win_path "$JV_FOLDER_WIN")

    # The service, with the test bench's joystick in System32; a long press in
    # mode 2 needs winmm's timer and hid's feature report.
    jv_folder_install "$EXE" cdecl && planted_dlls "$JV_FOLDER_WIN"
    check $? "$name" "the service in \"$JV_FOLDER_WIN\" with a planted hid.dll and winmm.dll beside it"
    jv_scenario "press 1500 1200"
    jv_service_create "4 2 0 30 250" && jv_service_start && out=$(jv_wait RUNNING 10000)
    check $? "$name" "the service runs" "$out"
    jv_log wait "$JV_FOLDER/virtual_hid.log" HidD_SetFeature 1 10000 result=1 bytes=00,00,00,00,01
    check $? "$name" "its long press clicks button 5: System32's hid.dll and winmm.dll serve it"
    jv_service_end
    ran=$(planted_dlls_ran "$JV_FOLDER_WIN")
    [[ -z $ran ]]
    check $? "$name" "neither planted DLL ran in the service: their DllMain never ran" "ran: $ran"
    cp "$JV_FOLDER/virtual_hid.log" "$SDIR/service.virtual_hid.log" 2>/dev/null

    # The console program started in that folder, with Wine's own DLLs (no
    # override): it runs, and loads neither planted copy.
    local JV_EXE=joyvane_console.exe
    jv_folder_install "$BUILD_DIR/joyvane_console.exe" cdecl && planted_dlls "$JV_FOLDER_WIN" &&
        jv_overrides_clear "$JV_EXE"
    out=$(cd "$JV_FOLDER" && WINEDEBUG=-all timeout -s INT 3 \
        wine "$JV_FOLDER_WIN\\$JV_EXE" 4 2 0 30 250 </dev/null 2>&1 | tr -d '\r')
    [[ $out == *"Joyvane console: button 4, mode 2"*"Joyvane console: stopped."* ]]
    check $? "$name" "the console runs in \"$JV_FOLDER_WIN\" with Wine's own hid.dll and winmm.dll" "$out"
    ran=$(planted_dlls_ran "$JV_FOLDER_WIN")
    [[ -z $ran ]]
    check $? "$name" "neither planted DLL ran in the console: their DllMain never ran" "ran: $ran"
    jv_wait_gone 5000 "$JV_EXE"
    jv_overrides_set "$JV_EXE"
}

# --- the console's --status and --configure ------------------------------------------

# console_run ARG...: joyvane_console.exe from the service folder; sets CON_OUT
# (without CRs) and CON_RC.
console_run() {
    CON_OUT=$(cd "$JV_FOLDER" && WINEDEBUG=-all timeout 60 wine "$JV_FOLDER_WIN\\joyvane_console.exe" "$@" \
        </dev/null 2>>"$JV_LOGDIR/wine.log")
    CON_RC=$?
    CON_OUT=${CON_OUT//$'\r'/}
    printf '%s\n' "\$ joyvane_console $*" "$CON_OUT" "(exit $CON_RC)" >>"$SDIR/console.log"
}

# has_line TEXT: whether the last console run printed exactly that line.
has_line() {
    grep -qxF -- "$1" <<<"$CON_OUT"
}

# joyvane_value NAME: a value of HKLM\SOFTWARE\Joyvane, as reg shows it.
joyvane_value() {
    jv_reg_value 'HKLM\SOFTWARE\Joyvane' "$1"
}

run_status_configure() {
    local name=status-configure
    selected "$name" || return 0
    echo "== $name"
    scenario_begin "$name"
    meta kind status-configure
    jv_folder_install "$EXE" cdecl
    cp "$BUILD_DIR/joyvane_console.exe" "$JV_FOLDER/"
    jv_service_delete 2>/dev/null
    local service="service \"$JV_SERVICE\"" first path values

    console_run --status
    [[ $CON_RC == 2 && $CON_OUT == "$service: not installed" ]]
    check $? "$name" "--status, nothing installed: exit 2, \"$service: not installed\"" "exit $CON_RC: $CON_OUT"

    jv_service_create "4 1 0 30 250"
    console_run --status
    [[ $CON_RC == 1 ]] && has_line "$service: STOPPED" &&
        has_line "start: on demand, as LocalSystem" &&
        has_line "command line: $JV_FOLDER_WIN\\$JV_EXE 4 1 0 30 250" &&
        has_line "settings: button 4, mode 1 (pulse), normal values, poll every 30 ms, clicks of 250 ms" &&
        has_line "program: $JV_FOLDER_WIN\\$JV_EXE, version 1.2.0.0" &&
        has_line "capture library: $JV_FOLDER_WIN\\ZUR_USBIO_KAD.dll"
    check $? "$name" "--status, stopped: exit 1, state, start type, account, command line, settings, version, library" "exit $CON_RC: $CON_OUT"
    meta status_stopped "$(head -n 2 <<<"$CON_OUT" | tr '\n' '|')"

    jv_service_start && jv_wait RUNNING 10000 >/dev/null
    console_run --status
    first=$(head -n 1 <<<"$CON_OUT")
    [[ $CON_RC == 0 && $first =~ ^"$service: RUNNING, process "[0-9]+$ ]] && has_line "exit code: 0 (no error)"
    check $? "$name" "--status, running: exit 0, \"$first\"" "exit $CON_RC: $CON_OUT"
    local old_process=${first##* }

    jv_wine reg add 'HKLM\SOFTWARE\Joyvane' /v Installer /t REG_SZ /d msi /f >/dev/null
    console_run --configure 5 3 1 40 200
    [[ $CON_RC == 2 && $CON_OUT == 'MODE "3" refused: the service takes 0, 1 or 2 only; nothing changed' &&
        $(jv_service_image_path) == "$JV_FOLDER_WIN\\$JV_EXE 4 1 0 30 250" && -z $(joyvane_value MODE) ]]
    check $? "$name" "--configure with mode 3: exit 2, refused, nothing changed" "exit $CON_RC: $CON_OUT"

    console_run --configure 5 2 1 40 200
    path="\"$JV_FOLDER_WIN\\$JV_EXE\" 5 2 1 40 200"
    [[ $CON_RC == 0 ]] && has_line "settings: 4 1 0 30 250 -> 5 2 1 40 200" &&
        has_line "command line: $path" && has_line "service: stopped and started again: RUNNING"
    check $? "$name" "--configure 5 2 1 40 200: exit 0, old -> new, restarted" "exit $CON_RC: $CON_OUT"
    [[ $(jv_service_image_path) == "$path" ]]
    check $? "$name" "ImagePath: $path (quoted)" "$(jv_service_image_path)"
    values="$(joyvane_value BUTTON) $(joyvane_value MODE) $(joyvane_value INVERTED) $(joyvane_value POLL_MS) $(joyvane_value CLICK_MS)"
    [[ $values == "5 2 1 40 200" && $(joyvane_value Installer) == msi ]]
    check $? "$name" "HKLM\\SOFTWARE\\Joyvane: BUTTON MODE INVERTED POLL_MS CLICK_MS = 5 2 1 40 200, Installer left as it was" "$values / $(joyvane_value Installer)"
    jv_log wait "$JV_FOLDER/virtual_hid.log" HidD_SetFeature 1 10000 result=1 bytes=00,00,00,00,03
    check $? "$name" "the restarted service runs with them: idle report of buttons 5 and 6 inverted (00 00 00 00 03)"
    console_run --status
    first=$(head -n 1 <<<"$CON_OUT")
    [[ $CON_RC == 0 && ${first##* } != "$old_process" ]] &&
        has_line "settings: buttons 5 and 6, mode 2 (short/long press), inverted values, poll every 40 ms, clicks of 200 ms"
    check $? "$name" "--status afterwards: a new process, the new settings" "exit $CON_RC: $CON_OUT"

    # A stopped service with an unquoted path holding a blank, as Wine's
    # msiexec registers one: written back quoted, not started.
    jv_service_end
    local spaced='C:\joyvane\with blank'
    mkdir -p "$(win_path "$spaced")" && cp "$EXE" "$(win_path "$spaced")/$JV_EXE" &&
        cp "$JV_STANDINS/driver/hid.dll" "$JV_STANDINS/driver/setupapi.dll" "$(win_path "$spaced")/"
    jv_wine sc create "$JV_SERVICE" binpath= "$spaced\\$JV_EXE 4 1 0 30 250" >/dev/null
    console_run --status
    has_line "warning: the program's path is not quoted, so on Windows the service takes the words of its path for its first numbers; --configure writes it quoted"
    check $? "$name" "--status of an unquoted path with a blank warns of it" "$CON_OUT"
    console_run --configure 4 1 0 30 250
    path="\"$spaced\\$JV_EXE\" 4 1 0 30 250"
    [[ $CON_RC == 0 && $(jv_service_image_path) == "$path" ]] &&
        has_line "service: not running; the new settings apply at its next start"
    check $? "$name" "--configure of a stopped service with it: ImagePath $path, not started" "exit $CON_RC: $CON_OUT / $(jv_service_image_path)"
    # No capture library in that folder: the service runs and waits for it.
    jv_service_start
    jv_wait RUNNING 10000 >/dev/null
    console_run --status
    [[ $CON_RC == 0 ]] && has_line "exit code: 0 (no error)" &&
        has_line "capture library: $spaced\ZUR_USBIO_KAD.dll: missing: put the 32-bit ZUR_USBIO_KAD.dll there, or in System32"
    check $? "$name" "--status of a service waiting for its capture library: exit 0, the library missing in \"$spaced\"" "exit $CON_RC: $CON_OUT"
    jv_service_end
    jv_note "$name" "Wine runs every program as an administrator (no UAC, no restricted token), so the refusal for a user without rights (OpenServiceA error 5) is shown on the simulated Windows only"
    cp "$JV_FOLDER"/*.log "$SDIR/" 2>/dev/null
}

# --- platform facts ------------------------------------------------------------------

# facts_run KEY WHAT WINDOWS_EXE: runs tests/platform_facts.cpp's program (its
# output kept in KEY.txt), each fact line becoming a result line of its own
# ("ok", "FAIL"; "skip", "wine-differs" and the DLLs that answered as notes),
# and checks its closing line and exit status.
facts_run() {
    local key=$1 what=$2 rc line last
    jv_wine "$3" >"$FACTS_DIR/$key.raw"
    rc=$?
    tr -d '\r' <"$FACTS_DIR/$key.raw" >"$FACTS_DIR/$key.txt"
    while IFS= read -r line; do
        case $line in
        'ok   '* | 'FAIL '*) echo "${line:0:5}platform-facts ($what): ${line:5}" ;;
        'skip '* | 'wine-differs '* | 'platform: '* | 'answers: '* | 'note: '*)
            echo "note platform-facts ($what): $line" ;;
        esac
    done <"$FACTS_DIR/$key.txt" | tee -a "$RESULTS"
    last=$(tail -n 1 "$FACTS_DIR/$key.txt")
    [[ $rc == 0 && $last == *" passed, 0 failed" ]]
    check $? "platform-facts ($what)" "exit status 0 and \"$last\"" "exit $rc"
}

# What the simulated Windows claims, asked of Wine: first with Wine's own DLLs
# (kernel32, winmm, advapi32, setupapi, hid), then again from the service
# folder with our stand-in setupapi.dll and hid.dll, whose virtual joystick
# gives the setupapi facts a device to read.
run_platform_facts() {
    local name=platform-facts
    selected "$name" || return 0
    echo "== $name"
    FACTS_DIR=$OUT/$name
    mkdir -p "$FACTS_DIR"
    local dir='C:\facts'
    mkdir -p "$(win_path "$dir")" && cp "$BUILD_DIR/platform_facts.exe" "$(win_path "$dir")/"
    facts_run wine "Wine's DLLs" "$dir\\platform_facts.exe"
    local JV_EXE=platform_facts.exe
    jv_folder_install "$BUILD_DIR/platform_facts.exe" cdecl
    facts_run standins "stand-in setupapi and hid" "$JV_FOLDER_WIN\\$JV_EXE"
    cp "$JV_FOLDER/virtual_hid.log" "$FACTS_DIR/" 2>/dev/null
}

# --- main -------------------------------------------------------------------------

echo "e2e: executable $EXE"
echo "e2e: stand-ins  $JV_STANDINS"
jv_prefix_create "$WORK/prefix" || { echo "e2e: no Wine prefix" >&2; exit 2; }
session_start || { echo "e2e: the Wine session did not start" >&2; exit 2; }

scenarios_service
scenarios_start_failure
scenarios_library_wait
run_install
run_console
run_console_runner
run_console_logoff
scenarios_check
run_arguments
run_library_search
run_planted_dlls
run_status_configure
run_platform_facts

total_s=$(( ($(jv_now_us) - RUN_START_US) / 1000000 ))
echo
python3 "$ANALYZE" summary "$OUT" "$total_s"
jv_results_end
