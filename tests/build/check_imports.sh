#!/bin/sh
# usage: check_imports.sh OBJDUMP DLL,DLL... BINARY ; fails when BINARY has no import table or imports a DLL
# that the list does not name.
objdump=$1 allowed="^($(echo "$2" | tr ',' '|'))\.dll$" binary=$3
dlls=$("$objdump" -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
if [ -z "$dlls" ]; then
    echo "FAIL: $binary: no import table found" >&2
    exit 1
fi
status=0
for dll in $dlls; do
    if echo "$dll" | grep -Eq "$allowed"; then
        echo "ok: $binary imports $dll"
    else
        echo "FAIL: $binary imports $dll, which it may not" >&2
        status=1
    fi
done
exit $status
