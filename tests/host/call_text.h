// The call texts the npapi-host program takes: a method name and a list of
// JavaScript literals, e.g. SetKey("k1", "4B31", "41", 0).
#pragma once

#include <string>
#include <vector>

#include "tests/host/browser_host.h"

namespace quenta_host {

struct CallText {
  std::string method;
  std::vector<Value> args;
};

// Parses one call. Literals: double-quoted strings (escapes \" \\ \/ \' \n
// \r \t \b \f \0 \xHH \uXXXX, surrogate pairs joined, the result UTF-8),
// integers (int32 when they fit, otherwise doubles), doubles, true, false,
// null, undefined. On failure returns false and describes the problem.
bool ParseCallText(const std::string& text, CallText* call, std::string* error);

}  // namespace quenta_host
