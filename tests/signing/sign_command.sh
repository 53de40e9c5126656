#!/bin/sh
# A stand-in for a signing service: signs what comes on standard input (a DER DigestInfo for
# RSA, a digest for ECDSA) with the private key KEY and writes the signature.
# usage: sign_command.sh KEY
exec openssl pkeyutl -sign -inkey "$1"
