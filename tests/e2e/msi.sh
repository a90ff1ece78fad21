#!/usr/bin/env bash
# The release MSI: its tables, and a round trip under Wine's msiexec.
#
#   tests/e2e/msi.sh [BUILD_DIR]        (default build/windows; cpack must have run)
#
# 1. The tables of joyvane-<version>.msi, read with msiinfo: the settings without
#    a value in the Property table, secure, decided by AppSearch and type-51
#    actions before the launch conditions (one per setting); their key in the
#    32-bit registry; the service's registration (Vital) and control; the sc.exe
#    custom actions, their conditions and their place in the sequence; the
#    folder and files (uninstall.cmd, never the capture library); the upgrade
#    rows (the same version included).
# 2. In a fresh 32-bit Wine prefix, with the stand-ins of the capture library
#    and the joystick in System32 (where the service finds them: nothing but
#    the installer's own files goes into its folder) and sc_recorder.exe as
#    System32\sc.exe (standins/tools/sc_recorder.cpp: Wine's sc.exe cannot set
#    privileges, SID types or failure actions):
#    - refused, nothing installed, with the launch condition of the setting at
#      fault (Wine shows no message under /qn, so the condition that evaluated
#      false is read from a trace+msi log): a word, MODE=3, another ACCOUNT;
#      and a failing sc.exe call (which must leave nothing behind);
#    - `msiexec /i joyvane-<version>.msi /qn MODE=2 BUTTON=5`: files under
#      Program Files, the settings key, the service registered with those
#      numbers and running with them, the sc.exe calls made on the stopped
#      service;
#    - a repair and a second run without numbers keep them and run no sc.exe;
#      a repair with a bad BUTTON is refused; a second run with other numbers
#      registers the service anew with them (hardened again) and stores them;
#    - an upgrade to a higher version (the same files, built with
#      packaging/msi.cmake) without numbers keeps them; a rebuild of that
#      version replaces it (one product left); the older version is refused;
#    - a repair that finds the service deleted registers and hardens it again;
#    - `msiexec /x`: service, folder, settings key and product registration gone;
#    - ACCOUNT=LocalService: the service runs as NT AUTHORITY\LocalService, and
#      a repair keeps it;
#    - with no capture library anywhere the installed service runs; a library
#      put into the installed folder later is polled within 2 s, stays through
#      an upgrade, and the uninstall leaves it (with the folder) and nothing
#      else.
#
# Wine's msiexec does not implement /f (a product code: "not implemented yet";
# a package: looked up as a product code, 1605), so a repair is run as what /f
# sets: `msiexec /i PACKAGE REINSTALL=ALL REINSTALLMODE=amus` (or vomus).
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

jv_e2e_begin "$OUT" msi "build the windows preset and run cpack" wine wineserver msiinfo msiextract cmake -- \
    "$MSI" "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$JV_STANDINS"/driver/{hid,setupapi}.dll \
    "$JV_STANDINS"/tools/{joyvane_ctl,sc_recorder}.exe
cleanup() {
    trap - EXIT INT TERM
    [[ -n ${WINEPREFIX:-} ]] && jv_server_stop
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'echo "msi: interrupted" >&2; exit 130' INT TERM

# same WHAT EXPECTED ACTUAL: passes when both texts are identical.
same() {
    [[ $2 == "$3" ]]
    check $? msi "$1" "$(printf 'expected:\n%s\nactual:\n%s' "$2" "$3")"
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
SETTINGS_KEY='SOFTWARE\Joyvane'
same "Property: no value for the settings, so that one not given can be told from its default" \
    "" "$(rows "$MSI" Property | grep -E '^(BUTTON|MODE|INVERTED|POLL_MS|CLICK_MS|ACCOUNT)'$'\t')"
same "Property: the settings are secure (they survive elevation)" \
    "WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;BUTTON;MODE;INVERTED;POLL_MS;CLICK_MS;ACCOUNT" \
    "$(property "$MSI" SecureCustomProperties)"
same "Property: per machine (ALLUSERS 1), ProductVersion $VERSION, the upgrade code" \
    "1 $VERSION {6F1B8B64-4C43-4E5C-9B0E-5A9D2C7E1A30}" \
    "$(property "$MSI" ALLUSERS) $(property "$MSI" ProductVersion) $(property "$MSI" UpgradeCode)"
same "Summary: a 32-bit package (template Intel;1033)" "Template: Intel;1033" \
    "$(msiinfo suminfo "$MSI" | grep '^Template:')"
# RegLocator Type 2: a raw value, in the 32-bit view (no msidbLocatorType64bit, 16).
same "AppSearch/RegLocator: each stored setting read raw from HKLM\\$SETTINGS_KEY (32-bit view), and the service's key" \
    "ACCOUNT${TAB}2${TAB}$SETTINGS_KEY${TAB}2 -> STORED_ACCOUNT
BUTTON${TAB}2${TAB}$SETTINGS_KEY${TAB}2 -> STORED_BUTTON
CLICK_MS${TAB}2${TAB}$SETTINGS_KEY${TAB}2 -> STORED_CLICK_MS
INVERTED${TAB}2${TAB}$SETTINGS_KEY${TAB}2 -> STORED_INVERTED
ImagePath${TAB}2${TAB}SYSTEM\\CurrentControlSet\\Services\\ZUR Service 1.02${TAB}2 -> SERVICE_REGISTERED
MODE${TAB}2${TAB}$SETTINGS_KEY${TAB}2 -> STORED_MODE
POLL_MS${TAB}2${TAB}$SETTINGS_KEY${TAB}2 -> STORED_POLL_MS" \
    "$(join -t"$TAB" -1 2 -2 1 <(rows "$MSI" AppSearch | sort -t"$TAB" -k2,2) <(rows "$MSI" RegLocator | sort) |
        awk -F'\t' '{ print $5 "\t" $3 "\t" $4 "\t" $6 " -> " $2 }' | LC_ALL=C sort)"
# Each setting: the command line's value (no action), else the stored one, else
# the default; all before LaunchConditions (100), in both sequences.
decide="RecallButton${TAB}BUTTON=\"\" AND STORED_BUTTON<>\"\"${TAB}51 BUTTON=[STORED_BUTTON]
RecallMode${TAB}MODE=\"\" AND STORED_MODE<>\"\"${TAB}52 MODE=[STORED_MODE]
RecallInverted${TAB}INVERTED=\"\" AND STORED_INVERTED<>\"\"${TAB}53 INVERTED=[STORED_INVERTED]
RecallPollMs${TAB}POLL_MS=\"\" AND STORED_POLL_MS<>\"\"${TAB}54 POLL_MS=[STORED_POLL_MS]
RecallClickMs${TAB}CLICK_MS=\"\" AND STORED_CLICK_MS<>\"\"${TAB}55 CLICK_MS=[STORED_CLICK_MS]
RecallAccount${TAB}ACCOUNT=\"\" AND STORED_ACCOUNT<>\"\"${TAB}56 ACCOUNT=[STORED_ACCOUNT]
DefaultButton${TAB}BUTTON=\"\"${TAB}61 BUTTON=4
DefaultMode${TAB}MODE=\"\"${TAB}62 MODE=1
DefaultInverted${TAB}INVERTED=\"\"${TAB}63 INVERTED=0
DefaultPollMs${TAB}POLL_MS=\"\"${TAB}64 POLL_MS=30
DefaultClickMs${TAB}CLICK_MS=\"\"${TAB}65 CLICK_MS=250
DefaultAccount${TAB}ACCOUNT=\"\"${TAB}66 ACCOUNT=LocalSystem"
for sequence in InstallUISequence InstallExecuteSequence; do
    same "$sequence: AppSearch (50), then command line, stored value, default (type 51), then LaunchConditions (100)" \
        "AppSearch${TAB}${TAB}50
$decide
LaunchConditions${TAB}${TAB}100" \
        "$(join -t"$TAB" -a1 <(rows "$MSI" "$sequence" | awk -F'\t' '$3 <= 100' | sort) \
            <(rows "$MSI" CustomAction | awk -F'\t' '$2 == 2099 { print $1 "\t" $3 "=" $4 }' | sort) |
            sort -t"$TAB" -k3,3n | awk -F'\t' '$1 != "FindRelatedProducts" { print $1 "\t" $2 "\t" $3 ($4 == "" ? "" : " " $4) }')"
done
same "LaunchCondition: no downgrade; each setting checked on every run but an uninstall, its message naming it and its range" \
    "NOT WIX_DOWNGRADE_DETECTED${TAB}A newer version of Joyvane is already installed.
REMOVE~=\"ALL\" OR (BUTTON >= -32767 AND BUTTON <= 32767)${TAB}BUTTON must be a whole number from -32767 to 32767 (2 to 7 selects that joystick button, anything else button 1), for example BUTTON=4.
REMOVE~=\"ALL\" OR (MODE >= 0 AND MODE <= 2)${TAB}MODE must be 0 (follow), 1 (pulse) or 2 (short/long press), for example MODE=1.
REMOVE~=\"ALL\" OR (INVERTED >= -32767 AND INVERTED <= 32767)${TAB}INVERTED must be a whole number from -32767 to 32767 (1 for active-low button values, anything else normal values), for example INVERTED=0.
REMOVE~=\"ALL\" OR (POLL_MS >= -32767 AND POLL_MS <= 32767)${TAB}POLL_MS must be a whole number of milliseconds from -32767 to 32767 (0 or less polls every millisecond), for example POLL_MS=30.
REMOVE~=\"ALL\" OR (CLICK_MS >= -32767 AND CLICK_MS <= 32767)${TAB}CLICK_MS must be a whole number of milliseconds from -32767 to 32767 (less than 0 is no click pause), for example CLICK_MS=250.
REMOVE~=\"ALL\" OR ACCOUNT~=\"LocalSystem\" OR ACCOUNT~=\"LocalService\"${TAB}ACCOUNT must be LocalSystem or LocalService, for example ACCOUNT=LocalService." \
    "$(rows "$MSI" LaunchCondition)"
same "Directory: Joyvane under ProgramFilesFolder, not settable from the command line" \
    "JoyvaneFolder${TAB}ProgramFilesFolder${TAB}Joyvane
ProgramFilesFolder${TAB}TARGETDIR${TAB}.
TARGETDIR${TAB}${TAB}SourceDir" \
    "$(rows "$MSI" Directory | LC_ALL=C sort)"
same "File: the two programs, uninstall.cmd and the papers; never the capture library" \
    "LICENSE
README.md
joyvane_console.exe
joyvane_service.exe
uninstall.cmd" \
    "$(rows "$MSI" File | cut -f3 | LC_ALL=C sort)"
# Component attributes 4: the key path is a registry value; no 256 (Win64).
same "Registry: the settings as REG_SZ and Installer=msi in HKLM (root 2), 32-bit; the key deleted on removal (\"-\")" \
    "2${TAB}SOFTWARE\\Joyvane${TAB}-${TAB}
2${TAB}SOFTWARE\\Joyvane\\${TAB}ACCOUNT${TAB}[ACCOUNT]
2${TAB}SOFTWARE\\Joyvane\\${TAB}BUTTON${TAB}[BUTTON]
2${TAB}SOFTWARE\\Joyvane\\${TAB}CLICK_MS${TAB}[CLICK_MS]
2${TAB}SOFTWARE\\Joyvane\\${TAB}INVERTED${TAB}[INVERTED]
2${TAB}SOFTWARE\\Joyvane\\${TAB}Installer${TAB}msi
2${TAB}SOFTWARE\\Joyvane\\${TAB}MODE${TAB}[MODE]
2${TAB}SOFTWARE\\Joyvane\\${TAB}POLL_MS${TAB}[POLL_MS]
component Settings attributes 4" \
    "$(rows "$MSI" Registry | awk -F'\t' '$6 == "Settings" { print $2 "\t" $3 "\t" $4 "\t" $5 }' | LC_ALL=C sort
        rows "$MSI" Component | awk -F'\t' '$1 == "Settings" { print "component Settings attributes " $4 }')"
# ErrorControl 32769 = 0x8001: normal (1) + msidbServiceInstallErrorControlVital.
same "ServiceInstall: own process (16), auto start (2), normal and Vital (32769), the account chosen, the five settings" \
    "Service${TAB}ZUR Service 1.02${TAB}ZUR Service 1.02${TAB}16${TAB}2${TAB}32769${TAB}${TAB}${TAB}[ServiceAccount]${TAB}${TAB}[BUTTON] [MODE] [INVERTED] [POLL_MS] [CLICK_MS]${TAB}Service${TAB}Joyvane: the capture device's push-button as virtual joystick buttons." \
    "$(rows "$MSI" ServiceInstall)"
# 171 = start on install (1) + stop on install (2) + delete on install (8)
#       + stop on uninstall (32) + delete on uninstall (128); the installer
#       waits for each (1). DeleteServices runs on install only when the
#       settings changed (below).
same "ServiceControl: start on install, stop and delete on install and uninstall, wait" \
    "Service${TAB}ZUR Service 1.02${TAB}171${TAB}${TAB}1${TAB}Service" \
    "$(rows "$MSI" ServiceControl)"
# 3122 = 50 (run the program named by a property) + 1024 (deferred)
#        + 2048 (as the installer, not the user); no "continue on error" bit.
same "CustomAction: sc.exe from System32 for privileges, SID type, failure actions (ending in \"\"/0, as install.cmd), failure flag" \
    "SetScExe${TAB}2099${TAB}JoyvaneScExe${TAB}[SystemFolder]sc.exe${TAB}
ScPrivileges${TAB}3122${TAB}JoyvaneScExe${TAB}privs \"ZUR Service 1.02\" SeChangeNotifyPrivilege${TAB}
ScSidType${TAB}3122${TAB}JoyvaneScExe${TAB}sidtype \"ZUR Service 1.02\" unrestricted${TAB}
ScFailure${TAB}3122${TAB}JoyvaneScExe${TAB}failure \"ZUR Service 1.02\" reset= 86400 actions= restart/5000/restart/60000/\"\"/0${TAB}
ScFailureFlag${TAB}3122${TAB}JoyvaneScExe${TAB}failureflag \"ZUR Service 1.02\" 1${TAB}" \
    "$(rows "$MSI" CustomAction | grep -E '^(SetScExe|Sc[A-Za-z]+)'$'\t' | grep -v '^Sc[A-Za-z]*Rollback')"
# 3442 = 50 + 64 (exit code ignored: a rollback must go on) + 1024 + 256
#        (in the rollback script) + 2048; the same four commands.
same "CustomAction: the same four sc.exe calls in the rollback, ignoring their exit codes" \
    "$(rows "$MSI" CustomAction | grep -E '^Sc[A-Za-z]+'$'\t' | grep -v Rollback |
        awk -F'\t' '{ print $1 "Rollback\t3442\t" $3 "\t" $4 }' | LC_ALL=C sort)" \
    "$(rows "$MSI" CustomAction | grep -E '^Sc[A-Za-z]+Rollback'$'\t' | cut -f1-4 | LC_ALL=C sort)"
harden="\$Service=3 AND (NOT Installed OR SETTINGS_CHANGED OR SERVICE_REGISTERED=\"\")"
same "InstallExecuteSequence: a second run made a reinstall; old version removed first; sc.exe between InstallServices and StartServices, only for a new registration, and in the rollback of a deleted one" \
    "LaunchConditions${TAB}
AccountLocalSystem${TAB}ACCOUNT~=\"LocalSystem\"
AccountLocalService${TAB}ACCOUNT~=\"LocalService\"
ReinstallAll${TAB}Installed AND REMOVE=\"\" AND REINSTALL=\"\"
SettingsChanged${TAB}Installed AND REMOVE=\"\" AND (BUTTON<>STORED_BUTTON OR MODE<>STORED_MODE OR INVERTED<>STORED_INVERTED OR POLL_MS<>STORED_POLL_MS OR CLICK_MS<>STORED_CLICK_MS OR ACCOUNT<>STORED_ACCOUNT)
CostFinalize${TAB}
InstallValidate${TAB}
RemoveExistingProducts${TAB}NOT Installed
InstallInitialize${TAB}
StopServices${TAB}VersionNT
SetScExe${TAB}
ScFailureFlagRollback${TAB}SETTINGS_CHANGED
ScFailureRollback${TAB}SETTINGS_CHANGED
ScSidTypeRollback${TAB}SETTINGS_CHANGED
ScPrivilegesRollback${TAB}SETTINGS_CHANGED
DeleteServices${TAB}VersionNT AND (REMOVE~=\"ALL\" OR SETTINGS_CHANGED)
InstallFiles${TAB}
WriteRegistryValues${TAB}
InstallServices${TAB}VersionNT
ScPrivileges${TAB}$harden
ScSidType${TAB}$harden
ScFailure${TAB}$harden
ScFailureFlag${TAB}$harden
StartServices${TAB}VersionNT
InstallFinalize${TAB}" \
    "$(rows "$MSI" InstallExecuteSequence | sort -t"$TAB" -k3,3n |
        grep -E '^(LaunchConditions|Account[A-Za-z]+|ReinstallAll|SettingsChanged|CostFinalize|InstallValidate|RemoveExistingProducts|InstallInitialize|StopServices|DeleteServices|InstallFiles|WriteRegistryValues|InstallServices|Sc[A-Za-z]+|SetScExe|StartServices|InstallFinalize)'$'\t' |
        cut -f1,2)"
same "CustomAction: the service account's name for each ACCOUNT; REINSTALL=ALL; SETTINGS_CHANGED=1" \
    "AccountLocalSystem${TAB}2099${TAB}ServiceAccount${TAB}LocalSystem${TAB}
AccountLocalService${TAB}2099${TAB}ServiceAccount${TAB}NT AUTHORITY\\LocalService${TAB}
ReinstallAll${TAB}2099${TAB}REINSTALL${TAB}ALL${TAB}
SettingsChanged${TAB}2099${TAB}SETTINGS_CHANGED${TAB}1${TAB}" \
    "$(rows "$MSI" CustomAction | grep -E '^(Account[A-Za-z]+|ReinstallAll|SettingsChanged)'$'\t')"
# 513 = migrate features (1) + msidbUpgradeAttributesVersionMaxInclusive (512).
same "Upgrade: older versions and a rebuild of this one are removed, a newer one is detected" \
    "{6F1B8B64-4C43-4E5C-9B0E-5A9D2C7E1A30}${TAB}${TAB}$VERSION${TAB}${TAB}513${TAB}${TAB}WIX_UPGRADE_DETECTED
{6F1B8B64-4C43-4E5C-9B0E-5A9D2C7E1A30}${TAB}$VERSION${TAB}${TAB}${TAB}2${TAB}${TAB}WIX_DOWNGRADE_DETECTED" \
    "$(rows "$MSI" Upgrade | LC_ALL=C sort -t"$TAB" -k7,7r)"

# --- 2. the round trip under Wine ---------------------------------------------------

# A higher version of the same files: what an upgrade installs; and another
# build of that version (its own ProductCode, as every build has): a rebuild.
IFS=. read -r major minor patch <<<"$VERSION"
NEXT=$major.$minor.$((patch + 1))
mkdir -p "$WORK/files"
msiextract -C "$WORK/files" "$MSI" >/dev/null
FILES="$WORK/files/Program Files/Joyvane"
# A capture library lying among the files to package stays out of the package.
cp "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$FILES/"
cmake -D "JOYVANE_MSI_VERSION=$NEXT" -D "JOYVANE_MSI_FILES=$FILES" \
    -D "JOYVANE_MSI_OUTPUT=$WORK/joyvane-$NEXT.msi" -P "$REPO/packaging/msi.cmake" >/dev/null &&
    cmake -D "JOYVANE_MSI_VERSION=$NEXT" -D "JOYVANE_MSI_FILES=$FILES" \
        -D "JOYVANE_MSI_OUTPUT=$WORK/joyvane-$NEXT-rebuilt.msi" -P "$REPO/packaging/msi.cmake" >/dev/null &&
    [[ $(property "$WORK/joyvane-$NEXT.msi" ProductCode) != "$(property "$WORK/joyvane-$NEXT-rebuilt.msi" ProductCode)" ]]
check $? msi "joyvane-$NEXT.msi built from the same files for the upgrade, and a rebuild of it with a ProductCode of its own"
NEXT_MSI=$WORK/joyvane-$NEXT.msi
REBUILT_MSI=$WORK/joyvane-$NEXT-rebuilt.msi
same "File: a capture library among the files packaged stays out of joyvane-$NEXT.msi" \
    "LICENSE README.md joyvane_console.exe joyvane_service.exe uninstall.cmd" \
    "$(rows "$NEXT_MSI" File | cut -f3 | LC_ALL=C sort | paste -sd' ')"

jv_prefix_create "$WORK/prefix" || { echo "msi: no Wine prefix" >&2; exit 2; }
jv_server_start || { echo "msi: the Wine session did not start" >&2; exit 2; }

SYSTEM32=$WINEPREFIX/drive_c/windows/system32
INSTALLED="$WINEPREFIX/drive_c/Program Files/Joyvane"
INSTALLED_WIN='C:\Program Files\Joyvane'
# The stand-ins' logs, scenario and configuration live beside them (wine_service.sh's
# jv_scenario and jv_reports use this folder).
JV_FOLDER=$SYSTEM32
mkdir -p "$WINEPREFIX/drive_c/msi"
cp "$MSI" "$NEXT_MSI" "$REBUILT_MSI" "$WINEPREFIX/drive_c/msi/"
# Wine keeps a builtin DLL's name in System32 as a stub; a native file copied
# over it is used by the processes told to prefer native: the service for hid
# and setupapi (jv_overrides_set), everyone for sc.exe.
cp "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$JV_STANDINS/driver/hid.dll" \
    "$JV_STANDINS/driver/setupapi.dll" "$SYSTEM32/" &&
    cp "$JV_STANDINS/tools/sc_recorder.exe" "$SYSTEM32/sc.exe" &&
    jv_overrides_set "$JV_EXE" &&
    jv_wine reg add 'HKCU\Software\Wine\DllOverrides' /v sc.exe /t REG_SZ /d native /f >/dev/null
check $? msi "stand-ins and sc_recorder.exe placed in System32"

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

# refused_by MSI_NAME LOG_NAME ARGS...: runs `msiexec /i` with Wine's msi trace
# (kept as LOG_NAME.trace) and prints its exit status and the message of the
# launch condition that evaluated false ("exit 67: BUTTON must be ...").
# Wine's LaunchConditions puts a condition's message in no log under /qn; the
# trace shows which one failed, and the table gives its message.
refused_by() {
    local msi=$1 log=$2 rc failed
    shift 2
    WINEDEBUG=trace+msi timeout "${JV_WINE_TIMEOUT:-120}" wine msiexec /i "C:\\msi\\$msi" /qn "$@" \
        >/dev/null 2>"$OUT/$log.trace"
    rc=$?
    failed=$(sed -n '/ACTION_LaunchConditions Checking launch conditions/,$p' "$OUT/$log.trace" |
        sed -n -E 's/.*MSI_EvaluateConditionW 0 <- L"(.*)"\r?$/\1/p' | head -n1 | sed 's/\\"/"/g; s/\\\\/\\/g')
    echo "exit $rc: $(rows "$WINEPREFIX/drive_c/msi/$msi" LaunchCondition |
        awk -F'\t' -v condition="$failed" '$1 == condition { print $2 }')"
}

# repair MSI_NAME LOG_NAME MODE ARGS...: what `msiexec /fMODE` asks for, through
# /i (see the header: Wine's msiexec has no /f).
repair() {
    local msi=$1 log=$2 mode=$3
    shift 3
    msiexec /i "$msi" "$log" REINSTALL=ALL "REINSTALLMODE=$mode" "$@"
}

uninstall_key() {
    echo "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$(property "$1" ProductCode)"
}

# registered MSI: succeeds when the product of MSI is registered for removal.
registered() {
    jv_wine reg query "$(uninstall_key "$1")" >/dev/null 2>&1
}

# products: how many products of this upgrade code are registered for removal.
products() {
    local msi count=0
    for msi in "$MSI" "$NEXT_MSI" "$REBUILT_MSI"; do
        registered "$msi" && count=$((count + 1))
    done
    echo "$count"
}

# reg_values KEY: the key's values, "NAME TYPE VALUE" each, sorted; "no key"
# when there is none. settings: those of HKLM\SOFTWARE\Joyvane.
reg_values() {
    local out
    out=$(jv_wine reg query "$1" 2>/dev/null) || { echo "no key"; return; }
    tr -d '\r' <<<"$out" | sed -n -E 's/^ +([^ ]+) +(REG_[A-Z_]+) +(.*)$/\1 \2 \3/p' | LC_ALL=C sort
}
settings() {
    reg_values "HKLM\\$SETTINGS_KEY"
}

# stored BUTTON MODE INVERTED POLL_MS CLICK_MS [ACCOUNT]: what settings prints
# for them.
stored() {
    printf '%s\n' "ACCOUNT REG_SZ ${6:-LocalSystem}" "BUTTON REG_SZ $1" "CLICK_MS REG_SZ $5" \
        "INVERTED REG_SZ $3" "Installer REG_SZ msi" "MODE REG_SZ $2" "POLL_MS REG_SZ $4"
}

# event_source: the values of the service's Event Log source.
SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Joyvane'
event_source() {
    reg_values "$SOURCE_KEY"
}

nothing_left() {
    ! jv_service_registered && [[ ! -e $INSTALLED ]] && ! registered "$MSI" && [[ $(settings) == "no key" ]] &&
        [[ $(event_source) == "no key" ]]
}

# reports_after N: the first N reports the joystick accepted, bytes only.
reports_after() {
    jv_log wait "$SYSTEM32/virtual_hid.log" HidD_SetFeature "$1" 10000 result=1
    jv_reports result=1 | head -n "$1" | cut -d' ' -f2- | paste -sd'|'
}

# logs_restart: empties the stand-ins' logs. A running service keeps them open
# and appends (O_APPEND under Wine), so they are truncated, not removed: its
# last lines must not go to a deleted file.
logs_restart() {
    local file
    for file in ZUR_USBIO_KAD.log virtual_hid.log; do
        [[ -f $SYSTEM32/$file ]] && : >"$SYSTEM32/$file"
    done
    return 0
}

# sc_calls: the recorder's calls, "exit=N service=STATE COMMAND LINE" each.
sc_calls() {
    jv_log all "$SYSTEM32/sc_calls.log" sc result service command 2>/dev/null |
        while read -r status service command; do
            echo "exit=$status service=$service $command"
        done
}

# The calls of one registration, each made on the registered, not yet started
# service. The failure actions end as install.cmd's do.
expected_sc_calls() {
    printf '%s\n' \
        "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe privs \"ZUR Service 1.02\" SeChangeNotifyPrivilege" \
        "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe sidtype \"ZUR Service 1.02\" unrestricted" \
        "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe failure \"ZUR Service 1.02\" reset= 86400 actions= restart/5000/restart/60000/\"\"/0" \
        "exit=0 service=STOPPED C:\\windows\\system32\\sc.exe failureflag \"ZUR Service 1.02\" 1"
}

image() {
    echo "$INSTALLED_WIN\\joyvane_service.exe $*"
}

echo "== refused installs of $(basename "$MSI")"
same "MODE=fast: refused (1603) by MODE's condition" \
    "exit 67: MODE must be 0 (follow), 1 (pulse) or 2 (short/long press), for example MODE=1." \
    "$(refused_by "$(basename "$MSI")" refused-word MODE=fast)"
nothing_left && [[ ! -s $SYSTEM32/sc_calls.log ]]
check $? msi "... nothing installed, sc.exe never run"
same "MODE=3 (a whole number the service refuses): refused by MODE's condition" \
    "exit 67: MODE must be 0 (follow), 1 (pulse) or 2 (short/long press), for example MODE=1." \
    "$(refused_by "$(basename "$MSI")" refused-mode3 MODE=3 BUTTON=5)"
nothing_left && [[ ! -s $SYSTEM32/sc_calls.log ]]
check $? msi "... nothing installed, sc.exe never run"
same "POLL_MS=40000 (beyond a command-line number's range): refused by POLL_MS's condition, the others being fine" \
    "exit 67: POLL_MS must be a whole number of milliseconds from -32767 to 32767 (0 or less polls every millisecond), for example POLL_MS=30." \
    "$(refused_by "$(basename "$MSI")" refused-poll POLL_MS=40000)"
same "ACCOUNT=Administrator: refused by ACCOUNT's condition" \
    "exit 67: ACCOUNT must be LocalSystem or LocalService, for example ACCOUNT=LocalService." \
    "$(refused_by "$(basename "$MSI")" refused-account ACCOUNT=Administrator)"
nothing_left
check $? msi "... nothing installed"

echo "sc-sidtype fail 0 end 1060" >"$SYSTEM32/world.scenario"
rc=$(msiexec /i "$(basename "$MSI")" refused-sc MODE=2 BUTTON=5)
[[ $rc != 0 ]] && nothing_left
check $? msi "sc.exe sidtype failing (1060): the install fails (exit $rc) and is rolled back: no service, no folder, no product, no key"
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
check "$rc" msi "installed: exit 0" "exit $rc"
same "files under \"$INSTALLED_WIN\"" "LICENSE
README.md
joyvane_console.exe
joyvane_service.exe
uninstall.cmd" "$(ls "$INSTALLED" 2>/dev/null | LC_ALL=C sort)"
cmp -s "$INSTALLED/joyvane_service.exe" "$FILES/joyvane_service.exe" &&
    cmp -s "$INSTALLED/joyvane_console.exe" "$FILES/joyvane_console.exe" &&
    cmp -s "$INSTALLED/uninstall.cmd" "$REPO/packaging/uninstall.cmd"
check $? msi "the installed programs and uninstall.cmd are the packaged ones, byte for byte"
same "HKLM\\$SETTINGS_KEY: the numbers given and the defaults, as REG_SZ, and Installer=msi" \
    "$(stored 5 2 0 30 250)" "$(settings)"
same "$SOURCE_KEY: the Event Log source, its texts in the installed program (REG_EXPAND_SZ), types 7" \
    "EventMessageFile REG_EXPAND_SZ $INSTALLED_WIN\\joyvane_service.exe
TypesSupported REG_DWORD 0x7" "$(event_source)"
# Wine's msi registers the path without quotes; Windows Installer's own
# quoting shows only on Windows (README).
same "registered command line: the installed program with 5 2 0 30 250" \
    "$(image 5 2 0 30 250)" "$(jv_service_image_path)"
key="HKLM\\System\\CurrentControlSet\\Services\\$JV_SERVICE"
values=$(jv_wine reg query "$key" | tr -d '\r')
grep -qE '^ +Start +REG_DWORD +0x2$' <<<"$values" && grep -qE '^ +Type +REG_DWORD +0x10$' <<<"$values" &&
    grep -qE '^ +ObjectName +REG_SZ +LocalSystem$' <<<"$values"
check $? msi "auto start (Start 2), own process (Type 0x10), LocalSystem" "$values"
# The Vital bit is the installer's: the service manager gets normal (1).
grep -qE '^ +ErrorControl +REG_DWORD +0x1$' <<<"$values"
check $? msi "ErrorControl 1 (normal) registered: the Vital bit stays with the installer" "$values"
same "sc.exe by full path, on the registered but not yet started service, in order" \
    "$(expected_sc_calls)" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? msi "the service was started and is running" "$out"
same "it runs with the numbers given: idle, short press -> button 5, long press -> button 6" \
    "00 00 00 00 00|00 00 00 00 01|00 00 00 00 00|00 00 00 00 02|00 00 00 00 00" "$(reports_after 5)"
registered "$MSI"
check $? msi "product $VERSION registered ($(property "$MSI" ProductCode))"

echo "== repair and second runs of $(basename "$MSI")"
: >"$SYSTEM32/sc_calls.log"
rc=$(repair "$(basename "$MSI")" repair amus)
same "repair (REINSTALL=ALL REINSTALLMODE=amus, what /famus sets): exit 0, the numbers kept, registered and stored" \
    "exit 0|$(image 5 2 0 30 250)|$(stored 5 2 0 30 250 | paste -sd'|')" \
    "exit $rc|$(jv_service_image_path)|$(settings | paste -sd'|')"
same "... no sc.exe run: the registration kept its hardening" "" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? msi "... the service is running again" "$out"
rc=$(msiexec /i "$(basename "$MSI")" second-run)
same "a second msiexec /i without numbers: exit 0, the numbers kept, no sc.exe run" \
    "exit 0|$(image 5 2 0 30 250)|$(stored 5 2 0 30 250 | paste -sd'|')|" \
    "exit $rc|$(jv_service_image_path)|$(settings | paste -sd'|')|$(sc_calls)"
same "repair (vomus) with BUTTON=x: refused by BUTTON's condition" \
    "exit 67: BUTTON must be a whole number from -32767 to 32767 (2 to 7 selects that joystick button, anything else button 1), for example BUTTON=4." \
    "$(refused_by "$(basename "$MSI")" repair-bad REINSTALL=ALL REINSTALLMODE=vomus BUTTON=x)"
same "... nothing changed, no sc.exe run" \
    "$(image 5 2 0 30 250)|$(stored 5 2 0 30 250 | paste -sd'|')|" \
    "$(jv_service_image_path)|$(settings | paste -sd'|')|$(sc_calls)"

echo "== second run: msiexec /i $(basename "$MSI") /qn MODE=0 BUTTON=6 INVERTED=1 POLL_MS=40 CLICK_MS=200"
logs_restart
rc=$(msiexec /i "$(basename "$MSI")" second-run-numbers MODE=0 BUTTON=6 INVERTED=1 POLL_MS=40 CLICK_MS=200)
check "$rc" msi "second run: exit 0" "exit $rc"
same "registered command line: 6 0 1 40 200" "$(image 6 0 1 40 200)" "$(jv_service_image_path)"
same "stored: 6 0 1 40 200" "$(stored 6 0 1 40 200)" "$(settings)"
same "the service registered anew, so hardened again" "$(expected_sc_calls)" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? msi "the new registration is running" "$out"
new_pid=$(jv_log first "$SYSTEM32/ZUR_USBIO_KAD.log" Load pid)
jv_log wait "$SYSTEM32/virtual_hid.log" HidD_SetFeature 5 10000 pid="$new_pid" result=1
same "it runs with the new numbers: inverted button 6 follows the presses (idle 02, down 00)" \
    "00 00 00 00 02|00 00 00 00 00|00 00 00 00 02|00 00 00 00 00|00 00 00 00 02" \
    "$(jv_reports pid="$new_pid" result=1 | head -n 5 | cut -d' ' -f2- | paste -sd'|')"
: >"$SYSTEM32/sc_calls.log"
rc=$(msiexec /i "$(basename "$MSI")" second-run-zero INVERTED=0)
same "a third run with INVERTED=0: the 0 given wins over the stored 1; the rest kept" \
    "exit 0|$(image 6 0 0 40 200)|$(stored 6 0 0 40 200 | paste -sd'|')" \
    "exit $rc|$(jv_service_image_path)|$(settings | paste -sd'|')"
jv_wait RUNNING 10000 >/dev/null
old_pid=$(jv_log last "$SYSTEM32/ZUR_USBIO_KAD.log" Load pid)

echo "== upgrade: msiexec /i joyvane-$NEXT.msi /qn (no numbers)"
logs_restart
: >"$SYSTEM32/sc_calls.log"
rc=$(msiexec /i "joyvane-$NEXT.msi" upgrade)
check "$rc" msi "upgraded: exit 0" "exit $rc"
same "the old service (pid $old_pid) was stopped in order, then the new one loaded the library" \
    "$old_pid Unload FreeLibrary|new Load cdecl" "$(jv_log all "$SYSTEM32/ZUR_USBIO_KAD.log" Load,Unload pid call how flavour |
        awk -v old="$old_pid" '{ printf "%s%s %s %s", sep, ($1 == old ? old : "new"), $2, ($2 == "Load" ? $4 : $3); sep = "|" }')"
same "the numbers kept: registered and stored 6 0 0 40 200" \
    "$(image 6 0 0 40 200)|$(stored 6 0 0 40 200 | paste -sd'|')" \
    "$(jv_service_image_path)|$(settings | paste -sd'|')"
same "sc.exe calls made again for the new registration" "$(expected_sc_calls)" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? msi "the new service is running" "$out"
registered "$NEXT_MSI" && [[ $(products) == 1 ]]
check $? msi "only the new product is registered"

echo "== rebuild: msiexec /i joyvane-$NEXT-rebuilt.msi /qn (the same version, another build)"
: >"$SYSTEM32/sc_calls.log"
rc=$(msiexec /i "joyvane-$NEXT-rebuilt.msi" rebuild)
check "$rc" msi "installed over the same version: exit 0" "exit $rc"
registered "$REBUILT_MSI" && [[ $(products) == 1 ]]
check $? msi "it replaced the installed build: one product registered, the rebuild" "$(products) products"
same "files present, the numbers kept" \
    "LICENSE README.md joyvane_console.exe joyvane_service.exe uninstall.cmd|$(image 6 0 0 40 200)|$(stored 6 0 0 40 200 | paste -sd'|')" \
    "$(ls "$INSTALLED" 2>/dev/null | LC_ALL=C sort | paste -sd' ')|$(jv_service_image_path)|$(settings | paste -sd'|')"
same "hardened as a new registration" "$(expected_sc_calls)" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? msi "the service is running" "$out"

echo "== downgrade: msiexec /i $(basename "$MSI") over $NEXT"
rc=$(msiexec /i "$(basename "$MSI")" downgrade)
[[ $rc == 67 ]] && registered "$REBUILT_MSI" && [[ $(jv_service_image_path) == "$(image 6 0 0 40 200)" ]]
check $? msi "refused (1603): the newer version and its service stay" "exit $rc"

echo "== repair after the service was deleted"
# Wine's own sc for once (System32\sc.exe is the recorder).
jv_wine reg add 'HKCU\Software\Wine\DllOverrides' /v sc.exe /t REG_SZ /d builtin /f >/dev/null
jv_wine sc stop "$JV_SERVICE" >/dev/null
jv_wait STOPPED 10000 >/dev/null
jv_wine sc delete "$JV_SERVICE" >/dev/null
jv_wine reg add 'HKCU\Software\Wine\DllOverrides' /v sc.exe /t REG_SZ /d native /f >/dev/null
: >"$SYSTEM32/sc_calls.log"
! jv_service_registered
check $? msi "the service deleted by hand"
rc=$(repair "joyvane-$NEXT-rebuilt.msi" repair-gone amus)
same "a repair registers it again with the stored numbers: exit 0" \
    "exit 0|$(image 6 0 0 40 200)" "exit $rc|$(jv_service_image_path)"
same "... and hardens it again" "$(expected_sc_calls)" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? msi "... it is running" "$out"

echo "== msiexec /x joyvane-$NEXT-rebuilt.msi /qn"
logs_restart
rc=$(msiexec /x "joyvane-$NEXT-rebuilt.msi" uninstall)
check "$rc" msi "uninstalled: exit 0" "exit $rc"
! jv_service_registered
check $? msi "the service is removed"
jv_wait_gone 5000
check $? msi "the service process has ended"
jv_log first "$SYSTEM32/ZUR_USBIO_KAD.log" Unload pid how=FreeLibrary >/dev/null
check $? msi "it was stopped in order (its worker unloaded the capture library)"
[[ ! -e $INSTALLED ]]
check $? msi "\"$INSTALLED_WIN\" is gone" "$(ls -A "$INSTALLED" 2>&1)"
same "HKLM\\$SETTINGS_KEY is gone" "no key" "$(settings)"
same "the Event Log source $SOURCE_KEY is gone" "no key" "$(event_source)"
[[ $(products) == 0 ]]
check $? msi "no product is registered any more"

echo "== msiexec /i $(basename "$MSI") /qn ACCOUNT=LocalService"
: >"$SYSTEM32/sc_calls.log"
rc=$(msiexec /i "$(basename "$MSI")" localservice ACCOUNT=LocalService)
check "$rc" msi "installed: exit 0" "exit $rc"
same "the service runs as NT AUTHORITY\\LocalService, the defaults registered" \
    "NT AUTHORITY\\LocalService|$(image 4 1 0 30 250)|$(stored 4 1 0 30 250 LocalService | paste -sd'|')" \
    "$(jv_service_value ObjectName)|$(jv_service_image_path)|$(settings | paste -sd'|')"
same "... hardened as under LocalSystem" "$(expected_sc_calls)" "$(sc_calls)"
out=$(jv_wait RUNNING 10000)
check $? msi "... it is running" "$out"
rc=$(repair "$(basename "$MSI")" localservice-repair amus)
same "a repair keeps the account" "exit 0|NT AUTHORITY\\LocalService" "exit $rc|$(jv_service_value ObjectName)"
# A stored value gone bad (another tool, a hand edit): every run checks it,
# but an uninstall must still work.
jv_wine reg add "HKLM\\$SETTINGS_KEY" /v BUTTON /t REG_SZ /d twelve /f >/dev/null
same "a bad stored BUTTON (twelve): a repair is refused by BUTTON's condition" \
    "exit 67: BUTTON must be a whole number from -32767 to 32767 (2 to 7 selects that joystick button, anything else button 1), for example BUTTON=4." \
    "$(refused_by "$(basename "$MSI")" localservice-bad-stored REINSTALL=ALL REINSTALLMODE=amus)"
rc=$(msiexec /x "$(basename "$MSI")" localservice-uninstall)
[[ $rc == 0 ]] && nothing_left
check $? msi "... and the uninstall still removes everything, the key included" "exit $rc; $(settings | paste -sd'|')"

echo "== no capture library at first, then one put beside the installed program"
rm -f "$SYSTEM32/ZUR_USBIO_KAD.dll"
rc=$(msiexec /i "$(basename "$MSI")" own-library-install MODE=0)
check "$rc" msi "installed with no capture library anywhere: exit 0" "exit $rc"
out=$(jv_wait RUNNING 10000)
check $? msi "the service runs without it" "$out"
sleep 1
jv_ctl query | grep -q ' RUNNING '
check $? msi "... and is still running a second later"
copied=$(jv_now_us)
cp "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$INSTALLED/"
jv_log wait "$INSTALLED/ZUR_USBIO_KAD.log" ZUR_USBIO_API_GetGPIO 1 2000
status=$?
polled=$(jv_log first "$INSTALLED/ZUR_USBIO_KAD.log" ZUR_USBIO_API_GetGPIO unix_us)
check "$status" msi "the library copied into \"$INSTALLED_WIN\" is polled within 2 s (its log beside it shows GetGPIO${polled:+ $(( (polled - copied) / 1000 )) ms after the copy})" \
    "$(jv_log all "$INSTALLED/ZUR_USBIO_KAD.log" '*' call result | head -n 3)"
rc=$(msiexec /i "joyvane-$NEXT.msi" own-library-upgrade)
[[ $rc == 0 ]] && cmp -s "$JV_STANDINS/cdecl/ZUR_USBIO_KAD.dll" "$INSTALLED/ZUR_USBIO_KAD.dll"
check $? msi "it stays through an upgrade" "exit $rc"
same "an upgrade without numbers keeps the older version's numbers" \
    "$(image 4 0 0 30 250)" "$(jv_service_image_path)"
jv_log wait "$INSTALLED/ZUR_USBIO_KAD.log" Load 2 10000 flavour=cdecl
check $? msi "the upgraded service loads it from there (it writes its log beside itself)"
rc=$(msiexec /x "joyvane-$NEXT.msi" own-library-uninstall)
check "$rc" msi "uninstalled: exit 0" "exit $rc"
same "the uninstall leaves the library (with its log), and so the folder, and nothing else" \
    "ZUR_USBIO_KAD.dll
ZUR_USBIO_KAD.log" "$(ls -A "$INSTALLED" 2>&1 | LC_ALL=C sort)"

cp "$SYSTEM32"/ZUR_USBIO_KAD.log "$SYSTEM32"/virtual_hid.log "$SYSTEM32"/sc_calls.log "$OUT/" 2>/dev/null
jv_results_end
