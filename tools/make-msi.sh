#!/usr/bin/env bash
# Builds the per-user installer of one bitness with msitools' wixl: the DLL goes
# to [LocalAppDataFolder]Programs\Quorvia\, the keys are those of
# `regsvr32 /n /i:user`, and no elevation is asked (see tools/Quorvia.wxs).
# Usage: make-msi.sh x64|x86 DLL OUTPUT_MSI [VERSION]
# VERSION (three numbers) defaults to the product's, from
# src/resources/QuorviaAddin.rc; the tests give a lower one for an older package.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=$1 dll=$2 out=$3
fail() { echo "make-msi.sh: $*" >&2; exit 1; }

# The package's bitness decides where Windows puts its keys and which Office
# loads the DLL: a DLL of the other bitness would install and never load.
case "$arch" in
x64) machine=8664 ;;
x86) machine=014c ;;
*) fail "the bitness is x64 or x86, not '$arch'" ;;
esac
[ "$(head -c 2 "$dll" 2>/dev/null)" = MZ ] || fail "$dll is no Windows DLL"
pe=$(od -An -tu4 -j60 -N4 "$dll" | tr -d ' ')
[ "$(od -An -tx2 -j$((pe + 4)) -N2 "$dll" | tr -d ' ')" = "$machine" ] || fail "$dll is not an $arch DLL"

version=${4:-$(sed -n 's/^#define QUORVIA_VERSION \([0-9]*\),\([0-9]*\),\([0-9]*\),[0-9]*$/\1.\2.\3/p' \
    "$ROOT/src/resources/QuorviaAddin.rc")}
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no version of three numbers: '$version'"
identity() { sed -n "s/^#define $1 \"\(.*\)\"$/\1/p" "$ROOT/src/com/Identity.h"; }

# wixl finds sources relative to its working folder only (absolute paths fail).
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$dll" "$stage/QuorviaAddin.dll"
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
(cd "$stage" && wixl --arch "$arch" -D Arch="$arch" -D Version="$version" -D Dll=QuorviaAddin.dll \
     -D Clsid="$(identity QUORVIA_CLSID_TEXT)" -D ProgId="$(identity QUORVIA_PROGID)" \
     -D Description="$(identity QUORVIA_DESCRIPTION)" -D HostApp="$(identity QUORVIA_HOST_APP)" \
     -o "$out" "$ROOT/tools/Quorvia.wxs")
