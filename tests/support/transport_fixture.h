// Tests that open connections: the transport running for one test, the lines the
// callbacks received, and raw loopback peers to connect to.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Starts the transport before each test and stops it after; connections a failed test
// left open are closed first, so the next test starts with an empty table.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Callbacks for OpenConnection that record every line they get, in order, from any
// thread. Callbacks carry no context, so the record is process-wide.
int CaptureStatus(const char* text);
int CaptureMessage(const char* text);
std::vector<std::string> StatusLines();
std::vector<std::string> MessageLines();
void ClearCapturedLines();

// A TCP socket listening on 127.0.0.1 at a port of the system's choice. Its backlog
// holds a whole connection table of connections nobody accepted.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int Port() const { return port_; }
  // Waits for the next connection; returns its socket (the caller closes it), or -1.
  int Accept();
  // Stops listening, so connects to Port() are refused from now on.
  void Close();

 private:
  int socket_ = -1;
  int port_ = 0;
};
