#include "signing/u_SignEvent.h"

#include "signing/u_CodeSigner.h"

TImageSignEvent ImageSignEvent(const TCodeSigner* signer) {
  if (!signer)
    return {};
  return [signer](const TImageHeaders& headers, uint64_t length, const TImageReader& read) {
    return signer->CertificateTable(headers, length, read);
  };
}
