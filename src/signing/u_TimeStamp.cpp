#include "signing/u_TimeStamp.h"

#include "common/u_SysUtils.h"
#include "signing/u_OpenSSL.h"
#include "signing/u_SigningError.h"

#include <ctime>
#include <openssl/http.h>
#include <openssl/rand.h>

namespace {
constexpr int NonceBits = 64;

TTimeStampRequest NewRequest(const std::string& digest) {
  TTimeStampRequest request(TS_REQ_new());
  TOpenSSLPtr<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free> imprint(TS_MSG_IMPRINT_new());
  TOpenSSLPtr<X509_ALGOR, X509_ALGOR_free> algorithm(X509_ALGOR_new());
  TOpenSSLPtr<ASN1_INTEGER, ASN1_INTEGER_free> nonce(ASN1_INTEGER_new());
  TOpenSSLPtr<BIGNUM, BN_free> random(BN_new());
  if (!request || !imprint || !algorithm || !nonce || !random ||
      !X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) ||
      !TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) ||
      !TS_MSG_IMPRINT_set_msg(imprint.get(),
                              reinterpret_cast<unsigned char*>(const_cast<char*>(digest.data())),
                              int(digest.size())) ||
      !TS_REQ_set_version(request.get(), 1) ||
      !TS_REQ_set_msg_imprint(request.get(), imprint.get()) ||
      !BN_rand(random.get(), NonceBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) ||
      !BN_to_ASN1_INTEGER(random.get(), nonce.get()) ||
      !TS_REQ_set_nonce(request.get(), nonce.get()) || !TS_REQ_set_cert_req(request.get(), 1))
    throw ESigningError("cannot build the time-stamp request: " + OpenSSLReason("no memory"));
  return request;
}

bool SameInteger(const ASN1_INTEGER* a, const ASN1_INTEGER* b) {
  return a && b && ASN1_INTEGER_cmp(a, b) == 0;
}

// A token from the server at url, checked. Raises ESigningError saying what happened.
std::string TokenFrom(const std::string& url, const std::string& digest, std::string_view signature,
                      STACK_OF(X509) * more, const TTrustStore& trust,
                      const TTimeStampExchange& exchange) {
  const TTimeStampRequest request = NewRequest(digest);
  const std::string answer = PostTimeStampRequest(url, request.get(), exchange);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(answer.data());
  const TTimeStampResponse response(d2i_TS_RESP(nullptr, &p, long(answer.size())));
  if (!response) {
    OpenSSLReason("");
    throw ESigningError("not a time-stamp reply");
  }
  const long status =
      ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response.get())));
  PKCS7* token = TS_RESP_get_token(response.get());
  TS_TST_INFO* info = TS_RESP_get_tst_info(response.get());
  // 0 granted, 1 granted with modifications; anything else is a refusal.
  if ((status != 0 && status != 1) || !token || !info)
    throw ESigningError(Format("it refused the request (status %ld)", status));
  const ASN1_OCTET_STRING* stamped = TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(info));
  if (!stamped ||
      std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(stamped)),
                       size_t(ASN1_STRING_length(stamped))) != digest ||
      !SameInteger(TS_TST_INFO_get_nonce(info), TS_REQ_get_nonce(request.get())))
    throw ESigningError("it stamped something other than this signature");
  std::string der = DerOf(token, i2d_PKCS7);
  const TTimeStampVerdict verdict = VerifyTimeStampToken(der, signature, more, trust);
  if (verdict.State == TSignatureState::Invalid)
    throw ESigningError("a bad token: " + verdict.Problem);
  if (verdict.State == TSignatureState::Untrusted)
    throw ESigningError("token not trusted: " + verdict.Problem);
  return der;
}
} // namespace

std::string RequestTimeStamp(const std::vector<std::string>& urls, std::string_view signature,
                             STACK_OF(X509) * more, const TTrustStore& trust,
                             const TTimeStampExchange& exchange) {
  const std::string digest = DigestOf(EVP_sha256(), signature);
  std::string failures;
  for (const std::string& url : urls) {
    try {
      return TokenFrom(url, digest, signature, more, trust, exchange);
    } catch (const ESigningError& e) {
      failures += (failures.empty() ? "" : "; ") +
                  Format("the time-stamp server %s: %s", url.c_str(), e.Message().c_str());
    }
  }
  throw ESigningError(failures.empty() ? std::string("no time-stamp server given") : failures);
}
