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

}  // namespace

std::string CCallJS::EscapeForSingleQuotedLiteral(const std::string& text, TextBytes bytes) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    char32_t c;
    std::size_t n = bytes == TextBytes::kPage
                        ? Utf8SequenceLength(reinterpret_cast<const unsigned char*>(text.data()) + i,
                                             text.size() - i, &c)
                        : 0;
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
