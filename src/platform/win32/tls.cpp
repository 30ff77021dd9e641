// TLS on Windows: no backend yet (SChannel is to come). Nothing is ever made, so an
// account that asks for TLS is refused before its server is contacted.
#include <cstdio>

#include "platform/platform.h"

int PlatformTlsAvailable() { return 0; }

PlatformTls* PlatformTlsCreate(const char*, int, const char*, char* reason) {
  snprintf(reason, kTlsReasonSize, "this build of Postwain has no TLS");
  return nullptr;
}

void PlatformTlsDestroy(PlatformTls*) {}
int PlatformTlsHandshake(PlatformTls*) { return kTlsFailed; }
int PlatformTlsPutReceived(PlatformTls*, const char*, int) { return kTlsFailed; }
int PlatformTlsTakePlain(PlatformTls*, char*, int) { return kTlsFailed; }
int PlatformTlsPutPlain(PlatformTls*, const char*, int) { return kTlsFailed; }
int PlatformTlsOutgoing(PlatformTls*, const char**) { return 0; }
void PlatformTlsSent(PlatformTls*, int) {}

int PlatformTlsFailure(PlatformTls*, char* reason) {
  snprintf(reason, kTlsReasonSize, "this build of Postwain has no TLS");
  return kTlsNegotiationFailed;
}

void PlatformTlsDescribe(PlatformTls*, char* text, size_t size) {
  if (size > 0) text[0] = '\0';
}
