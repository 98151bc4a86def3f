#!/bin/sh
# usage: check_exports.sh OBJDUMP DLL ; fails unless the DLL exports exactly the four COM
# functions, by name and undecorated.
names=$("$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[\s*[0-9]*\]\s*//p' | sort | tr '\n' ' ')
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
if [ "$names" != "$expected" ]; then
    echo "FAIL: $2 exports: $names; expected: $expected" >&2
    exit 1
fi
echo "ok: $2 exports exactly: $names"
