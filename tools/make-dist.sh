#!/usr/bin/env bash
# Packs the distributable: both DLLs, the install text and the licence.
# Usage: make-dist.sh X64_DLL X86_DLL OUTPUT_ZIP
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
x64=$1 x86=$2 out=$3
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/Quorvia/x64" "$stage/Quorvia/x86"
cp "$x64" "$stage/Quorvia/x64/QuorviaAddin.dll"
cp "$x86" "$stage/Quorvia/x86/QuorviaAddin.dll"
sed 's/$/\r/' "$ROOT/tools/INSTALL.txt" > "$stage/Quorvia/INSTALL.txt"
sed 's/$/\r/' "$ROOT/LICENSE" > "$stage/Quorvia/LICENSE.txt"
rm -f "$out"
(cd "$stage" && TZ=UTC touch -t 202601010000 Quorvia Quorvia/* Quorvia/*/* && zip -q -X -r "$out" Quorvia)
echo "$out"
