#include "plugin/call_js.h"

#include <cstdio>

#include "engine/encoding.h"

namespace quenta {

namespace {

bool IsPlain(char32_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case ' ': case '-': case '_': case '.': case ',': case ':': case ';':
    case '!': case '?': case '(': case ')': case '[': case ']': case '@':
    case '*': case '+': case '=': case '~': case '^': case '$': case '#':
      return true;
    default:
      return false;
  }
}

void AppendUnit(std::string& out, unsigned unit) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04X", unit & 0xFFFF);
  out += buf;
}

void AppendChar(std::string& out, char32_t c) {
  if (IsPlain(c)) {
    out += static_cast<char>(c);
  } else if (c >= 0x10000) {
    c -= 0x10000;
    AppendUnit(out, 0xD800 + (c >> 10));
    AppendUnit(out, 0xDC00 + (c & 0x3FF));
  } else {
    AppendUnit(out, c);
  }
}

// Decodes one UTF-8 sequence at s[i]; returns its length, 0 if invalid.
std::size_t DecodeUtf8(const std::string& s, std::size_t i, char32_t* out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
  std::size_t left = s.size() - i;
  unsigned char b = p[0];
  if (b < 0x80) { *out = b; return 1; }
  std::size_t len;
  char32_t c, min;
  if ((b & 0xE0) == 0xC0) { len = 2; c = b & 0x1F; min = 0x80; }
  else if ((b & 0xF0) == 0xE0) { len = 3; c = b & 0x0F; min = 0x800; }
  else if ((b & 0xF8) == 0xF0) { len = 4; c = b & 0x07; min = 0x10000; }
  else return 0;
  if (left < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (p[k] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *out = c;
  return len;
}

}  // namespace

std::string CCallJS::EscapeForSingleQuotedLiteral(const std::string& text, TextBytes bytes) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    char32_t c;
    std::size_t n = bytes == TextBytes::kPage ? DecodeUtf8(text, i, &c) : 0;
    if (n == 0) {
      c = Win1250ToUnicode(static_cast<unsigned char>(text[i]));
      n = 1;
    }
    AppendChar(out, c);
    i += n;
  }
  return out;
}

std::string CCallJS::BuildWKPEventAddress(const std::string& reserved, const std::string& keyName,
                                          const std::string& label, int count) {
  std::string url = "javascript:componentWKPEvent( '";
  url += EscapeForSingleQuotedLiteral(reserved, TextBytes::kPage);
  url += "','";
  url += EscapeForSingleQuotedLiteral(keyName, TextBytes::kPage);
  url += "','";
  url += EscapeForSingleQuotedLiteral(label, TextBytes::kWin1250);
  url += "','";
  url += std::to_string(count);
  url += "' )";
  return url;
}

int CCallJS::FireWKPEvent(const char* reserved, const char* keyName, const char* label, int count) {
  if (target_)
    target_->DeliverWKPEvent(reserved ? reserved : "", keyName ? keyName : "", label ? label : "",
                             count);
  return 0;
}

}  // namespace quenta
