#!/bin/bash
# The release kit as tools/release makes it from the built kit (nothing is rebuilt): signed
# with a throwaway certificate, each binary's Authenticode signature verified by osslsigncode;
# every binary stripped, with its version block; VERSION.txt naming the commit; the sums
# covering every file; and two kits of the same build byte for byte the same.
#   release_kit.sh SOURCE_FOLDER BUILD_FOLDER
set -eu
top=$1 build=$2
out=$build/tests/check/release-kit
rm -rf "$out"
mkdir -p "$out"
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway Camera Maker" \
    -keyout "$out/key.pem" -out "$out/cert.pem" 2>/dev/null
echo secret >"$out/pass"
openssl pkcs12 -export -inkey "$out/key.pem" -in "$out/cert.pem" -out "$out/cert.pfx" \
    -passout file:"$out/pass"
SIGN=$out/cert.pfx SIGN_PASS_FILE=$out/pass "$top/tools/release" "$build" "$out/signed" \
    >"$out/signed.log" 2>&1 || fail "the signed release: $(tail -3 "$out/signed.log")"
kit=$(echo "$out"/signed/Vandrel-*/)
for binary in Vandrel.exe KXPTPCLS.DLL VandrelCheck.exe KxCameraCheck.exe; do
    osslsigncode verify -CAfile "$out/cert.pem" -in "$kit/$binary" >"$out/verify.log" 2>&1 ||
        fail "$binary: $(grep -i -m3 'fail\|error' "$out/verify.log")"
    grep -q 'Throwaway Camera Maker' "$out/verify.log" || fail "$binary is not signed by the maker"
    x86_64-w64-mingw32-objdump -h "$kit/$binary" | grep -q '\.debug' && fail "$binary keeps debug sections"
    x86_64-w64-mingw32-nm "$kit/$binary" 2>&1 | grep -q 'no symbols' || fail "$binary keeps symbols"
    python3 -c 'import sys; b = open(sys.argv[1], "rb").read()
sys.exit(("OriginalFilename\0" + sys.argv[2]).encode("utf-16-le") not in b)' "$kit/$binary" "$binary" ||
        fail "$binary has no version block naming it"
done
commit=$(git -C "$top" rev-parse --short=12 HEAD)
grep -q "^commit $commit" "$kit/VERSION.txt" || fail "VERSION.txt does not name $commit"
(cd "$kit" && tr -d '\r' <SHA256SUMS.txt | sha256sum --quiet -c -) || fail "SHA256SUMS.txt"
for file in "$kit"/*; do
    name=${file##*/}
    [ "$name" = SHA256SUMS.txt ] || grep -q " $name"$'\r'"\$" "$kit/SHA256SUMS.txt" ||
        fail "SHA256SUMS.txt leaves out $name"
done
SIGN=$out/cert.pfx SIGN_PASS_FILE=$out/pass "$top/tools/release" "$build" "$out/again" \
    >/dev/null 2>&1 || fail "the second release"
cmp "$out"/signed/Vandrel-*.zip "$out"/again/Vandrel-*.zip || fail "two kits of one build differ"
echo "the kit's four binaries are signed, stripped and versioned; two kits are the same"
