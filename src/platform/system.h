// The basics every layer may use: what differs between the systems at compile time,
// the module's path and environment, and memory. Nothing outside src/platform/ includes an
// operating-system header; each service has a POSIX backend in posix/ and a Win32
// backend in win32/.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------
// What differs between the systems at compile time: names, separators, attributes

#ifdef _WIN32
constexpr char kDirectorySeparator = '\\';
// The library the host program loads from beside itself.
constexpr char kPostwainLibraryName[] = "pwt.dll";
// Exported by the library's .def file, which also gives the ordinals.
#define PLATFORM_EXPORT
// Exported by the host program (see PlatformHostHome).
#define PLATFORM_HOST_EXPORT __declspec(dllexport)
// Windows has one documented check event for the machine, named exactly.
constexpr bool kNamedEventPerInstance = false;
// MinGW's stdio is the C99 one: check formats by its rules, not the system library's.
#define PLATFORM_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
constexpr char kDirectorySeparator = '/';
constexpr char kPostwainLibraryName[] = "libpwt.so";
#define PLATFORM_EXPORT __attribute__((visibility("default")))
// Also named in the program's link options, which put it in its dynamic symbol table.
#define PLATFORM_HOST_EXPORT __attribute__((visibility("default")))
// A named semaphore per instance directory: several instances may run on one machine.
constexpr bool kNamedEventPerInstance = true;
#define PLATFORM_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif

// ---------------------------------------------------------------------------------------
// Paths and the module

constexpr size_t kPathSize = 260;

// Defined above the platform layer; the backend calls it once when the module that holds
// this code is loaded: from an ELF constructor on POSIX, from DllMain's process attach in
// the Windows library, and from the start-up of a Windows program that links the code.
void OnModuleLoad();

// Full path of the file that holds this code (the library, or the program the code is
// linked into). Returns 0, or -1 when the system cannot tell.
int PlatformModulePath(char* path, size_t size);
// The instance directory the postwain program hands to its copy of the library: the text
// it exports by the name kHostHomeSymbol, looked up in the program that loaded this code.
// A foreign host exports no such name, so nothing it does by accident (an environment
// variable it inherited, say) can point the library at another instance. Returns 0 with
// the directory, or -1 when the program offers none.
constexpr char kHostHomeSymbol[] = "PostwainHostHome";
int PlatformHostHome(char* path, size_t size);

// Value of an environment variable. Returns 0, or -1 when unset or empty.
int PlatformGetEnvironment(const char* name, char* value, size_t size);

// One text for one directory however it was named: absolute, without "." and ".."
// steps or links; on Windows also in one letter case, as its file names ignore case.
// Returns 0, or -1 when the path cannot be resolved (for instance it does not exist).
int PlatformCanonicalPath(const char* path, char* canonical, size_t size);

// ---------------------------------------------------------------------------------------
// Memory

void* PlatformAllocate(size_t size);
void PlatformFree(void* block);

// ---------------------------------------------------------------------------------------
// Results shared by calls that open what other processes share

// instance lock below) give instead of a handle.
constexpr int kPlatformFailed = -1;    // any other failure
constexpr int kPlatformMissing = -2;   // nothing of that name
constexpr int kPlatformNoAccess = -3;  // permission denied
constexpr int kPlatformHeld = -4;      // another process holds the lock
