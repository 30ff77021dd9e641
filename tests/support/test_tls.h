// The server side of TLS for the scripted peers: certificates of one test CA, made when
// first asked for, and server sessions on connected sockets.
#pragma once

#include <openssl/ssl.h>

#include <string>

enum class TestCertificate {
  kGood,       // names 127.0.0.1, valid now
  kOtherName,  // names other.example
  kExpired,    // names 127.0.0.1, expired yesterday
};

// Writes the test CA's certificate into dir; returns the file's path, for CAFile.
std::string WriteTestCA(const std::string& dir);
// A server session with the certificate on a connected, blocking socket; the handshake is
// the caller's (SSL_accept).
SSL* NewServerTls(int socket, TestCertificate certificate);
