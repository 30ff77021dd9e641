// What the host program and the dial-up code ask of the process: shared libraries, stop
// requests, standard output, the remote access library's place, the terminal.
#pragma once

#include "platform/system.h"

// ---------------------------------------------------------------------------------------
// Shared libraries

struct PlatformLibrary;
PlatformLibrary* PlatformLoadLibrary(const char* path);
void* PlatformFindSymbol(PlatformLibrary* library, const char* name);
void PlatformUnloadLibrary(PlatformLibrary* library);

// ---------------------------------------------------------------------------------------
// Process (used by the host program)

// Path of the running program. Returns 0 or -1.
int PlatformExecutablePath(char* path, size_t size);
// Sets an environment variable for this process and what it loads. Returns 0 or -1.
int PlatformSetEnvironment(const char* name, const char* value);
// Makes SIGINT and SIGTERM wait for PlatformWaitForStopRequest instead of ending the
// process; call before any thread starts so that every thread inherits it.
void PlatformHoldStopRequests();
// Blocks until the user or the service manager asks the process to stop, or
// PlatformRequestStop is called.
void PlatformWaitForStopRequest();
// Raises the stop request from inside the process, for the library to end the wait of a
// host that holds stop requests (POSIX: SIGTERM to this process; Windows: the stop event
// of PlatformHoldStopRequests, found by the process id). Only for such a host: another
// one would be ended by the signal.
void PlatformRequestStop();
// Writes the bytes to standard output; a failure is not reported.
void PlatformWriteStandardOutput(const char* data, size_t length);

// ---------------------------------------------------------------------------------------
// Remote access library location (dialup)

// File name of the remote access library, loaded with PlatformLoadLibrary by this bare
// name, and the calling convention of its entry points.
// The size of one entry of the service's connection list (RASCONNA) follows its handle,
// which has pointer size: 412 bytes in a 32-bit process, 424 in a 64-bit one.
#ifdef _WIN32
constexpr char kRemoteAccessLibraryName[] = "RASAPI32.DLL";
#define PLATFORM_SYSTEM_CALL __stdcall
constexpr uint32_t kRemoteAccessConnectionSize = sizeof(void*) == 4 ? 412 : 424;
#else
constexpr char kRemoteAccessLibraryName[] = "librasapi32.so";
#define PLATFORM_SYSTEM_CALL
// The scripted library of the tests lays its list out as 32-bit Windows does.
constexpr uint32_t kRemoteAccessConnectionSize = 412;
#endif

// The directory of the system's own libraries, without a trailing separator: the system
// directory on Windows, the directory of the C library elsewhere. Returns 0, or -1 when
// the system cannot tell or it does not fit.
int PlatformSystemLibraryDirectory(char* path, size_t size);
// The Windows directory. Returns 0, or -1 where the system has none (POSIX) or it does
// not fit.
int PlatformWindowsDirectory(char* path, size_t size);

// ---------------------------------------------------------------------------------------
// Terminal input (host password command)

// Reads one line from standard input into line (without its line end), with echo off
// while standard input is a terminal; prompt goes to standard error only then. Returns 0,
// or -1 at end of input, on a read error, or when the line does not fit (the rest of the
// line is consumed).
int PlatformReadSecretLine(const char* prompt, char* line, size_t size);
