#pragma once
// Whether a signature can be trusted: its own soundness, its signer's certificate chain up to a
// root the user trusts, and its time stamp. One routine judges the signatures `show`, `verify`
// and the window report, and the time stamps `brand` is about to write.

#include "signing/u_OpenSSL.h"
#include "signing/u_SignatureVerdict.h"

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The roots a signature may end in, and the moment "now" for a signature without a time stamp.
class TTrustStore {
public:
  TTrustStore(const TTrustStore&) = delete;
  TTrustStore& operator=(const TTrustStore&) = delete;
  // The system store (/etc/ssl/certs) when caFile is empty, otherwise the certificates of
  // caFile alone; raises ESigningError naming a file that holds no certificate.
  TTrustStore(const std::string& caFile, std::time_t now);
  ~TTrustStore();
  X509_STORE* Store() const { return FStore; }
  std::time_t Now() const { return FNow; }

private:
  X509_STORE* FStore;
  std::time_t FNow;
};

// The digest of the signed image by an algorithm (OpenSSL's name, "SHA256").
using TImageDigestOf = std::function<std::string(const std::string& digestName)>;

// Judges an Authenticode SignedData (DER) over the image whose digests digestOf gives. With
// nested, the signatures nested in it are judged too and added there; their state makes the
// returned one no better than theirs.
TSignatureVerdict VerifySignedData(std::string_view der, const TImageDigestOf& digestOf,
                                   const TTrustStore& trust,
                                   std::vector<TSignatureVerdict>* nested);

// Judges an RFC 3161 token (a PKCS#7 ContentInfo, DER) over signature (the signer's encrypted
// digest): its own signature, its imprint, and its signer's chain for time stamping, at the
// time it states; more holds certificates the token may leave out.
TTimeStampVerdict VerifyTimeStampToken(std::string_view token, std::string_view signature,
                                       STACK_OF(X509) * more, const TTrustStore& trust);

// Whether a signer's signature over its signed attributes verifies with certificate.
bool AttributesVerify(PKCS7_SIGNER_INFO* signer, X509* certificate, const EVP_MD* md);

// "2026-12-07T18:52:51Z".
std::string TimeText(const ASN1_TIME* time);
