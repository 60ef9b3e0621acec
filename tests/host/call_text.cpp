#include "tests/host/call_text.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace quenta_host {

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Parse(CallText* call, std::string* error) {
    SkipSpace();
    size_t start = i_;
    while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '_' ||
                              s_[i_] == '$'))
      ++i_;
    if (i_ == start || std::isdigit(static_cast<unsigned char>(s_[start])))
      return Fail("expected a method name", error);
    call->method = s_.substr(start, i_ - start);
    call->args.clear();
    SkipSpace();
    if (!Eat('(')) return Fail("expected '('", error);
    SkipSpace();
    if (!Eat(')')) {
      for (;;) {
        Value v;
        if (!ParseLiteral(&v, error)) return false;
        call->args.push_back(std::move(v));
        SkipSpace();
        if (Eat(')')) break;
        if (!Eat(',')) return Fail("expected ',' or ')'", error);
        SkipSpace();
      }
    }
    SkipSpace();
    if (Eat(';')) SkipSpace();
    if (i_ != s_.size()) return Fail("unexpected text after the call", error);
    return true;
  }

 private:
  bool Fail(const std::string& what, std::string* error) {
    if (error) *error = what + " at offset " + std::to_string(i_);
    return false;
  }
  void SkipSpace() {
    while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
  }
  bool Eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool EatWord(const char* w) {
    size_t n = std::char_traits<char>::length(w);
    if (s_.compare(i_, n, w) != 0) return false;
    if (i_ + n < s_.size() &&
        (std::isalnum(static_cast<unsigned char>(s_[i_ + n])) || s_[i_ + n] == '_'))
      return false;
    i_ += n;
    return true;
  }

  bool ParseLiteral(Value* v, std::string* error) {
    if (i_ >= s_.size()) return Fail("expected a value", error);
    char c = s_[i_];
    if (c == '"') return ParseString(v, error);
    if (c == '-' || c == '+' || c == '.' || std::isdigit(static_cast<unsigned char>(c)))
      return ParseNumber(v, error);
    if (EatWord("true")) { *v = Value(true); return true; }
    if (EatWord("false")) { *v = Value(false); return true; }
    if (EatWord("null")) { *v = Value(nullptr); return true; }
    if (EatWord("undefined")) { *v = Value(); return true; }
    return Fail("expected a value", error);
  }

  bool ParseNumber(Value* v, std::string* error) {
    size_t start = i_;
    if (s_[i_] == '-' || s_[i_] == '+') ++i_;
    bool digits = false, fraction = false;
    while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) { ++i_; digits = true; }
    if (i_ < s_.size() && s_[i_] == '.') {
      fraction = true;
      ++i_;
      while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) { ++i_; digits = true; }
    }
    if (!digits) return Fail("malformed number", error);
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      fraction = true;
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '-' || s_[i_] == '+')) ++i_;
      size_t exp = i_;
      while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
      if (i_ == exp) return Fail("malformed number", error);
    }
    std::string text = s_.substr(start, i_ - start);
    if (!fraction) {
      errno = 0;
      long long n = std::strtoll(text.c_str(), nullptr, 10);
      if (errno == 0 && n >= INT32_MIN && n <= INT32_MAX) {
        *v = Value(static_cast<int>(n));
        return true;
      }
    }
    *v = Value(std::strtod(text.c_str(), nullptr));
    return true;
  }

  static void AppendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | (cp >> 6));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out += static_cast<char>(0xE0 | (cp >> 12));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (cp >> 18));
      *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool Hex(size_t count, uint32_t* value) {
    if (i_ + count > s_.size()) return false;
    uint32_t v = 0;
    for (size_t k = 0; k < count; ++k) {
      char c = s_[i_ + k];
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      v = v * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                             ? c - '0'
                                             : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    i_ += count;
    *value = v;
    return true;
  }

  bool ParseString(Value* v, std::string* error) {
    ++i_;  // opening quote
    std::string out;
    for (;;) {
      if (i_ >= s_.size()) return Fail("unterminated string", error);
      char c = s_[i_++];
      if (c == '"') break;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return Fail("unterminated string", error);
      char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case '\'': out += '\''; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case '0': out += '\0'; break;
        case 'x': {
          // \xHH is a code point, as in JavaScript; the page hands it over
          // as UTF-8.
          uint32_t b;
          if (!Hex(2, &b)) return Fail("bad \\x escape", error);
          AppendUtf8(b, &out);
          break;
        }
        case 'u': {
          uint32_t cp;
          if (!Hex(4, &cp)) return Fail("bad \\u escape", error);
          if (cp >= 0xD800 && cp <= 0xDBFF && s_.compare(i_, 2, "\\u") == 0) {
            size_t save = i_;
            i_ += 2;
            uint32_t low;
            if (Hex(4, &low) && low >= 0xDC00 && low <= 0xDFFF)
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            else
              i_ = save;
          }
          // A lone surrogate cannot travel as UTF-8; browsers substitute.
          if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
          AppendUtf8(cp, &out);
          break;
        }
        default: return Fail(std::string("unknown escape \\") + e, error);
      }
    }
    *v = Value(std::move(out));
    return true;
  }

  const std::string& s_;
  size_t i_ = 0;
};

}  // namespace

bool ParseCallText(const std::string& text, CallText* call, std::string* error) {
  return Parser(text).Parse(call, error);
}

}  // namespace quenta_host
