#!/usr/bin/env bash
# Packs the distributable: the zip (both DLLs, the install text, the licence)
# and, beside it, the per-user installers NAME-x64.msi and NAME-x86.msi (for
# OUTPUT_ZIP NAME.zip). With a certificate given, both DLLs (in the zip and
# in the installers) and both installers are signed with Authenticode:
#   QUORVIA_SIGN_PFX        the PKCS#12 file with the code-signing certificate and its key
#   QUORVIA_SIGN_PASSWORD   its password
#   QUORVIA_SIGN_TIMESTAMP  optional: an RFC 3161 time-stamping URL
# Without QUORVIA_SIGN_PFX everything is left unsigned, and it says so.
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

signing=${QUORVIA_SIGN_PFX:-}
if [ -n "$signing" ]; then
    [ -r "$signing" ] || { echo "make-dist.sh: cannot read QUORVIA_SIGN_PFX ($signing)" >&2; exit 1; }
    # Through a file of our own, not the command line, where any process could read it.
    (umask 077 && printf '%s' "${QUORVIA_SIGN_PASSWORD:-}" > "$stage/password")
fi
# Signs FILE in place. A failure stops the packing: what was meant to be
# signed is never shipped unsigned.
sign() {
    local file=$1 options=()
    [ -n "${QUORVIA_SIGN_TIMESTAMP:-}" ] && options=(-ts "$QUORVIA_SIGN_TIMESTAMP")
    osslsigncode sign -pkcs12 "$signing" -readpass "$stage/password" -h sha256 -n "Quorvia Add-In for Outlook" \
        "${options[@]}" -in "$file" -out "$file.signed" >/dev/null ||
        { echo "make-dist.sh: signing $(basename "$file") failed" >&2; exit 1; }
    mv "$file.signed" "$file"
}

if [ -n "$signing" ]; then
    sign "$stage/Quorvia/x64/QuorviaAddin.dll"
    sign "$stage/Quorvia/x86/QuorviaAddin.dll"
fi
# The installers carry the DLLs as signed.
for arch in x64 x86; do
    bash "$ROOT/tools/make-msi.sh" "$arch" "$stage/Quorvia/$arch/QuorviaAddin.dll" "$stage/Quorvia-$arch.msi"
    if [ -n "$signing" ]; then sign "$stage/Quorvia-$arch.msi"; fi
done

rm -f "$out" "${out%.zip}-x64.msi" "${out%.zip}-x86.msi"
(cd "$stage" && TZ=UTC touch -t 202601010000 Quorvia Quorvia/* Quorvia/*/* && zip -q -X -r "$out" Quorvia)
mv "$stage/Quorvia-x64.msi" "${out%.zip}-x64.msi"
mv "$stage/Quorvia-x86.msi" "${out%.zip}-x86.msi"
printf '%s\n' "$out" "${out%.zip}-x64.msi" "${out%.zip}-x86.msi"
if [ -n "$signing" ]; then
    echo "signed with Authenticode: both DLLs and both installers"
else
    echo "UNSIGNED: QUORVIA_SIGN_PFX is not set, so the DLLs and the installers are left unsigned"
fi
