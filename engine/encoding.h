// Text encodings shared by the whole engine: hexadecimal text, the base64
// armour with a BEGIN line, and the two Polish code-page conversions.
#pragma once

#include <cstddef>
#include <string>

#include "engine/secure.h"

namespace quenta {

// Two upper-case hex digits per byte, high nibble first, no separators.
// 0 success; 1 missing input (null bytes with n > 0); 2 out of memory.
// n == 0 with any pointer gives an empty text and 0.
int HexEncode(const unsigned char* bytes, std::size_t n, std::string& out);
// Same, for secrets: the output lives in wiped storage.
int HexEncode(const unsigned char* bytes, std::size_t n, SecureText& out);

// null text: out empty, 1. Length must be even and non-zero, else 1.
// Digits 0-9, A-F, a-f; any other character: out emptied (wiped), 1.
// The output is a SecureBytes because decoded material is often secret.
int HexDecode(const char* text, SecureBytes& out);
// Length-aware variant for texts that may contain zero bytes (the text is
// exactly `length` bytes; a zero byte inside is an invalid digit).
int HexDecode(const char* text, std::size_t length, SecureBytes& out);

enum PemType { kPemCertificate = 2, kPemData = 3 };

// Finds the BEGIN line of `type` in text[0..length) and decodes the base64
// after it into buffer. *capacity is the buffer size in, the byte count out.
// 0 success; 1 text shorter than the BEGIN line; 2 output full (prints
// "ERROR_TO_SMALL_OUTPUT_BUFFER" to standard output and leaves *capacity
// unchanged); 3 no BEGIN line; 4 unknown type.
int PemDecode(const char* text, std::size_t length, int type, unsigned char* buffer,
              std::size_t* capacity);

// Polish letters Ą Ś Ź ą ś ź between ISO 8859-2 and Windows-1250; all other
// bytes are copied unchanged. The result is the converted bytes (zero bytes
// inside the input are kept).
std::string IsoToWin1250(const unsigned char* bytes, std::size_t n);
std::string Win1250ToIso(const unsigned char* bytes, std::size_t n);

// Windows-1250 <-> UTF-8, for the places where a toolkit draws a text or a
// translator edits one. Utf8ToWin1250 returns false (and leaves out as far
// as it got) when a character has no Windows-1250 form or the input is not
// valid UTF-8.
std::string Win1250ToUtf8(const std::string& text);
bool Utf8ToWin1250(const std::string& utf8, std::string& out);

// Length of the strictly valid UTF-8 sequence at p[0..left) (no overlong
// forms, no surrogates, nothing above U+10FFFF, nothing truncated) and its
// code point in *cp; 0 when the bytes there are not valid UTF-8.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left, char32_t* cp);

// The Unicode code point of a Windows-1250 byte (0xFFFD for the five
// unassigned bytes).
char32_t Win1250ToUnicode(unsigned char byte);

}  // namespace quenta
