#include "signing/u_TimeStamp.h"

#include "common/u_SysUtils.h"
#include "signing/u_OpenSSL.h"
#include "signing/u_SigningError.h"

#include <ctime>
#include <openssl/http.h>
#include <openssl/rand.h>

namespace {
const char* const PlainScheme = "http://";
const char* const RequestType = "application/timestamp-query";
const char* const ResponseType = "application/timestamp-reply";
constexpr int NonceBits = 64;
constexpr size_t ReadPiece = 4096;

struct TUrlParts {
  char* Host = nullptr;
  char* Port = nullptr;
  char* Path = nullptr;
  ~TUrlParts() {
    OPENSSL_free(Host);
    OPENSSL_free(Port);
    OPENSSL_free(Path);
  }
};

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

void ParseUrl(const std::string& url, TUrlParts& parts) {
  int ssl = 0;
  // The token signs itself, so time-stamp servers answer over plain HTTP.
  if (url.rfind(PlainScheme, 0) != 0 ||
      !OSSL_HTTP_parse_url(url.c_str(), &ssl, nullptr, &parts.Host, &parts.Port, nullptr,
                           &parts.Path, nullptr, nullptr)) {
    OpenSSLReason("");
    throw ESigningError(
        Format("the time-stamp address \"%s\" must be an http:// URL", url.c_str()));
  }
}

std::string Post(const std::string& url, const std::string& body) {
  TUrlParts parts;
  ParseUrl(url, parts);
  const TBio request(BIO_new_mem_buf(body.data(), int(body.size())));
  const TBio response(OSSL_HTTP_transfer(nullptr, parts.Host, parts.Port, parts.Path, 0, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
                                         RequestType, request.get(), ResponseType, 1,
                                         MaxTimeStampResponse, TimeStampTimeoutSeconds, 0));
  if (!response)
    throw ESigningError(Format("the time-stamp server %s did not answer: %s", url.c_str(),
                               OpenSSLReason("no answer").c_str()));
  std::string answer;
  char piece[ReadPiece];
  for (int n; (n = BIO_read(response.get(), piece, sizeof piece)) > 0;) {
    answer.append(piece, size_t(n));
    if (answer.size() > MaxTimeStampResponse)
      throw ESigningError(Format("the time-stamp server %s answered with more than %zu bytes",
                                 url.c_str(), MaxTimeStampResponse));
  }
  return answer;
}

bool SameInteger(const ASN1_INTEGER* a, const ASN1_INTEGER* b) {
  return a && b && ASN1_INTEGER_cmp(a, b) == 0;
}
} // namespace

void CheckTimeStampUrl(const std::string& url) {
  TUrlParts parts;
  ParseUrl(url, parts);
}

std::string RequestTimeStamp(const std::string& url, std::string_view signature) {
  const std::string digest = DigestOf(EVP_sha256(), signature);
  const TTimeStampRequest request = NewRequest(digest);
  const std::string answer = Post(url, DerOf(request.get(), i2d_TS_REQ));
  const unsigned char* p = reinterpret_cast<const unsigned char*>(answer.data());
  const TTimeStampResponse response(d2i_TS_RESP(nullptr, &p, long(answer.size())));
  if (!response) {
    OpenSSLReason("");
    throw ESigningError(Format("the time-stamp server %s sent no time-stamp reply", url.c_str()));
  }
  const long status = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response.get())));
  PKCS7* token = TS_RESP_get_token(response.get());
  TS_TST_INFO* info = TS_RESP_get_tst_info(response.get());
  // 0 granted, 1 granted with modifications; anything else is a refusal.
  if ((status != 0 && status != 1) || !token || !info)
    throw ESigningError(Format("the time-stamp server %s refused the request (status %ld)",
                               url.c_str(), status));
  const ASN1_OCTET_STRING* stamped = TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(info));
  if (!stamped || std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(stamped)),
                                   size_t(ASN1_STRING_length(stamped))) != digest ||
      !SameInteger(TS_TST_INFO_get_nonce(info), TS_REQ_get_nonce(request.get())))
    throw ESigningError(
        Format("the time-stamp server %s stamped something other than this signature", url.c_str()));
  return DerOf(token, i2d_PKCS7);
}
