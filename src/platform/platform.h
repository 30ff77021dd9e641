// The operating-system services the rest of the system may use. Nothing outside
// src/platform/ includes an operating-system header; each service below has a POSIX
// backend in posix/ and a Win32 backend in win32/, chosen by the build.
#pragma once

#include <atomic>
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
// Files

// Creates a directory. Returns 0, or -1 (an existing directory also gives -1).
int PlatformCreateDirectory(const char* path);

// 1 when a directory entry of that path exists, else 0.
int PlatformFileExists(const char* path);

// Last-write time of a file in 100-ns units since 1601 (the Windows file-time scale, so
// both backends compare alike). Returns 0, or -1 when the file is not found.
int PlatformFileLastWriteTime(const char* path, uint64_t* time);

// Opens a file for appending, creating it when missing. Other programs may read the file
// while it is open. Returns a handle >= 0, or -1.
intptr_t PlatformOpenForAppend(const char* path);
// Returns the number of bytes written, or -1.
long PlatformWriteFile(intptr_t file, const void* data, size_t length);
void PlatformCloseFile(intptr_t file);
// Creates a file for writing, or empties the one there. Returns a handle >= 0, or -1.
intptr_t PlatformCreateFile(const char* path);
// Returns once what was written to the file is on the disk (POSIX fsync, Windows
// FlushFileBuffers): it then survives a crash of the system, not only of the process.
// Returns 0, or -1.
int PlatformFlushFile(intptr_t file);
// 1 when the path names a directory, else 0.
int PlatformIsDirectory(const char* path);

// ---------------------------------------------------------------------------------------
// Memory

void* PlatformAllocate(size_t size);
void PlatformFree(void* block);
// Test hook: the n-th allocation from now on fails (1 = the next one); 0 = none fails.
void PlatformFailAllocationAt(int n);

// ---------------------------------------------------------------------------------------
// Clock and sleeps

struct LocalTime {
  int year;     // e.g. 2026
  int month;    // 1..12
  int day;      // 1..31
  int hour;     // 0..23
  int minute;   // 0..59
  int second;   // 0..59
  int weekday;  // 0 = Sunday .. 6 = Saturday
};

void PlatformLocalTime(LocalTime* now);
// Milliseconds since boot, cut to 32 bits (wraps after 49.7 days).
uint32_t PlatformTickCount();
void PlatformSleep(uint32_t milliseconds);

// The date in the user's short date format and the time in the user's time format.
void PlatformFormatDate(const LocalTime& time, char* text, size_t size);
void PlatformFormatTime(const LocalTime& time, char* text, size_t size);

// Tests replace the clock and the sleep so that days pass in milliseconds. A hook left
// empty keeps the real service; PlatformRestoreClock brings all of them back.
struct PlatformClockHooks {
  void (*localTime)(LocalTime* now);
  uint32_t (*tickCount)();
  void (*sleep)(uint32_t milliseconds);
  // Timed waits on events (PlatformWaitEvent, PlatformWaitNamedEvent). isSet(event)
  // tells, without waiting, whether the event is set now; the hook returns 1 for set
  // and 0 for a wait that ran out, just as the real wait does.
  int (*waitEvent)(uint32_t milliseconds, int (*isSet)(void* event), void* event);
};
void PlatformReplaceClock(const PlatformClockHooks& hooks);
void PlatformRestoreClock();

// ---------------------------------------------------------------------------------------
// Threads, events and atomics

struct PlatformThread;
// Starts a thread running entry(argument). Returns nullptr when it cannot be created.
PlatformThread* PlatformStartThread(void (*entry)(void*), void* argument);
// Waits for the thread to end and releases it.
void PlatformJoinThread(PlatformThread* thread);

// A manual-reset event: once set it stays set until reset.
struct PlatformEvent;
PlatformEvent* PlatformCreateEvent(bool initiallySet);
void PlatformDestroyEvent(PlatformEvent* event);
void PlatformSetEvent(PlatformEvent* event);
void PlatformResetEvent(PlatformEvent* event);
// Returns 1 when the event is set, 0 when the time ran out first.
int PlatformWaitEvent(PlatformEvent* event, uint32_t milliseconds);

int32_t PlatformAtomicExchange(std::atomic<int32_t>* target, int32_t value);

// A lock that one thread at a time holds, kept for the life of the process.
// PlatformCreateMutex returns nullptr when it cannot be made.
struct PlatformMutex;
PlatformMutex* PlatformCreateMutex();
void PlatformLockMutex(PlatformMutex* mutex);
void PlatformUnlockMutex(PlatformMutex* mutex);

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
// Settings file reading (config)
//
// A settings file is read through a snapshot of its bytes taken by PlatformOpenProfile.
// Every read gives what GetPrivateProfileStringA (a value, or with no key the key list)
// and GetPrivateProfileIntA give for that file; the Win32 backend calls them, the POSIX
// backend follows these rules, which are how those functions behave:
// - Lines end at LF, CR LF or a lone CR; a missing last line end changes nothing. Space,
//   tab, vertical tab and form feed are blanks; bytes 128 to 255 never are.
// - A line whose first non-blank is "[" opens a section. Its name runs to the first "]"
//   or to the line end when there is none, without blanks at either end; text after the
//   "]" is ignored. Lines before the first section belong to no section at all.
// - A line whose first non-blank is ";" is a comment: never a key, never listed. "#" is
//   an ordinary character.
// - Any other line is "name=value", split at its first "="; blanks around the name and
//   around the value are dropped. A line without "=" is neither found nor listed. A line
//   "=value" is a key with an empty name: it is listed as an empty name, which ends the
//   list for whoever walks it.
// - Section and key names match without regard to ASCII case (other bytes must be equal).
//   The name asked for loses leading and trailing spaces, but not tabs. Names and values
//   end at a zero byte inside them.
// - A section that appears twice: only the first is searched and listed. A key that
//   appears twice: the first is found; the key list names both.
// - A value in matching double or single quotes (at least two characters, same mark at
//   both ends) loses the outer pair only; blanks inside stay. Mixed marks stay as they are.
// - A value's length counts modulo 65536 (Windows keeps it in 16 bits): a value of 65537
//   characters reads as its first character.
// - A value (or the fallback, when the key or section or file is missing) is cut to
//   size - 1 characters; the result is its length. An empty value is found and is empty.
//   The fallback loses trailing spaces. A size of 0 writes nothing and gives 0.
// - The key list is every listed name followed by a zero byte, then one more zero byte;
//   the result counts all but that last zero. When the list and its last zero do not fit
//   in size - 1 bytes, the list is cut to size - 2 bytes (the last name cut) and followed
//   by two zero bytes, and the result is size - 2 (0 when size is below 2).
// - An integer is the value read with a 30-character buffer (quotes removed): a missing
//   key or an empty value gives the fallback; otherwise, after control characters and
//   spaces (which only quotes can leave in front), an optional "+" or "-", then
//   "0x", "0o" or "0b" for base 16, 8 or 2, then digits of that base up to the first
//   other character; no digits give 0; the number wraps modulo 2^32 and a "-" negates it
//   ("-1" gives -1, "4294967297" gives 1, "42A" gives 42, "B42" gives 0). Old manuals say
//   a negative value gives 0; Windows since NT returns it as it stands.
// - A missing, unreadable or non-regular file reads as empty: every read gives its
//   fallback. A UTF-8 byte-order mark is not understood: it spoils the first line. A file
//   that begins with the UTF-16 little-endian byte-order mark is read as UTF-16 text in
//   the ANSI code page (Windows: the system's; POSIX: Latin-1, "?" beyond it).
//
// The tests compare the two backends through Wine, whose functions differ from these
// rules in a few points: an empty section name finds the lines before the first section;
// a name asked for loses tabs as well as spaces; a "[" line without "]" opens no
// section; a value's length is not cut to 16 bits; a cut key list ends in one zero byte
// (Windows documents two); a UTF-8 byte-order mark is understood. No read of the system
// depends on any of them: it asks for no empty section or name with blanks, and a file
// that Windows reads right has whole section lines, shorter values and no UTF-8 mark.
struct PlatformProfile;
// POSIX reads the whole file here, once; Win32 keeps the path for the functions. Returns
// nullptr only when memory runs out; every read accepts nullptr as an empty file.
PlatformProfile* PlatformOpenProfile(const char* path);
void PlatformCloseProfile(PlatformProfile* profile);
// A value into buffer (size bytes). Returns the number of characters written.
size_t PlatformProfileString(const PlatformProfile* profile, const char* section, const char* key,
                             const char* fallback, char* buffer, size_t size);
// The key names of a section into buffer (size bytes), as described above; with section
// nullptr the section names of the file in the same form, in file order.
size_t PlatformProfileKeyNames(const PlatformProfile* profile, const char* section, char* buffer, size_t size);
int32_t PlatformProfileInt(const PlatformProfile* profile, const char* section, const char* key, int32_t fallback);

// ---------------------------------------------------------------------------------------
// Sockets (transport)
//
// TCP over IPv4 only. The two send errors the transport acts on have Winsock's numbers on
// every system; any other failure is some other non-zero number.

using PlatformSocket = intptr_t;
constexpr PlatformSocket kNoSocket = -1;

constexpr int kSocketWouldBlock = 10035;  // WSAEWOULDBLOCK: try again when writable
constexpr int kSocketNoBuffers = 10055;   // WSAENOBUFS: handled like kSocketWouldBlock

// Starts and stops the socket layer (Winsock asked for version 1.1). Start returns 0 or -1.
int PlatformSocketsStartUp();
void PlatformSocketsCleanUp();

// A new TCP socket over IPv4, or kNoSocket.
PlatformSocket PlatformCreateSocket();
// Closes at once, without shutting the send direction; a socket registered with the
// notifier is closed by the notifier thread before its next wait, so no event of it is
// delivered against a newer socket that got the same number.
void PlatformCloseSocket(PlatformSocket socket);

// Reads text as a dotted IPv4 address by the classic inet_addr rules (one to four parts,
// each decimal, octal or hex). Returns 0 with the address in host byte order, or -1 when
// the text is not one; "255.255.255.255" gives -1 too, as the classic parser's error
// value cannot be told from it.
int PlatformParseDottedAddress(const char* text, uint32_t* address);
// The first IPv4 address of a host name, in host byte order. Blocks for as long as the
// system's resolver takes. Returns 0 or -1.
int PlatformLookUpHost(const char* name, uint32_t* address);
// Switches off send coalescing (TCP_NODELAY). Failure has no effect on the socket.
void PlatformSetNoDelay(PlatformSocket socket);

// Starts a connect on a socket registered with the notifier; the outcome arrives as
// kSocketConnect. Returns kSocketWouldBlock (the normal result) or another error number.
int PlatformStartConnect(PlatformSocket socket, uint32_t address, uint16_t port);
// One non-blocking send. Returns the count accepted, or -1 with *error set.
int PlatformSend(PlatformSocket socket, const char* data, int length, int* error);
// One non-blocking read of at most size bytes. Returns the count, 0 at the end of the
// stream, -1 on an error or when nothing is there. After the end or an error the notifier
// reports no more reads for the socket, as Winsock does after FD_CLOSE.
int PlatformReceive(PlatformSocket socket, char* buffer, int size);

// The socket notifier: one thread turns socket readiness into events numbered as
// Winsock's FD_ flags. On Windows it is the hidden window; on POSIX a poll loop with a
// wake-up pipe.
constexpr int kSocketRead = 1;      // bytes can be read
constexpr int kSocketWrite = 2;     // a send that would have blocked may be tried again
constexpr int kSocketConnect = 16;  // a connect finished; error 0 = connected
// The peer closed or the connection broke. Bytes sent before the close may still wait
// (Windows reports the close before they are read): reads until one gives 0 or nothing
// find them all.
constexpr int kSocketClose = 32;
using SocketEventHandler = void (*)(PlatformSocket socket, int event, int error);

struct PlatformNotifier;
// Makes the notifier (the window, or the poll set and its pipe). Returns null on failure.
PlatformNotifier* PlatformCreateNotifier();
// Runs the notifier on the calling thread, handing every event to handler, until
// PlatformStopNotifier is called.
void PlatformRunNotifier(PlatformNotifier* notifier, SocketEventHandler handler);
// Asks the running notifier to return from PlatformRunNotifier; returns at once.
void PlatformStopNotifier(PlatformNotifier* notifier);
// Releases the notifier after its loop ended; sockets whose close was pending are closed.
void PlatformDestroyNotifier(PlatformNotifier* notifier);
// Makes the socket non-blocking and has the notifier report its read, write, connect and
// close events. Returns 0 or -1.
int PlatformRegisterSocket(PlatformNotifier* notifier, PlatformSocket socket);
// Back-pressure: stops reporting reads of a registered socket until it is resumed. What
// arrives meanwhile stays with the system, whose full receive window then slows the
// sender. After a resume a read is reported as soon as bytes wait, at once when some
// already do. Both may be called from any thread; a read reported just before a pause
// may still arrive and is best ignored.
void PlatformPauseReading(PlatformNotifier* notifier, PlatformSocket socket);
void PlatformResumeReading(PlatformNotifier* notifier, PlatformSocket socket);

// ---------------------------------------------------------------------------------------
// TLS (transport)
//
// A client's TLS session that never touches a socket: the transport hands it the bytes it
// read and sends the bytes it gives back, so the notifier keeps reading and the sender
// keeps sending as for any connection. TLS 1.2 and 1.3 only, without renegotiation.
// POSIX: OpenSSL. Win32: SChannel.
// A session has no lock of its own: the transport lets one thread at a time call it.

struct PlatformTls;

// The most plain bytes one PlatformTlsPutPlain takes: one TLS record.
constexpr int kTlsPlainPiece = 16384;
// A TLS session's reason for a failure, with room to spare.
constexpr size_t kTlsReasonSize = 128;

// Results of PlatformTlsHandshake and PlatformTlsTakePlain besides counts.
constexpr int kTlsWantMore = 0;      // nothing yet: more bytes from the server are needed
constexpr int kTlsFailed = -1;       // the session is broken; PlatformTlsFailure says why
constexpr int kTlsClosed = -2;       // the server ended the session (TakePlain only)
// What PlatformTlsFailure says the failure was.
constexpr int kTlsNegotiationFailed = 1;
constexpr int kTlsCertificateRejected = 2;

// A client session for serverName (a host name, or a dotted address). With verify, the
// server's certificate must lead to the system's trust store or to caFile (when not
// empty), and name serverName; otherwise any certificate is taken. Returns nullptr, with
// a reason in reason (kTlsReasonSize bytes), when no session can be made (caFile cannot
// be read, no memory, no TLS in this build).
PlatformTls* PlatformTlsCreate(const char* serverName, int verify, const char* caFile, char* reason);
void PlatformTlsDestroy(PlatformTls* tls);
// Advances the handshake with what has been put so far: 1 when it is complete, kTlsWantMore
// when it waits for the server (what PlatformTlsOutgoing holds must be sent first), or
// kTlsFailed.
int PlatformTlsHandshake(PlatformTls* tls);
// Bytes read from the socket. Returns 0, or kTlsFailed when they cannot be kept.
int PlatformTlsPutReceived(PlatformTls* tls, const char* data, int length);
// Decrypted bytes into buffer: a count from 1 to size, kTlsWantMore, kTlsClosed or kTlsFailed.
int PlatformTlsTakePlain(PlatformTls* tls, char* buffer, int size);
// Encrypts up to kTlsPlainPiece plain bytes. Returns the count taken, or kTlsFailed.
int PlatformTlsPutPlain(PlatformTls* tls, const char* data, int length);
// The encrypted bytes waiting to be sent: *data points at them until the next
// PlatformTlsOutgoing or PlatformTlsSent, whatever else is called meanwhile. Returns
// their count, 0 when none wait.
int PlatformTlsOutgoing(PlatformTls* tls, const char** data);
// The first count bytes of what PlatformTlsOutgoing gave have been sent.
void PlatformTlsSent(PlatformTls* tls, int count);
// Why the last call failed, into reason (kTlsReasonSize bytes): kTlsCertificateRejected
// when the server's certificate was not trusted, else kTlsNegotiationFailed.
int PlatformTlsFailure(PlatformTls* tls, char* reason);
// The protocol version and cipher of a finished handshake, e.g. "TLSv1.3 with
// TLS_AES_256_GCM_SHA384", into text (size bytes).
void PlatformTlsDescribe(PlatformTls* tls, char* text, size_t size);

// ---------------------------------------------------------------------------------------
// Named event (scheduler)

// What the calls that open something other processes share (the named event, the
// instance lock below) give instead of a handle.
constexpr int kPlatformFailed = -1;    // any other failure
constexpr int kPlatformMissing = -2;   // nothing of that name
constexpr int kPlatformNoAccess = -3;  // permission denied
constexpr int kPlatformHeld = -4;      // another process holds the lock

// A manual-reset event that other processes find by its name. POSIX: a named semaphore,
// set = one post, reset = take until empty.
struct PlatformNamedEvent;
// Creates the event, set, or opens it (keeping its state) when it exists already.
// A created event may be set by its owner and the owner's group, whatever the umask
// says (Windows: the creator's default security). Returns nullptr when it can be neither
// created nor opened.
PlatformNamedEvent* PlatformCreateNamedEvent(const char* name);
// Opens an existing event. Returns nullptr when it cannot, with *failure set to
// kPlatformMissing (no event of that name), kPlatformNoAccess or kPlatformFailed.
PlatformNamedEvent* PlatformOpenNamedEvent(const char* name, int* failure);
// Removes the name of an event that a killed process left behind (POSIX semaphores
// outlive their processes; Windows events do not, so there it does nothing). Only for a
// caller that knows nobody uses the event.
void PlatformRemoveNamedEvent(const char* name);
// Closes the event; when this handle created it, the name goes too, so that nobody
// finds an event without an owner.
void PlatformCloseNamedEvent(PlatformNamedEvent* event);
void PlatformSetNamedEvent(PlatformNamedEvent* event);
void PlatformResetNamedEvent(PlatformNamedEvent* event);
// Returns 1 when the event is set (it stays set), 0 when the time ran out first.
int PlatformWaitNamedEvent(PlatformNamedEvent* event, uint32_t milliseconds);

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

// ---------------------------------------------------------------------------------------
// Listening sockets (demo servers)

// Blocking TCP streams for the small loopback servers of `postwain demo`. The library's
// own connections use the transport's sockets, never these.

// Listens on 127.0.0.1 on a port the system picks, written to port, with room for a few
// hundred clients not yet accepted. Returns a handle >= 0, or -1.
intptr_t PlatformListenOnLoopback(uint16_t* port);
// Waits at most milliseconds for a client. Returns the client's stream handle >= 0, or -1
// when none came in time or the wait failed.
intptr_t PlatformAcceptStream(intptr_t listener, uint32_t milliseconds);
// Waits at most milliseconds for bytes. Returns how many arrived, 0 when the peer closed
// the stream or it broke, -1 when the time ran out or the wait failed.
long PlatformReceiveStream(intptr_t stream, void* data, size_t size, uint32_t milliseconds);
// Sends every byte. Returns length, or -1 when the stream failed.
long PlatformSendStream(intptr_t stream, const void* data, size_t length);
// Closes a listener or a stream.
void PlatformCloseStream(intptr_t stream);

// The demo's mail stores: a directory of message files for each POP3 mailbox and a
// maildir for each local recipient.

// Creates a new private directory below the temporary directory (TMPDIR when set) whose
// name begins with prefix. Returns 0 with its path, or -1.
int PlatformMakeTemporaryDirectory(const char* prefix, char* path, size_t size);
// Calls visit for each regular file of a directory, in ascending byte order of the names,
// with the name (not the path). Returns the number of files, or -1 when the directory
// cannot be read.
int PlatformListFiles(const char* directory, void (*visit)(const char* name, void* context), void* context);
// Reads a whole file into a block from PlatformAllocate that the caller frees; the block
// holds one more zero byte behind the content. Returns the length, or -1.
long PlatformReadWholeFile(const char* path, char** content);
// Returns 0, or -1.
int PlatformDeleteFile(const char* path);
// Gives a file a new name in the same file system (a file of that name is replaced), and
// makes the new name itself last a crash (POSIX: the directory is flushed too). Returns
// 0, or -1 (also when the new name may not outlast a crash).
int PlatformRenameFile(const char* from, const char* to);

// ---------------------------------------------------------------------------------------
// Instance lock (lifecycle, host)

// Takes an exclusive lock on a file, created when missing with read and write for its
// owner and group (whatever the umask says), and holds it until PlatformUnlockFile or
// the end of the process, however it ends. POSIX: flock; Windows: the file opened
// without sharing. Returns a handle >= 0, kPlatformHeld, kPlatformNoAccess or
// kPlatformFailed.
intptr_t PlatformLockFile(const char* path);
void PlatformUnlockFile(intptr_t lock);
// Whether some process holds the lock on path now, asked without creating the file and
// without getting in the holder's way: 1 held, 0 free or no such file, kPlatformNoAccess
// or kPlatformFailed.
int PlatformFileIsLocked(const char* path);
