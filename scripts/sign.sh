#!/usr/bin/env bash
# Test-signs the Windows binaries for a machine in test-signing mode
# (docs/install.md).
#
#   scripts/sign.sh [BUILD_DIR [OUT_DIR]]
#
# BUILD_DIR (default build/windows) holds voxenpci.sys, voxenctl.exe and
# voxenpci.inf from `cmake --build --preset windows`. OUT_DIR (default
# BUILD_DIR/signed) receives the driver package to copy to the machine: the
# signed voxenpci.sys and voxenctl.exe, voxenpci.inf, and the test
# certificate voxenpci-test.cer to trust there. The built files are left as
# they are.
#
# The certificate and its key are made with openssl once and kept in
# VOXEN_TEST_CERT_DIR (default BUILD_DIR/test-signing), so a machine that
# trusts the certificate goes on trusting what is signed later. The key is a
# test key: anything it signs loads only where test signing is on.
set -euo pipefail
build=${1:-build/windows}
out=${2:-$build/signed}
certs=${VOXEN_TEST_CERT_DIR:-$build/test-signing}
subject="/CN=VoxenPCI Test Signing/O=VoxenPCI"

fail() { echo "sign.sh: $*" >&2; exit 1; }
for tool in openssl osslsigncode; do
    command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup.sh installs it)"
done
for file in voxenpci.sys voxenctl.exe voxenpci.inf; do
    [ -f "$build/$file" ] || fail "no $build/$file: build the windows preset first"
done

mkdir -p "$certs" "$out"
key=$certs/voxenpci-test.key cert=$certs/voxenpci-test.pem
if [ ! -f "$key" ] || [ ! -f "$cert" ]; then
    # A leaf certificate for code signing, its own issuer.
    openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 3650 \
        -subj "$subject" \
        -addext "basicConstraints=critical,CA:FALSE" \
        -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" \
        -keyout "$key" -out "$cert" 2>/dev/null || fail "openssl could not make the test certificate"
    chmod 600 "$key"
    echo "made test certificate $cert"
fi
# Windows's certificate tools read DER.
openssl x509 -in "$cert" -outform der -out "$out/voxenpci-test.cer"

for file in voxenpci.sys voxenctl.exe; do
    rm -f "$out/$file"
    osslsigncode sign -certs "$cert" -key "$key" -h sha256 \
        -n "VoxenPCI" \
        -in "$build/$file" -out "$out/$file" >/dev/null || fail "osslsigncode could not sign $file"
    echo "signed $out/$file"
done
cp "$build/voxenpci.inf" "$out/voxenpci.inf"
echo "driver package: $out (trust voxenpci-test.cer on the test machine)"
