#!/bin/sh
# usage: check_binaries.sh imports OBJDUMP BINARY...: fails when a binary imports a DLL that is
#        not part of Windows itself.
#        check_binaries.sh exports OBJDUMP DLL: fails unless the DLL exports exactly the four COM
#        functions, by name and undecorated.
mode=$1
objdump=$2
shift 2
allowed='^(kernel32|user32|advapi32|ole32|oleaut32|shell32|shlwapi|msvcrt|mfplat|mf|mfreadwrite|mfsensorgroup'
allowed="$allowed|winhttp|d3d11|dxgi|ws2_32|bcrypt|api-ms-win-.*)\.dll\$"
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
failures=""
for binary in "$@"; do
    if [ "$mode" = exports ]; then
        names=$("$objdump" -p "$binary" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort | tr '\n' ' ')
        if [ "$names" != "$expected" ]; then
            failures="$failures
FAIL: $binary exports: $names; expected: $expected"
        fi
    else
        dlls=$("$objdump" -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
        for dll in ${dlls:-"(no import table)"}; do
            if ! echo "$dll" | grep -Eq "$allowed"; then
                failures="$failures
FAIL: $binary imports $dll, which is not part of Windows"
            fi
        done
    fi
done
if [ -n "$failures" ]; then
    echo "$failures" >&2
    exit 1
fi
echo "ok: $mode of $*"
