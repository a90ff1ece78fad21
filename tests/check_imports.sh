#!/usr/bin/env bash
# The programs must start on a bare Windows machine and load nothing that a user
# could plant beside them: a 32-bit executable whose every static import is a
# KnownDLL. Windows maps a KnownDLL from its own section whatever lies in the
# program's folder; any other imported DLL is looked for beside the program first,
# before main runs.
set -euo pipefail
exe=$1
file "$exe" | grep -q 'PE32 executable.*Intel 80386' || { echo "not a 32-bit PE: $(file "$exe")"; exit 1; }
# The KnownDLLs of Windows 10 and 11 (HKLM\SYSTEM\CurrentControlSet\Control\
# Session Manager\KnownDLLs, the list the loader maps as \KnownDlls32 for 32-bit
# programs), those this project might import; ntdll is always mapped first.
known_dlls='advapi32 clbcatq combase comdlg32 coml2 gdi32 gdiplus imagehlp imm32 kernel32 msctf
msvcrt normaliz nsi ntdll ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi
user32 wldap32 ws2_32'
status=0
imports=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}')
for dll in $imports; do
    name=$(tr '[:upper:]' '[:lower:]' <<<"${dll%.[dD][lL][lL]}")
    if ! grep -qw -- "$name" <<<"$known_dlls"; then
        echo "$(basename "$exe") imports $dll, which is not a KnownDLL: a copy beside the program would be loaded"
        status=1
    fi
done
[ $status -eq 0 ] && echo "$(basename "$exe"): PE32 for Intel 80386, imports only KnownDLLs:" $imports
exit $status
