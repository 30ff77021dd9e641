// A scripted remote access library for tests, built as librasapi32.so. A test writes the
// script before dialling and reads back every call the library received, with its
// arguments, in order. The script lives in the test program (ScriptedRasScript), not in
// the library, so it outlasts the library's loading and unloading, which it records too:
// "load" and "unload".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ScriptedRas {
  uint32_t enumError = 0;      // RasEnumConnectionsA's result; 0 = listed
  uint32_t connectionsUp = 0;  // active connections besides one dialled here and not hung up
  uint32_t dialError = 0;      // RasDialA's result; 0 = dialled
  bool dialGivesHandle = true;  // RasDialA hands out a connection handle (even when failing)
  // The status poll (1 = first after the dial) from which on the state is endState; 0 = the
  // state stays pendingState.
  int endStateAtPoll = 1;
  uint32_t endState = 8192;     // RASCS_Connected
  uint32_t pendingState = 14;   // an intermediate state (authenticating)
  uint32_t statusError = 0;     // dwError of every status
  // Status asks after the first hang-up request that still find the connection before it
  // is gone; -1 = it never goes.
  int asksUntilGone = 0;
  std::string errorText = "The remote computer did not respond.";  // RasGetErrorStringA gives "<code> " + this

  std::vector<std::string> calls{};  // e.g. "load", "RasHangUpA(dialled)", "unload"
  // Called with each call as it is recorded, when set: lets a test see where in a larger
  // sequence (say, a mail check's POP3 logins) each call falls.
  std::function<void(const std::string& call)> observer{};
  int statusPolls = 0;             // kept by the library
  int asksSinceHangUp = 0;
  bool hungUp = false;
  bool dialledUp = false;  // a dial succeeded and was not hung up since
};

// The one script, owned by the test program; each test starts by resetting it.
extern "C" ScriptedRas* ScriptedRasScript();
