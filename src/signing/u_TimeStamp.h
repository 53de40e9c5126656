#pragma once
// RFC 3161 time stamps for a signature: a token asked of a time-stamp server over HTTP, and the
// time a token states.

#include <string>
#include <string_view>

// The answer of a time-stamp server holds a token with the server's certificate chain: a few
// kilobytes. A bigger answer is no time stamp and is not read further.
inline constexpr size_t MaxTimeStampResponse = 1 << 20;
// How long a server may take before the signature, and so the brand, fails.
inline constexpr int TimeStampTimeoutSeconds = 30;

// Refuses (ESigningError) an address that is no http:// URL, before anything is signed.
void CheckTimeStampUrl(const std::string& url);

// Asks the server at url (http://) for a token over the SHA-256 digest of signature (the
// signer's encrypted digest) and returns the token (a PKCS#7 ContentInfo, DER) after checking
// that it was granted and covers that digest. Raises ESigningError naming the server.
std::string RequestTimeStamp(const std::string& url, std::string_view signature);
