// The scripted servers' TLS for a build without OpenSSL: every handshake is refused.
#include "test_tls.h"

bool TestServersHaveTls() { return false; }
std::string WriteTestCA(const std::string& dir) { return dir + "/no-test-ca.pem"; }
ServerTls* AcceptTls(intptr_t, TestCertificate) { return nullptr; }
long TlsSend(ServerTls*, const char*, size_t) { return -1; }
long TlsReceive(ServerTls*, char*, size_t, uint32_t) { return -1; }
void EndTls(ServerTls*) {}
void TlsAskKeyUpdate(ServerTls*) {}
bool TlsClosedByClient(ServerTls*) { return false; }
