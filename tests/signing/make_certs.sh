#!/usr/bin/env bash
# make_certs.sh DIR: a throw-away CA (ca.pem) and PKCS#12 files it issued, all under the password
# in DIR/pass: signer.pfx for code signing, expired.pfx (expired yesterday) and server.pfx (for
# TLS servers only); DIR/wrong-pass holds another password. For the signing tests, and for
# trying `QUARV_SIGN_PFX=DIR/signer.pfx QUARV_SIGN_PASS_FILE=DIR/pass make release-check`.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
cat >extensions.cnf <<'END'
[code]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
[server]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
END
echo "throw-away password" >pass
echo "not the password" >wrong-pass
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj "/CN=Quarv Test CA" \
  -days 30 -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" \
  2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
  -subj "/CN=Quarv Test Signer" 2>/dev/null
for cert in signer:code:30 expired:code:-1 server:server:30; do
  IFS=: read -r name extensions days <<<"$cert"
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
    -days "$days" -extfile extensions.cnf -extensions "$extensions" -out "$name.pem" 2>/dev/null
  openssl pkcs12 -export -inkey signer.key -in "$name.pem" -certfile ca.pem -out "$name.pfx" \
    -passout file:pass
done
