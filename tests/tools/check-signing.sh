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

{ openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj "/CN=Throwaway CA" \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign &&
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Throwaway Signer" &&
  printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > signer.ext &&
  openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext -out signer.crt &&
  openssl pkcs12 -export -in signer.crt -inkey signer.key -out signer.pfx -passout 'pass:a "pass" $word'
} >/dev/null 2>&1 || { echo "FAIL: making the throwaway certificate"; exit 1; }

# dist DIR [PASSWORD]: packs into DIR, signing with PASSWORD when given; its
# output goes to DIR.out. Then lists the files meant to be signed: the zip's
# DLLs, the installers and the DLLs inside them.
dist() {
    mkdir "$1"
    env -u QUORVIA_SIGN_PFX ${2+QUORVIA_SIGN_PFX=$work/signer.pfx QUORVIA_SIGN_PASSWORD="$2"} \
        bash "$make_dist" x64.dll x86.dll "$work/$1/Quorvia.zip" > "$1.out" 2>&1 || return
    (cd "$1" && unzip -q Quorvia.zip && for arch in x64 x86; do
        mkdir "msi-$arch" && (cd "msi-$arch" && msiextract ../Quorvia-$arch.msi >/dev/null) || return
        echo "$1/Quorvia-$arch.msi"; done) && find "$1/Quorvia" "$1"/msi-* -name '*.dll'
}
verifies() { osslsigncode verify -CAfile ca.crt -in "$1" >/dev/null 2>&1; }

files=$(dist signed 'a "pass" $word') || say_fail "signed packing: $(cat signed.out)"
grep -q "^signed with Authenticode: both DLLs and both installers$" signed.out || say_fail "it said: $(cat signed.out)"
[ "$(wc -w <<<"$files")" = 6 ] || say_fail "signed packing holds: $files"
for file in $files; do verifies "$file" || say_fail "$file does not verify"; done

dist wrong 'not the password' >/dev/null && say_fail "packing with a wrong password succeeded"
[ -z "$(ls wrong)" ] || say_fail "a failed signing left: $(ls wrong)"

files=$(dist unsigned) || say_fail "unsigned packing: $(cat unsigned.out)"
grep -q "^UNSIGNED: QUORVIA_SIGN_PFX is not set" unsigned.out || say_fail "it said: $(cat unsigned.out)"
[ "$(wc -w <<<"$files")" = 6 ] || say_fail "unsigned packing holds: $files"
for file in $files; do verifies "$file" && say_fail "unsigned $file verifies"; done
exit $fail
