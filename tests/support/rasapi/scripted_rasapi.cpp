// The seven ANSI entry points of the remote access service, playing the script of the
// test program that loaded this library (see scripted_rasapi.h).
#include "rasapi/scripted_rasapi.h"

#include <cstdio>
#include <cstring>

#include "dialup/dialup.h"

extern "C" ScriptedRas* ScriptedRasScript() __attribute__((weak));

namespace {

char dialledConnection;  // its address is the handle RasDialA hands out

ScriptedRas& Script() {
  static ScriptedRas standalone;  // loaded by something other than the tests: nothing is up
  return ScriptedRasScript != nullptr ? *ScriptedRasScript() : standalone;
}

std::string HandleName(RasConnectionHandle connection) {
  if (connection == nullptr) return "null";
  return connection == &dialledConnection ? "dialled" : "unknown";
}

void Record(const std::string& call) {
  ScriptedRas& script = Script();
  script.calls.push_back(call);
  if (script.observer) script.observer(call);
}

__attribute__((constructor)) void Loaded() { Record("load"); }
__attribute__((destructor)) void Unloaded() { Record("unload"); }

uint32_t StatusBeforeHangUp(ScriptedRas& script, RASCONNSTATUSA* status) {
  ++script.statusPolls;
  bool ended = script.endStateAtPoll > 0 && script.statusPolls >= script.endStateAtPoll;
  status->rasconnstate = ended ? script.endState : script.pendingState;
  status->dwError = script.statusError;
  return 0;
}

uint32_t StatusAfterHangUp(ScriptedRas& script, RASCONNSTATUSA* status) {
  if (script.asksUntilGone >= 0 && script.asksSinceHangUp >= script.asksUntilGone) return kRasInvalidHandle;
  ++script.asksSinceHangUp;
  status->rasconnstate = script.pendingState;
  return 0;
}

}  // namespace

#define EXPORT __attribute__((visibility("default")))

extern "C" {

// Resolved at load, never called.
EXPORT uint32_t RasEnumEntriesA(const char*, const char*, void*, uint32_t*, uint32_t*) { return 0; }
EXPORT uint32_t RasGetEntryDialParamsA(const char*, RASDIALPARAMSA*, int*) { return 0; }

EXPORT uint32_t RasEnumConnectionsA(RASCONNA* connections, uint32_t* bytes, uint32_t* count) {
  ScriptedRas& script = Script();
  Record("RasEnumConnectionsA(" + std::to_string(connections->dwSize) + ", " + std::to_string(*bytes) + ")");
  if (script.enumError != 0) return script.enumError;
  *count = script.connectionsUp + (script.dialledUp ? 1 : 0);
  return 0;
}

EXPORT uint32_t RasDialA(void* extensions, const char* phoneBook, RASDIALPARAMSA* parameters, uint32_t notifierType,
                         void* notifier, RasConnectionHandle* connection) {
  ScriptedRas& script = Script();
  Record(std::string("RasDialA(") + (extensions ? "extensions" : "null") + ", " + (phoneBook ? phoneBook : "null") +
         ", " + std::to_string(parameters->dwSize) + ", entry=" + parameters->szEntryName + ", phone=" +
         parameters->szPhoneNumber + ", callback=" + parameters->szCallbackNumber + ", user=" + parameters->szUserName +
         ", password=" + parameters->szPassword + ", domain=" + parameters->szDomain + ", " +
         std::to_string(notifierType) + ", " + (notifier ? "notifier" : "null") + ")");
  script.statusPolls = script.asksSinceHangUp = 0;
  script.hungUp = false;
  script.dialledUp = script.dialError == 0;
  if (script.dialGivesHandle) *connection = &dialledConnection;
  return script.dialError;
}

EXPORT uint32_t RasGetConnectStatusA(RasConnectionHandle connection, RASCONNSTATUSA* status) {
  ScriptedRas& script = Script();
  Record("RasGetConnectStatusA(" + HandleName(connection) + ", " + std::to_string(status->dwSize) + ")");
  if (connection != &dialledConnection) return kRasInvalidHandle;
  return script.hungUp ? StatusAfterHangUp(script, status) : StatusBeforeHangUp(script, status);
}

EXPORT uint32_t RasHangUpA(RasConnectionHandle connection) {
  Record("RasHangUpA(" + HandleName(connection) + ")");
  Script().hungUp = true;
  Script().dialledUp = false;
  return 0;
}

EXPORT uint32_t RasGetErrorStringA(uint32_t code, char* text, uint32_t size) {
  Record("RasGetErrorStringA(" + std::to_string(code) + ", " + std::to_string(size) + ")");
  snprintf(text, size, "%u %s", code, Script().errorText.c_str());
  return 0;
}

}  // extern "C"
