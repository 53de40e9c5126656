#include "signing/u_ImageSignature.h"

#include "signing/u_CertificateTable.h"
#include "signing/u_ImageDigest.h"
#include "signing/u_OpenSSL.h"
#include "signing/u_SigningError.h"
#include "signing/u_SpcIndirectData.h"
#include "signing/u_TimeStamp.h"

#include <cstring>
#include <openssl/err.h>

namespace {

std::string_view View(const ASN1_STRING* s) {
  return std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                          size_t(ASN1_STRING_length(s)));
}

// The signed-attribute value of an object identifier, or null.
const ASN1_TYPE* Attribute(PKCS7_SIGNER_INFO* signer, const char* oid, bool isSigned) {
  const int nid = NidOfOid(oid);
  return isSigned ? PKCS7_get_signed_attribute(signer, nid) : PKCS7_get_attribute(signer, nid);
}

// Whether the signer's signature over its signed attributes verifies with its certificate.
bool SignatureVerifies(PKCS7_SIGNER_INFO* signer, X509* certificate, const EVP_MD* md) {
  unsigned char* attributes = nullptr;
  const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(signer->auth_attr), &attributes,
                                   ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  if (length <= 0)
    return false;
  const TMdContext context(EVP_MD_CTX_new());
  const bool verified = context &&
                        EVP_DigestVerifyInit(context.get(), nullptr, md, nullptr,
                                             X509_get0_pubkey(certificate)) == 1 &&
                        EVP_DigestVerify(context.get(), ASN1_STRING_get0_data(signer->enc_digest),
                                         size_t(ASN1_STRING_length(signer->enc_digest)), attributes,
                                         size_t(length)) == 1;
  OPENSSL_free(attributes);
  return verified;
}

void Check(TImageSignature& result, TByteView image, const TImageReader& read,
           const TImageHeaders& headers, const TDataDirectory& table) {
  if (!image.Contains(table.VirtualAddress, table.Size))
    throw ESigningError("the certificate table lies outside the file");
  const std::string_view der =
      SignedDataOf(image.Part(table.VirtualAddress, table.Size, "certificate table"));
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  const TPkcs7 signature(d2i_PKCS7(nullptr, &p, long(der.size())));
  if (!signature || !PKCS7_type_is_signed(signature.get()))
    throw ESigningError("the signature is no PKCS#7 SignedData");
  const PKCS7* content = signature->d.sign->contents;
  const TAsn1Object indirectType(OBJ_txt2obj(SpcIndirectDataOid, 1));
  if (!content || !content->type || OBJ_cmp(content->type, indirectType.get()) != 0 ||
      !content->d.other || content->d.other->type != V_ASN1_SEQUENCE)
    throw ESigningError("the signature holds no Authenticode content");
  const std::string_view indirect = View(content->d.other->value.sequence);

  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(signature.get());
  if (sk_PKCS7_SIGNER_INFO_num(signers) != 1)
    throw ESigningError("the signature has not exactly one signer");
  PKCS7_SIGNER_INFO* signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
  X509* certificate =
      X509_find_by_issuer_and_serial(signature->d.sign->cert, signer->issuer_and_serial->issuer,
                                     signer->issuer_and_serial->serial);
  if (!certificate)
    throw ESigningError("the signature does not carry its signer's certificate");
  result.Subject = NameText(X509_get_subject_name(certificate));
  result.Issuer = NameText(X509_get_issuer_name(certificate));
  if (const ASN1_TYPE* token = Attribute(signer, SpcRfc3161TimeStampOid, false);
      token && token->type == V_ASN1_SEQUENCE)
    result.TimeStamp = TimeStampTime(View(token->value.sequence));

  const TIndirectData stated = ReadIndirectData(indirect);
  const uint64_t hashedEnd = table.VirtualAddress;
  if (uint64_t(table.VirtualAddress) + table.Size != image.Size())
    throw ESigningError("bytes follow the signature that it does not cover");
  const std::string actual =
      ImageDigest(ImageDigestRanges(headers, hashedEnd), stated.DigestName, read);
  if (actual != stated.Digest)
    throw ESigningError("the file was changed after it was signed");

  const EVP_MD* md = EVP_get_digestbyobj(signer->digest_alg->algorithm);
  const ASN1_TYPE* messageDigest = PKCS7_get_signed_attribute(signer, NID_pkcs9_messageDigest);
  if (!md || !messageDigest || messageDigest->type != V_ASN1_OCTET_STRING ||
      View(messageDigest->value.octet_string) != DigestOf(md, IndirectDataContentOctets(indirect)))
    throw ESigningError("the signature does not sign its own content");
  if (!SignatureVerifies(signer, certificate, md))
    throw ESigningError("the signature does not verify with its signer's certificate");
}

} // namespace

TImageSignature ReadImageSignature(TByteView image) {
  return ReadImageSignature(image, [&](uint64_t offset, uint8_t* into, size_t count) {
    std::memcpy(into, image.Bytes(offset, count, "signed image"), count);
  });
}

TImageSignature ReadImageSignature(TByteView image, const TImageReader& read) {
  TImageSignature result;
  TImageHeaders headers;
  try {
    headers = ReadImageHeaders(image);
  } catch (const Exception&) {
    return result;
  }
  if (headers.DirectoryCount <= ddSecurity || headers.Directories[ddSecurity].Size == 0)
    return result;
  result.Signed = true;
  try {
    Check(result, image, read, headers, headers.Directories[ddSecurity]);
    result.Matches = true;
  } catch (const Exception& e) {
    result.Problem = e.Message();
  }
  ERR_clear_error();
  return result;
}
