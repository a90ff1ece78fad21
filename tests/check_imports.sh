#!/usr/bin/env bash
# The service must start on a bare Windows machine: a 32-bit executable that
# imports nothing but system DLLs.
set -euo pipefail
exe=$1
file "$exe" | grep -q 'PE32 executable.*Intel 80386' || { echo "not a 32-bit PE: $(file "$exe")"; exit 1; }
allowed='^(ADVAPI32|KERNEL32|SETUPAPI|HID|WINMM|USER32|msvcrt)\.dll$'
status=0
for dll in $(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print $3}'); do
    if ! echo "$dll" | grep -qiE "$allowed"; then
        echo "unexpected import: $dll"
        status=1
    fi
done
[ $status -eq 0 ] && echo "$(basename "$exe"): PE32 for Intel 80386, system DLL imports only"
exit $status
