#!/usr/bin/env bash
# Checks the per-user installer of one bitness: builds it and one of a lower
# version, inspects what Wine cannot show (the package's bitness, 64-bit
# components, no elevation, every key under HKCU), then runs
# msi_install_check in a fresh Wine prefix of its own under the build tree:
# installed, loaded by the stand-in Outlook, upgraded, removed. The prefix
# goes afterwards. Where programs of this bitness do not run, the install is
# skipped (exit 77) after the inspection.
# Usage: check-msi.sh MAKE_MSI x64|x86 DLL CHECK_PROGRAM BUILD_TREE
set -u
make_msi=$1 arch=$2 dll=$3 check=$4 tree=$5
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d "$tree/msi-check.XXXXXX")
prefix=$work/wineprefix
cleanup() {
    [ -d "$prefix" ] && WINEPREFIX=$prefix /usr/lib/wine/wineserver64 -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
version=$(sed -n 's/^#define QUORVIA_VERSION \([0-9]*\),\([0-9]*\),\([0-9]*\),[0-9]*$/\1.\2.\3/p' \
    "$(dirname "$make_msi")/../src/resources/QuorviaAddin.rc")
older=0.9.0
bash "$make_msi" "$arch" "$dll" "$work/Quorvia.msi" || { echo "FAIL: packing"; exit 1; }
bash "$make_msi" "$arch" "$dll" "$work/Older.msi" "$older" || { echo "FAIL: packing the older package"; exit 1; }

fail=0
expect() {   # expect WHAT ACTUAL EXPECTED
    [ "$2" = "$3" ] || { echo "FAIL: $1: '$2', expected '$3'"; fail=1; }
}
table() { msiinfo export "$work/Quorvia.msi" "$1" | tr -d '\r' | tail -n +4; }
summary() { msiinfo suminfo "$work/Quorvia.msi" | tr -d '\r' | sed -n "s/^$1: //p"; }
if [ "$arch" = x64 ]; then template="x64;1033" bit64=256; else template="Intel;1033" bit64=0; fi
expect "platform" "$(summary Template)" "$template"
# Word count 10: compressed (2), no elevation needed (8); and no ALLUSERS.
expect "word count" "$(summary Source | cut -d' ' -f1)" 10
expect "ALLUSERS" "$(table Property | grep -c '^ALLUSERS')" 0
expect "product version" "$(table Property | sed -n 's/^ProductVersion\t//p')" "$version"
# Without the 64-bit attribute Windows would write the keys to the 32-bit view.
while IFS=$'\t' read -r component _ _ attributes _; do
    expect "component $component's 64-bit attribute" $((attributes & 256)) $bit64
done < <(table Component)
expect "registry rows" "$(table Registry | cut -f2 | sort -u | tr '\n' ' ')" "1 "
expect "registry rows" "$(table Registry | wc -l)" 9
[ $fail = 0 ] || exit 1

loader=$(bash "$HERE/wine-loader.sh" "$dll")
if ! "$loader" --version >/dev/null 2>&1 || [ ! -f "$check" ]; then
    echo "SKIPPED: the $arch package was built and inspected; installing it needs $arch Windows programs, which do not run on this machine"
    exit 77
fi

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
/usr/lib/wine/wine64 reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1
windows() { echo "Z:${1//\//\\}"; }
QUORVIA_MSI=$(windows "$work/Quorvia.msi") QUORVIA_MSI_OLDER=$(windows "$work/Older.msi") \
QUORVIA_MSI_VERSION=$version QUORVIA_MSI_OLDER_VERSION=$older \
    "$loader" "$check" </dev/null
