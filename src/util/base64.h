// Base64 (RFC 4648, with padding), as SASL carries its responses and challenges.
#pragma once

#include <cstddef>

// Encodes length bytes of data into text (size bytes, NUL-terminated). Returns the
// length of the text, or -1 when it does not fit (text is then empty).
int EncodeBase64(const void* data, size_t length, char* text, size_t size);
// The same in base64url without padding (RFC 4648 section 5), as PKCE and OAuth's state
// want it; text needs room for the padded form.
int EncodeBase64URL(const void* data, size_t length, char* text, size_t size);
// Decodes text, which may end in blanks, CR or LF, into data (size bytes; a NUL is added
// behind the bytes when there is room). Returns the number of bytes, or -1 when the text
// is not base64 or its bytes do not fit.
int DecodeBase64(const char* text, char* data, size_t size);
