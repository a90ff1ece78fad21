#!/usr/bin/env bash
# The release MSI: its tables, and a round trip under Wine's msiexec.
#
#   tests/e2e/msi.sh [BUILD_DIR]        (default build/windows; cpack must have run)
#
# 1. The tables of joyvane-<version>.msi, read with msiinfo: the five settings
#    and their defaults, secure; the service's registration and control; the
#    sc.exe custom actions and their place in the sequence; the folder; the
#    upgrade rows.
# 2. In a fresh 32-bit Wine prefix, with the stand-ins of the capture library
#    and the joystick in System32 (where the service finds them: nothing but
#    the installer's own files goes into its folder) and sc_recorder.exe as
#    System32\sc.exe (standins/tools/sc_recorder.cpp: Wine's sc.exe cannot set
#    privileges, SID types or failure actions):
#    - refused: a setting that is not a number, and a failing sc.exe call
#      (which must leave nothing behind);
#    - `msiexec /i joyvane-<version>.msi /qn MODE=2 BUTTON=5`: files under
#      Program Files, the service registered with those numbers and running
#      with them, the sc.exe calls made on the stopped service;
#    - an upgrade to a higher version (the same files, built with
#      packaging/msi.cmake) with other numbers: the old service stopped in
#      order, the new one running with the new numbers, one product left;
#    - the older version refused over the newer one;
#    - `msiexec /x`: service, folder and product registration gone;
#    - a capture library put into the installed folder by hand stays through an
#      upgrade (one without numbers: the defaults are registered), and the
#      uninstall leaves it (with the folder) and nothing else.
#
# Prints one line per check and "N passed, M failed"; exits non-zero when a
# check failed. Logs (msiexec's own, the stand-ins', sc_calls.log) are kept in
# build/e2e-msi/. Needs wine (wine32:i386), wixl and msitools, cmake.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR=${1:-build/windows}
[[ $BUILD_DIR = /* ]] || BUILD_DIR=$REPO/$BUILD_DIR
VERSION=$(sed -n -E 's/^project\(joyvane VERSION ([0-9.]+) .*/\1/p' "$REPO/CMakeLists.txt")
MSI=$BUILD_DIR/joyvane-$VERSION.msi
export JV_STANDINS=$BUILD_DIR/standins
OUT=$REPO/build/e2e-msi
# shellcheck source=tools/wine_service.sh
source "$REPO/tools/wine_service.sh"

for tool in wine wineserver msiinfo msiextract cmake; do
    command -v "$tool" >/dev/null || { echo "msi: $tool is needed" >&2; exit 2; }
done
for file in "$MSI" "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$JV_STANDINS/driver/hid.dll" \
    "$JV_STANDINS/driver/setupapi.dll" "$JV_STANDINS/tools/joyvane_ctl.exe" \
    "$JV_STANDINS/tools/sc_recorder.exe"; do
    [[ -f $file ]] || { echo "msi: $file missing; build the windows preset and run cpack" >&2; exit 2; }
done

rm -rf "$OUT"
mkdir -p "$OUT"
RESULTS=$OUT/results.txt
: >"$RESULTS"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/joyvane-msi.XXXXXX")
cleanup() {
    trap - EXIT INT TERM
    [[ -n ${WINEPREFIX:-} ]] && jv_server_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "msi: interrupted" >&2; exit 130' INT TERM

# check STATUS WHAT [DETAIL]: one result line (STATUS 0 = passed).
check() {
    if [[ $1 == 0 ]]; then
        echo "ok   msi: $2"
    else
        echo "FAIL msi: $2${3:+ -- $3}"
    fi | tee -a "$RESULTS"
}

# same WHAT EXPECTED ACTUAL: passes when both texts are identical.
same() {
    [[ $2 == "$3" ]]
    check $? "$1" "$(printf 'expected:\n%s\nactual:\n%s' "$2" "$3")"
}

# rows MSI TABLE: the table's rows, without msiinfo's three header lines.
rows() {
    msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'
}

property() {
    rows "$1" Property | awk -F'\t' -v name="$2" '$1 == name { print $2 }'
}

# --- 1. the tables ------------------------------------------------------------------

echo "== tables of $(basename "$MSI")"
TAB=$'\t'
same "Property: the five settings and their defaults" \
    "BUTTON${TAB}4
MODE${TAB}1
INVERTED${TAB}0
POLL_MS${TAB}30
CLICK_MS${TAB}250" \
    "$(rows "$MSI" Property | grep -E '^(BUTTON|MODE|INVERTED|POLL_MS|CLICK_MS)'$'\t')"
same "Property: the five settings are secure (they survive elevation)" \
    "WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;BUTTON;MODE;INVERTED;POLL_MS;CLICK_MS" \
    "$(property "$MSI" SecureCustomProperties)"
same "Property: per machine (ALLUSERS 1), ProductVersion $VERSION, the upgrade code" \
    "1 $VERSION {6F1B8B64-4C43-4E5C-9B0E-5A9D2C7E1A30}" \
    "$(property "$MSI" ALLUSERS) $(property "$MSI" ProductVersion) $(property "$MSI" UpgradeCode)"
same "Summary: a 32-bit package (template Intel;1033)" "Template: Intel;1033" \
    "$(msiinfo suminfo "$MSI" | grep '^Template:')"
same "Directory: Joyvane under ProgramFilesFolder, not settable from the command line" \
    "JoyvaneFolder${TAB}ProgramFilesFolder${TAB}Joyvane
ProgramFilesFolder${TAB}TARGETDIR${TAB}.
TARGETDIR${TAB}${TAB}SourceDir" \
    "$(rows "$MSI" Directory | LC_ALL=C sort)"
same "File: the two programs and the papers" \
    "LICENSE
README.md
joyvane_console.exe
joyvane_service.exe" \
    "$(rows "$MSI" File | cut -f3 | LC_ALL=C sort)"
same "ServiceInstall: own process (16), auto start (2), LocalSystem, the five settings" \
    "Service${TAB}ZUR Service 1.02${TAB}ZUR Service 1.02${TAB}16${TAB}2${TAB}1${TAB}${TAB}${TAB}LocalSystem${TAB}${TAB}[BUTTON] [MODE] [INVERTED] [POLL_MS] [CLICK_MS]${TAB}Service${TAB}Joyvane: the capture device's push-button as virtual joystick buttons." \
    "$(rows "$MSI" ServiceInstall)"
# 163 = start on install (1) + stop on install (2) + stop on uninstall (32)
#       + remove on uninstall (128); the installer waits for each (1).
same "ServiceControl: start on install, stop on install and uninstall, remove on uninstall, wait" \
    "Service${TAB}ZUR Service 1.02${TAB}163${TAB}${TAB}1${TAB}Service" \
    "$(rows "$MSI" ServiceControl)"
# 3122 = 50 (run the program named by a property) + 1024 (deferred)
#        + 2048 (as the installer, not the user); no "continue on error" bit.
same "CustomAction: sc.exe from System32 for privileges, SID type, failure actions, failure flag" \
    "SetScExe${TAB}2099${TAB}JoyvaneScExe${TAB}[SystemFolder]sc.exe${TAB}
ScPrivileges${TAB}3122${TAB}JoyvaneScExe${TAB}privs \"ZUR Service 1.02\" SeChangeNotifyPrivilege${TAB}
ScSidType${TAB}3122${TAB}JoyvaneScExe${TAB}sidtype \"ZUR Service 1.02\" unrestricted${TAB}
ScFailure${TAB}3122${TAB}JoyvaneScExe${TAB}failure \"ZUR Service 1.02\" reset= 86400 actions= restart/5000/restart/60000//${TAB}
ScFailureFlag${TAB}3122${TAB}JoyvaneScExe${TAB}failureflag \"ZUR Service 1.02\" 1${TAB}" \
    "$(rows "$MSI" CustomAction)"
same "InstallExecuteSequence: old version removed first; sc.exe between InstallServices and StartServices" \
    "LaunchConditions${TAB}
InstallValidate${TAB}
RemoveExistingProducts${TAB}
InstallInitialize${TAB}
StopServices${TAB}VersionNT
DeleteServices${TAB}VersionNT
InstallFiles${TAB}
InstallServices${TAB}VersionNT
SetScExe${TAB}
ScPrivileges${TAB}NOT REMOVE~=\"ALL\"
ScSidType${TAB}NOT REMOVE~=\"ALL\"
ScFailure${TAB}NOT REMOVE~=\"ALL\"
ScFailureFlag${TAB}NOT REMOVE~=\"ALL\"
StartServices${TAB}VersionNT
InstallFinalize${TAB}" \
    "$(rows "$MSI" InstallExecuteSequence | sort -t"$TAB" -k3,3n |
        grep -E '^(LaunchConditions|InstallValidate|RemoveExistingProducts|InstallInitialize|StopServices|DeleteServices|InstallFiles|InstallServices|Sc[A-Za-z]+|SetScExe|StartServices|InstallFinalize)'$'\t' |
        cut -f1,2)"
same "Upgrade: older versions are removed, a newer one is detected" \
    "{6F1B8B64-4C43-4E5C-9B0E-5A9D2C7E1A30}${TAB}${TAB}$VERSION${TAB}${TAB}1${TAB}${TAB}WIX_UPGRADE_DETECTED
{6F1B8B64-4C43-4E5C-9B0E-5A9D2C7E1A30}${TAB}$VERSION${TAB}${TAB}${TAB}2${TAB}${TAB}WIX_DOWNGRADE_DETECTED" \
    "$(rows "$MSI" Upgrade)"
same "LaunchCondition: no downgrade; the settings must be whole numbers" \
    "NOT WIX_DOWNGRADE_DETECTED
Installed OR ((BUTTON >= 0 OR BUTTON < 0) AND (MODE >= 0 OR MODE < 0) AND (INVERTED >= 0 OR INVERTED < 0) AND (POLL_MS >= 0 OR POLL_MS < 0) AND (CLICK_MS >= 0 OR CLICK_MS < 0))" \
    "$(rows "$MSI" LaunchCondition | cut -f1)"

# --- 2. the round trip under Wine ---------------------------------------------------

# A higher version of the same files: what an upgrade installs.
IFS=. read -r major minor patch <<<"$VERSION"
NEXT=$major.$minor.$((patch + 1))
mkdir -p "$WORK/files"
msiextract -C "$WORK/files" "$MSI" >/dev/null
FILES="$WORK/files/Program Files/Joyvane"
cmake -D "JOYVANE_MSI_VERSION=$NEXT" -D "JOYVANE_MSI_FILES=$FILES" \
    -D "JOYVANE_MSI_OUTPUT=$WORK/joyvane-$NEXT.msi" -P "$REPO/packaging/msi.cmake" >/dev/null
check $? "joyvane-$NEXT.msi built from the same files for the upgrade"

jv_prefix_create "$WORK/prefix" || { echo "msi: no Wine prefix" >&2; exit 2; }
jv_server_start || { echo "msi: the Wine session did not start" >&2; exit 2; }

SYSTEM32=$WINEPREFIX/drive_c/windows/system32
INSTALLED="$WINEPREFIX/drive_c/Program Files/Joyvane"
INSTALLED_WIN='C:\Program Files\Joyvane'
# The stand-ins' logs, scenario and configuration live beside them (wine_service.sh's
# jv_scenario and jv_reports use this folder).
JV_FOLDER=$SYSTEM32
mkdir -p "$WINEPREFIX/drive_c/msi"
cp "$MSI" "$WORK/joyvane-$NEXT.msi" "$WINEPREFIX/drive_c/msi/"
# Wine keeps a builtin DLL's name in System32 as a stub; a native file copied
# over it is used by the processes told to prefer native: the service for hid
# and setupapi (jv_overrides_set), everyone for sc.exe.
cp "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$JV_STANDINS/driver/hid.dll" \
    "$JV_STANDINS/driver/setupapi.dll" "$SYSTEM32/" &&
    cp "$JV_STANDINS/tools/sc_recorder.exe" "$SYSTEM32/sc.exe" &&
    jv_overrides_set "$JV_EXE" &&
    jv_wine reg add 'HKCU\Software\Wine\DllOverrides' /v sc.exe /t REG_SZ /d native /f >/dev/null
check $? "stand-ins and sc_recorder.exe placed in System32"

# msiexec ACTION MSI_NAME LOG_NAME ARGS...: runs msiexec quietly with a verbose log;
# prints its exit status. Wine passes only the low byte of it to Linux:
# 1603 (install failure) arrives as 67, 1627 (function failed) as 91.
msiexec() {
    local action=$1 msi=$2 log=$3
    shift 3
    jv_wine msiexec "$action" "C:\\msi\\$msi" /qn /l*v "C:\\msi\\$log.log" "$@" >/dev/null
    local rc=$?
    cp "$WINEPREFIX/drive_c/msi/$log.log" "$OUT/" 2>/dev/null
    echo "$rc"
}

uninstall_key() {
    echo "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$(property "$1" ProductCode)"
}

# registered MSI: succeeds when the product of MSI is registered for removal.
registered() {
    jv_wine reg query "$(uninstall_key "$1")" >/dev/null 2>&1
}

nothing_left() {
    ! jv_service_registered && [[ ! -e $INSTALLED ]] && ! registered "$MSI"
}

# reports_after N: the first N reports the joystick accepted, bytes only.
reports_after() {
    jv_wait_for_count "$SYSTEM32/virtual_hid_reports.log" ' ok ' "$1" 10000
    jv_reports | head -n "$1" | cut -d' ' -f2- | paste -sd'|'
}

# logs_restart: empties the stand-ins' logs. A running service keeps them open
# and appends (O_APPEND under Wine), so they are truncated, not removed: its
# last lines must not go to a deleted file.
logs_restart() {
    local file
    for file in ZUR_USBIO_KAD.log virtual_hid.log virtual_hid_reports.log; do
        [[ -f $SYSTEM32/$file ]] && : >"$SYSTEM32/$file"
    done
    return 0
}

sc_calls() {
    cut -d' ' -f5- "$SYSTEM32/sc_calls.log" 2>/dev/null
}

# The calls of one install, each made on the registered, not yet started service.
expected_sc_calls() {
    printf '%s\n' \
        "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe privs \"ZUR Service 1.02\" SeChangeNotifyPrivilege" \
        "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe sidtype \"ZUR Service 1.02\" unrestricted" \
        "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe failure \"ZUR Service 1.02\" reset= 86400 actions= restart/5000/restart/60000//" \
        "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe failureflag \"ZUR Service 1.02\" 1"
}

echo "== refused installs of $(basename "$MSI")"
rc=$(msiexec /i "$(basename "$MSI")" refused-word MODE=fast)
[[ $rc == 67 ]] && nothing_left && [[ ! -s $SYSTEM32/sc_calls.log ]]
check $? "MODE=fast: refused by the launch condition (1603), nothing installed, sc.exe never run" "exit $rc"

echo "sc-sidtype fail 0 end 1060" >"$SYSTEM32/world.scenario"
rc=$(msiexec /i "$(basename "$MSI")" refused-sc MODE=2 BUTTON=5)
[[ $rc != 0 ]] && nothing_left
check $? "sc.exe sidtype failing (1060): the install fails (exit $rc) and is rolled back: no service, no folder, no product"
same "... after sc.exe privs succeeded and sidtype failed, nothing more was run" \
    "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe privs \"ZUR Service 1.02\" SeChangeNotifyPrivilege
exit=1060 service=STOPPED C:\\windows\\system32\\sc.exe sidtype \"ZUR Service 1.02\" unrestricted" \
    "$(sc_calls)"
rm -f "$SYSTEM32/world.scenario" "$SYSTEM32/sc_calls.log"

echo "== msiexec /i $(basename "$MSI") /qn MODE=2 BUTTON=5"
logs_restart
# Mode 2 with button 5: a short press clicks button 5, a long one button 6.
jv_scenario "press 1500 300
press 2300 1200"
rc=$(msiexec /i "$(basename "$MSI")" install MODE=2 BUTTON=5)
check "$rc" "installed: exit 0" "exit $rc"
same "files under \"$INSTALLED_WIN\"" "LICENSE
README.md
joyvane_console.exe
joyvane_service.exe" "$(ls "$INSTALLED" 2>/dev/null | LC_ALL=C sort)"
cmp -s "$INSTALLED/joyvane_service.exe" "$FILES/joyvane_service.exe" &&
    cmp -s "$INSTALLED/joyvane_console.exe" "$FILES/joyvane_console.exe"
check $? "the installed programs are the packaged ones, byte for byte"
# Wine's msi registers the path without quotes; Windows Installer's own
# quoting shows only on Windows (README).
same "registered command line: the installed program with 5 2 0 30 250" \
    "$INSTALLED_WIN\\joyvane_service.exe 5 2 0 30 250" "$(jv_service_image_path)"
key="HKLM\\System\\CurrentControlSet\\Services\\$JV_SERVICE"
values=$(jv_wine reg query "$key" | tr -d '\r')
grep -qE '^ +Start +REG_DWORD +0x2$' <<<"$values" && grep -qE '^ +Type +REG_DWORD +0x10$' <<<"$values" &&
    grep -qE '^ +ObjectName +REG_SZ +LocalSystem$' <<<"$values"
check $? "auto start (Start 2), own process (Type 0x10), LocalSystem" "$values"
same "sc.exe by full path, on the registered but not yet started service, in order" \
    "$(expected_sc_calls)" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? "the service was started and is running" "$out"
same "it runs with the numbers given: idle, short press -> button 5, long press -> button 6" \
    "00 00 00 00 00|00 00 00 00 01|00 00 00 00 00|00 00 00 00 02|00 00 00 00 00" "$(reports_after 5)"
registered "$MSI"
check $? "product $VERSION registered ($(property "$MSI" ProductCode))"
old_pid=$(awk '$5 ~ /^Load\(/ { print $3; exit }' "$SYSTEM32/ZUR_USBIO_KAD.log")

echo "== upgrade: msiexec /i joyvane-$NEXT.msi /qn MODE=0 BUTTON=6 INVERTED=1 POLL_MS=40 CLICK_MS=200"
logs_restart
: >"$SYSTEM32/sc_calls.log"
rc=$(msiexec /i "joyvane-$NEXT.msi" upgrade MODE=0 BUTTON=6 INVERTED=1 POLL_MS=40 CLICK_MS=200)
check "$rc" "upgraded: exit 0" "exit $rc"
same "the old service (pid $old_pid) was stopped in order, then the new one loaded the library" \
    "$old_pid Unload(FreeLibrary)|new Load(cdecl)" "$(awk -v old="$old_pid" '
        $5 ~ /^Unload\(/ || $5 ~ /^Load\(/ { printf "%s%s %s", sep, ($3 == old ? old : "new"), $5; sep = "|" }
    ' "$SYSTEM32/ZUR_USBIO_KAD.log")"
same "registered command line: 6 0 1 40 200" \
    "$INSTALLED_WIN\\joyvane_service.exe 6 0 1 40 200" "$(jv_service_image_path)"
same "sc.exe calls made again for the new registration" "$(expected_sc_calls)" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? "the new service is running" "$out"
new_pid=$(awk -v old="$old_pid" '$5 ~ /^Load\(/ && $3 != old { print $3; exit }' "$SYSTEM32/ZUR_USBIO_KAD.log")
jv_wait_for_count "$SYSTEM32/virtual_hid_reports.log" " $new_pid [0-9]+ ok " 5 10000
same "it runs with the new numbers: inverted button 6 follows the presses (idle 02, down 00)" \
    "00 00 00 00 02|00 00 00 00 00|00 00 00 00 02|00 00 00 00 00|00 00 00 00 02" \
    "$(awk -v pid="$new_pid" '$3 == pid && $5 == "ok" { $1 = $2 = $3 = $4 = $5 = ""; print substr($0, 6) }' \
        "$SYSTEM32/virtual_hid_reports.log" | head -n 5 | paste -sd'|')"
registered "$WORK/joyvane-$NEXT.msi" && ! registered "$MSI"
check $? "only the new product is registered"

echo "== downgrade: msiexec /i $(basename "$MSI") over $NEXT"
rc=$(msiexec /i "$(basename "$MSI")" downgrade)
[[ $rc == 67 ]] && registered "$WORK/joyvane-$NEXT.msi" &&
    [[ $(jv_service_image_path) == "$INSTALLED_WIN\\joyvane_service.exe 6 0 1 40 200" ]]
check $? "refused (1603): the newer version and its service stay" "exit $rc"

echo "== msiexec /x joyvane-$NEXT.msi /qn"
logs_restart
rc=$(msiexec /x "joyvane-$NEXT.msi" uninstall)
check "$rc" "uninstalled: exit 0" "exit $rc"
! jv_service_registered
check $? "the service is removed"
jv_wait_gone 5000
check $? "the service process has ended"
grep -q ' Unload(FreeLibrary) ' "$SYSTEM32/ZUR_USBIO_KAD.log"
check $? "it was stopped in order (its worker unloaded the capture library)"
[[ ! -e $INSTALLED ]]
check $? "\"$INSTALLED_WIN\" is gone" "$(ls -A "$INSTALLED" 2>&1)"
! registered "$WORK/joyvane-$NEXT.msi"
check $? "the product is no longer registered"

echo "== the capture library put beside the installed program by hand"
rc=$(msiexec /i "$(basename "$MSI")" own-library-install MODE=0)
cp "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$INSTALLED/" && [[ $rc == 0 ]]
check $? "installed again, library copied to \"$INSTALLED_WIN\"" "exit $rc"
rc=$(msiexec /i "joyvane-$NEXT.msi" own-library-upgrade)
[[ $rc == 0 ]] && cmp -s "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$INSTALLED/ZUR_USBIO_KAD.dll"
check $? "it stays through an upgrade" "exit $rc"
same "an upgrade without numbers registers the defaults, not the older version's numbers" \
    "$INSTALLED_WIN\\joyvane_service.exe 4 1 0 30 250" "$(jv_service_image_path)"
jv_wait_for_count "$INSTALLED/ZUR_USBIO_KAD.log" ' Load\(cdecl\) ' 1 10000
check $? "the upgraded service loads it from there (it writes its log beside itself)"
rc=$(msiexec /x "joyvane-$NEXT.msi" own-library-uninstall)
check "$rc" "uninstalled: exit 0" "exit $rc"
same "the uninstall leaves the library (with its log), and so the folder, and nothing else" \
    "ZUR_USBIO_KAD.dll
ZUR_USBIO_KAD.log" "$(ls -A "$INSTALLED" 2>&1 | LC_ALL=C sort)"

cp "$SYSTEM32"/ZUR_USBIO_KAD.log "$SYSTEM32"/virtual_hid_reports.log "$SYSTEM32"/sc_calls.log "$OUT/" 2>/dev/null
passed=$(grep -c '^ok ' "$RESULTS")
failed=$(grep -c '^FAIL ' "$RESULTS")
echo
grep '^FAIL ' "$RESULTS"
echo "$passed passed, $failed failed"
((failed == 0))
