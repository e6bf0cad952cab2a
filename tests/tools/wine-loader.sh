#!/usr/bin/env bash
# Prints the Wine loader for a Windows program or DLL: /usr/lib/wine/wine for
# PE32 (x86), /usr/lib/wine/wine64 for PE32+ (x64). Read from the file's own
# header, so a script runs either build tree without being told which it is.
# Usage: wine-loader.sh FILE
set -euo pipefail
file=$1
fail() { echo "wine-loader.sh: $file is not an x86 or x64 Windows program" >&2; exit 1; }
[ "$(head -c 2 "$file" 2>/dev/null)" = MZ ] || fail
# The PE header's offset is at 0x3C; its machine field follows the "PE\0\0" signature.
pe=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$file" 2>/dev/null | tr -d ' ') || fail
case "$machine" in
014c) echo /usr/lib/wine/wine ;;
8664) echo /usr/lib/wine/wine64 ;;
*) fail ;;
esac
