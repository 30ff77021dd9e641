// The daily log and the trace file, both in the "logs" directory of the instance.
//
// Daily log: "Postwain Log - <date>.txt", one per calendar day, first line the banner
// "Postwain 2.4". Each line: timestamp, " ", [source, ": "], text, CR LF.
// Trace: "postwain trace.txt", never truncated. Each line: timestamp, " ", the tag padded
// with spaces to 8 columns, text, ending in exactly one CR LF.
//
// The switches CreateDailyLogs and CreateTraceLog are read at every call. Logging never
// reports its own failures: a line that cannot be written is lost. A line longer than
// LineBuffer holds is cut. Calls made before OpenLogs or after CloseLogs write nothing.
// Any thread may log: each line is composed and written whole under one lock.
#pragma once

#include <cstddef>

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
// ("anna@pop.example.net"), so that accounts on one server are told apart.
LogSource AccountLogSource(const char* user, const char* server);

// Creates the logs directory, allocates LineBuffer and writes "Starting up..." with the
// source "Postwain 2.4". Returns 0, or -1 when LineBuffer cannot be allocated.
int OpenLogs();
// Writes "Shutting down..." with the source "Postwain" and frees LineBuffer. Returns 0.
int CloseLogs();

// One daily log line; source may be absent (nullptr).
void WriteLog(const char* source, const char* text);
// One trace line; nothing when tag or text is absent.
void WriteTrace(const char* tag, const char* text);
// Exactly length bytes of data as one trace entry (a zero byte ends it early).
void WriteTraceBlock(const char* tag, const char* data, size_t length);

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
