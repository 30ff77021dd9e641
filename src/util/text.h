// Fixed-size texts. Every text of the system lives in a zero-terminated char array of a
// known size; these helpers are the only way texts are copied or joined, so nothing is
// ever written past a buffer whatever a server or a settings file sends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/system.h"

// Copies src into dst (size bytes), cut to size - 1 characters. Returns 0, or -1 when
// the text was cut. A size of 0 writes nothing; an absent src gives an empty text.
int CopyText(char* dst, size_t size, const char* src);

// As CopyText, but copies at most length bytes of src (stopping earlier at a zero byte).
int CopyTextN(char* dst, size_t size, const char* src, size_t length);

// Appends src to the text in dst, cut to fit. Returns 0, or -1 when cut.
int AppendText(char* dst, size_t size, const char* src);

// Appends a printf-style text, cut to fit. Returns 0, or -1 when cut.
int AppendFormat(char* dst, size_t size, const char* format, ...) PLATFORM_PRINTF_FORMAT(3, 4);

// Overwrites size bytes with NULs in a way the compiler keeps, so that a buffer that held
// a password or a token leaves no copy behind.
void WipeText(char* text, size_t size);

// Fixed-size array overloads: the size is taken from the array itself.
template <size_t N> int CopyText(char (&dst)[N], const char* src) { return CopyText(dst, N, src); }
template <size_t N> int AppendText(char (&dst)[N], const char* src) { return AppendText(dst, N, src); }

// 64-bit FNV-1a of a text, continuing from hash (kTextHashStart for a first text): short
// names for files and events that stand for longer texts, free of separators whatever
// the texts hold.
constexpr uint64_t kTextHashStart = 14695981039346656037ull;
uint64_t HashText(uint64_t hash, const char* text);

// ASCII-only case folding: the system compares header and setting names this way,
// whatever the user's locale says about bytes from 128 up.
char LowerAscii(char c);
char UpperAscii(char c);
bool EqualsNoCase(const char* a, const char* b);
bool StartsWithNoCase(const char* text, const char* prefix);
