#pragma once
// The reseller's code-signing identity, loaded and checked before anything is written, and
// the Authenticode signature it makes of an image.

#include "signing/u_ImageDigest.h"
#include "signing/u_SigningSecret.h"
#include "signing/u_TimeStamp.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Where the identity comes from and what the signature says besides the image digest.
struct TSigningOptions {
  std::string Pkcs12File;        // a PKCS#12 file with the key and certificates, or:
  std::string CertificateFile;   // PEM: the signer's certificate, then intermediates
  std::string KeyFile;           // PEM private key, encrypted or not
  std::string SignCommand;       // or a command that signs, given the certificate (above)
  std::string Pkcs11Uri;         // or a key on a token ("pkcs11:token=…;object=…"), its
                                 // certificate from the token or CertificateFile
  std::string Pkcs11Module;      // the token's PKCS#11 module; empty: p11-kit's proxy
  std::string Digest = "SHA256"; // OpenSSL's name of the digest signed: SHA256, SHA384, SHA512
  std::string ChainFile;         // PEM intermediates to send along with the signer's certificate
  // Told of what is signed all the same but may not be trusted: file, text.
  std::function<void(const std::string&, const std::string&)> Warn;
  std::string Description; // program name shown by Windows (UTF-8), may be empty
  std::string Url;         // link shown by Windows (ASCII), may be empty
  // RFC 3161 servers (http:// or https://), asked in turn; none for no time stamp.
  std::vector<std::string> TimeStampUrls;
  std::string TimeStampCaFile; // the roots a time stamp must chain to; empty: the system's
  int TimeStampTimeout = TimeStampTimeoutSeconds; // seconds for each server
  TWaitCheck WhileWaiting; // called while a server is awaited; raises to stop

  bool Wanted() const {
    return !Pkcs12File.empty() || !CertificateFile.empty() || !Pkcs11Uri.empty();
  }
};

class TCodeSigner {
public:
  // Loads the key and certificates and refuses, with ESigningError naming the file, a wrong
  // password, a key that does not belong to the certificate, a certificate that is expired or
  // not yet valid, or one not meant for code signing. The password is cleared once used.
  TCodeSigner(const TSigningOptions& options, const TPasswordSource& password);
  ~TCodeSigner();
  TCodeSigner(const TCodeSigner&) = delete;
  TCodeSigner& operator=(const TCodeSigner&) = delete;

  // The signer's certificate subject, one line.
  std::string Subject() const;
  // Whether held is a signature this signer makes, sound or not: of its certificate, over the
  // digest it signs, carrying the certificates it sends along, and time-stamped when it asks
  // servers for a time stamp (not the description, link or moment).
  bool MakesLike(const TSignatureVerdict& held) const;

  // The certificate table that signs the image of length bytes (a multiple of 8, headers as
  // finally written, no certificate table yet), read through read. Raises ESigningError for an
  // image whose parts verifiers would hash differently, or when the time stamp fails.
  std::string CertificateTable(const TImageHeaders& headers, uint64_t length,
                               const TImageReader& read) const;

  struct TKeys; // the key and certificates, as loaded

private:
  TSigningOptions FOptions;
  TUndumpable FUndumpable; // from before the key is read until it is gone
  std::unique_ptr<TKeys> FKeys;
  std::unique_ptr<TTrustStore> FTimeStampTrust; // when there are time-stamp servers
};

