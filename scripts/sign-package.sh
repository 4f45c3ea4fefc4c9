#!/bin/sh
# Signs the driver and property page of both architectures (<dist> and
# <dist>/amd64) and the catalog <dist>/vkserial.cat with Authenticode
# (SHA-256): 64-bit Windows, and 32-bit Windows 10 with Secure Boot, load no
# unsigned kernel code and install no package without a signed catalog. XP
# checks neither a SHA-256 signature nor this signer, and installs the package
# after asking, as it would an unsigned one.
#
# The signer is the user's when VK_SIGN_CERT and VK_SIGN_KEY name a PEM
# certificate (with its chain, if any) and its private key (VK_SIGN_PASS: the
# key's password, if it has one). Otherwise a self-signed test certificate is
# made once with openssl and kept in build/test-signing/ (never in dist/, never
# committed), so a machine that trusts it keeps trusting later builds; its
# public half goes to <dist>/vkserial-test.cer for importing on Windows.
#
# Usage: sign-package.sh <dist> [file in <dist>...]   (by default the four
# binaries and the catalog)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${1:?usage: sign-package.sh <dist> [file...]}
shift
files=${*:-vkserial.sys vkprop.dll amd64/vkserial.sys amd64/vkprop.dll vkserial.cat}

if [ -n "$VK_SIGN_CERT" ] || [ -n "$VK_SIGN_KEY" ]; then
    [ -f "$VK_SIGN_CERT" ] && [ -f "$VK_SIGN_KEY" ] ||
        { echo "VK_SIGN_CERT and VK_SIGN_KEY must both name existing PEM files"; exit 1; }
    cert=$VK_SIGN_CERT
    key=$VK_SIGN_KEY
else
    keys="$root/build/test-signing"
    cert="$keys/vkserial-test.pem"
    key="$keys/vkserial-test.key"
    if [ ! -f "$cert" ] || [ ! -f "$key" ]; then
        mkdir -p "$keys"
        # Code signing is the one use Windows' kernel-mode policy asks of a
        # test certificate; basicConstraints CA:FALSE keeps it from vouching
        # for anything else.
        (umask 077 && openssl req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes \
            -subj "/O=Velkor/CN=Velkor keying port test signing (not for distribution)" \
            -addext "basicConstraints=critical,CA:FALSE" \
            -addext "keyUsage=critical,digitalSignature" \
            -addext "extendedKeyUsage=codeSigning" \
            -keyout "$key" -out "$cert" 2>/dev/null)
        echo "made a test certificate: $cert"
    fi
    openssl x509 -in "$cert" -outform DER -out "$dist/vkserial-test.cer"
fi

# The catalog (make-catalog.py, or Inf2Cat on Windows) is signed too when it
# is there.
signed=""
for file in $files; do
    [ -f "$dist/$file" ] || continue
    # Signing again would nest a second signature: start from the bare file.
    osslsigncode remove-signature -in "$dist/$file" -out "$dist/$file.bare" >/dev/null 2>&1 ||
        cp "$dist/$file" "$dist/$file.bare"
    osslsigncode sign -certs "$cert" -key "$key" ${VK_SIGN_PASS:+-pass "$VK_SIGN_PASS"} \
        -h sha256 -n "Velkor keying port" \
        -in "$dist/$file.bare" -out "$dist/$file.signed" >/dev/null
    mv "$dist/$file.signed" "$dist/$file"
    rm -f "$dist/$file.bare"
    signed="$signed $file"
done
echo "signed:$signed ($(openssl x509 -in "$cert" -noout -subject))"
