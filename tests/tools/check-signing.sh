#!/usr/bin/env bash
# Authenticode signing in the distributable, with a throwaway CA and
# code-signing certificate made here: make-dist.sh signs copies of both DLLs
# and both installers, and osslsigncode verifies each against that CA, the
# DLLs inside the installers too. A wrong password stops the packing with
# nothing written; without a certificate the output says it is unsigned and
# nothing verifies.
# Usage: check-signing.sh MAKE_DIST X64_DLL X86_DLL
set -u
make_dist=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$2" "$work/x64.dll" && cp "$3" "$work/x86.dll" && cd "$work" || exit 1
fail=0
say_fail() { echo "FAIL: $*"; fail=1; }

quiet() { "$@" >/dev/null 2>&1; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=Quorvia Throwaway CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign &&
quiet openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Quorvia Throwaway Signer" &&
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > signer.ext &&
quiet openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext -out signer.crt &&
quiet openssl pkcs12 -export -in signer.crt -inkey signer.key -certfile ca.crt -out signer.pfx -passout 'pass:a "pass" $word' ||
    { echo "FAIL: making the throwaway certificate"; exit 1; }

# dist LABEL PASSWORD|-: packs into LABEL/ (signing with PASSWORD, or not at
# all for -), keeping what it printed in LABEL.out; returns its status.
dist() {
    mkdir -p "$1"
    if [ "$2" = - ]; then
        env -u QUORVIA_SIGN_PFX -u QUORVIA_SIGN_PASSWORD bash "$make_dist" x64.dll x86.dll "$work/$1/Quorvia.zip" > "$1.out" 2>&1
    else
        QUORVIA_SIGN_PFX=$work/signer.pfx QUORVIA_SIGN_PASSWORD=$2 \
            bash "$make_dist" x64.dll x86.dll "$work/$1/Quorvia.zip" > "$1.out" 2>&1
    fi
}
# The files to sign of a packing: the zip's DLLs, the installers, the installers' DLLs.
unpack() {
    (cd "$1" && unzip -q Quorvia.zip && mkdir msi-x64 msi-x86 &&
        (cd msi-x64 && msiextract -C . ../Quorvia-x64.msi >/dev/null) &&
        (cd msi-x86 && msiextract -C . ../Quorvia-x86.msi >/dev/null)) || return
    find "$1/Quorvia" "$1"/msi-* -name '*.dll' | sort
    ls "$1"/Quorvia-x64.msi "$1"/Quorvia-x86.msi
}
verifies() { osslsigncode verify -CAfile ca.crt -in "$1" >/dev/null 2>&1; }

dist signed 'a "pass" $word' || say_fail "signed packing: $(cat signed.out)"
grep -q "^signed with Authenticode: both DLLs and both installers$" signed.out || say_fail "signed packing said: $(cat signed.out)"
files=$(unpack signed)
[ "$(wc -l <<<"$files")" = 6 ] || say_fail "signed packing holds: $files"
for file in $files; do verifies "$file" || say_fail "$file does not verify"; done

dist wrong 'not the password' && say_fail "packing with a wrong password succeeded"
[ -z "$(ls wrong)" ] || say_fail "a failed signing left: $(ls wrong)"

dist unsigned - || say_fail "unsigned packing: $(cat unsigned.out)"
grep -q "^UNSIGNED: QUORVIA_SIGN_PFX is not set" unsigned.out || say_fail "unsigned packing said: $(cat unsigned.out)"
files=$(unpack unsigned)
[ "$(wc -l <<<"$files")" = 6 ] || say_fail "unsigned packing holds: $files"
for file in $files; do verifies "$file" && say_fail "unsigned $file verifies"; done
exit $fail
