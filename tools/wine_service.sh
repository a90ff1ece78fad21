# shellcheck shell=bash
# Helpers for end-to-end runs of the service under Wine. Source this file:
#
#   source tools/wine_service.sh
#   jv_prefix_create /tmp/jv-prefix          # fresh 32-bit prefix (10 to 13 s)
#   jv_server_start                          # persistent wineserver + services.exe
#   jv_folder_install path/to/joyvane_service.exe stdcall
#   jv_service_create "4 1 0 30 250"
#   jv_service_start && jv_wait RUNNING 10000
#   ...
#   jv_service_stop && jv_wait STOPPED 10000
#   jv_service_delete
#   jv_server_stop
#
# Settings (environment, all optional):
#   JV_STANDINS     build directory of standins/ (holds cdecl/, stdcall/, driver/,
#                   tools/); default: build/windows/standins under the repository
#   JV_SERVICE      service name; default the product's (service/service_lifecycle.h)
#   JV_EXE          executable name the DLL overrides are keyed on; default
#                   joyvane_service.exe
#   JV_WINEDEBUG    WINEDEBUG of the Wine session, and so of services.exe and
#                   every service it starts; default -all
#
# Every function returns non-zero on failure and prints what went wrong to
# standard error. Files, with the prefix in DIR:
#   DIR.logs/wine.log          Wine's own chatter from the commands run here
#   DIR.logs/session.log       standard error of services.exe and of every
#                              service: Wine's debug channels (JV_WINEDEBUG)
#   DIR/drive_c/joyvane/       the service folder: executable, stand-ins, their
#                              logs, and service_stdout.log (see standins/README.md)

JV_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
: "${JV_STANDINS:=$JV_REPO/build/windows/standins}"
: "${JV_SERVICE:=$(python3 "$JV_REPO/tests/e2e/call_log.py" constant serviceName)}"
: "${JV_EXE:=joyvane_service.exe}"
: "${JV_WINEDEBUG:=-all}"

# The service folder as Windows and as Linux see it.
JV_FOLDER_WIN='C:\joyvane'

jv_die() {
    echo "e2e: $*" >&2
    return 1
}

# Microseconds since the Unix epoch: the time base of every stand-in log.
jv_now_us() {
    date +%s%6N
}

# Runs a Wine program quietly; its output (not Wine's) goes to standard output.
# No command may hang a test run: each is ended after JV_WINE_TIMEOUT seconds
# (default 120; exit status 124 then).
jv_wine() {
    WINEDEBUG=-all timeout "${JV_WINE_TIMEOUT:-120}" wine "$@" 2>>"$JV_LOGDIR/wine.log"
}

# --- (a) prefix and server ---------------------------------------------------

# jv_prefix_create DIR: a fresh, headless 32-bit prefix in DIR (removed first).
# Exports WINEPREFIX, WINEARCH and the other settings for the functions below.
jv_prefix_create() {
    local dir=$1
    [[ -n $dir ]] || jv_die "jv_prefix_create: no directory" || return
    rm -rf "$dir" "$dir.logs"
    mkdir -p "$dir.logs"
    export WINEPREFIX=$dir WINEARCH=win32 JV_LOGDIR=$dir.logs
    # No Mono or Gecko installer prompts; no display.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    export JV_FOLDER=$WINEPREFIX/drive_c/joyvane

    local start
    start=$(jv_now_us)
    WINEDEBUG=-all wineboot -i >>"$JV_LOGDIR/wine.log" 2>&1 || jv_die "wineboot -i failed" || return
    # Nothing may try to reach an X server, not even a service's user32.
    jv_wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null ||
        jv_die "cannot set the null graphics driver" || return
    # wineboot leaves a wineserver behind; let it finish writing the registry.
    wineserver -w
    echo "e2e: prefix $dir created in $(( ($(jv_now_us) - start) / 1000 )) ms" >&2
}

# jv_prefix_use DIR: point the functions at an existing prefix.
jv_prefix_use() {
    export WINEPREFIX=$1 WINEARCH=win32 JV_LOGDIR=$1.logs
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    export JV_FOLDER=$WINEPREFIX/drive_c/joyvane
    mkdir -p "$JV_LOGDIR"
}

# jv_server_start: a fresh session: ends any running one, starts a persistent
# wineserver, then the first process of the session, which boots it
# (wineboot, services.exe). services.exe inherits that process's WINEDEBUG and
# standard error, and every service it starts inherits them in turn, so
# $JV_LOGDIR/session.log collects the debug channels of all services. (Not
# their standard output: services.exe starts services without standard
# handles. hid.dll gives the service a file for it instead.)
#
# The server must not inherit the caller's standard streams: it outlives the
# script and would keep a pipe such as `script | tail` open for ever.
jv_server_start() {
    jv_server_stop
    wineserver -p </dev/null >>"$JV_LOGDIR/wine.log" 2>&1 || jv_die "wineserver -p failed" || return
    WINEDEBUG=$JV_WINEDEBUG wine cmd /c exit </dev/null >>"$JV_LOGDIR/session.log" 2>&1 ||
        jv_die "cannot boot the Wine session" || return
}

# jv_server_stop: ends every Wine process of the prefix and the server. A
# service still running is killed, not stopped: Wine sends it no shutdown control.
jv_server_stop() {
    wineserver -k </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1
    return 0
}

# --- (b) the service folder --------------------------------------------------

# jv_folder_install EXE FLAVOUR [FILE...]: fills C:\joyvane with EXE, the
# capture library of FLAVOUR (cdecl or stdcall) and the given extra files (a
# world.scenario, ...), puts the virtual joystick's DLLs into System32
# (jv_driver_install), and keys the DLL overrides on the executable's name.
jv_folder_install() {
    local exe=$1 flavour=$2
    shift 2 || jv_die "jv_folder_install: EXE FLAVOUR [FILE...]" || return
    [[ -f $JV_STANDINS/$flavour/ZUR_USBIO_KAD.dll ]] || jv_die "no $flavour capture library in $JV_STANDINS" || return
    rm -rf "$JV_FOLDER"
    mkdir -p "$JV_FOLDER"
    # An empty world is the default one; that it lies here keeps the joystick
    # stand-ins' world and logs in this folder too (standins/hid/virtual_hid.h).
    cp "$exe" "$JV_FOLDER/$JV_EXE" &&
        cp "$JV_STANDINS/$flavour/ZUR_USBIO_KAD.dll" "$JV_FOLDER/" &&
        : >"$JV_FOLDER/world.scenario" || jv_die "copy failed" || return
    if (($#)); then
        cp "$@" "$JV_FOLDER/" || jv_die "copy failed" || return
    fi
    jv_driver_install && jv_overrides_set "$JV_EXE"
}

# jv_driver_install: the stand-in hid.dll and setupapi.dll in System32, where
# the programs load them from (hid.dll at run time from System32 only, setupapi
# as a KnownDLL). Wine keeps a stub of each built-in DLL there; the native file
# copied over it is used only by the processes whose override asks for native
# (jv_overrides_set). The stand-ins read their world and write their logs beside
# the program that loaded them when a world.scenario lies there, else in System32.
jv_driver_install() {
    local system32=$WINEPREFIX/drive_c/windows/system32
    cmp -s "$JV_STANDINS/driver/hid.dll" "$system32/hid.dll" &&
        cmp -s "$JV_STANDINS/driver/setupapi.dll" "$system32/setupapi.dll" && return 0
    cp "$JV_STANDINS/driver/hid.dll" "$JV_STANDINS/driver/setupapi.dll" "$system32/" ||
        jv_die "cannot put the stand-in hid.dll and setupapi.dll into System32"
}

# jv_overrides_set EXE_NAME: makes the process EXE_NAME load the native hid.dll
# and setupapi.dll of System32 (our stand-ins) rather than Wine's built-in ones.
# The override is per application (HKCU\Software\Wine\AppDefaults\EXE_NAME),
# so the rest of Wine (services.exe, winedevice, ...) keeps the built-in DLLs.
jv_overrides_set() {
    local key="HKCU\\Software\\Wine\\AppDefaults\\$1\\DllOverrides" dll
    for dll in hid setupapi; do
        jv_wine reg add "$key" /v "$dll" /t REG_SZ /d native /f >/dev/null ||
            jv_die "cannot set the $dll override for $1" || return
    done
}

# jv_overrides_clear EXE_NAME: the process EXE_NAME uses Wine's own DLLs again.
jv_overrides_clear() {
    jv_wine reg delete "HKCU\\Software\\Wine\\AppDefaults\\$1\\DllOverrides" /f >/dev/null 2>&1
    return 0
}

# jv_scenario TEXT: (re)writes the world the stand-ins present (the button, the
# faults, the HID devices) in the service folder, in the scenario language of
# world/scenario.h. It is read when the DLLs load, i.e. when the process starts.
jv_scenario() {
    printf '%s\n' "$1" >"$JV_FOLDER/world.scenario"
}

# --- (c) the service ---------------------------------------------------------

# jv_service_create "ARGS": registers the service for the folder's executable
# with the given command-line arguments, e.g. "4 1 0 30 250".
jv_service_create() {
    jv_wine sc create "$JV_SERVICE" binpath= "$JV_FOLDER_WIN\\$JV_EXE $1" >/dev/null ||
        jv_die "sc create failed" || return
}

jv_service_start() {
    jv_wine sc start "$JV_SERVICE" >/dev/null || jv_die "sc start failed" || return
}

jv_service_stop() {
    jv_wine sc stop "$JV_SERVICE" >/dev/null || jv_die "sc stop failed" || return
}

jv_service_delete() {
    jv_wine sc delete "$JV_SERVICE" >/dev/null || jv_die "sc delete failed" || return
}

# jv_service_end: stops the service, waits until it is stopped and its process
# has ended, and deletes it.
jv_service_end() {
    jv_service_stop 2>/dev/null
    jv_wait STOPPED 10000 >/dev/null
    jv_wait_gone 5000
    jv_service_delete
}

# jv_ctl COMMAND [ARGS...]: joyvane_ctl on the service, e.g. `jv_ctl query`.
jv_ctl() {
    local command=$1
    shift
    jv_wine "$JV_STANDINS/tools/joyvane_ctl.exe" "$command" "$JV_SERVICE" "$@"
}

# jv_wait STATE TIMEOUT_MS: waits for the service state (STOPPED, RUNNING, ...).
jv_wait() {
    jv_ctl wait "$1" "$2"
}

# jv_tracecat_start FILE [DURATION_MS]: runs the debug-output reader in the
# background, its call log going to FILE. It returns once the reader owns the
# debug buffer, so that nothing the service traces afterwards is missed. Stop
# it with jv_background_stop.
JV_BACKGROUND_PIDS=()
jv_tracecat_start() {
    : >"$1.err"
    WINEDEBUG=-all wine "$JV_STANDINS/tools/joyvane_tracecat.exe" ${2:+"$2"} >"$1" 2>"$1.err" &
    JV_BACKGROUND_PIDS+=($!)
    jv_wait_for_file "$1.err" "joyvane_tracecat: ready" || jv_die "the debug-output reader did not start"
}

# jv_wait_for_file FILE PATTERN [TIMEOUT_S]: waits until FILE has a line
# matching PATTERN (grep -E); default timeout 10 s.
jv_wait_for_file() {
    local deadline=$((SECONDS + ${3:-10}))
    until grep -qE -- "$2" "$1" 2>/dev/null; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

# jv_background_stop: kills the background readers started above (only those).
jv_background_stop() {
    local pid
    for pid in "${JV_BACKGROUND_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    JV_BACKGROUND_PIDS=()
    return 0
}

# --- (d) the logs ------------------------------------------------------------
# Every stand-in writes a call log (world/call_log.h); tests/e2e/call_log.py
# is their one reader, and its command line the scripts' (see there).

jv_log() {
    python3 "$JV_REPO/tests/e2e/call_log.py" "$@"
}

# jv_reports [NAME=VALUE...]: the feature reports of the joystick's log, as
# "ok|refused B0 B1 B2 B3 B4" (result=1: only those it took).
jv_reports() {
    jv_log reports "$JV_FOLDER/virtual_hid.log" "$@"
}

# jv_load_us LOG TIMEOUT_MS: waits for the capture library's Load record in
# LOG and prints its time (unix microseconds).
jv_load_us() {
    jv_log wait "$1" Load 1 "$2" && jv_log first "$1" Load unix_us
}

# jv_status_reports: every SetServiceStatus call of the service, in order, as
# "pid=N state=N checkpoint=N wait_hint=N accepted=N exit=N" (decimal), from
# Wine's +service trace: it misses none, but needs the session started with
# JV_WINEDEBUG=-all,+service,+pid.
jv_status_reports() {
    jv_log statuses "$JV_LOGDIR/session.log"
}

# --- (e) waiting on logs and processes ---------------------------------------

# jv_sleep_until_us UNIX_US: sleeps until that moment (at once if it has passed).
jv_sleep_until_us() {
    local left=$(($1 - $(jv_now_us)))
    ((left > 0)) && sleep "$(printf '%d.%06d' $((left / 1000000)) $((left % 1000000)))"
    return 0
}

# jv_pids [EXE_NAME]: the Linux process ids of this prefix's processes running
# EXE_NAME (default $JV_EXE). Only processes whose environment names this
# WINEPREFIX count, so other Wine prefixes of the machine are never touched.
jv_pids() {
    local name=${1:-$JV_EXE} dir pid
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        tr '\0' '\n' <"$dir/cmdline" 2>/dev/null | head -n1 | grep -qiF -- "$name" || continue
        tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qxF -- "WINEPREFIX=$WINEPREFIX" || continue
        echo "$pid"
    done
}

# jv_wait_gone TIMEOUT_MS [EXE_NAME]: waits until no such process is left.
jv_wait_gone() {
    local deadline=$(($(jv_now_us) / 1000 + $1))
    while [[ -n $(jv_pids "${2:-$JV_EXE}") ]]; do
        (($(jv_now_us) / 1000 < deadline)) || return 1
        sleep 0.05
    done
}

# jv_reg_value KEY NAME [/reg:32]: a registry value, as reg shows it; empty
# when there is none.
jv_reg_value() {
    jv_wine reg query "$1" /v "$2" ${3:+"$3"} 2>/dev/null | tr -d '\r' | sed -n -E "s/^ +$2 +REG_[A-Z_]+ +//p"
}

# jv_service_value NAME: a value of $JV_SERVICE's registry key, e.g. its
# ImagePath, the registered command line (Wine's sc has no qc).
jv_service_value() {
    jv_reg_value "HKLM\\System\\CurrentControlSet\\Services\\$JV_SERVICE" "$1"
}

jv_service_image_path() {
    jv_service_value ImagePath
}

# jv_service_registered: succeeds when $JV_SERVICE has a registry key.
jv_service_registered() {
    jv_wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$JV_SERVICE" >/dev/null 2>&1
}

# --- (f) a test run and its results ------------------------------------------

# jv_e2e_begin OUT TAG HINT PROGRAM... -- FILE...: the start of a test run; it
# ends the script (status 2) unless each PROGRAM is on PATH and each FILE is
# there (else HINT says what to build). Empties OUT, where RESULTS collects the
# result lines, and makes a WORK folder.
jv_e2e_begin() {
    local out=$1 tag=$2 hint=$3 file
    shift 3
    while (($#)) && [[ $1 != -- ]]; do
        command -v "$1" >/dev/null || { echo "$tag: $1 is needed" >&2; exit 2; }
        shift
    done
    for file in "${@:2}"; do
        [[ -f $file ]] || { echo "$tag: $file missing; $hint" >&2; exit 2; }
    done
    rm -rf "$out"
    mkdir -p "$out"
    RESULTS=$out/results.txt
    : >"$RESULTS"
    # shellcheck disable=SC2034 # the caller's
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/joyvane-$tag.XXXXXX")
}

# jv_note SCENARIO TEXT: a note among the results (neither passed nor failed).
jv_note() {
    echo "note $1: $2" | tee -a "$RESULTS"
}

# check STATUS SCENARIO WHAT [DETAIL]: one result line (STATUS 0 = passed),
# printed and appended to $RESULTS.
check() {
    if [[ $1 == 0 ]]; then
        echo "ok   $2: $3"
    else
        echo "FAIL $2: $3${4:+ -- $4}"
    fi | tee -a "$RESULTS"
}

# jv_results_end: the failed checks again and "N passed, M failed"; fails
# when a check failed.
jv_results_end() {
    local passed failed
    passed=$(grep -c '^ok ' "$RESULTS")
    failed=$(grep -c '^FAIL ' "$RESULTS")
    echo
    grep '^FAIL ' "$RESULTS"
    echo "$passed passed, $failed failed"
    ((failed == 0))
}
