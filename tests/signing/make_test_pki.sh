#!/usr/bin/env bash
# Makes the certificates the signing tests use, in folder $1: a root CA and an intermediate,
# code-signing identities as PKCS#12 and as PEM (with its chain and an encrypted key), the
# certificates each refusal needs, and a time-stamping authority for the local stand-in server.
set -euo pipefail
cd "$1"
quiet() { "$@" 2>/dev/null >/dev/null; }

cat > ext.cnf <<'CNF'
[ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
[signer]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
[server]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
[tls]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1
[tsa]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=critical,timeStamping
CNF

key() { quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key"; }
# cert NAME SUBJECT ISSUER EXTENSIONS [DAYS]: NAME.pem for NAME.key, signed by ISSUER.
cert() {
  quiet openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
  quiet openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial \
    -days "${5:-30}" -extfile ext.cnf -extensions "$4" -out "$1.pem"
}

key ca
quiet openssl req -x509 -new -key ca.key -subj "/CN=Folioset Test Root" -days 30 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out ca.pem
key inter && cert inter "/CN=Folioset Test Intermediate" ca ca
key signer && cert signer "/CN=Example Reseller/O=Example" ca signer
quiet openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -out signer.p12 \
  -passout pass:secret
# The same identity as Windows' certificate export still writes it (RC2-40 and 3DES), and
# without a MAC.
quiet openssl pkcs12 -export -legacy -inkey signer.key -in signer.pem -certfile ca.pem \
  -out legacy.p12 -passout pass:secret
quiet openssl pkcs12 -export -nomac -inkey signer.key -in signer.pem -out nomac.p12 \
  -passout pass:secret
quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ecdsa.key
cert ecdsa "/CN=Example Reseller ECDSA" ca signer
key other && cert other "/CN=Other Reseller" inter signer
cat other.pem inter.pem > other_chain.pem
cat inter.pem ca.pem > chain.pem
quiet openssl pkey -in other.key -aes256 -passout pass:secret -out other_encrypted.key
key expired && cert expired "/CN=Expired Reseller" ca signer -1
key server && cert server "/CN=Web Server" ca server
key tls && cert tls "/CN=127.0.0.1" ca tls
key tsa && cert tsa "/CN=Folioset Test Time Stamps" ca tsa
# Impostors: a self-signed certificate naming a vendor, and a time-stamping authority no one
# trusts.
key impostor
quiet openssl req -x509 -new -key impostor.key -subj "/CN=Big Vendor" -days 30 \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning -out impostor.pem
key rogue_tsa
quiet openssl req -x509 -new -key rogue_tsa.key -subj "/CN=Rogue Time Stamps" -days 30 \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=critical,timeStamping \
  -out rogue_tsa.pem

cat > ts.cnf <<CNF
[tsa]
default_tsa = tsa_config
[tsa_config]
dir = $PWD
serial = \$dir/tsa_serial
signer_cert = \$dir/tsa.pem
signer_key = \$dir/tsa.key
certs = \$dir/ca.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
ordering = no
tsa_name = no
ess_cert_id_chain = no
CNF
echo 01 > tsa_serial
# The same server signing as the authority no one trusts.
sed -e 's/tsa\.pem/rogue_tsa.pem/; s/tsa\.key/rogue_tsa.key/; s/ca\.pem/rogue_tsa.pem/' ts.cnf > ts_rogue.cnf
# Keys as their owners keep them: readable by no one else.
chmod 600 ./*.key ./*.p12
