#!/usr/bin/env bash
# Test-signs the built binaries with scripts/sign.sh, with a certificate made
# for this run, and verifies what it wrote: both signatures check out against
# that certificate, the signed driver still passes the image check, and a
# signed file changed by one byte no longer verifies.
set -u
source_dir=$1 build=$2 python=$3
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

VOXEN_TEST_CERT_DIR=$work/certs "$source_dir/scripts/sign.sh" "$build" "$work/package" || fail "sign.sh failed"
cert=$work/certs/voxenpci-test.pem
for file in voxenpci.sys voxenctl.exe voxenpci.inf voxenpci-test.cer; do
    [ -f "$work/package/$file" ] || fail "the package has no $file"
done
openssl x509 -inform der -in "$work/package/voxenpci-test.cer" -noout -ext extendedKeyUsage | grep -q "Code Signing" ||
    fail "the certificate in the package is not for code signing"

for file in voxenpci.sys voxenctl.exe; do
    verified=$(osslsigncode verify -CAfile "$cert" -in "$work/package/$file" 2>&1)
    grep -q "Signature verification: ok" <<<"$verified" || fail "$file does not verify: $verified"
    grep -q "CN=VoxenPCI Test Signing" <<<"$verified" || fail "$file is not signed by the test certificate: $verified"
    echo "$file: signed by the test certificate, signature verified"
done

"$python" "$source_dir/tools/imagecheck/check-image.py" "$work/package/voxenpci.sys" \
    --symbols "$build/voxenpci.unstripped.sys" || fail "the signed driver fails the image check"

# One byte of the DOS stub, which the signature's hash covers.
cp "$work/package/voxenpci.sys" "$work/changed.sys"
"$python" "$source_dir/tests/pe/images/edit-after-link.py" "$work/changed.sys" || fail "cannot change the copy"
if osslsigncode verify -CAfile "$cert" -in "$work/changed.sys" >"$work/changed.log" 2>&1; then
    fail "a changed signed driver still verifies: $(cat "$work/changed.log")"
fi
echo "a signed driver changed by one byte no longer verifies"
