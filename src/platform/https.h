// HTTPS requests to the token endpoints of identity providers (oauth).
#pragma once

#include "platform/system.h"

// ---------------------------------------------------------------------------------------
// HTTPS (oauth)
//
// POSIX: libcurl; Win32: WinHTTP. Only https:// addresses; certificate checks are always
// on: the server's certificate must chain to the system's trust store and name the host.
// The system's trust store is, on POSIX, the file and directory named by SSL_CERT_FILE and
// SSL_CERT_DIR when either is set (OpenSSL's own convention for moving it), else the
// system's CA bundle; on Windows the machine's and the user's trusted roots. Redirects
// are not followed. A proxy named in the environment (https_proxy) is used on POSIX.

constexpr size_t kHttpsReasonSize = 256;

struct HttpsRequest {
  const char* url;
  const char* form;         // application/x-www-form-urlencoded body of a POST; nullptr: GET
  uint32_t timeoutSeconds;  // for the whole exchange, connection included
  // Asked now and then while waiting: true ends the wait at once (a shutdown). May be
  // nullptr. (WinHTTP's waits are bounded by the time-out alone.)
  bool (*cancelled)();
};

// Sends the request and reads the answer's body into body (size bytes, zero-terminated;
// *length bytes before the zero). Returns the HTTP status (any answer, 4xx and 5xx too),
// or -1 with reason (kHttpsReasonSize bytes) when no whole answer came: no connection,
// a certificate not trusted, a time-out, a body of size bytes or more (never used cut).
int PlatformHttpsRequest(const HttpsRequest& request, char* body, size_t size, size_t* length, char* reason);
