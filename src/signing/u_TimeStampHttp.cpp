#include "signing/u_TimeStampHttp.h"

#include "common/u_FileHandle.h"
#include "common/u_SysUtils.h"
#include "signing/u_SigningError.h"
#include "signing/u_TimeStamp.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/httperr.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

namespace {
const char* const RequestType = "application/timestamp-query";
const char* const ResponseType = "application/timestamp-reply";
// How often a wait looks whether it is to stop: soon enough for Ctrl-C to feel immediate.
constexpr int SliceMilliseconds = 100;

struct TUrlParts {
  char* Host = nullptr;
  char* Port = nullptr;
  char* Path = nullptr;
  int Tls = 0;
  ~TUrlParts() {
    OPENSSL_free(Host);
    OPENSSL_free(Port);
    OPENSSL_free(Path);
  }
};

void ParseUrl(const std::string& url, TUrlParts& parts) {
  const bool known = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
  if (!known || !OSSL_HTTP_parse_url(url.c_str(), &parts.Tls, nullptr, &parts.Host, &parts.Port,
                                     nullptr, &parts.Path, nullptr, nullptr)) {
    OpenSSLReason("");
    throw ESigningError(
        Format("the time-stamp address \"%s\" must be an http:// or https:// URL", url.c_str()));
  }
}

// The exchange's time limit, and the waits within it.
class TWait {
public:
  explicit TWait(const TTimeStampExchange& exchange)
      : FExchange(exchange),
        FEnd(std::chrono::steady_clock::now() + std::chrono::seconds(exchange.TimeoutSeconds)) {}

  // Returns when fd is ready for events; raises when the time is up, or through the check.
  void For(int fd, short events) const {
    for (;;) {
      if (FExchange.WhileWaiting)
        FExchange.WhileWaiting();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            FEnd - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0)
        throw ESigningError(Format("no answer within %d s", FExchange.TimeoutSeconds));
      pollfd ready{fd, events, 0};
      const int n = ::poll(&ready, 1, int(std::min<long long>(left, SliceMilliseconds)));
      if (n > 0)
        return;
      if (n < 0 && errno != EINTR)
        throw ESigningError(SysErrorMessage(errno));
    }
  }

private:
  const TTimeStampExchange& FExchange;
  std::chrono::steady_clock::time_point FEnd;
};

TFileHandle Connect(const TUrlParts& url, const TWait& wait) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int error = ::getaddrinfo(url.Host, url.Port, &hints, &found))
    throw ESigningError(Format("cannot find the host %s: %s", url.Host, ::gai_strerror(error)));
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
  int error = 0;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    TFileHandle socket{::socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    if (!socket.IsOpen()) {
      error = errno;
      continue;
    }
    if (::connect(socket.Get(), a->ai_addr, a->ai_addrlen) == 0)
      return socket;
    if (errno != EINPROGRESS) {
      error = errno;
      continue;
    }
    wait.For(socket.Get(), POLLOUT);
    socklen_t length = sizeof error;
    if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
      return socket;
  }
  throw ESigningError(error == ECONNREFUSED ? std::string("connection refused")
                                            : "cannot connect: " + SysErrorMessage(error));
}

// Waits for what the last call on bio needs: to read, or to write.
void AwaitBio(BIO* bio, int fd, const TWait& wait) {
  wait.For(fd, BIO_should_write(bio) ? POLLOUT : POLLIN);
}

// Wraps the connection in TLS, the server's certificate chained to roots and naming the host.
TBio StartTls(TBio plain, const TUrlParts& url, int fd, X509_STORE* roots, const TWait& wait) {
  const TOpenSSLPtr<SSL_CTX, SSL_CTX_free> context(SSL_CTX_new(TLS_client_method()));
  if (!context)
    throw ESigningError("cannot start TLS: " + OpenSSLReason("no memory"));
  if (roots)
    SSL_CTX_set1_cert_store(context.get(), roots);
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  TBio tls(BIO_new_ssl(context.get(), 1));
  SSL* ssl = nullptr;
  if (!tls || BIO_get_ssl(tls.get(), &ssl) <= 0 || !ssl)
    throw ESigningError("cannot start TLS: " + OpenSSLReason("no memory"));
  // An address is checked as an address, a name as a name (and sent for the server to choose).
  if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), url.Host) != 1) {
    ERR_clear_error();
    SSL_set_tlsext_host_name(ssl, url.Host);
    SSL_set1_host(ssl, url.Host);
  }
  BIO_push(tls.get(), plain.release());
  while (BIO_do_handshake(tls.get()) <= 0) {
    if (!BIO_should_retry(tls.get())) {
      const long verified = SSL_get_verify_result(ssl);
      const std::string reason = OpenSSLReason("the server closed the connection");
      throw ESigningError(
          "the TLS connection failed: " +
          (verified != X509_V_OK ? std::string(X509_verify_cert_error_string(verified)) : reason));
    }
    AwaitBio(tls.get(), fd, wait);
  }
  return tls;
}

// The value of name in OpenSSL's error detail "code=503,reason=Service Unavailable"; "?" when
// it is not there.
std::string DetailValue(const std::string& detail, const std::string& name) {
  const size_t at = detail.find(name + "=");
  if (at == std::string::npos)
    return "?";
  const size_t from = at + name.size() + 1;
  return detail.substr(from, detail.find(',', from) - from);
}

// What OpenSSL's HTTP client found wrong with the reply, in words.
std::string HttpFailure() {
  const char* data = nullptr;
  int flags = 0;
  const unsigned long code = ERR_peek_last_error_data(&data, &flags);
  const std::string detail = data && (flags & ERR_TXT_STRING) ? data : "";
  const std::string reason = OpenSSLReason("the connection closed before the reply");
  if (ERR_GET_LIB(code) != ERR_LIB_HTTP)
    return reason;
  switch (ERR_GET_REASON(code)) {
  case HTTP_R_RECEIVED_ERROR:
  case HTTP_R_STATUS_CODE_UNSUPPORTED:
    return "HTTP status " + DetailValue(detail, "code");
  case HTTP_R_REDIRECTION_NOT_ENABLED:
  case HTTP_R_MISSING_REDIRECT_LOCATION:
    // A time stamp comes from the server the user named, or from none.
    return "it redirects elsewhere (HTTP status 3xx), which is not followed";
  case HTTP_R_UNEXPECTED_CONTENT_TYPE:
    return "not a time-stamp reply (" + DetailValue(detail, "actual") + ")";
  case HTTP_R_MISSING_CONTENT_TYPE:
    return "not a time-stamp reply";
  case HTTP_R_MISSING_ASN1_ENCODING:
  case HTTP_R_ERROR_PARSING_ASN1_LENGTH:
  case HTTP_R_FAILED_READING_DATA:
    return "not a time-stamp reply";
  case HTTP_R_MAX_RESP_LEN_EXCEEDED:
  case HTTP_R_ASN1_LEN_EXCEEDS_MAX_RESP_LEN:
    return Format("a reply of more than %zu bytes", MaxTimeStampResponse);
  default:
    return reason;
  }
}

} // namespace

void CheckTimeStampUrl(const std::string& url) {
  TUrlParts parts;
  ParseUrl(url, parts);
}

std::string PostTimeStampRequest(const std::string& url, TS_REQ* request,
                                 const TTimeStampExchange& exchange) {
  TUrlParts parts;
  ParseUrl(url, parts);
  // OpenSSL does not export the request's own ASN.1 item: it goes as the sequence it is.
  const std::string der = DerOf(request, i2d_TS_REQ);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  const std::unique_ptr<ASN1_SEQUENCE_ANY, void (*)(ASN1_SEQUENCE_ANY*)> body(
      d2i_ASN1_SEQUENCE_ANY(nullptr, &p, long(der.size())),
      [](ASN1_SEQUENCE_ANY* s) { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); });
  if (!body)
    throw ESigningError("cannot build the request: " + OpenSSLReason("no memory"));
  const TWait wait(exchange);
  const TFileHandle socket = Connect(parts, wait);
  TBio bio(BIO_new_socket(socket.Get(), BIO_NOCLOSE));
  if (!bio)
    throw ESigningError("no memory for the connection");
  BIO_set_nbio(bio.get(), 1);
  if (parts.Tls)
    bio = StartTls(std::move(bio), parts, socket.Get(), exchange.TlsRoots, wait);

  const TOpenSSLPtr<OSSL_HTTP_REQ_CTX, OSSL_HTTP_REQ_CTX_free> http(
      OSSL_HTTP_REQ_CTX_new(bio.get(), bio.get(), 0));
  const std::string host = std::string(parts.Host) + ":" + parts.Port;
  if (!http || !OSSL_HTTP_REQ_CTX_set_request_line(http.get(), 1, nullptr, nullptr, parts.Path) ||
      !OSSL_HTTP_REQ_CTX_add1_header(http.get(), "Host", host.c_str()) ||
      !OSSL_HTTP_REQ_CTX_set_expected(http.get(), ResponseType, 1, 0, 0) ||
      !OSSL_HTTP_REQ_CTX_set1_req(http.get(), RequestType, ASN1_ITEM_rptr(ASN1_SEQUENCE_ANY),
                                  reinterpret_cast<const ASN1_VALUE*>(body.get())))
    throw ESigningError("cannot build the request: " + OpenSSLReason("no memory"));
  OSSL_HTTP_REQ_CTX_set_max_response_length(http.get(), MaxTimeStampResponse);
  for (;;) {
    const int done = OSSL_HTTP_REQ_CTX_nbio(http.get());
    if (done == 1)
      break;
    if (done == 0)
      throw ESigningError(HttpFailure());
    AwaitBio(bio.get(), socket.Get(), wait);
  }
  BIO* reply = OSSL_HTTP_REQ_CTX_get0_mem_bio(http.get());
  char* bytes = nullptr;
  const long length = reply ? BIO_get_mem_data(reply, &bytes) : 0;
  return length > 0 ? std::string(bytes, size_t(length)) : std::string();
}
