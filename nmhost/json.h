// A small, strict JSON reader and writer for the native messaging protocol.
//
// Reading follows RFC 8259 to the letter: one value, nothing but white space
// around it, no comments, no trailing commas, no leading zeros, no NaN or
// Infinity literals. Strings must be valid UTF-8 (no overlong forms, no
// encoded surrogates); \u escapes are decoded, a surrogate pair becomes one
// character and a lone surrogate is an error. Duplicate member names in an
// object are an error. Nesting is limited so that hostile input cannot
// exhaust the stack.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace quenta {

struct JsonValue {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = kNull;
  bool boolValue = false;
  double number = 0;
  std::string text;  // kString: UTF-8 bytes, may contain zero bytes
  std::vector<JsonValue> items;                             // kArray
  std::vector<std::pair<std::string, JsonValue>> members;  // kObject, in order

  JsonValue() = default;
  JsonValue(const JsonValue&) = default;
  JsonValue(JsonValue&&) noexcept = default;
  JsonValue& operator=(const JsonValue&) = default;
  JsonValue& operator=(JsonValue&&) noexcept = default;
  // Request texts may carry key material or secrets: strings are wiped.
  ~JsonValue();

  // The member with that name, or null (also when this is not an object).
  const JsonValue* Find(const std::string& name) const;
};

constexpr int kJsonMaxDepth = 64;

// Parses text[0..length). On failure returns false and sets *error to a
// short description with the byte offset.
bool ParseJson(const char* text, std::size_t length, JsonValue* out, std::string* error);

// Appends a JSON string literal (with its quotes). `utf8` must be valid
// UTF-8 (see ToValidUtf8); quotes, backslashes and control characters are
// escaped.
void AppendJsonString(std::string& out, const std::string& utf8);

// True when the bytes are valid UTF-8 by the rules above.
bool IsValidUtf8(const char* bytes, std::size_t length);

// The bytes as valid UTF-8: well-formed UTF-8 sequences are kept, and every
// byte that is not part of one is read as a Windows-1250 character. Texts
// from the page arrive as UTF-8 and go back unchanged; texts the engine made
// in its own code page come out readable.
std::string ToValidUtf8(const std::string& bytes);

}  // namespace quenta
