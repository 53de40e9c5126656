#include "signing/u_OpenSSL.h"

#include "signing/u_SigningError.h"

#include <openssl/err.h>
#include <openssl/objects.h>

std::string OpenSSLReason(const char* fallback) {
  const unsigned long code = ERR_peek_last_error();
  std::string reason;
  if (code != 0) {
    const char* text = ERR_reason_error_string(code);
    reason = text ? text : "";
  }
  ERR_clear_error();
  return reason.empty() ? fallback : reason;
}

std::string NameText(const X509_NAME* name) {
  const TBio bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
    return {};
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, size_t(length)) : std::string();
}

int NidOfOid(const char* oid) {
  int nid = OBJ_txt2nid(oid);
  if (nid == NID_undef)
    nid = OBJ_create(oid, oid, oid);
  if (nid == NID_undef) {
    ERR_clear_error();
    throw ESigningError(Format("cannot use the object identifier %s", oid));
  }
  return nid;
}

std::string DigestOf(const EVP_MD* md, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr) != 1)
    throw ESigningError("the digest cannot be computed: " + OpenSSLReason("no memory"));
  return std::string(reinterpret_cast<const char*>(digest), length);
}
