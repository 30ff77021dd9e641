#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system.h"
#include "dialup/dialup.h"

#include <cstring>

#include "logging/logging.h"
#include "util/text.h"

RasConnectionHandle DialUpConnectionHandle = nullptr;

namespace {

constexpr uint32_t kDialSettleMs = 3000;
constexpr int kConnectPolls = 120;
constexpr uint32_t kConnectPollMs = 250;
constexpr uint32_t kHangUpSettleMs = 1500;
constexpr int kHangUpRequests = 3;
constexpr int kHangUpAsksPerRequest = 600;
constexpr uint32_t kHangUpAskMs = 50;
// Room for the longest failure text and the service's error text after it.
constexpr size_t kReportSize = 128 + kRasErrorTextSize;

struct RemoteAccessLibrary {
  PlatformLibrary* module;
  void* enumEntries;  // required, never called
  RasEnumConnectionsAFunction enumConnections;
  RasGetConnectStatusAFunction getConnectStatus;
  RasDialAFunction dial;
  RasHangUpAFunction hangUp;
  RasGetErrorStringAFunction getErrorString;
  void* getEntryDialParams;  // required, never called
};

RemoteAccessLibrary Ras{};

// 1 when the library's file lies in directory.
int LibraryFileIn(const char* directory) {
  char path[kPathSize];
  if (CopyText(path, directory) != 0 || AppendBackslash(path, sizeof path) != 0 ||
      AppendText(path, kRemoteAccessLibraryName) != 0) {
    return 0;
  }
  return PlatformFileExists(path);
}

// Looked for in the system library directory, then in the Windows directory; a system
// without a Windows directory looks in the instance directory instead.
int LibraryInstalled() {
  char directory[kPathSize];
  if (PlatformSystemLibraryDirectory(directory, sizeof directory) == 0 && LibraryFileIn(directory)) return 1;
  if (PlatformWindowsDirectory(directory, sizeof directory) == 0) return LibraryFileIn(directory);
  return LibraryFileIn(ModuleDirectory);
}

template <typename Function> void Resolve(const char* name, Function* entry, int* missing) {
  *entry = reinterpret_cast<Function>(PlatformFindSymbol(Ras.module, name));
  if (*entry == nullptr) *missing = 1;
}

// A failure goes to the daily log first, then to whichever callbacks there are.
void ReportFailure(const char* entryName, const char* text, TextCallback statusCallback, TextCallback messageCallback) {
  WriteLog(entryName, text);
  if (messageCallback != nullptr) messageCallback(text);
  if (statusCallback != nullptr) statusCallback(text);
}

void ReportProgress(const char* text, TextCallback messageCallback) {
  if (messageCallback != nullptr) messageCallback(text);
}

// The service's text for an error code, or "" when it gives none.
void FetchErrorText(uint32_t code, char (&text)[kRasErrorTextSize]) {
  memset(text, 0, sizeof text);
  Ras.getErrorString(code, text, sizeof text);
  text[sizeof text - 1] = '\0';  // the service's text is not trusted to end in the buffer
}

void ReportServiceError(const char* entryName, const char* prefix, uint32_t code, TextCallback statusCallback,
                        TextCallback messageCallback) {
  char errorText[kRasErrorTextSize];
  FetchErrorText(code, errorText);
  char report[kReportSize];
  CopyText(report, prefix);
  AppendText(report, errorText);
  ReportFailure(entryName, report, statusCallback, messageCallback);
}

uint32_t ConnectionState(RasConnectionHandle connection, RASCONNSTATUSA* status) {
  memset(status, 0, sizeof *status);
  status->dwSize = kRasConnStatusSize;
  return Ras.getConnectStatus(connection, status);
}

// Hangs up DialUpConnectionHandle and waits until the service says it is gone, asking
// again twice when it takes long; forgets the handle either way. The library stays loaded.
void EndConnection() {
  PlatformSleep(kHangUpSettleMs);
  for (int request = 0; request < kHangUpRequests; ++request) {
    Ras.hangUp(DialUpConnectionHandle);
    for (int ask = 0; ask < kHangUpAsksPerRequest; ++ask) {
      RASCONNSTATUSA status;
      if (ConnectionState(DialUpConnectionHandle, &status) == kRasInvalidHandle) {
        DialUpConnectionHandle = nullptr;
        return;
      }
      PlatformSleep(kHangUpAskMs);
    }
  }
  DialUpConnectionHandle = nullptr;
}

// Polls the dialled connection until it is connected or disconnected, or the polls run
// out. Returns 1 when connected; otherwise 0 with the last status in status.
int AwaitConnected(RASCONNSTATUSA* status) {
  for (int poll = 0; poll < kConnectPolls; ++poll) {
    ConnectionState(DialUpConnectionHandle, status);
    if (status->rasconnstate == kRasConnected) return 1;
    if (status->rasconnstate == kRasDisconnected) return 0;
    PlatformSleep(kConnectPollMs);
  }
  return 0;
}

// Returns 0 and the count of active connections, or -1 when the service cannot list them.
int CountConnections(uint32_t* count) {
  RASCONNA connections[kRasConnEntries];
  memset(connections, 0, sizeof connections);
  connections[0].dwSize = kRasConnSize;
  uint32_t bytes = sizeof connections;
  *count = 0;
  return Ras.enumConnections(connections, &bytes, count) == 0 ? 0 : -1;
}

}  // namespace

int AppendBackslash(char* path, size_t size) {
  size_t length = strnlen(path, size);
  if (length > 0 && path[length - 1] == kDirectorySeparator) return 0;
  const char separator[] = {kDirectorySeparator, '\0'};
  return AppendText(path, size, separator);
}

int LoadDialUpLibrary() {
  if (Ras.module != nullptr) return 1;
  // Finding the file only proves the service is installed; loading by the bare name
  // leaves the choice of copy to the system's normal search.
  if (!LibraryInstalled()) return 0;
  Ras.module = PlatformLoadLibrary(kRemoteAccessLibraryName);
  if (Ras.module == nullptr) return 0;
  int missing = 0;
  Resolve("RasEnumEntriesA", &Ras.enumEntries, &missing);
  Resolve("RasEnumConnectionsA", &Ras.enumConnections, &missing);
  Resolve("RasGetConnectStatusA", &Ras.getConnectStatus, &missing);
  Resolve("RasDialA", &Ras.dial, &missing);
  Resolve("RasHangUpA", &Ras.hangUp, &missing);
  Resolve("RasGetErrorStringA", &Ras.getErrorString, &missing);
  Resolve("RasGetEntryDialParamsA", &Ras.getEntryDialParams, &missing);
  if (missing) {
    UnloadDialUpLibrary();
    return 0;
  }
  return 1;
}

int UnloadDialUpLibrary() {
  // A connection of ours needs the library to be hung up; it goes with the hang-up.
  if (DialUpConnectionHandle != nullptr) return 0;
  if (Ras.module != nullptr) PlatformUnloadLibrary(Ras.module);
  Ras = RemoteAccessLibrary{};
  return 0;
}

int DialUpConnect(const char* entryName, const char* userName, const char* password, TextCallback statusCallback,
                  TextCallback messageCallback) {
  if (!LoadDialUpLibrary()) return 0;

  ReportProgress("DialUp Networking - Verifying modem connection...", messageCallback);
  uint32_t active = 0;
  if (CountConnections(&active) != 0) {
    ReportFailure(entryName, "ERROR - Cannot determine if the modem is in use.", statusCallback, messageCallback);
    UnloadDialUpLibrary();
    return -1;
  }
  if (active >= 1) {
    ReportProgress("DialUp Networking - Using modem alread in use.", messageCallback);
    UnloadDialUpLibrary();
    return DialUpInUse;
  }

  RASDIALPARAMSA parameters;
  memset(&parameters, 0, sizeof parameters);
  parameters.dwSize = kRasDialParamsSize;
  if (CopyText(parameters.szEntryName, entryName) != 0) {
    ReportFailure(entryName, "ERROR - DialUp Networking - Entry name longer than 256 characters.", statusCallback,
                  messageCallback);
    UnloadDialUpLibrary();
    return -1;
  }
  CopyText(parameters.szUserName, userName);
  CopyText(parameters.szPassword, password);

  ReportProgress("DialUp Networking - Dialing modem...", messageCallback);
  uint32_t dialError = Ras.dial(nullptr, nullptr, &parameters, 0, nullptr, &DialUpConnectionHandle);
  WipeText(parameters.szPassword, sizeof parameters.szPassword);
  if (dialError != 0) {
    ReportServiceError(entryName, "ERROR - DialUp Networking - Modem failed to connect - ", dialError, statusCallback,
                       messageCallback);
    if (DialUpConnectionHandle != nullptr) EndConnection();
    UnloadDialUpLibrary();
    return -1;
  }

  PlatformSleep(kDialSettleMs);
  RASCONNSTATUSA status;
  if (AwaitConnected(&status)) return 0;
  // The error text is fetched after the hang-up, so the library stays loaded until then.
  EndConnection();
  ReportServiceError(entryName, "ERROR - Modem failed to connect -", status.dwError, statusCallback, messageCallback);
  UnloadDialUpLibrary();
  return -1;
}

int DialUpHangUp() {
  if (DialUpConnectionHandle == nullptr) return 0;
  EndConnection();
  UnloadDialUpLibrary();
  return 0;
}
