#pragma once
// RFC 3161 time stamps for a signature: a token asked of time-stamp servers in turn, checked
// (its signature, its imprint, its authority trusted) before it goes into a signature.

#include "signing/u_SignatureCheck.h"
#include "signing/u_TimeStampHttp.h"

#include <string>
#include <string_view>
#include <vector>

// The answer of a time-stamp server holds a token with the server's certificate chain: a few
// kilobytes. A bigger answer is no time stamp and is not read further.
inline constexpr size_t MaxTimeStampResponse = 1 << 20;
// How long a server may take before the next is asked, or the signature fails.
inline constexpr int TimeStampTimeoutSeconds = 30;

// Asks the servers at urls in turn for a token over the SHA-256 digest of signature (the
// signer's encrypted digest) and returns the first token (a PKCS#7 ContentInfo, DER) that was
// granted, covers that digest and is valid and trusted by trust (its certificates looked for in
// the token and in more). Raises ESigningError naming each server and what happened with it.
std::string RequestTimeStamp(const std::vector<std::string>& urls, std::string_view signature,
                             STACK_OF(X509) * more, const TTrustStore& trust,
                             const TTimeStampExchange& exchange);
