#pragma once
// One exchange with a time-stamp server over HTTP or HTTPS: the request posted, the reply's
// body read, within a time limit and stoppable while it waits.

#include "signing/u_OpenSSL.h"
#include "signing/u_SigningSecret.h"

#include <string>

struct TTimeStampExchange {
  int TimeoutSeconds = 30;        // for the whole exchange: connecting, sending and the reply
  X509_STORE* TlsRoots = nullptr; // the roots an https server's certificate must chain to
  TWaitCheck WhileWaiting;
};

// Posts request to url (http:// or https://) and returns the body of its time-stamp reply
// (at most MaxTimeStampResponse bytes). Raises ESigningError saying what happened, without the
// URL: "connection refused", "no answer within 5 s", "HTTP status 500", "not a time-stamp
// reply (text/html)".
std::string PostTimeStampRequest(const std::string& url, TS_REQ* request,
                                 const TTimeStampExchange& exchange);

// Refuses (ESigningError) an address that is no http:// or https:// URL.
void CheckTimeStampUrl(const std::string& url);
