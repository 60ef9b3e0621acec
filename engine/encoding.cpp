#include "engine/encoding.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace quenta {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// Writes 2 * n hex digits to out (which has room for them).
void EncodeInto(const unsigned char* bytes, std::size_t n, char* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Empties a secret byte vector and returns its whole allocation, wiped.
void WipeAndEmpty(SecureBytes& bytes) {
  SecureBytes empty;
  bytes.swap(empty);
}

// 0-63 for a base64 alphabet character, -1 for anything else.
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

const char* PemBeginLine(int type) {
  switch (type) {
    case kPemCertificate:
      return "-----BEGIN CERTIFICATE-----";
    case kPemData:
      return "-----BEGIN DATA-----";
    default:
      return nullptr;
  }
}

// First occurrence of the marker in text[0..length), or length when absent.
// A Knuth-Morris-Pratt scan: each text byte is looked at a bounded number of
// times, whatever the text holds (long runs of dashes included).
std::size_t FindMarker(const char* text, std::size_t length, const char* marker) {
  const std::size_t m = std::strlen(marker);
  if (m == 0 || m > length) return length;
  // Failure table of the marker (it is at most a few dozen characters).
  std::size_t fail[64];
  if (m > sizeof(fail) / sizeof(fail[0])) return length;
  fail[0] = 0;
  for (std::size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && marker[i] != marker[k]) k = fail[k - 1];
    if (marker[i] == marker[k]) ++k;
    fail[i] = k;
  }
  for (std::size_t i = 0, k = 0; i < length; ++i) {
    while (k > 0 && text[i] != marker[k]) k = fail[k - 1];
    if (text[i] == marker[k]) ++k;
    if (k == m) return i + 1 - m;
  }
  return length;
}

struct CodePagePair {
  unsigned char iso;
  unsigned char win;
};

// The six Polish letters whose codes differ between the two code pages.
const CodePagePair kPolishLetters[] = {
    {0xA1, 0xA5},  // A with ogonek
    {0xA6, 0x8C},  // S with acute
    {0xAC, 0x8F},  // Z with acute
    {0xB1, 0xB9},  // a with ogonek
    {0xB6, 0x9C},  // s with acute
    {0xBC, 0x9F},  // z with acute
};

std::string Translate(const unsigned char* bytes, std::size_t n, bool isoToWin) {
  if (!bytes || n == 0) return std::string();
  unsigned char table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
  for (const CodePagePair& p : kPolishLetters) {
    if (isoToWin)
      table[p.iso] = p.win;
    else
      table[p.win] = p.iso;
  }
  std::string out;
  try {
    out.resize(n);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>(table[bytes[i]]);
  return out;
}

}  // namespace

int HexEncode(const unsigned char* bytes, std::size_t n, std::string& out) {
  out.clear();
  if (n == 0) return 0;
  if (!bytes) return 1;
  if (n > (out.max_size() / 2)) return 2;
  try {
    out.resize(2 * n);
  } catch (const std::bad_alloc&) {
    return 2;
  }
  EncodeInto(bytes, n, &out[0]);
  return 0;
}

int HexEncode(const unsigned char* bytes, std::size_t n, SecureText& out) {
  out.clear();
  if (n == 0) return 0;
  if (!bytes) return 1;
  try {
    // Built in wiped storage, then copied into the text; the scratch copy
    // is wiped when it goes.
    std::vector<char, WipingAllocator<char>> scratch(2 * n);
    EncodeInto(bytes, n, scratch.data());
    out.assign(scratch.data(), scratch.size());
  } catch (const std::bad_alloc&) {
    out.clear();
    return 2;
  } catch (const std::length_error&) {
    out.clear();
    return 2;
  }
  return 0;
}

int HexDecode(const char* text, SecureBytes& out) {
  if (!text) {
    WipeAndEmpty(out);
    return 1;
  }
  return HexDecode(text, std::strlen(text), out);
}

int HexDecode(const char* text, std::size_t length, SecureBytes& out) {
  if (!text || length == 0 || length % 2 != 0) {
    WipeAndEmpty(out);
    return 1;
  }
  SecureBytes decoded;
  try {
    decoded.resize(length / 2);
  } catch (const std::exception&) {
    WipeAndEmpty(out);
    return 2;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const int high = HexValue(p[2 * i]);
    const int low = HexValue(p[2 * i + 1]);
    if (high < 0 || low < 0) {
      WipeAndEmpty(decoded);
      WipeAndEmpty(out);
      return 1;
    }
    decoded[i] = static_cast<unsigned char>((high << 4) | low);
  }
  out.swap(decoded);  // the previous contents leave with `decoded`, wiped
  return 0;
}

int PemDecode(const char* text, std::size_t length, int type, unsigned char* buffer,
              std::size_t* capacity) {
  const char* begin = PemBeginLine(type);
  if (!begin) return 4;
  if (!capacity) return 1;
  const std::size_t beginLength = std::strlen(begin);
  if (!text || length < beginLength) return 1;
  const std::size_t found = FindMarker(text, length, begin);
  if (found == length) return 3;

  // One byte of the buffer is always kept spare: the count may reach
  // capacity - 1 only with the data's last byte.
  const std::size_t limit = *capacity > 0 ? *capacity - 1 : 0;
  if (!buffer && limit > 0) return 1;

  std::size_t count = 0;
  unsigned int bits = 0;  // pending bits, at most 12 significant
  int pendingBits = 0;
  for (std::size_t i = found + beginLength; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    // "-" starts the END line. "=" is padding: it ends the data and the
    // partial byte the last characters had begun is not counted.
    if (c == '-' || c == '=') break;
    const int value = Base64Value(c);
    if (value < 0) continue;  // line breaks and other characters
    bits = (bits << 6) | static_cast<unsigned int>(value);
    pendingBits += 6;
    if (pendingBits >= 8) {
      pendingBits -= 8;
      if (count >= limit) {
        std::fputs("ERROR_TO_SMALL_OUTPUT_BUFFER\n", stdout);
        std::fflush(stdout);
        return 2;
      }
      buffer[count++] = static_cast<unsigned char>((bits >> pendingBits) & 0xFF);
      bits &= (1u << pendingBits) - 1;
    }
  }
  *capacity = count;
  return 0;
}

std::string IsoToWin1250(const unsigned char* bytes, std::size_t n) {
  return Translate(bytes, n, true);
}

std::string Win1250ToIso(const unsigned char* bytes, std::size_t n) {
  return Translate(bytes, n, false);
}

}  // namespace quenta
