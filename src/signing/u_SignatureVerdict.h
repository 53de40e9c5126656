#pragma once
// What judging a signature found, in terms free of the cryptography library: what a report
// shows and what a build without signing (the browser's) still speaks of.

#include <ctime>
#include <string>
#include <vector>

// Valid and trusted: sound, its chain ends in a trusted root. Valid but untrusted: sound, but
// the root is unknown or self-signed, or the chain is incomplete. Invalid: the file changed,
// a certificate's signature fails, a certificate is expired or unfit, a bad time stamp, data
// after the signature.
enum class TSignatureState { Trusted, Untrusted, Invalid };

// "valid-trusted", "valid-untrusted", "invalid".
const char* SignatureStateName(TSignatureState state);

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
