#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "config/settings.h"
#include "lifecycle/lifecycle.h"
#include "logging/logging.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "transport/transport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into short slices so that a server being destroyed stops at once.
constexpr int kSliceMs = 20;
constexpr size_t kReportLineLimit = 200;
constexpr size_t kReportLinesShown = 60;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// 1 when the socket became readable, 0 when the slice passed.
int WaitReadable(int socket, int timeoutMs) {
  pollfd entry{socket, POLLIN, 0};
  int ready = poll(&entry, 1, std::min(timeoutMs, kSliceMs));
  return ready > 0 ? 1 : 0;
}

std::string Quoted(const std::string& text) { return "\"" + Escaped(text) + "\""; }

}  // namespace

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 32 || c >= 127) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

ScriptedServer::ScriptedServer() {
  listenSocket_ = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listenSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(listenSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      listen(listenSocket_, 16) == 0 &&
      getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  CloseConnection();
  if (listenSocket_ >= 0) close(listenSocket_);
}

ScriptedServer& ScriptedServer::Add(Step::Kind kind, const std::string& text, int pauseMs, Handler handler) {
  Step step;
  step.kind = kind;
  step.text = text;
  step.milliseconds = kind == Step::kPause ? pauseMs : stepTimeout_;
  step.handler = std::move(handler);
  steps_.push_back(std::move(step));
  return *this;
}

ScriptedServer& ScriptedServer::Send(const std::string& bytes) { return Add(Step::kSend, bytes); }
ScriptedServer& ScriptedServer::Expect(const std::string& line) { return Add(Step::kExpect, line + "\r\n"); }
ScriptedServer& ScriptedServer::ExpectPrefix(const std::string& prefix) { return Add(Step::kExpectPrefix, prefix); }
ScriptedServer& ScriptedServer::ExpectData() { return Add(Step::kExpectData); }
ScriptedServer& ScriptedServer::Pause(int milliseconds) { return Add(Step::kPause, "", milliseconds); }
ScriptedServer& ScriptedServer::Silence() { return Add(Step::kSilence); }
ScriptedServer& ScriptedServer::Close() { return Add(Step::kClose); }
ScriptedServer& ScriptedServer::Serve(Handler handler) { return Add(Step::kServe, "", 0, std::move(handler)); }

ScriptedServer& ScriptedServer::StepTimeout(int milliseconds) {
  stepTimeout_ = milliseconds;
  return *this;
}

void ScriptedServer::Start() { thread_ = std::thread([this] { Run(); }); }

void ScriptedServer::Run() {
  if (port_ == 0) Fail("could not listen on 127.0.0.1");
  for (size_t index = 0; index < steps_.size() && port_ != 0; ++index) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_ = index;
    }
    if (!RunStep(steps_[index])) break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = steps_.size();
  }
  scriptDone_ = true;
  // Keep taking what the client sends, so that the report shows it, until it closes.
  std::string line;
  while (peer_ >= 0 && !stop_) {
    if (ReadLineFromPeer(&line, kSliceMs) == ReadResult::kClosed) CloseConnection();
  }
  peerClosed_ = true;
}

bool ScriptedServer::RunStep(const Step& step) {
  std::string line;
  switch (step.kind) {
    case Step::kSend:
      if (!EnsureConnection(step.milliseconds)) return false;
      if (SendAll(step.text)) return true;
      Fail("could not send: the peer has closed the connection");
      return false;
    case Step::kExpect:
    case Step::kExpectPrefix:
      if (!EnsureConnection(step.milliseconds)) return false;
      switch (ReadLineFromPeer(&line, step.milliseconds)) {
        case ReadResult::kLine:
          return CheckLine(step, line);
        case ReadResult::kClosed:
          Fail("the peer closed the connection instead");
          return false;
        case ReadResult::kTimedOut:
          Fail("no whole line came within " + std::to_string(step.milliseconds) + " ms");
          return false;
        case ReadResult::kStopped:
          return false;
      }
      return false;
    case Step::kExpectData: {
      if (!EnsureConnection(step.milliseconds)) return false;
      std::string data;
      while (true) {
        ReadResult result = ReadLineFromPeer(&line, step.milliseconds);
        if (result != ReadResult::kLine) {
          if (result != ReadResult::kStopped) Fail("message data ended without the line \".\\r\\n\"");
          return false;
        }
        data += line;
        if (line == ".\r\n") break;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(data);
      return true;
    }
    case Step::kPause: {
      Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(step.milliseconds);
      while (!stop_ && MillisecondsLeft(deadline) > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(MillisecondsLeft(deadline), kSliceMs)));
      }
      return !stop_;
    }
    case Step::kClose:
      if (!EnsureConnection(step.milliseconds)) return false;
      CloseConnection();
      return true;
    case Step::kSilence:
    case Step::kServe:
      if (!EnsureConnection(step.milliseconds)) return false;
      while (true) {
        switch (ReadLineFromPeer(&line, step.milliseconds)) {
          case ReadResult::kLine:
            if (step.kind == Step::kServe && !SendAll(step.handler(line))) {
              Fail("could not send a reply: the peer has closed the connection");
              return false;
            }
            break;
          case ReadResult::kClosed:
            CloseConnection();
            return true;
          case ReadResult::kTimedOut:
            Fail("the peer did not close the connection within " + std::to_string(step.milliseconds) + " ms");
            return false;
          case ReadResult::kStopped:
            return false;
        }
      }
  }
  return false;
}

bool ScriptedServer::EnsureConnection(int timeoutMs) {
  if (peer_ >= 0) return true;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!stop_) {
    if (WaitReadable(listenSocket_, MillisecondsLeft(deadline)) == 1) {
      peer_ = accept(listenSocket_, nullptr, nullptr);
      if (peer_ >= 0) {
        inbox_.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
        return true;
      }
    }
    if (MillisecondsLeft(deadline) == 0) {
      Fail("no connection came within " + std::to_string(timeoutMs) + " ms");
      return false;
    }
  }
  return false;
}

void ScriptedServer::CloseConnection() {
  if (peer_ < 0) return;
  close(peer_);
  peer_ = -1;
}

ScriptedServer::ReadResult ScriptedServer::ReadLineFromPeer(std::string* line, int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    size_t end = inbox_.find('\n');
    if (end != std::string::npos) {
      *line = inbox_.substr(0, end + 1);
      inbox_.erase(0, end + 1);
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(*line);
      return ReadResult::kLine;
    }
    if (stop_) return ReadResult::kStopped;
    ReadResult result;
    if (!ReceiveMore(MillisecondsLeft(deadline), &result)) return result;
  }
}

// Takes what has arrived into inbox_. Returns false with the reason when nothing more can
// come within the time.
bool ScriptedServer::ReceiveMore(int timeoutMs, ReadResult* result) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!stop_) {
    if (WaitReadable(peer_, MillisecondsLeft(deadline)) == 1) {
      char chunk[65536];
      ssize_t count = recv(peer_, chunk, sizeof chunk, 0);
      if (count <= 0) {
        // A line cut off by the close still belongs in the record.
        if (!inbox_.empty()) {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.push_back(inbox_);
          inbox_.clear();
        }
        *result = ReadResult::kClosed;
        return false;
      }
      inbox_.append(chunk, static_cast<size_t>(count));
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(chunk, static_cast<size_t>(count));
      return true;
    }
    if (MillisecondsLeft(deadline) == 0) {
      *result = ReadResult::kTimedOut;
      return false;
    }
  }
  *result = ReadResult::kStopped;
  return false;
}

bool ScriptedServer::SendAll(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t count = send(peer_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

bool ScriptedServer::CheckLine(const Step& step, const std::string& line) {
  bool matches = step.kind == Step::kExpect ? line == step.text : line.compare(0, step.text.size(), step.text) == 0;
  if (!matches) Fail("got " + Quoted(line));
  return matches;
}

void ScriptedServer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mismatch_.empty()) mismatch_ = Describe(current_) + ": " + what;
}

std::string ScriptedServer::Describe(size_t index) const {
  if (index >= steps_.size()) return "after the last step";
  const Step& step = steps_[index];
  std::string what;
  switch (step.kind) {
    case Step::kSend: what = "Send(" + Quoted(step.text) + ")"; break;
    case Step::kExpect: what = "Expect(" + Quoted(step.text) + ")"; break;
    case Step::kExpectPrefix: what = "ExpectPrefix(" + Quoted(step.text) + ")"; break;
    case Step::kExpectData: what = "ExpectData()"; break;
    case Step::kPause: what = "Pause(" + std::to_string(step.milliseconds) + ")"; break;
    case Step::kSilence: what = "Silence()"; break;
    case Step::kClose: what = "Close()"; break;
    case Step::kServe: what = "Serve(...)"; break;
  }
  return "step " + std::to_string(index + 1) + " of " + std::to_string(steps_.size()) + ", " + what;
}

testing::AssertionResult ScriptedServer::Done(int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!scriptDone_ && MillisecondsLeft(deadline) > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::lock_guard<std::mutex> lock(mutex_);
  if (scriptDone_ && mismatch_.empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << ReportLocked();
}

testing::AssertionResult ScriptedServer::PeerClosed(int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!peerClosed_ && MillisecondsLeft(deadline) > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (peerClosed_) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "the peer did not close the connection\n" << Report();
}

std::string ScriptedServer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> ScriptedServer::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> ScriptedServer::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

int ScriptedServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::string ScriptedServer::Report() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReportLocked();
}

std::string ScriptedServer::ReportLocked() const {
  std::string report = "scripted server on port " + std::to_string(port_) + ": ";
  if (!mismatch_.empty()) {
    report += mismatch_;
  } else if (current_ < steps_.size()) {
    report += "still at " + Describe(current_);
  } else {
    report += "every step was met";
  }
  report += "\nreceived " + std::to_string(lines_.size()) + " line(s) on " + std::to_string(connections_) +
            " connection(s):";
  size_t first = lines_.size() > kReportLinesShown ? lines_.size() - kReportLinesShown : 0;
  if (first > 0) report += "\n  ... " + std::to_string(first) + " earlier line(s)";
  for (size_t index = first; index < lines_.size(); ++index) {
    std::string shown = Escaped(lines_[index].substr(0, kReportLineLimit));
    if (lines_[index].size() > kReportLineLimit) shown += "...";
    report += "\n  " + shown;
  }
  return report;
}

namespace {

std::mutex callbackMutex;
std::vector<std::string> callbackTexts;

int RecordStatus(const char* text) {
  std::lock_guard<std::mutex> lock(callbackMutex);
  callbackTexts.push_back(std::string("status: ") + text);
  return 0;
}

int RecordMessage(const char* text) {
  std::lock_guard<std::mutex> lock(callbackMutex);
  callbackTexts.push_back(std::string("message: ") + text);
  return 0;
}

}  // namespace

DialogueEnvironment::DialogueEnvironment(int timeOutSeconds) {
  {
    std::lock_guard<std::mutex> lock(callbackMutex);
    callbackTexts.clear();
  }
  Settings.TimeOut = timeOutSeconds;
  Settings.CreateTraceLog = 1;
  OpenLogs();
  InitProtocolResources(RecordStatus, RecordMessage);
  if (TransferBuffer == nullptr) {
    TransferBuffer = static_cast<char*>(PlatformAllocate(kTransferBufferSize));
    ownsTransferBuffer_ = true;
  }
  TransportStartUp();
  WebShieldSeen = 0;
}

DialogueEnvironment::~DialogueEnvironment() {
  TransportShutdown();
  if (ownsTransferBuffer_) {
    PlatformFree(TransferBuffer);
    TransferBuffer = nullptr;
  }
  FreeProtocolResources();
  CloseLogs();
}

std::vector<std::string> DialogueEnvironment::Callbacks() const {
  std::lock_guard<std::mutex> lock(callbackMutex);
  return callbackTexts;
}

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

namespace {

// The command word of a line, in capitals.
std::string Verb(const std::string& line) {
  std::string verb;
  for (char c : line) {
    if (c == ' ' || c == '\r' || c == '\n') break;
    verb += static_cast<char>(toupper(static_cast<unsigned char>(c)));
  }
  return verb;
}

// The message number behind a POP3 command, 0 when there is none or it is out of range.
size_t MessageNumber(const std::string& line, size_t count) {
  size_t space = line.find(' ');
  if (space == std::string::npos) return 0;
  size_t number = static_cast<size_t>(strtoul(line.c_str() + space + 1, nullptr, 10));
  return number >= 1 && number <= count ? number : 0;
}

std::string DotStuffed(const std::string& message) {
  std::string out;
  size_t start = 0;
  while (start < message.size()) {
    size_t end = message.find('\n', start);
    end = end == std::string::npos ? message.size() : end + 1;
    if (message[start] == '.') out += '.';
    out.append(message, start, end - start);
    start = end;
  }
  if (!out.empty() && out.back() != '\n') out += "\r\n";
  return out + ".\r\n";
}

}  // namespace

ScriptedServer::Handler Pop3Mailbox::Handler() {
  return [this](const std::string& line) -> std::string {
    std::string verb = Verb(line);
    size_t number = MessageNumber(line, messages.size());
    if (verb == "USER" || verb == "PASS" || verb == "NOOP") return "+OK\r\n";
    if (verb == "STAT") {
      size_t octets = 0;
      for (const std::string& message : messages) octets += message.size();
      return "+OK " + std::to_string(messages.size()) + " " + std::to_string(octets) + "\r\n";
    }
    if (verb == "RETR" && number != 0) {
      const std::string& message = messages[number - 1];
      return "+OK " + std::to_string(message.size()) + " octets\r\n" + DotStuffed(message);
    }
    if (verb == "DELE" && number != 0) {
      marked.push_back(static_cast<int>(number));
      return "+OK deleted\r\n";
    }
    if (verb == "RSET") {
      marked.clear();
      return "+OK\r\n";
    }
    if (verb == "QUIT") {
      deleted.insert(deleted.end(), marked.begin(), marked.end());
      marked.clear();
      return "+OK bye\r\n";
    }
    return "-ERR unknown command or message\r\n";
  };
}

ScriptedServer::Handler SmtpSink::Handler() {
  return [this](const std::string& line) -> std::string {
    if (inData_) {
      current_.data += line;
      if (line != ".\r\n") return "";
      inData_ = false;
      received.push_back(current_);
      current_ = Envelope{};
      return dataReply;
    }
    std::string verb = Verb(line);
    if (verb == "HELO" || verb == "NOOP") return "250 ok\r\n";
    if (verb == "MAIL") {
      current_ = Envelope{};
      current_.from = line;
      return "250 sender ok\r\n";
    }
    if (verb == "RCPT") {
      current_.recipients.push_back(line);
      return "250 recipient ok\r\n";
    }
    if (verb == "DATA") {
      inData_ = true;
      return "354 go ahead\r\n";
    }
    if (verb == "RSET") {
      current_ = Envelope{};
      return "250 ok\r\n";
    }
    if (verb == "QUIT") return "221 bye\r\n";
    return "500 unknown command\r\n";
  };
}
