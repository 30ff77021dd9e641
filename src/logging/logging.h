// The daily log and the trace file, both in the "logs" directory of the instance.
//
// Daily log: "Postwain Log - <date>.txt", one per calendar day, first line the banner
// "Postwain 2.4". Each line: timestamp, " ", [source, ": "], text, CR LF.
// Trace: "postwain trace.txt", never truncated. Each line: timestamp, " ", the tag padded
// with spaces to 8 columns, text, ending in exactly one CR LF.
//
// The switches CreateDailyLogs and CreateTraceLog are read at every call. A line that
// cannot be written is lost; the first of a run of such losses says so on standard error
// (ReportLogTrouble). A line longer than LineBuffer holds is cut. Calls made before
// OpenLogs or after CloseLogs write nothing. Any thread may log: each line is composed
// and written whole under one lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/clock.h"

constexpr size_t kLineBufferSize = 32768;
// With this environment variable set to "1" when the logs open, every daily log line is
// also written to standard output (with LF), whether the daily log is on or not: the
// host program's output then tells the story as it happens.
constexpr char kLogToStandardOutputVariable[] = "POSTWAIN_LOG_TO_STDOUT";
constexpr int kOpenFileSlots = 16;

// Longest server text kept for a connection: 259 characters and the terminating zero.
constexpr int kServerTextSize = 260;
// A daily log source for a connection's lines: the server text, or what its dialogue
// names the lines by ("user@server" for an account).
constexpr int kLogSourceSize = kServerTextSize + 256;
struct LogSource {
  char text[kLogSourceSize];
};
// The source for the lines about an account: its user name, "@" and its server
// ("anna@pop.example.net"), and ":" + port where it is not the usual one for the
// account's Security ("anna@pop.example.net:2110"), so that accounts are told apart.
LogSource AccountLogSource(const char* user, const char* server, int port, int32_t security);

// Creates the logs directory, allocates LineBuffer and writes "Starting up..." with the
// source "Postwain 2.4". Returns 0, or -1 when LineBuffer cannot be allocated.
int OpenLogs();
// Writes "Shutting down..." with the source "Postwain" and frees LineBuffer. Returns 0.
int CloseLogs();

// One daily log line; source may be absent (nullptr).
void WriteLog(const char* source, const char* text);

// What the daily log last said, kept whether or not it is written, so that a failure can
// be named where it is counted (the delivery ledger, status.json, `postwain once`):
// the last "ERROR - " line with its source and the "Server replied: " line behind it, and
// the last line of any kind. errors counts the ERROR lines since the logs opened.
constexpr size_t kLoggedLineSize = 512;
struct LoggedLines {
  uint32_t errors;
  char error[kLoggedLineSize];  // "source: ERROR - ...", and ": " + the reply when one followed
  char last[kLoggedLineSize];   // "source: text"
};
const LoggedLines& RecentLogLines();

// A daily log, trace or ledger line at path could not be written (a full disk, say). The
// first loss after a good write prints "postwain: cannot write " + path + "; lines are
// being lost" on standard error; LogTrouble names it, with the time, until a line is
// written again ("" when none).
void ReportLogTrouble(const char* path);
void ClearLogTrouble();
const char* LogTrouble();
// "YYYY-MM-DD HH:MM:SS", local time: the ledger's and status.json's moments.
void FormatSortableTime(const LocalTime& time, char* text, size_t size);
// One trace line; nothing when tag or text is absent.
void WriteTrace(const char* tag, const char* text);
// Exactly length bytes of data as one trace entry (a zero byte ends it early).
void WriteTraceBlock(const char* tag, const char* data, size_t length);

// ModuleDirectory + "/logs", and "/" + name when name is given. Returns 0, or -1 when it
// does not fit (a cut path could name another file).
int LogFilePath(const char* name, char* path, size_t size);

// Whether the daily log can be written, asked before start-up (logging itself never
// reports its own failures): the logs directory exists or can be made, a file can be
// made in it, and today's daily log, when there is one, can be appended to. Returns 0,
// or -1 with the path that could not be written in path.
int CheckLogsWritable(char* path, size_t size);

// File helpers with slot numbers 0..15 instead of system handles.
// FileOpen opens for appending (the only mode), creating the file: the first free slot,
// or -1. FileWrite returns the bytes written or -1. FileClose empties the slot, returns 0.
constexpr int kFileAppend = 1;
int FileOpen(const char* path, int mode);
long FileWrite(int slot, const void* data, size_t length);
int FileClose(int slot);
// 1 when the path exists, else 0.
int FileExists(const char* path);
