#pragma once
// The window's signing: the certificate file it signs with and the time-stamp server it asks,
// remembered between runs (the password never is), and what the window says of its plan and
// of a book's signature.

#include "signing/u_CodeSigner.h"
#include "signing/u_ImageSignature.h"

#include <QString>

// The certificate file chosen in an earlier run; empty when none is.
QString RememberedSigningFile();
// Remembers path for the next runs; an empty path forgets the choice. The signer's subject
// remembered for the file before is forgotten.
void RememberSigningFile(const QString& path);

// The subject of the certificate the chosen file signed with last, known once its password
// opened it; empty until then.
QString RememberedSigningSubject();
void RememberSigningSubject(const QString& subject);

// The RFC 3161 server the window asks to stamp its signatures; empty for none.
QString RememberedTimeStampUrl();
// Remembers url; raises ESigningError, remembering nothing, for one that is no http:// or
// https:// URL. An empty url forgets the server.
void RememberTimeStampUrl(const QString& url);

// What the window signs with for a chosen file: a PKCS#12 file (.p12, .pfx), or one PEM file
// that holds the certificate chain and the private key; stamped by the server at timeStampUrl
// unless it is empty.
TSigningOptions SigningOptionsFor(const QString& path, const QString& timeStampUrl);

// What Update will do: "Will sign as CN=…, time-stamped by URL" (or "without a time stamp"),
// "Will sign as the certificate in FILE" while the subject is unknown, or "Will not sign".
QString SigningPlanText(const QString& path, const QString& subject, const QString& timeStampUrl);

// "Signed by CN=…, issued by CN=…; the signature is valid and trusted" (or valid but not
// trusted, or invalid, and why), or "Not signed".
QString SignatureStatusText(const TImageSignature& signature);
// The same in short, for the window's status line: "Signed by CN=…: valid and trusted by
// CN=…", "…: valid but not trusted", "…: invalid", or "Not signed".
QString SignatureStateText(const TImageSignature& signature);
