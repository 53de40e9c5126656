#pragma once
// Whether a signature can be trusted: its own soundness, its signer's certificate chain up to a
// root the user trusts, and its time stamp. One routine judges the signatures `show`, `verify`
// and the window report, and the time stamps `brand` is about to write.

#include "signing/u_OpenSSL.h"

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Valid and trusted: sound, its chain ends in a trusted root. Valid but untrusted: sound, but
// the root is unknown or self-signed, or the chain is incomplete. Invalid: the file changed,
// a certificate's signature fails, a certificate is expired or unfit, a bad time stamp, data
// after the signature.
enum class TSignatureState { Trusted, Untrusted, Invalid };

// "valid-trusted", "valid-untrusted", "invalid".
const char* SignatureStateName(TSignatureState state);

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

struct TTimeStampVerdict {
  std::string Time;      // "2026-12-07T18:52:51Z"; empty when there is no time stamp
  std::string Authority; // the subject of the certificate that signed it
  bool Legacy = false;   // a countersignature rather than an RFC 3161 token
  TSignatureState State = TSignatureState::Invalid;
  std::string Problem; // why it is not valid and trusted
  std::time_t Moment = 0;
};

struct TSignatureVerdict {
  TSignatureState State = TSignatureState::Invalid;
  std::string Problem;             // why it is not valid and trusted
  std::string Subject;             // the signer's certificate subject; empty when unreadable
  std::string Issuer;              // its issuer
  std::string Certificate;         // the signer's certificate (DER); empty when unreadable
  std::vector<std::string> Carried; // every certificate the signature carries (DER), sorted
  std::string Digest;               // OpenSSL's name of the image digest signed, "SHA256"
  std::string TrustedBy;           // the trusted root, when there is one
  std::vector<std::string> Chain;  // subjects from the signer up to the root, as far as found
  std::string NotBefore, NotAfter; // the signer certificate's validity, "2026-12-07T18:52:51Z"
  TTimeStampVerdict TimeStamp;
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
