// The server side of TLS for the scripted peers: certificates of one test CA, made when
// first asked for, and server sessions on connected streams. Only the POSIX build has it
// (OpenSSL); under Wine the Windows stage's mail checks run TLS against Dovecot and Postfix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class TestCertificate {
  kGood,       // names 127.0.0.1, valid now
  kOtherName,  // names other.example
  kExpired,    // names 127.0.0.1, expired yesterday
};

struct ServerTls;

bool TestServersHaveTls();
constexpr char kNoTestServerTls[] = "the scripted servers of this build have no TLS";

// Writes the test CA's certificate into dir; returns the file's path, for CAFile.
std::string WriteTestCA(const std::string& dir);
// The server's handshake with the certificate on a connected stream of the platform
// layer. Returns the session, or nullptr when the client refused it.
ServerTls* AcceptTls(intptr_t stream, TestCertificate certificate);
// PlatformSendStream and PlatformReceiveStream through the session.
long TlsSend(ServerTls* tls, const char* data, size_t length);
long TlsReceive(ServerTls* tls, char* data, size_t size, uint32_t milliseconds);
void EndTls(ServerTls* tls);
// Asks the client for a key update (TLS 1.3), sent with the next TlsSend.
void TlsAskKeyUpdate(ServerTls* tls);
// Whether the client's close_notify has been read.
bool TlsClosedByClient(ServerTls* tls);
