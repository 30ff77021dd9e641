// Dial-up networking before a mail check, through a remote access library bound at run
// time: the system runs where none is installed and dials where one is.
//
// The library ("librasapi32.so" here, RASAPI32.DLL on Windows) must export the seven ANSI
// entry points by name. It counts as installed when that file is found in the system
// library directory (Windows: the system directory; POSIX: the directory of the C
// library) or, failing that, in the Windows directory, for which POSIX, having none, looks
// in the instance directory. It is then loaded by its bare name, through the loader's
// normal search: on POSIX a copy that lies only in the instance directory must also be on
// the loader's path (LD_LIBRARY_PATH), or it is not loaded and dialling is skipped.
//
// Everything here runs on the scheduler thread inside one mail check; the state has no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "process/process.h"
#include "platform/process.h"

// ---------------------------------------------------------------------------------------
// The remote access service's ANSI structures, with the values this system puts into their
// size fields (the service takes them as the structure's version).

using RasConnectionHandle = void*;

constexpr uint32_t kRasConnSize = kRemoteAccessConnectionSize;
constexpr uint32_t kRasDialParamsSize = 1052;
constexpr uint32_t kRasConnStatusSize = 160;
constexpr int kRasConnEntries = 50;
constexpr uint32_t kRasConnected = 8192;     // RASCS_Connected
constexpr uint32_t kRasDisconnected = 8193;  // RASCS_Disconnected
constexpr uint32_t kRasInvalidHandle = 6;    // ERROR_INVALID_HANDLE: the connection is gone
constexpr size_t kRasErrorTextSize = 256;

// One entry of the list of active connections. Only the count of entries is read here, so
// past the size field an entry is room that the service fills (handle, entry name, device).
struct RASCONNA {
  uint32_t dwSize;
  unsigned char filledByService[kRasConnSize - sizeof(uint32_t)];
};

struct RASDIALPARAMSA {
  uint32_t dwSize;
  char szEntryName[257];
  char szPhoneNumber[129];
  char szCallbackNumber[129];
  char szUserName[257];
  char szPassword[257];
  char szDomain[16];
};

struct RASCONNSTATUSA {
  uint32_t dwSize;
  uint32_t rasconnstate;
  uint32_t dwError;
  char szDeviceType[17];
  char szDeviceName[129];
};

static_assert(sizeof(RASCONNA) == kRasConnSize);
static_assert(sizeof(RASDIALPARAMSA) == kRasDialParamsSize);
static_assert(sizeof(RASCONNSTATUSA) == kRasConnStatusSize);

// The entry points that are called; RasEnumEntriesA and RasGetEntryDialParamsA must be
// exported too but are never called. Each returns 0 or an error code of the service.
using RasEnumConnectionsAFunction = uint32_t PLATFORM_SYSTEM_CALL (*)(RASCONNA* connections, uint32_t* bytes,
                                                                     uint32_t* count);
using RasGetConnectStatusAFunction = uint32_t PLATFORM_SYSTEM_CALL (*)(RasConnectionHandle connection,
                                                                      RASCONNSTATUSA* status);
using RasDialAFunction = uint32_t PLATFORM_SYSTEM_CALL (*)(void* extensions, const char* phoneBook,
                                                          RASDIALPARAMSA* parameters, uint32_t notifierType,
                                                          void* notifier, RasConnectionHandle* connection);
using RasHangUpAFunction = uint32_t PLATFORM_SYSTEM_CALL (*)(RasConnectionHandle connection);
using RasGetErrorStringAFunction = uint32_t PLATFORM_SYSTEM_CALL (*)(uint32_t code, char* text, uint32_t size);

// ---------------------------------------------------------------------------------------
// Dialling

// A dial-up connection was already up before this process dialled.
constexpr int DialUpInUse = -400;

// The connection this process dialled; null while it holds none.
extern RasConnectionHandle DialUpConnectionHandle;

// Dials entryName with userName and password unless a connection is already up, and waits
// (3 s, then up to 120 status polls 250 ms apart) until the line is connected or has failed.
// Returns:
//    0           dialled now and connected (the library stays loaded for DialUpHangUp), or
//                no remote access library is installed and nothing was dialled;
//    DialUpInUse any connection was already up; nothing was dialled;
//   -1           failed; already in the daily log (source entryName); whatever the dial
//                left behind is hung up and the library unloaded.
// Progress texts go to messageCallback: "DialUp Networking - Verifying modem
// connection...", "DialUp Networking - Using modem alread in use.", "DialUp Networking -
// Dialing modem...". Failures go to the daily log, then messageCallback, then
// statusCallback: "ERROR - Cannot determine if the modem is in use.", "ERROR - DialUp
// Networking - Modem failed to connect - " + the service's text, "ERROR - Modem failed
// to connect -" + the service's text, and "ERROR - DialUp Networking - Entry name longer
// than 256 characters." (the service's phone-book names are at most 256, so a longer one
// is refused rather than cut into the name of some other entry). Absent callbacks are not
// called. userName and password are cut to 256 characters.
int DialUpConnect(const char* entryName, const char* userName, const char* password, TextCallback statusCallback,
                  TextCallback messageCallback);

// Hangs up what DialUpConnect dialled: waits 1500 ms, asks the service to hang up and
// polls every 50 ms until the handle is gone, asking again after 30 s, at most three times
// in all. Then forgets the handle and unloads the library, gone or not. Without a handle
// it does nothing at all. Returns 0.
int DialUpHangUp();

// ---------------------------------------------------------------------------------------
// Binding

// Returns 1 when the library is loaded and all seven entry points are resolved, else 0
// (nothing stays loaded).
int LoadDialUpLibrary();
// Unloads the library when it is loaded, except while DialUpConnectionHandle is set: that
// connection still needs the library to be hung up. Returns 0.
int UnloadDialUpLibrary();

// Ends the directory path with the directory separator unless it already ends with one;
// an empty path becomes the separator alone. Cut to size. Returns 0, or -1 when cut.
int AppendBackslash(char* path, size_t size);
