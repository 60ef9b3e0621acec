// Windows-1250 <-> Unicode. The engine keeps every text in Windows-1250;
// these conversions serve the two edges where another encoding is needed:
// the translator's UTF-8 text table (converted at build time) and a toolkit
// that draws UTF-8.
//
// This file is also compiled into the text table generator, so it must not
// depend on anything beyond the standard library.
#include "engine/encoding.h"

namespace quenta {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Code points of the bytes 0x80..0xFF. The bytes 0x00..0x7F are ASCII.
constexpr char16_t kHighHalf[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 0x88
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0xFFFD, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 0x98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // 0xA0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // 0xA8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // 0xB8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // 0xC0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // 0xC8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // 0xD0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // 0xD8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // 0xE0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // 0xE8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // 0xF0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // 0xF8
};

// The byte for a code point, or -1 when Windows-1250 has none.
int ByteForCodePoint(char32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  if (cp == kReplacement) return -1;  // stands for the unassigned bytes only
  for (int i = 0; i < 128; ++i)
    if (kHighHalf[i] == cp) return 0x80 + i;
  return -1;
}

void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {  // every Windows-1250 character lies in the basic plane
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left, char32_t* cp) {
  if (left == 0) return 0;
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  std::size_t len = 0;
  char32_t c = 0, min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    min = 0x80;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    min = 0x800;
    c = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    min = 0x10000;
    c = b0 & 0x07;
  } else {
    return 0;  // continuation byte, C0/C1 overlong lead, or F5..FF
  }
  if (left < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[i] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *cp = c;
  return len;
}

char32_t Win1250ToUnicode(unsigned char byte) {
  if (byte < 0x80) return byte;
  return kHighHalf[byte - 0x80];
}

std::string Win1250ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char c : text) AppendUtf8(Win1250ToUnicode(static_cast<unsigned char>(c)), out);
  return out;
}

bool Utf8ToWin1250(const std::string& utf8, std::string& out) {
  out.clear();
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t cp;
    const std::size_t len = Utf8SequenceLength(
        reinterpret_cast<const unsigned char*>(utf8.data()) + pos, utf8.size() - pos, &cp);
    if (len == 0) return false;
    pos += len;
    const int byte = ByteForCodePoint(cp);
    if (byte < 0) return false;
    out.push_back(static_cast<char>(byte));
  }
  return true;
}

}  // namespace quenta
