#!/usr/bin/env bash
# Checks the distributable zip: both DLLs (PE32 and PE32+, the five exports,
# only system DLLs imported), the install text and the licence; and that the
# two installers lie beside it (check-msi.sh checks what they hold).
# Usage: check-dist.sh MAKE_DIST X64_DLL X86_DLL
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
env -u QUORVIA_SIGN_PFX bash "$1" "$2" "$3" "$work/Quorvia.zip" >/dev/null || { echo "FAIL: packing"; exit 1; }
(cd "$work" && unzip -q Quorvia.zip) || { echo "FAIL: unzip"; exit 1; }
fail=0
expected="Quorvia/INSTALL.txt Quorvia/LICENSE.txt Quorvia/x64/QuorviaAddin.dll Quorvia/x86/QuorviaAddin.dll"
listed=$(unzip -Z1 "$work/Quorvia.zip" | grep -v '/$' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$listed" = "$expected" ] || { echo "FAIL: zip holds '$listed'"; fail=1; }
grep -q "regsvr32 /u QuorviaAddin.dll" "$work/Quorvia/INSTALL.txt" || { echo "FAIL: install text"; fail=1; }
for arch in x64 x86; do
    [ -s "$work/Quorvia-$arch.msi" ] || { echo "FAIL: no Quorvia-$arch.msi beside the zip"; fail=1; }
done
grep -q "MIT License" "$work/Quorvia/LICENSE.txt" || { echo "FAIL: licence"; fail=1; }
bash "$HERE/check-dll.sh" "$work/Quorvia/x64/QuorviaAddin.dll" "$work/Quorvia/x86/QuorviaAddin.dll" || fail=1
exit $fail
