#!/usr/bin/env bash
# The signing step of the release, with a throwaway certificate made here.
#
#   tests/check_signatures.sh [BUILD_DIR]    (default build/windows; cpack must have run)
#
# Makes a self-signed code-signing certificate and key with openssl (valid two
# days, thrown away afterwards), packages BUILD_DIR again with
# `cpack -D JOYVANE_SIGN_CERT=... -D JOYVANE_SIGN_KEY=...` into a folder of its
# own, and checks with osslsigncode that both programs in the ZIP, both
# programs in the MSI and the MSI itself carry a valid signature by that
# certificate; that a second certificate, a changed byte or a changed MSI table
# does not verify; that the packages made without a certificate are unsigned;
# and that a key that does not belong to the certificate, or a certificate
# without its key, stops the packaging. Nothing needs a real certificate.
set -uo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${1:-build/windows}
[[ $BUILD_DIR = /* ]] || BUILD_DIR=$REPO/$BUILD_DIR
VERSION=$(sed -n -E 's/^project\(joyvane VERSION ([0-9.]+) .*/\1/p' "$REPO/CMakeLists.txt")
SIGNER="Joyvane throwaway test signer"

for tool in openssl osslsigncode cpack unzip msiextract msibuild; do
    command -v "$tool" >/dev/null || { echo "signing: $tool is needed" >&2; exit 2; }
done
WORK=$(mktemp -d "${TMPDIR:-/tmp}/joyvane-signing.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

failed=0
passed=0
check() {
    if [[ $1 == 0 ]]; then
        echo "ok   signing: $2"
        passed=$((passed + 1))
    else
        echo "FAIL signing: $2${3:+ -- $3}"
        failed=$((failed + 1))
    fi
}

# certificate NAME SUBJECT: a self-signed code-signing certificate and its key.
certificate() {
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$2" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$WORK/$1.key" -out "$WORK/$1.pem" 2>/dev/null
}

# signed_by FILE CERT: the file's signature verifies against CERT alone, and
# names our signer and description.
signed_by() {
    local out
    out=$(osslsigncode verify -CAfile "$2" -in "$1" 2>&1) &&
        grep -q '^Signature verification: ok$' <<<"$out" &&
        grep -q "Subject: /CN=$SIGNER\$" <<<"$out" &&
        grep -q 'Text description: Joyvane$' <<<"$out"
}

# unsigned FILE: osslsigncode finds no signature to verify (its words differ
# for programs and for MSI files).
unsigned() {
    local out
    ! out=$(osslsigncode verify -CAfile "$WORK/signer.pem" -in "$1" 2>&1) &&
        grep -qE '^(No signature found|MSI file has no signature)$' <<<"$out"
}

certificate signer "$SIGNER" && certificate other "Someone else"
check $? "throwaway certificates made with openssl"

OUT=$WORK/signed
(cd "$BUILD_DIR" && cpack -D "JOYVANE_SIGN_CERT=$WORK/signer.pem" -D "JOYVANE_SIGN_KEY=$WORK/signer.key" \
    -B "$OUT" >"$WORK/cpack.log" 2>&1)
check $? "cpack -D JOYVANE_SIGN_CERT=... -D JOYVANE_SIGN_KEY=...: ZIP and MSI made" "$(tail -5 "$WORK/cpack.log")"
ZIP=$OUT/joyvane-$VERSION-win32.zip
MSI=$OUT/joyvane-$VERSION.msi
mkdir -p "$WORK/zip" "$WORK/msi"
unzip -q "$ZIP" -d "$WORK/zip" && msiextract -C "$WORK/msi" "$MSI" >/dev/null
check $? "both packages unpack"

for program in joyvane_service.exe joyvane_console.exe; do
    signed_by "$WORK/zip/joyvane-$VERSION-win32/$program" "$WORK/signer.pem"
    check $? "$program in the ZIP: signature by \"$SIGNER\" verifies"
    signed_by "$WORK/msi/Program Files/Joyvane/$program" "$WORK/signer.pem"
    check $? "$program in the MSI: signature by \"$SIGNER\" verifies"
done
signed_by "$MSI" "$WORK/signer.pem"
check $? "the MSI itself: signature by \"$SIGNER\" verifies"

# The verification must be able to fail.
! osslsigncode verify -CAfile "$WORK/other.pem" -in "$MSI" >/dev/null 2>&1
check $? "... but not against another certificate"
cp "$WORK/zip/joyvane-$VERSION-win32/joyvane_service.exe" "$WORK/changed.exe"
printf '\x90' | dd of="$WORK/changed.exe" bs=1 seek=2048 conv=notrunc status=none
! osslsigncode verify -CAfile "$WORK/signer.pem" -in "$WORK/changed.exe" >/dev/null 2>&1
check $? "... nor once one byte of the signed program is changed"
cp "$MSI" "$WORK/changed.msi"
# The product's name: the five settings have no value in the Property table any
# more (the installer fills them at run time), and a change must be one.
msibuild "$WORK/changed.msi" -q "UPDATE \`Property\` SET \`Value\` = 'Joyvane changed' WHERE \`Property\` = 'ProductName'"
msiinfo export "$WORK/changed.msi" Property | tr -d '\r' | grep -qx $'ProductName\tJoyvane changed' &&
    ! osslsigncode verify -CAfile "$WORK/signer.pem" -in "$WORK/changed.msi" >/dev/null 2>&1
check $? "... nor once a value in the signed MSI's Property table is changed"

unsigned "$BUILD_DIR/joyvane-$VERSION.msi" && unsigned "$BUILD_DIR/joyvane_service.exe" &&
    unsigned "$BUILD_DIR/joyvane_console.exe"
check $? "without a certificate nothing is signed (the build's programs, its MSI)"

(cd "$BUILD_DIR" && cpack -D "JOYVANE_SIGN_CERT=$WORK/signer.pem" -D "JOYVANE_SIGN_KEY=$WORK/other.key" \
    -B "$WORK/mismatch" >"$WORK/mismatch.log" 2>&1)
status=$?
[[ $status != 0 && ! -e $WORK/mismatch/joyvane-$VERSION.msi && ! -e $WORK/mismatch/joyvane-$VERSION-win32.zip ]]
check $? "a key that does not belong to the certificate: cpack fails (exit $status), no package"
(cd "$BUILD_DIR" && cpack -D "JOYVANE_SIGN_CERT=$WORK/signer.pem" -B "$WORK/nokey" >"$WORK/nokey.log" 2>&1)
status=$?
[[ $status != 0 ]] && grep -q 'give both JOYVANE_SIGN_CERT and JOYVANE_SIGN_KEY' "$WORK/nokey.log"
check $? "a certificate without its key: cpack fails (exit $status) and says why"

echo "signing: $passed passed, $failed failed"
((failed == 0))
