#!/usr/bin/env bash
# Checks a shipped add-in DLL: its PE kind, that it exports exactly the five COM
# entry points undecorated, and that it imports only system DLLs.
# Usage: check-dll.sh X64_DLL X86_DLL
set -u
fail=0
check() {
    local dll=$1 objdump=$2 magic=$3
    if [ ! -f "$dll" ]; then echo "FAIL: $dll is missing"; fail=1; return; fi
    local dump; dump=$($objdump -p "$dll")
    if ! grep -q "^Magic[[:space:]]*$magic" <<<"$dump"; then
        echo "FAIL: $dll is not $( [ "$magic" = 020b ] && echo PE32+ || echo PE32 )"; fail=1
    fi
    local exports
    exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t&&NF==0{t=0}' <<<"$dump" | sort | tr '\n' ' ')
    if [ "$exports" != "DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer " ]; then
        echo "FAIL: $dll exports '$exports'"; fail=1
    fi
    local allowed='^(ADVAPI32|COMCTL32|CRYPT32|GDI32|KERNEL32|MAPI32|OLE32|OLEAUT32|SHELL32|USER32|WININET|msvcrt)\.dll$'
    while read -r name; do
        if ! grep -qiE "$allowed" <<<"$name"; then echo "FAIL: $dll imports $name"; fail=1; fi
    done < <(grep "DLL Name:" <<<"$dump" | awk '{print $3}')
    echo "$dll: $( [ "$magic" = 020b ] && echo PE32+ || echo PE32 ), exports: $exports, imports: $(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | tr '\n' ' ')"
}
check "$1" x86_64-w64-mingw32-objdump 020b
check "${2:-}" i686-w64-mingw32-objdump 010b
exit $fail
