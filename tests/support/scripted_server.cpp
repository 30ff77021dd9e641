#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices, so that a server being destroyed stops at once.
constexpr int kSliceMs = 20;
constexpr int kStepMs = 30000;
// Room for a whole connection table of connections nobody accepts.
constexpr int kBacklog = 512;

bool Readable(int socket, int milliseconds) {
  pollfd entry{socket, POLLIN, 0};
  return poll(&entry, 1, milliseconds) > 0;
}

int AcceptWithin(int listener, int milliseconds) {
  return Readable(listener, milliseconds) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c < 32 || c >= 127 ? hex : std::string(1, static_cast<char>(c));
  }
  return out;
}

ScriptedServer::ScriptedServer() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener_, kBacklog) == 0 &&
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
}

ScriptedServer::ScriptedServer(const std::string& script, std::function<void(const std::string&)> onLine)
    : ScriptedServer() {
  onLine_ = std::move(onLine);
  for (size_t start = 0, end; start < script.size(); start = end + 1) {
    end = script.find('|', start);
    if (end == std::string::npos) end = script.size();
    steps_.push_back(script.substr(start, end - start));
  }
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  CloseConnection();
  close(listener_);
}

int ScriptedServer::Accept() { return AcceptWithin(listener_, kStepMs); }

void ScriptedServer::Run() {
  if (port_ == 0) Fail("cannot listen on 127.0.0.1");
  for (size_t index = 0; index < steps_.size() && !Failed() && !stop_; ++index) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      step_ = index;
    }
    RunStep(steps_[index]);
  }
  if (!Failed()) {
    std::lock_guard<std::mutex> lock(mutex_);
    step_ = steps_.size();
  }
  // The script was the whole conversation: whatever comes now is a mismatch.
  while (!stop_) {
    std::string line;
    if (peer_ < 0) {
      finished_ = true;
      if (EnsureConnection() && !stop_) Fail("a connection after the last step");
    } else if (Read result = ReadLine(&line, kSliceMs); result == Read::kLine) {
      Fail("a line after the last step: \"" + Escaped(line) + "\"");
    } else if (result == Read::kClosed) {
      CloseConnection();
    }
  }
}

void ScriptedServer::RunStep(const std::string& step) {
  std::string text = step.size() >= 3 ? step.substr(3) : "";
  if (step.rfind("S: <pause ", 0) == 0) {
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(atoi(step.c_str() + 10));
    while (!stop_ && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } else if (step == "S: <close>") {
    if (EnsureConnection()) CloseConnection();
  } else if (step.rfind("S: ", 0) == 0) {
    SendBytes(EndsWith(text, "\n") ? text : text + "\r\n");
  } else if (step.rfind("R: ", 0) == 0) {
    SendBytes(text);
  } else if (step == "C: <data>") {
    ExpectData();
  } else if (step == "C: <close>") {
    AwaitClose();
  } else if (step.rfind("C: ", 0) == 0) {
    ExpectLine(text);
  } else {
    Fail("not a step");
  }
}

void ScriptedServer::SendBytes(const std::string& bytes) {
  if (!EnsureConnection()) return;
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t count = send(peer_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) {
      // A client that stops reading a long last send and closes has ended the script.
      if (step_ + 1 < steps_.size()) Fail("the client closed the connection during the send");
      return;
    }
    sent += static_cast<size_t>(count);
  }
}

void ScriptedServer::ExpectLine(const std::string& expected) {
  std::string line;
  if (!EnsureConnection()) return;
  Read result = ReadLine(&line, kStepMs);
  bool prefix = EndsWith(expected, "*");
  if (result == Read::kClosed) {
    Fail("the client closed the connection instead");
  } else if (result == Read::kTimedOut) {
    Fail("no line came");
  } else if (prefix ? line.rfind(expected.substr(0, expected.size() - 1), 0) != 0 : line != expected + "\r\n") {
    Fail("got \"" + Escaped(line) + "\"");
  }
}

void ScriptedServer::ExpectData() {
  std::string line, data;
  if (!EnsureConnection()) return;
  while (line != ".\r\n") {
    if (ReadLine(&line, kStepMs) != Read::kLine) return Fail("the data ended without the line \".\"");
    data += line;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(data);
}

void ScriptedServer::AwaitClose() {
  std::string line;
  if (!EnsureConnection()) return;
  Read result = ReadLine(&line, kStepMs);
  if (result == Read::kClosed) return CloseConnection();
  Fail(result == Read::kLine ? "got \"" + Escaped(line) + "\" instead of the close" : "the client did not close");
}

bool ScriptedServer::EnsureConnection() {
  if (peer_ >= 0) return true;
  for (Clock::time_point end = Clock::now() + std::chrono::milliseconds(kStepMs); !stop_ && Clock::now() < end;) {
    peer_ = AcceptWithin(listener_, kSliceMs);
    if (peer_ < 0) continue;
    finished_ = false;
    inbox_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    return true;
  }
  if (!stop_ && !finished_) Fail("no connection came");
  return false;
}

void ScriptedServer::CloseConnection() {
  if (peer_ >= 0) close(peer_);
  peer_ = -1;
}

ScriptedServer::Read ScriptedServer::ReadLine(std::string* line, int milliseconds) {
  Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    size_t lineFeed = inbox_.find('\n');
    if (lineFeed != std::string::npos) {
      *line = inbox_.substr(0, lineFeed + 1);
      inbox_.erase(0, lineFeed + 1);
      if (onLine_) onLine_(*line);
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(*line);
      return Read::kLine;
    }
    if (stop_ || Clock::now() >= end) return Read::kTimedOut;
    if (!Readable(peer_, kSliceMs)) continue;
    char chunk[65536];
    ssize_t count = recv(peer_, chunk, sizeof chunk, 0);
    if (count <= 0) {
      // A line cut off by the close still belongs in the record.
      std::lock_guard<std::mutex> lock(mutex_);
      if (!inbox_.empty()) lines_.push_back(inbox_);
      return Read::kClosed;
    }
    inbox_.append(chunk, static_cast<size_t>(count));
  }
}

void ScriptedServer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!mismatch_.empty()) return;
  mismatch_ = step_ < steps_.size() ? "step " + std::to_string(step_ + 1) + " \"" + Escaped(steps_[step_]) + "\": "
                                    : std::string();
  mismatch_ += what;
}

bool ScriptedServer::Failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !mismatch_.empty();
}

testing::AssertionResult ScriptedServer::Done() {
  for (Clock::time_point end = Clock::now() + std::chrono::milliseconds(kStepMs);
       !finished_ && !Failed() && Clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (finished_ && !Failed()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << Report();
}

std::string ScriptedServer::Report() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string report = "scripted server on port " + std::to_string(port_) + ": ";
  if (!mismatch_.empty()) {
    report += mismatch_;
  } else if (step_ < steps_.size()) {
    report += "still at step " + std::to_string(step_ + 1) + " \"" + Escaped(steps_[step_]) + "\"";
  } else {
    report += "the client kept the connection open";
  }
  report += "\nreceived on " + std::to_string(connections_) + " connection(s):";
  for (size_t index = lines_.size() > 40 ? lines_.size() - 40 : 0; index < lines_.size(); ++index) {
    report += "\n  " + Escaped(lines_[index].substr(0, 200));
  }
  return report;
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
