#!/bin/sh
# usage: check_imports.sh OBJDUMP [--only=DLL,DLL...] BINARY... ; fails when a binary
# imports a DLL that is not part of Windows itself, or, with --only, one not named there.
objdump=$1; shift
allowed='^(kernel32|user32|advapi32|ole32|oleaut32|shell32|shlwapi|msvcrt|mfplat|mf|mfreadwrite|mfsensorgroup'
allowed="$allowed|winhttp|d3d11|dxgi|ws2_32|bcrypt|api-ms-win-.*)\.dll$"
case "$1" in
--only=*)
    allowed="^($(echo "${1#--only=}" | tr ',' '|'))\.dll$"
    shift
    ;;
esac
status=0
for binary in "$@"; do
    dlls=$("$objdump" -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
    if [ -z "$dlls" ]; then
        echo "FAIL: $binary: no import table found" >&2
        status=1
        continue
    fi
    for dll in $dlls; do
        if echo "$dll" | grep -Eq "$allowed"; then
            echo "ok: $binary imports $dll"
        else
            echo "FAIL: $binary imports $dll, which it may not" >&2
            status=1
        fi
    done
done
exit $status
