// A strict reader of the JSON answers of identity providers (RFC 8259): the whole text
// must be one object, and members are looked up by name at its top level. It never
// writes past a buffer and never recurses deeper than kJsonMaxDepth, whatever the
// provider sends; an answer that is not well-formed JSON has no members at all.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kJsonMaxDepth = 32;
// Results of the lookups besides 0.
constexpr int kJsonMalformed = -1;  // not one well-formed object
constexpr int kJsonMissing = -2;    // no member of that name (or not of the kind asked)
constexpr int kJsonTooLong = -3;    // a string value that does not fit: never used cut

// The string value of the first top-level member called name, unescaped into value as
// UTF-8 (size bytes). A value with an escaped zero byte counts as missing, since a text
// here ends at its first zero. Returns 0, kJsonMalformed, kJsonMissing or kJsonTooLong.
int JsonString(const char* text, size_t length, const char* name, char* value, size_t size);
// The value of a top-level member called name that is a whole number (at most 18
// digits), or a string of such digits, which some providers send for "expires_in".
// Returns 0, kJsonMalformed or kJsonMissing.
int JsonInteger(const char* text, size_t length, const char* name, int64_t* value);
