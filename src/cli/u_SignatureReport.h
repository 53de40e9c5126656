#pragma once
// A book's signature as show and verify print it: lines for a person, an object for a script.

#include "signing/u_ImageSignature.h"

#include <QJsonValue>

#include <string>

// "Signed: no", or "Signed: yes, valid and trusted (root ...)" and who signed, when, the time
// stamp and the nested signatures, each on its own line.
std::string SignatureLines(const TImageSignature& signature);

// null for a book without a signature, otherwise an object of state, problem, signer, issuer,
// trustedBy, chain, notBefore, notAfter, timestamp (null, or time, authority, state, problem,
// legacy) and nested (the same for each nested signature).
QJsonValue SignatureJson(const TImageSignature& signature);
