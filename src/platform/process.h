// What the host program, the dial-up code and the token helper ask of the process: shared
// libraries, stop requests, standard output, child commands, the remote access library's
// place, the terminal.
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
// Writes the bytes to standard output, or standard error; a failure is not reported.
void PlatformWriteStandardOutput(const char* data, size_t length);
void PlatformWriteStandardError(const char* data, size_t length);
// What stops a program that holds stop requests, in the words of its users (--help).
#ifdef _WIN32
constexpr char kStopRequestWords[] = "Ctrl+C, Ctrl+Break or closing its console";
#else
constexpr char kStopRequestWords[] = "SIGINT or SIGTERM";
#endif

// ---------------------------------------------------------------------------------------
// Child commands (a site's OAuth token helper)

// What PlatformRunCommand gives instead of an exit code.
constexpr int kCommandNotStarted = -1;  // no shell, no process, no pipe
constexpr int kCommandTimedOut = -2;    // still running when the wait ended; it was killed
constexpr int kCommandKilled = -3;      // ended by a signal (POSIX)

// Runs a command line through the system's shell (POSIX: /bin/sh -c; Windows: cmd.exe /c)
// with standard input empty, standard error the program's own, and none of the program's
// other files or sockets. Its standard output's first line, without the line end and cut
// to size - 1 bytes, goes into firstLine (empty when it printed nothing); the rest is read
// and dropped, so a talkative command never blocks. Waits at most milliseconds, and stops
// waiting as soon as giveUp (when not null) returns true; a command still running then is
// killed with every process it started.
// Returns its exit code (0 or more), or one of the codes above.
int PlatformRunCommand(const char* command, uint32_t milliseconds, bool (*giveUp)(), char* firstLine, size_t size);

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
