#pragma once
// Owners of OpenSSL objects, so that every path frees them, and the text of OpenSSL's last
// error for a message.

#include <memory>
#include <string>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

template <class T, void (*Free)(T*)>
struct TOpenSSLFree {
  void operator()(T* p) const { Free(p); }
};
template <class T, void (*Free)(T*)>
using TOpenSSLPtr = std::unique_ptr<T, TOpenSSLFree<T, Free>>;

using TBio = TOpenSSLPtr<BIO, BIO_free_all>;
using TX509 = TOpenSSLPtr<X509, X509_free>;
using TPKey = TOpenSSLPtr<EVP_PKEY, EVP_PKEY_free>;
using TPkcs7 = TOpenSSLPtr<PKCS7, PKCS7_free>;
using TPkcs12 = TOpenSSLPtr<PKCS12, PKCS12_free>;
using TMdContext = TOpenSSLPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using TAsn1Object = TOpenSSLPtr<ASN1_OBJECT, ASN1_OBJECT_free>;
using TAsn1String = TOpenSSLPtr<ASN1_STRING, ASN1_STRING_free>;
using TTimeStampRequest = TOpenSSLPtr<TS_REQ, TS_REQ_free>;
using TTimeStampResponse = TOpenSSLPtr<TS_RESP, TS_RESP_free>;
using TTimeStampInfo = TOpenSSLPtr<TS_TST_INFO, TS_TST_INFO_free>;

struct TX509StackFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
using TX509Stack = std::unique_ptr<STACK_OF(X509), TX509StackFree>;
// A stack of certificates that other stacks own.
struct TX509ListFree {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using TX509List = std::unique_ptr<STACK_OF(X509), TX509ListFree>;

// OpenSSL's reason for the last failure ("bad decrypt"), or fallback when it gave none; the
// error queue is emptied either way, so that one failure is not blamed on the next call.
std::string OpenSSLReason(const char* fallback);

// The DER encoding of an OpenSSL object through its i2d function.
template <class T>
std::string DerOf(const T* object, int (*i2d)(const T*, unsigned char**)) {
  unsigned char* der = nullptr;
  const int length = i2d(object, &der);
  if (length <= 0)
    return {};
  std::string result(reinterpret_cast<const char*>(der), size_t(length));
  OPENSSL_free(der);
  return result;
}

// The digest of data with md (EVP_sha256()).
std::string DigestOf(const EVP_MD* md, std::string_view data);

// OpenSSL's number for an object identifier ("1.3.6.1.4.1.311.2.1.12"), registering it when
// OpenSSL does not know it; raises ESigningError when it cannot.
int NidOfOid(const char* oid);

// A name as one line, "CN=Example Reseller,O=Example,C=DE" (RFC 2253 order and escapes).
std::string NameText(const X509_NAME* name);
