#include "nmhost/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdint>

#include "engine/encoding.h"
#include "engine/secure.h"

namespace quenta {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Roughly the power of ten of a well-formed JSON number's first significant
// digit: enough to tell an overflow from an underflow.
long DecimalMagnitude(const char* p, const char* end) {
  if (p < end && *p == '-') ++p;
  long intDigits = 0, fracZeros = 0;
  bool significant = false;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (*p != '0') significant = true;
    if (significant) ++intDigits;
  }
  if (p < end && *p == '.') {
    for (++p; p < end && *p >= '0' && *p <= '9'; ++p) {
      if (*p != '0') significant = true;
      if (!significant) ++fracZeros;
    }
  }
  long exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
      if (exponent < 1000000000L) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
  }
  return intDigits > 0 ? exponent + intDigits : exponent - fracZeros;
}

class Parser {
 public:
  Parser(const char* text, std::size_t length)
      : p_(reinterpret_cast<const unsigned char*>(text)), n_(length) {}

  bool Parse(JsonValue* out, std::string* error) {
    SkipSpace();
    bool ok = ParseValue(out, 0);
    if (ok) {
      SkipSpace();
      if (i_ != n_) ok = Fail("unexpected text after the value");
    }
    if (!ok && error) *error = error_ + " at byte " + std::to_string(errorAt_);
    return ok;
  }

 private:
  bool Fail(const char* what) {
    if (error_.empty()) {
      error_ = what;
      errorAt_ = i_;
    }
    return false;
  }

  void SkipSpace() {
    while (i_ < n_ && (p_[i_] == ' ' || p_[i_] == '\t' || p_[i_] == '\n' || p_[i_] == '\r')) ++i_;
  }

  bool Literal(const char* word) {
    std::size_t k = 0;
    for (; word[k]; ++k)
      if (i_ + k >= n_ || p_[i_ + k] != static_cast<unsigned char>(word[k]))
        return Fail("invalid literal");
    i_ += k;
    return true;
  }

  bool ParseValue(JsonValue* out, int depth) {
    if (i_ >= n_) return Fail("unexpected end of input");
    switch (p_[i_]) {
      case '{': return ParseObject(out, depth + 1);
      case '[': return ParseArray(out, depth + 1);
      case '"': out->type = JsonValue::kString; return ParseString(&out->text);
      case 't': out->type = JsonValue::kBool; out->boolValue = true; return Literal("true");
      case 'f': out->type = JsonValue::kBool; out->boolValue = false; return Literal("false");
      case 'n': out->type = JsonValue::kNull; return Literal("null");
      default:
        if (p_[i_] == '-' || (p_[i_] >= '0' && p_[i_] <= '9')) return ParseNumber(out);
        return Fail("unexpected character");
    }
  }

  bool ParseObject(JsonValue* out, int depth) {
    if (depth > kJsonMaxDepth) return Fail("nesting too deep");
    out->type = JsonValue::kObject;
    ++i_;
    SkipSpace();
    if (i_ < n_ && p_[i_] == '}') {
      ++i_;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (i_ >= n_ || p_[i_] != '"') return Fail("expected a member name");
      std::string name;
      if (!ParseString(&name)) return false;
      if (out->Find(name)) return Fail("duplicate member name");
      SkipSpace();
      if (i_ >= n_ || p_[i_] != ':') return Fail("expected ':'");
      ++i_;
      SkipSpace();
      out->members.emplace_back(std::move(name), JsonValue());
      if (!ParseValue(&out->members.back().second, depth)) return false;
      SkipSpace();
      if (i_ < n_ && p_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < n_ && p_[i_] == '}') {
        ++i_;
        return true;
      }
      return Fail("expected ',' or '}'");
    }
  }

  bool ParseArray(JsonValue* out, int depth) {
    if (depth > kJsonMaxDepth) return Fail("nesting too deep");
    out->type = JsonValue::kArray;
    ++i_;
    SkipSpace();
    if (i_ < n_ && p_[i_] == ']') {
      ++i_;
      return true;
    }
    for (;;) {
      SkipSpace();
      out->items.emplace_back();
      if (!ParseValue(&out->items.back(), depth)) return false;
      SkipSpace();
      if (i_ < n_ && p_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < n_ && p_[i_] == ']') {
        ++i_;
        return true;
      }
      return Fail("expected ',' or ']'");
    }
  }

  bool Digits() {
    std::size_t start = i_;
    while (i_ < n_ && p_[i_] >= '0' && p_[i_] <= '9') ++i_;
    return i_ > start;
  }

  bool ParseNumber(JsonValue* out) {
    std::size_t start = i_;
    if (p_[i_] == '-') ++i_;
    if (i_ < n_ && p_[i_] == '0') {
      ++i_;
    } else if (!Digits()) {
      return Fail("invalid number");
    }
    if (i_ < n_ && p_[i_] == '.') {
      ++i_;
      if (!Digits()) return Fail("invalid number");
    }
    if (i_ < n_ && (p_[i_] == 'e' || p_[i_] == 'E')) {
      ++i_;
      if (i_ < n_ && (p_[i_] == '+' || p_[i_] == '-')) ++i_;
      if (!Digits()) return Fail("invalid number");
    }
    const char* first = reinterpret_cast<const char*>(p_ + start);
    const char* last = reinterpret_cast<const char*>(p_ + i_);
    double value = 0;
    std::from_chars_result r = std::from_chars(first, last, value);
    if (r.ec == std::errc::result_out_of_range) {
      // Grammatically fine but beyond a double: an overflow becomes an
      // infinity, an underflow zero, as JavaScript reads them.
      bool negative = *first == '-';
      value = DecimalMagnitude(first, last) > 0 ? (negative ? -HUGE_VAL : HUGE_VAL)
                                                : (negative ? -0.0 : 0.0);
    } else if (r.ec != std::errc() || r.ptr != last) {
      i_ = start;
      return Fail("invalid number");
    }
    out->type = JsonValue::kNumber;
    out->number = value;
    return true;
  }

  bool Hex4(unsigned* unit) {
    if (n_ - i_ < 4) return Fail("truncated \\u escape");
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      unsigned char c = p_[i_ + k];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else return Fail("invalid \\u escape");
    }
    i_ += 4;
    *unit = v;
    return true;
  }

  bool ParseString(std::string* out) {
    ++i_;  // opening quote
    for (;;) {
      if (i_ >= n_) return Fail("unterminated string");
      unsigned char c = p_[i_];
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return Fail("control character in string");
      if (c == '\\') {
        if (++i_ >= n_) return Fail("unterminated string");
        unsigned char e = p_[i_++];
        switch (e) {
          case '"': *out += '"'; break;
          case '\\': *out += '\\'; break;
          case '/': *out += '/'; break;
          case 'b': *out += '\b'; break;
          case 'f': *out += '\f'; break;
          case 'n': *out += '\n'; break;
          case 'r': *out += '\r'; break;
          case 't': *out += '\t'; break;
          case 'u': {
            unsigned unit;
            if (!Hex4(&unit)) return false;
            char32_t cp = unit;
            if (unit >= 0xDC00 && unit <= 0xDFFF) return Fail("lone low surrogate");
            if (unit >= 0xD800 && unit <= 0xDBFF) {
              if (n_ - i_ < 2 || p_[i_] != '\\' || p_[i_ + 1] != 'u')
                return Fail("lone high surrogate");
              i_ += 2;
              unsigned low;
              if (!Hex4(&low)) return false;
              if (low < 0xDC00 || low > 0xDFFF) return Fail("lone high surrogate");
              cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendUtf8(*out, cp);
            break;
          }
          default:
            --i_;
            return Fail("invalid escape");
        }
        continue;
      }
      char32_t cp;
      std::size_t len = Utf8SequenceLength(p_ + i_, n_ - i_, &cp);
      if (len == 0) return Fail("invalid UTF-8");
      out->append(reinterpret_cast<const char*>(p_ + i_), len);
      i_ += len;
    }
  }

  const unsigned char* p_;
  std::size_t n_;
  std::size_t i_ = 0;
  std::string error_;
  std::size_t errorAt_ = 0;
};

}  // namespace

JsonValue::~JsonValue() {
  if (!text.empty()) SecureWipe(&text[0], text.size());
}

const JsonValue* JsonValue::Find(const std::string& name) const {
  if (type != kObject) return nullptr;
  for (const auto& m : members)
    if (m.first == name) return &m.second;
  return nullptr;
}

bool ParseJson(const char* text, std::size_t length, JsonValue* out, std::string* error) {
  *out = JsonValue();
  if (!text && length) {
    if (error) *error = "no input";
    return false;
  }
  Parser parser(text, length);
  return parser.Parse(out, error);
}

void AppendJsonString(std::string& out, const std::string& utf8) {
  out += '"';
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

bool IsValidUtf8(const char* bytes, std::size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < length;) {
    char32_t cp;
    std::size_t len = Utf8SequenceLength(p + i, length - i, &cp);
    if (!len) return false;
    i += len;
  }
  return true;
}

std::string ToValidUtf8(const std::string& bytes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp;
    std::size_t len = Utf8SequenceLength(p + i, bytes.size() - i, &cp);
    if (len) {
      out.append(bytes, i, len);
      i += len;
    } else {
      AppendUtf8(out, Win1250ToUnicode(p[i]));
      ++i;
    }
  }
  return out;
}

}  // namespace quenta
