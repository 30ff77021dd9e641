// Files and directories: logs, journals, the settings file, the instance lock.
#pragma once

#include <cstdint>
#include "platform/system.h"

// ---------------------------------------------------------------------------------------
// Files

// Creates a directory. Returns 0, or -1 (an existing directory also gives -1).
int PlatformCreateDirectory(const char* path);

// 1 when a directory entry of that path exists, else 0.
int PlatformFileExists(const char* path);

// Last-write time of a file in 100-ns units since 1601 (the Windows file-time scale, so
// both backends compare alike). Returns 0, or -1 when the file is not found.
int PlatformFileLastWriteTime(const char* path, uint64_t* time);
// Seconds between 1601-01-01 and 1970-01-01: file times and PlatformUnixTime meet so.
constexpr uint64_t kUnixEpochInFileTimeSeconds = 11644473600ULL;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000ULL;

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
// or kPlatformFailed. For the moment of the probe, PlatformLockFile of another caller
// finds the lock held.
int PlatformFileIsLocked(const char* path);
