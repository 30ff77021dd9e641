#include "scripted_server.h"

#include <chrono>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "platform/net.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices, so that a server being destroyed stops at once.
constexpr int kSliceMs = 20;
constexpr auto kStepTime = std::chrono::seconds(30);

bool EndsWith(const std::string& text, char end) { return !text.empty() && text.back() == end; }

// The steps a named step stands for, "|" between them; "" for a step of the plain kinds.
std::string NamedStep(const std::string& step) {
  std::istringstream in(step);
  std::string name;
  std::vector<std::string> words;
  in >> name;
  for (std::string word; in >> word;) words.push_back(word);
  if (name == "helo") {
    std::string reply = words.empty() ? "250 hello" : "250-hello";
    for (size_t at = 0; at < words.size(); ++at) reply += (at + 1 < words.size() ? "\r\n250-" : "\r\n250 ") + words[at];
    return "S: 220 local ready|C: EHLO local.example|S: " + reply;
  }
  if (name == "quit") return "C: QUIT|S: 221 bye|C: <close>";
  if (name == "post" && words.size() >= 1) return "S: <tls>|C: <http POST " + step.substr(5) + ">";
  if (name == "answer" && words.size() >= 1) {
    std::string body = step.size() > 11 ? step.substr(11) : "";
    return "R: HTTP/1.1 " + words[0] + " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body + "|S: <close>";
  }
  if (name == "logout") return "C: QUIT|S: +OK bye|C: <close>";
  if (name == "user") return "C: USER bob|S: +OK|C: PASS secret|S: +OK";
  if (name == "login" && words.empty()) return "S: +OK ready|user";
  if (name == "login") {
    bool pipelining = words.back() == "PIPELINING";
    if (pipelining) words.pop_back();
    int count = atoi(words[0].c_str());
    std::string steps = "login|C: STAT|S: +OK " + std::to_string(count) + " 900";
    if (count > 0) steps += "|C: UIDL|S: +OK";
    for (int number = 1; number <= count; ++number) {
      bool given = static_cast<size_t>(number) < words.size();
      // id-a to id-z, then id-27 on: UIDs are printable.
      std::string id = number <= 26 ? std::string(1, 'a' + number - 1) : std::to_string(number);
      steps += "|S: " + std::to_string(number) + " " + (given ? words[number] : "id-" + id);
    }
    if (count == 0) return steps;
    return steps + "|S: .|C: CAPA|S: " + (pipelining ? "+OK\r\nPIPELINING\r\n." : "-ERR unknown command");
  }
  if ((name == "requests" || name == "messages") && words.size() >= 2) {
    std::string steps;
    for (int number = atoi(words[name == "requests"].c_str()); number <= atoi(words.back().c_str()); ++number) {
      steps += (steps.empty() ? "" : "|") + (name == "requests" ? "C: " + words[0] + " " : "message ") + std::to_string(number);
    }
    return steps;
  }
  // The POP3 side's steps name a message by its number, the SMTP side's deliver addresses.
  if (!words.empty() && isdigit(static_cast<unsigned char>(words[0][0]))) {
    const std::string& number = words[0];
    size_t textAt = name.size() + number.size() + 2;
    std::string retr = "C: RETR " + number + "|S: +OK\r\n" +
                       (textAt < step.size() ? step.substr(textAt) : "Subject: message " + number + "\r\n\r\nHello.\r\n.\r\n");
    std::string dele = "C: DELE " + number + "|S: +OK";
    if (name == "retr") return retr;
    if (name == "message") return retr.substr(retr.find('|') + 1);
    if (name == "dele") return dele;
    if (name == "deliver") return retr + "|" + dele;
  } else if (name == "deliver") {
    std::string from = words.empty() ? "postmaster@local.example" : words[0] == "<>" ? "" : words[0];
    std::string steps = "C: MAIL FROM:<" + from + ">|S: 250 ok";
    if (words.size() < 2) words = {"", "alice@local.example"};
    for (size_t at = 1; at < words.size(); ++at) steps += "|C: RCPT TO:<" + words[at] + ">|S: 250 ok";
    return steps + "|C: DATA|S: 354 go|C: <data>|S: 250 queued";
  }
  return "";
}

}  // namespace

ScriptedServer::ScriptedServer() {
  uint16_t port = 0;
  listener_ = PlatformListenOnLoopback(&port);
  port_ = port;
}

ScriptedServer::ScriptedServer(const std::string& script, std::function<void(const std::string&)> onLine)
    : ScriptedServer() {
  onLine_ = std::move(onLine);
  steps_ = Steps(script);
  thread_ = std::thread([this] { Run(); });
}

std::vector<std::string> ScriptedServer::Steps(const std::string& script) {
  std::vector<std::string> steps;
  for (std::string& step : Split(script, '|')) {
    std::string named = NamedStep(step);
    if (named.empty()) {
      steps.push_back(step);
    } else {
      for (std::string& part : Steps(named)) steps.push_back(std::move(part));
    }
  }
  return steps;
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  CloseConnection();
  if (listener_ >= 0) PlatformCloseStream(listener_);
}

intptr_t ScriptedServer::Accept() {
  return PlatformAcceptStream(listener_, static_cast<uint32_t>(std::chrono::milliseconds(kStepTime).count()));
}

void ScriptedServer::Run() {
  if (port_ == 0) Fail("cannot listen on 127.0.0.1");
  for (; step_ < steps_.size() && !Failed() && !stop_; ++step_) RunStep(steps_[step_]);
  // The script was the whole conversation: whatever comes now is a mismatch.
  std::string line;
  while (!stop_) {
    if (peer_ < 0) {
      finished_ = true;
      if (EnsureConnection()) Fail("a connection after the last step");
    } else if (Read result = ReadLine(&line, std::chrono::milliseconds(kSliceMs)); result == Read::kLine) {
      Fail("a line after the last step: \"" + Escaped(line) + "\"");
    } else if (result == Read::kClosed) {
      CloseConnection();
    }
  }
}

void ScriptedServer::RunStep(const std::string& step) {
  std::string text = step.substr(std::min<size_t>(3, step.size()));
  std::string line;
  if (step.rfind("S: <pause ", 0) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(atoi(step.c_str() + 10)));
  } else if (step.rfind("S: <tls", 0) == 0) {
    StartTls(step);
  } else if (step == "S: <close>") {
    if (EnsureConnection()) CloseConnection();
  } else if (step.rfind("S: ", 0) == 0 || step.rfind("R: ", 0) == 0) {
    SendBytes(step[0] == 'R' || EndsWith(text, '\n') ? text : text + "\r\n");
  } else if (step == "C: <nothing more>") {
    // A client that does not pipeline waits for the reply before its next command.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!inbox_.empty()) Fail("got \"" + Escaped(inbox_) + "\" before the reply");
  } else if (step.rfind("C: <http ", 0) == 0) {
    ReadHttpRequest(text.substr(6, text.size() - 7));
  } else if (step == "C: <data>") {
    std::string data;
    while (line != ".\r\n") {
      if (!EnsureConnection() || ReadLine(&line, kStepTime) != Read::kLine) return Fail("the data ended without \".\"");
      data += line;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(data);
  } else if (step.rfind("C: ", 0) == 0) {
    if (!EnsureConnection()) return;
    Read result = ReadLine(&line, kStepTime);
    bool matches = EndsWith(text, '*') ? line.rfind(text.substr(0, text.size() - 1), 0) == 0 : line == text + "\r\n";
    if (text == "<close>") {
      if (result == Read::kClosed) return CloseConnection();
      Fail(result == Read::kLine ? "got \"" + Escaped(line) + "\" instead of the close" : "the client did not close");
    } else if (result != Read::kLine || !matches) {
      Fail(result == Read::kClosed ? "the client closed the connection instead"
           : result == Read::kTimedOut ? "no line came" : "got \"" + Escaped(line) + "\"");
    }
  } else {
    Fail("not a step");
  }
}

void ScriptedServer::SendBytes(const std::string& bytes) {
  if (!EnsureConnection()) return;
  for (size_t sent = 0; sent < bytes.size();) {
    long count = tls_ != nullptr ? TlsSend(tls_, bytes.data() + sent, bytes.size() - sent)
                                 : PlatformSendStream(peer_, bytes.data() + sent, bytes.size() - sent);
    // A client that stops reading a long last send and closes has ended the script.
    if (count <= 0) return step_ + 1 < steps_.size() ? Fail("the client closed the connection during the send") : void();
    sent += static_cast<size_t>(count);
  }
}

void ScriptedServer::StartTls(const std::string& step) {
  if (!EnsureConnection()) return;
  tls_ = AcceptTls(peer_, step == "S: <tls expired>"      ? TestCertificate::kExpired
                          : step == "S: <tls other-name>" ? TestCertificate::kOtherName
                                                          : TestCertificate::kGood);
}

bool ScriptedServer::EnsureConnection() {
  for (Clock::time_point end = Clock::now() + kStepTime; peer_ < 0 && !stop_ && Clock::now() < end;) {
    peer_ = PlatformAcceptStream(listener_, kSliceMs);
    if (peer_ < 0) continue;
    finished_ = false;
    inbox_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
  }
  if (peer_ < 0 && !stop_ && !finished_) Fail("no connection came");
  return peer_ >= 0;
}

void ScriptedServer::CloseConnection() {
  EndTls(tls_);
  tls_ = nullptr;
  if (peer_ >= 0) PlatformCloseStream(peer_);
  peer_ = -1;
}

ScriptedServer::Read ScriptedServer::ReadLine(std::string* line, std::chrono::milliseconds patience) {
  for (Clock::time_point end = Clock::now() + patience;;) {
    size_t lineFeed = inbox_.find('\n');
    if (lineFeed != std::string::npos) {
      *line = inbox_.substr(0, lineFeed + 1);
      inbox_.erase(0, lineFeed + 1);
      if (onLine_) onLine_(*line);
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(*line);
      return Read::kLine;
    }
    if (Read result = ReceiveMore(end); result != Read::kLine) return result;
  }
}

ScriptedServer::Read ScriptedServer::ReceiveMore(Clock::time_point end) {
  for (;;) {
    if (stop_ || Clock::now() >= end) return Read::kTimedOut;
    char chunk[65536];
    long count = tls_ != nullptr ? TlsReceive(tls_, chunk, sizeof chunk, kSliceMs)
                                 : PlatformReceiveStream(peer_, chunk, sizeof chunk, kSliceMs);
    if (count < 0) continue;
    if (count == 0) {
      // A line cut off by the close still belongs in the record.
      std::lock_guard<std::mutex> lock(mutex_);
      if (!inbox_.empty()) lines_.push_back(inbox_);
      return Read::kClosed;
    }
    inbox_.append(chunk, static_cast<size_t>(count));
    return Read::kLine;
  }
}

void ScriptedServer::ReadHttpRequest(const std::string& expected) {
  size_t blank = expected.find(' ', expected.find(' ') + 1);
  std::string start = expected.substr(0, blank) + " ", body = blank == std::string::npos ? "" : expected.substr(blank + 1);
  std::string line;
  size_t length = 0;
  for (bool first = true; EnsureConnection() && ReadLine(&line, kStepTime) == Read::kLine && line != "\r\n"; first = false) {
    if (first && line.rfind(start, 0) != 0) return Fail("got \"" + Escaped(line) + "\"");
    std::string lower(line);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("content-length:", 0) == 0) length = static_cast<size_t>(atol(line.c_str() + 15));
  }
  if (line != "\r\n") return Fail("the request's header did not end");
  for (Clock::time_point end = Clock::now() + kStepTime; inbox_.size() < length;) {
    if (ReceiveMore(end) != Read::kLine) return Fail("the request's body did not come");
  }
  std::string got = inbox_.substr(0, length);
  inbox_.erase(0, length);
  if (onLine_) onLine_(got);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(got);
  }
  bool matches = EndsWith(body, '*') ? got.rfind(body.substr(0, body.size() - 1), 0) == 0 : got == body;
  if (!matches) Fail("got the body \"" + Escaped(got) + "\"");
}

void ScriptedServer::Fail(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mismatch_.empty()) mismatch_ = (step_ < steps_.size() ? "at \"" + Escaped(steps_[step_]) + "\": " : "") + what;
}

bool ScriptedServer::Failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !mismatch_.empty();
}

testing::AssertionResult ScriptedServer::Done() {
  for (Clock::time_point end = Clock::now() + kStepTime; !finished_ && !Failed() && Clock::now() < end;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (finished_ && mismatch_.empty()) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure() << "scripted server on port " << port_ << ": ";
  if (!mismatch_.empty()) {
    failure << mismatch_;
  } else {
    failure << (step_ < steps_.size() ? "still at \"" + Escaped(steps_[step_]) + "\"" : "the connection stayed open");
  }
  failure << "\nreceived on " << connections_ << " connection(s):";
  for (size_t index = lines_.size() > 40 ? lines_.size() - 40 : 0; index < lines_.size(); ++index) {
    failure << "\n  " << Escaped(lines_[index].substr(0, 200));
  }
  return failure;
}

std::vector<std::string> ScriptedServer::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

int ScriptedServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}
