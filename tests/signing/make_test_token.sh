#!/usr/bin/env bash
# Makes a SoftHSM2 token in the test PKI's folder $1 (made by make_test_pki.sh), as a reseller's
# hardware token holds a code-signing identity: the RSA key "signer" (id 01) and the ECDSA key
# "ecdsa" (id 02), each beside its certificate, behind the PIN 1234; SoftHSM2 finds it when
# SOFTHSM2_CONF names $1/softhsm2.conf, which this writes.
set -euo pipefail
cd "$1"
module=/usr/lib/softhsm/libsofthsm2.so
token="Folioset Test Token"
mkdir -p tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$PWD" > softhsm2.conf
export SOFTHSM2_CONF=$PWD/softhsm2.conf
softhsm2-util --init-token --free --label "$token" --pin 1234 --so-pin 5678 >/dev/null
for pair in "signer 01" "ecdsa 02"; do
  set -- $pair
  openssl pkcs8 -topk8 -nocrypt -in "$1.key" -out "$1.p8"
  softhsm2-util --import "$1.p8" --token "$token" --label "$1" --id "$2" --pin 1234 >/dev/null
  rm "$1.p8"
  openssl x509 -in "$1.pem" -outform DER -out "$1.der"
  pkcs11-tool --module "$module" --token-label "$token" --login --pin 1234 \
    --write-object "$1.der" --type cert --id "$2" --label "$1" >/dev/null 2>&1
done
