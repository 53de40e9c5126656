#pragma once
// The window's signing: the certificate file it signs with, remembered between runs (its
// password never is), and what the window says of a book's signature.

#include "signing/u_CodeSigner.h"
#include "signing/u_ImageSignature.h"

#include <QString>

// The certificate file chosen in an earlier run; empty when none is.
QString RememberedSigningFile();
// Remembers path for the next runs; an empty path forgets the choice.
void RememberSigningFile(const QString& path);

// What the window signs with for a chosen file: a PKCS#12 file (.p12, .pfx), or one PEM file
// that holds the certificate chain and the private key.
TSigningOptions SigningOptionsFor(const QString& path);

// "Signed by CN=…, issued by CN=…; the signature is valid and trusted" (or valid but not
// trusted, or invalid, and why), or "Not signed".
QString SignatureStatusText(const TImageSignature& signature);
