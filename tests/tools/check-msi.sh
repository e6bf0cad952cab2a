#!/usr/bin/env bash
# Checks the per-user installer of one bitness: builds it and one of a lower
# version, inspects what Wine cannot show (platform, 64-bit component, no
# elevation, every key under HKCU), then runs msi_install_check in a fresh Wine
# prefix under the build tree, removed afterwards. Where programs of this
# bitness do not run, it stops after the inspection as skipped (77).
# Usage: check-msi.sh MAKE_MSI x64|x86 DLL CHECK_PROGRAM BUILD_TREE
set -u
make_msi=$1 arch=$2 dll=$3 check=$4
work=$(mktemp -d "$5/msi-check.XXXXXX")
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '[ -d "$WINEPREFIX" ] && /usr/lib/wine/wineserver64 -k && /usr/lib/wine/wineserver64 -w; rm -rf "$work"' EXIT
version=$(sed -n 's/^#define QUORVIA_VERSION \([0-9]*\),\([0-9]*\),\([0-9]*\),.*/\1.\2.\3/p' \
    "$(dirname "$make_msi")/../src/resources/QuorviaAddin.rc")
bash "$make_msi" "$arch" "$dll" "$work/Quorvia.msi" && bash "$make_msi" "$arch" "$dll" "$work/Older.msi" 0.9.0 ||
    { echo "FAIL: packing"; exit 1; }

fail=0
expect() { [ "$2" = "$3" ] || { echo "FAIL: $1: '$2', expected '$3'"; fail=1; }; }
table() { msiinfo export "$work/Quorvia.msi" "$1" | tr -d '\r' | tail -n +4; }
if [ "$arch" = x64 ]; then platform=x64 bit64=256; else platform=Intel bit64=0; fi
expect "platform" "$(msiinfo suminfo "$work/Quorvia.msi" | sed -n 's/^Template: //p' | tr -d '\r')" "$platform;1033"
# Word count 10: compressed (2) and no elevation (8); and no ALLUSERS.
expect "word count" "$(msiinfo suminfo "$work/Quorvia.msi" | sed -n 's/^Source: \([0-9]*\).*/\1/p')" 10
expect "ALLUSERS" "$(table Property | grep -c '^ALLUSERS')" 0
expect "version" "$(table Property | sed -n 's/^ProductVersion\t//p')" "$version"
# Without the 64-bit attribute Windows would write the keys to the 32-bit view.
expect "64-bit component" "$(table Component | cut -f4 | while read -r a; do echo $((a & 256)); done)" $bit64
expect "registry roots" "$(table Registry | cut -f2 | sort | uniq -c | tr -s ' ')" " 9 1"
[ $fail = 0 ] || exit 1

loader=$(bash "$(dirname "$0")/wine-loader.sh" "$dll")
if ! "$loader" --version >/dev/null 2>&1 || [ ! -f "$check" ]; then
    echo "SKIPPED: the $arch installer is built and inspected; installing it needs $arch programs, which do not run here"
    exit 77
fi
/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
/usr/lib/wine/wine64 reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1
windows() { echo "Z:${1//\//\\}"; }
QUORVIA_MSI=$(windows "$work/Quorvia.msi") QUORVIA_MSI_OLDER=$(windows "$work/Older.msi") \
QUORVIA_MSI_VERSION=$version QUORVIA_MSI_OLDER_VERSION=0.9.0 "$loader" "$check" </dev/null
