// A scripted mail server on 127.0.0.1. It listens from construction on and plays its
// script, a transcript of steps separated by "|", on a thread of its own:
//
//   ScriptedServer pop3("S: +OK hi|C: USER bob|S: +OK|C: PASS *|S: -ERR no");
//
//   S: text        sends the text and CR LF (a text that ends in LF is sent as it stands)
//   R: bytes       sends the bytes as they stand
//   S: <pause N>   waits N milliseconds without reading
//   S: <close>     closes the connection
//   C: text        expects the line text CR LF; "C: text*" a line that begins with text
//   C: <data>      expects message data up to the line "." CR LF (kept in Messages())
//   C: <close>     expects the client to close the connection without another line
//   C: <nothing more>  expects no more bytes yet: the client waits for the reply
//   C: <http VERB PATH BODY>  expects an HTTP request line beginning "VERB PATH ", its
//                  header, and the body BODY ("BODY*" one that begins with it)
//   S: <tls>       the TLS handshake, with the test CA's certificate for 127.0.0.1 ("S: <tls
//                  expired>" and "S: <tls other-name>" for the others); later steps go
//                  through TLS. A client that refuses it leaves the connection plain.
//
// Named steps stand for the common exchanges (bob, password secret; the local domain
// local.example; words separated by single blanks):
//
//   user             USER bob and PASS secret, each answered +OK
//   login            the POP3 greeting +OK, then user
//   login N [ID...] [PIPELINING]  login, STAT with N messages (900 octets), and when N > 0
//                    UIDL listing them as ID... (by default id-a, id-b, ...) and CAPA,
//                    refused, or listing PIPELINING
//   retr N [TEXT]    RETR N answered +OK and the message TEXT as it stands, its end line
//                    included (by default "Subject: message N", the empty line, "Hello.")
//   message N [TEXT] the answer of retr N alone, for requests that came before
//   messages N M     message N to message M
//   requests VERB N M  expects VERB N to VERB M ("requests RETR 1 3")
//   dele N           DELE N answered +OK
//   deliver N [TEXT] retr N, then dele N
//   logout           POP3's QUIT answered +OK, then the close
//   helo [EXT...]    the SMTP greeting 220 and EHLO local.example answered 250, listing EXT...
//   deliver [FROM [TO...]]  MAIL FROM, RCPT TO each and DATA answered 250, 250 and 354, the
//                    data, and 250 (by default from postmaster@ to alice@local.example;
//                    FROM <> is the empty sender)
//   quit             SMTP's QUIT answered 221, then the close
//   post PATH BODY   an HTTPS request: the TLS handshake, then C: <http POST PATH BODY>
//   answer CODE JSON the HTTP answer with that status and JSON body, then the close
//
// A step that needs a connection takes the next one, so a script may span several. The
// script is the whole conversation: a line or a connection after its last step is a
// mismatch. Every wait is bounded, so a client that goes astray fails the test with a
// report of everything received instead of hanging it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "data_table.h"
#include "test_tls.h"

class ScriptedServer {
 public:
  // Only listens: for Accept, or, once destroyed, a port where connections are refused.
  ScriptedServer();
  // Plays the script; an empty one expects no connection at all. onLine, when given, sees
  // each received line (and HTTP body) on the server's thread before the step that reads
  // it goes on.
  explicit ScriptedServer(const std::string& script, std::function<void(const std::string& line)> onLine = nullptr);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // The steps of a script, the named ones replaced by what they stand for.
  static std::vector<std::string> Steps(const std::string& script);

  int Port() const { return port_; }
  // For a server without a script: the next connection's stream (the caller closes it).
  intptr_t Accept();
  // Waits until every step was met and the last connection has ended; otherwise fails
  // with the first mismatch and what was received.
  testing::AssertionResult Done();

  std::vector<std::string> Messages() const;  // the data of each "C: <data>"
  int Connections() const;

 private:
  enum class Read { kLine, kClosed, kTimedOut };

  void Run();
  void RunStep(const std::string& step);
  void SendBytes(const std::string& bytes);
  void StartTls(const std::string& step);
  bool EnsureConnection();
  void CloseConnection();
  Read ReadLine(std::string* line, std::chrono::milliseconds patience);
  // One more piece into inbox_: kLine when some came.
  Read ReceiveMore(std::chrono::steady_clock::time_point end);
  void ReadHttpRequest(const std::string& expected);
  void Fail(const std::string& what);
  bool Failed() const;

  std::vector<std::string> steps_;
  std::function<void(const std::string&)> onLine_;
  intptr_t listener_ = -1;
  int port_ = 0;
  intptr_t peer_ = -1;
  ServerTls* tls_ = nullptr;  // while the connection is a TLS one
  std::string inbox_;  // received bytes not yet taken as a line
  std::thread thread_;
  std::atomic<size_t> step_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};  // the script ran and its last connection ended

  mutable std::mutex mutex_;  // guards what follows
  std::string mismatch_;
  std::vector<std::string> lines_;
  std::vector<std::string> messages_;
  int connections_ = 0;
};
