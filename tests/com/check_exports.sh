#!/bin/sh
# usage: check_exports.sh OBJDUMP DLL ; fails unless the DLL exports exactly the four COM
# functions, by name and undecorated.
objdump=$1
dll=$2
names=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort | tr '\n' ' ')
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
if [ "$names" != "$expected" ]; then
    echo "FAIL: $dll exports: $names" >&2
    echo "      expected:      $expected" >&2
    exit 1
fi
echo "ok: $dll exports exactly: $names"
