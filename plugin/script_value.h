// Transport-neutral script values: what a page passes to a method and what
// it gets back. The NPAPI layer and the native messaging host both convert
// their own wire values to these, so the method table, the argument checks
// and conversions and the result strings exist once.
#pragma once

#include <cstdint>
#include <string>

namespace quenta {

struct ScriptValue {
  enum Type { kVoid, kNull, kBool, kInt, kDouble, kString, kObject };
  Type type = kVoid;
  bool boolValue = false;
  int32_t intValue = 0;
  double doubleValue = 0;
  std::string stringValue;  // bytes as the page sent them (UTF-8 from a browser)

  static ScriptValue Void() { return ScriptValue(); }
  static ScriptValue Null() { ScriptValue v; v.type = kNull; return v; }
  static ScriptValue Bool(bool b) { ScriptValue v; v.type = kBool; v.boolValue = b; return v; }
  static ScriptValue Int(int32_t i) { ScriptValue v; v.type = kInt; v.intValue = i; return v; }
  static ScriptValue Double(double d) { ScriptValue v; v.type = kDouble; v.doubleValue = d; return v; }
  static ScriptValue String(std::string s) { ScriptValue v; v.type = kString; v.stringValue = std::move(s); return v; }
  static ScriptValue Object() { ScriptValue v; v.type = kObject; return v; }
};

// What a method call gives back to the page.
struct ScriptResult {
  enum Kind {
    kException,  // the call fails: the page sees a script exception
    kVoid,       // the result is set to void (undefined)
    kUntouched,  // the result is left as the caller initialised it
    kText,       // the result is the text
  };
  Kind kind = kException;
  std::string text;

  static ScriptResult Exception() { return ScriptResult(); }
  static ScriptResult VoidResult() { ScriptResult r; r.kind = kVoid; return r; }
  static ScriptResult Untouched() { ScriptResult r; r.kind = kUntouched; return r; }
  static ScriptResult Text(std::string t) { ScriptResult r; r.kind = kText; r.text = std::move(t); return r; }
};

}  // namespace quenta
