#pragma once
// A private key that stays on a hardware token or HSM, reached through its PKCS#11 module: the
// way code-signing keys are kept since issuers stopped handing them out as files.

#include "signing/u_SigningSecret.h"

#include <memory>
#include <mutex>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

// p11-kit's proxy, which reaches every module the system has registered.
extern const char* const DefaultPkcs11Module;

class TPkcs11Key {
public:
  // Loads module, finds the token and the private key uri names ("pkcs11:token=…;object=…",
  // or id=), logging in with the PIN that pin gives when the token asks for one. Raises
  // ESigningError naming uri when the module does not load, no token or key matches, the PIN
  // is wrong, or the URI holds a PIN or module of its own (only the PIN routes and
  // --pkcs11-module give those).
  TPkcs11Key(const std::string& module, const std::string& uri, const TPasswordSource& pin);
  ~TPkcs11Key();
  TPkcs11Key(const TPkcs11Key&) = delete;
  TPkcs11Key& operator=(const TPkcs11Key&) = delete;

  // The key, signing on the token; a new reference, freed before this goes.
  EVP_PKEY* NewKey() const;
  // The token's certificate of the key (a new reference); null when the token holds none.
  X509* NewCertificate() const;
  // Held while the key signs: a module's session serves one request at a time.
  std::mutex& Lock() const;

  struct TSession;

private:
  std::unique_ptr<TSession> FSession;
};
