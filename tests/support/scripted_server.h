// A scripted mail server on 127.0.0.1 for tests of dialogues, transfers and the mail
// check. It listens on a free port from construction on and, once started, follows its
// script step by step on a thread of its own:
//
//   ScriptedServer pop3;
//   pop3.Send("+OK hi\r\n").Expect("USER bob").Send("+OK\r\n")
//       .Expect("PASS secret").Send("-ERR no\r\n").Silence().Start();
//   POP3Login("127.0.0.1", pop3.Port(), "bob", "secret");
//   EXPECT_TRUE(pop3.Done());   // on failure prints the first mismatch and all it received
//
// A step that needs a connection accepts the next one when none is open; Close() and a
// peer that closes (seen by Silence() and Serve()) end the current one, so one script can
// cover several connections (a client that retries, logs out and in again).
// After the last step the server keeps reading (and recording) until the peer closes.
// Every wait of a step is bounded (StepTimeout, 30 s by default), so a client that goes
// astray makes the test fail with a report, never hang.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_instance.h"

class ScriptedServer {
 public:
  // Gets a whole received line, line end included; returns the bytes to send back
  // (possibly none).
  using Handler = std::function<std::string(const std::string& line)>;

  ScriptedServer();
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // --- Script steps (call before Start) ---
  // Sends these bytes as they stand.
  ScriptedServer& Send(const std::string& bytes);
  // Expects one line exactly: the text followed by CR LF.
  ScriptedServer& Expect(const std::string& line);
  // Expects one line that begins with this text (any ending).
  ScriptedServer& ExpectPrefix(const std::string& prefix);
  // Expects message data: lines up to and including the line "." CR LF. The data, dot
  // line included, is kept in Messages().
  ScriptedServer& ExpectData();
  ScriptedServer& Pause(int milliseconds);
  // Says nothing and records whatever comes until the peer closes.
  ScriptedServer& Silence();
  // Closes the current connection.
  ScriptedServer& Close();
  // Answers every line through the handler until the peer closes.
  ScriptedServer& Serve(Handler handler);

  // Longest wait of any later step (connect, a line, a close). Default 30000 ms.
  ScriptedServer& StepTimeout(int milliseconds);

  // Runs the script on the server's thread.
  void Start();
  int Port() const { return port_; }

  // Waits until the script has run (at most timeoutMs) and tells whether every step was
  // met; the failure message holds the first mismatch and everything received.
  testing::AssertionResult Done(int timeoutMs = 60000);
  // Waits until the peer has closed the connection after the last step.
  testing::AssertionResult PeerClosed(int timeoutMs = 30000);

  // What came so far (safe while the script runs).
  std::string Received() const;
  // Every received line, line end included, in order over all connections.
  std::vector<std::string> Lines() const;
  std::vector<std::string> Messages() const;
  int Connections() const;
  std::string Report() const;

 private:
  struct Step {
    enum Kind { kSend, kExpect, kExpectPrefix, kExpectData, kPause, kSilence, kClose, kServe };
    Kind kind = kSend;
    std::string text;
    int milliseconds = 0;  // a pause's length, else the step's longest wait
    Handler handler;
  };
  enum class ReadResult { kLine, kClosed, kTimedOut, kStopped };

  ScriptedServer& Add(Step::Kind kind, const std::string& text = "", int pauseMs = 0, Handler handler = nullptr);
  void Run();
  bool RunStep(const Step& step);
  bool EnsureConnection(int timeoutMs);
  void CloseConnection();
  ReadResult ReadLineFromPeer(std::string* line, int timeoutMs);
  bool ReceiveMore(int timeoutMs, ReadResult* result);
  bool SendAll(const std::string& bytes);
  bool CheckLine(const Step& step, const std::string& line);
  void Fail(const std::string& what);
  std::string Describe(size_t index) const;
  std::string ReportLocked() const;

  std::vector<Step> steps_;
  int stepTimeout_ = 30000;
  int listenSocket_ = -1;
  int peer_ = -1;
  int port_ = 0;
  std::string inbox_;  // bytes received but not yet taken as a line
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> scriptDone_{false};
  std::atomic<bool> peerClosed_{false};

  mutable std::mutex mutex_;
  size_t current_ = 0;
  std::string mismatch_;
  std::string received_;
  std::vector<std::string> lines_;
  std::vector<std::string> messages_;
  int connections_ = 0;
};

// Loose servers for tests that care about what was delivered, not about the exact
// dialogue: give Handler() to ScriptedServer::Serve after a greeting, e.g.
//   Pop3Mailbox box({"Subject: a\r\n\r\nhi\r\n"});
//   pop3.Send("+OK ready\r\n").Serve(box.Handler()).Start();
// Both are changed by the server's thread: read them after Done() / PeerClosed(), and
// let them outlive the server.

// A POP3 mailbox. Messages are raw texts with CR LF line ends; RETR dot-stuffs them and
// adds the end line. DELE marks, QUIT commits the marks into `deleted` (1-based numbers),
// RSET drops them. USER and PASS take anything; every other command gets -ERR.
struct Pop3Mailbox {
  explicit Pop3Mailbox(std::vector<std::string> texts) : messages(std::move(texts)) {}
  std::vector<std::string> messages;
  std::vector<int> deleted;
  std::vector<int> marked;
  ScriptedServer::Handler Handler();
};

// An SMTP server that takes every message (HELO, MAIL, RCPT, DATA, RSET, NOOP, QUIT).
// Each message's envelope and data (as received, dot line included) land in `received`
// once its data ends; dataReply answers the end of data.
struct SmtpSink {
  struct Envelope {
    std::string from;                     // the MAIL line, line end included
    std::vector<std::string> recipients;  // the RCPT lines, line ends included
    std::string data;
  };
  std::vector<Envelope> received;
  std::string dataReply = "250 queued\r\n";
  ScriptedServer::Handler Handler();

 private:
  Envelope current_;
  bool inData_ = false;
};

// Shows control bytes of a protocol text readably: "+OK\r\n" as +OK\r\n.
std::string Escaped(const std::string& bytes);

// What a dialogue needs around it while a test runs: a temporary instance with the daily
// log and the trace switched on, TimeOut set, the protocol and transfer buffers, the
// transport, and both callbacks recording into Callbacks() as "message: <text>" and
// "status: <text>" in the order they were called. WebShieldSeen starts at 0.
// Everything is undone at the end; one environment at a time.
class DialogueEnvironment {
 public:
  explicit DialogueEnvironment(int timeOutSeconds = 2);
  ~DialogueEnvironment();
  DialogueEnvironment(const DialogueEnvironment&) = delete;
  DialogueEnvironment& operator=(const DialogueEnvironment&) = delete;

  TempInstance& Instance() { return instance_; }
  std::string DailyLog() const { return instance_.DailyLog(); }
  std::string Trace() const { return instance_.Trace(); }
  std::vector<std::string> Callbacks() const;

 private:
  TempInstance instance_;
  bool ownsTransferBuffer_ = false;
};

// Counts the (non-overlapping) occurrences of part in text.
int CountOf(const std::string& text, const std::string& part);
