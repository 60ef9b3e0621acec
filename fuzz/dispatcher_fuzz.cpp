// The method dispatcher as a page drives it: a run is a sequence of up to
// 16 calls on one fresh dispatcher (so SetKey, SetKeyLocation and the login
// challenge leave state for the calls after them). Each call is
//
//   method     one byte: below 0xF0 the method with that number (modulo the
//              method count); otherwise a name (one-byte length, bytes)
//              looked up as a page's call would be, and skipped when it is
//              not a method
//   answers    how the user answers the dialogs and message boxes of this
//              call (FuzzUi::ReadAnswers in page_env.h)
//   arguments  one byte: with bit 7 set, exactly what the method takes (a
//              string for each string slot, any value for each integer
//              slot); otherwise (byte & 7) values of any type
//
// A value is a type byte and its payload: void, null, a boolean, a 32-bit
// integer, a double from a table of edge cases (NaN, infinities, the 32-bit
// limits and just past them, huge, tiny) or from its eight bytes, a string
// (any bytes: zero bytes, invalid UTF-8), a long run of one byte, an object.
//
// Checked after every call: wrong counts and types are script exceptions
// and nothing else is; every other result has its documented form (a code
// first); no dialog is left open and no key is left selected; only SetKey
// and RemoveKey change the key list, by at most one entry, as their result
// says; a path set with SetKeyLocation is read back by GetKeyLocation; a
// page event names a listed key and escapes everything in its address.
//
// No display and no devices: see page_env.h.
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/page_env.h"
#include "plugin/call_js.h"
#include "plugin/method_dispatcher.h"
#include "plugin/method_table.h"
#include "plugin/script_value.h"

namespace {

using quenta::ArgKind;
using quenta::MethodEntry;
using quenta::MethodId;
using quenta::ScriptResult;
using quenta::ScriptValue;
using quenta_fuzz::InputReader;

constexpr int kMaxCalls = 16;

// QUENTA_FUZZ_TRACE=1 prints each call and its result (for replaying one
// input by hand).
bool Tracing() {
  static const bool on = [] {
    const char* v = std::getenv("QUENTA_FUZZ_TRACE");
    return v && *v && *v != '0';
  }();
  return on;
}

std::string Shorten(const std::string& s) {
  std::string out;
  for (unsigned char c : s.substr(0, 60)) {
    if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
    else out += "\\x" + std::string(1, "0123456789ABCDEF"[c >> 4]) + "0123456789ABCDEF"[c & 15];
  }
  if (s.size() > 60) out += "...(" + std::to_string(s.size()) + " bytes)";
  return out;
}

void Trace(const MethodEntry& entry, const std::vector<ScriptValue>& args, const ScriptResult& r,
           int dialogs) {
  if (!Tracing()) return;
  std::string line = std::string(entry.name) + "(";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const ScriptValue& a = args[i];
    if (i) line += ", ";
    switch (a.type) {
      case ScriptValue::kVoid: line += "undefined"; break;
      case ScriptValue::kNull: line += "null"; break;
      case ScriptValue::kBool: line += a.boolValue ? "true" : "false"; break;
      case ScriptValue::kInt: line += std::to_string(a.intValue); break;
      case ScriptValue::kDouble: line += std::to_string(a.doubleValue) + "d"; break;
      case ScriptValue::kString: line += "\"" + Shorten(a.stringValue) + "\""; break;
      case ScriptValue::kObject: line += "{}"; break;
    }
  }
  static const char* const kKinds[] = {"exception", "void", "untouched", "text"};
  line += ") -> " + std::string(kKinds[r.kind]);
  if (r.kind == ScriptResult::kText) line += " \"" + Shorten(r.text) + "\"";
  std::fprintf(stderr, "%s  [%d dialogs]\n", line.c_str(), dialogs);
}

const double kEdgeDoubles[] = {
    std::numeric_limits<double>::quiet_NaN(),
    -std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    0.0, -0.0, 0.5, -0.5, 0.9999999999999999, -1.5,
    2147483647.0, 2147483647.5, 2147483648.0,
    -2147483648.0, -2147483648.5, -2147483649.0,
    255.0, 256.0, 9007199254740993.0, 1e19, -1e19,
    1e300, -1e300,
    std::numeric_limits<double>::max(),
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::denorm_min(),
};

// A string: below 0xE0 the byte is the length; up to 0xEF a two-byte
// length follows; from 0xF0 a run of one byte, (U16 + 1) * (low nibble + 1)
// long (up to about 1 MiB).
std::string ReadString(InputReader& in) {
  const std::uint8_t mode = in.Byte();
  if (mode < 0xE0) return in.Bytes(mode);
  if (mode < 0xF0) return in.String();
  const char c = static_cast<char>(in.Byte());
  const std::size_t count = (static_cast<std::size_t>(in.U16()) + 1) * ((mode & 0x0F) + 1);
  return std::string(count, c);
}

ScriptValue ReadValue(InputReader& in) {
  switch (in.Byte() % 8) {
    case 0: return ScriptValue::Void();
    case 1: return ScriptValue::Null();
    case 2: return ScriptValue::Bool(in.Byte() & 1);
    case 3: return ScriptValue::Int(static_cast<std::int32_t>(in.U32()));
    case 4: return ScriptValue::Double(kEdgeDoubles[in.Byte() % std::size(kEdgeDoubles)]);
    case 5: {
      const std::uint64_t bits = in.U64();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return ScriptValue::Double(d);
    }
    case 6: return ScriptValue::String(ReadString(in));
    default: return ScriptValue::Object();
  }
}

std::vector<ScriptValue> ReadArguments(InputReader& in, const MethodEntry& entry) {
  const std::uint8_t shape = in.Byte();
  std::vector<ScriptValue> args;
  if ((shape & 0x80) && entry.argCount >= 0) {
    for (int i = 0; i < entry.argCount; ++i)
      args.push_back(entry.kinds[i] == ArgKind::kString ? ScriptValue::String(ReadString(in))
                                                        : ReadValue(in));
  } else {
    for (int i = shape & 7; i > 0; --i) args.push_back(ReadValue(in));
  }
  return args;
}

bool ArgumentsFit(const MethodEntry& entry, const std::vector<ScriptValue>& args) {
  if (entry.argCount < 0) return true;
  if (static_cast<int>(args.size()) != entry.argCount) return false;
  for (int i = 0; i < entry.argCount; ++i)
    if (entry.kinds[i] == ArgKind::kString && args[i].type != ScriptValue::kString) return false;
  return true;
}

// "N" or "N|..." with N a decimal code.
bool CodeFirst(const std::string& text, int* code) {
  std::size_t end = text.find('|');
  if (end == std::string::npos) end = text.size();
  std::size_t i = 0;
  if (i < end && text[i] == '-') ++i;
  if (i == end || end - i > 6) return false;
  for (std::size_t k = i; k < end; ++k)
    if (text[k] < '0' || text[k] > '9') return false;
  *code = std::stoi(text.substr(0, end));
  return true;
}

std::string CString(const ScriptValue& v) { return std::string(v.stringValue.c_str()); }

std::string UpperHex(const std::string& bytes) {
  std::string hex;
  FUZZ_CHECK(quenta::HexEncode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                               hex) == 0 || bytes.empty());
  return hex;
}

// The body of one quoted argument of the event address: plain characters
// and \uXXXX escapes only.
bool OnlyPlainOrEscaped(const std::string& s) {
  static const char kPlain[] = " -_.,:;!?()[]@*+=~^$#";
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) continue;
    if (c != '\0' && std::strchr(kPlain, c)) continue;
    if (c != '\\' || i + 5 >= s.size() || s[i + 1] != 'u') return false;
    for (int k = 2; k < 6; ++k)
      if (!std::isxdigit(static_cast<unsigned char>(s[i + k]))) return false;
    i += 5;
  }
  return true;
}

class EventChecker : public quenta::IPageTarget {
 public:
  explicit EventChecker(quenta::CMethodDispatcher& d) : d_(d) {}
  void DeliverWKPEvent(const std::string& reserved, const std::string& keyName,
                       const std::string& label, int count) override {
    // Raised for the key in use after a wrong password.
    const quenta::CKeyStorage* key = d_.Engine().FindKey(keyName.c_str());
    FUZZ_CHECK(key != nullptr && key->name == keyName);
    FUZZ_CHECK(key->label == label);
    FUZZ_CHECK(count >= 1 && count == key->failures);
    const std::string url = quenta::CCallJS::BuildWKPEventAddress(reserved, keyName, label, count);
    const std::string head = "javascript:componentWKPEvent( '";
    const std::string tail = "','" + std::to_string(count) + "' )";
    FUZZ_CHECK(url.compare(0, head.size(), head) == 0);
    FUZZ_CHECK(url.size() >= head.size() + tail.size() &&
               url.compare(url.size() - tail.size(), tail.size(), tail) == 0);
    const std::string inner = url.substr(head.size(), url.size() - head.size() - tail.size());
    // The three escaped texts, separated by the two "','" the builder wrote.
    std::size_t first = inner.find("','");
    FUZZ_CHECK(first != std::string::npos);
    std::size_t second = inner.find("','", first + 3);
    FUZZ_CHECK(second != std::string::npos && inner.find("','", second + 3) == std::string::npos);
    FUZZ_CHECK(OnlyPlainOrEscaped(inner.substr(0, first)));
    FUZZ_CHECK(OnlyPlainOrEscaped(inner.substr(first + 3, second - first - 3)));
    FUZZ_CHECK(OnlyPlainOrEscaped(inner.substr(second + 3)));
    ++events;
  }
  int events = 0;

 private:
  quenta::CMethodDispatcher& d_;
};

// What the page's calls are known to have stored as key file locations in
// this run. Calls that use keys may change or empty them; the record is
// then no longer known.
struct Locations {
  bool known = true;
  std::map<std::string, std::string> paths;
};

// The checks of one call's result that need nothing but the call.
void CheckResult(const MethodEntry& entry, const std::vector<ScriptValue>& args,
                 const ScriptResult& r) {
  if (!ArgumentsFit(entry, args)) {
    FUZZ_CHECK(r.kind == ScriptResult::kException);
    return;
  }
  switch (entry.id) {
    case MethodId::kRegisterCert:
      FUZZ_CHECK(r.kind == ScriptResult::kUntouched);
      return;
    case MethodId::kSetLanguage:
      FUZZ_CHECK(r.kind == ScriptResult::kVoid);
      return;
    case MethodId::kTestComponent:
      FUZZ_CHECK(r.kind == ScriptResult::kText && r.text.rfind("OK|", 0) == 0);
      return;
    default:
      break;
  }
  FUZZ_CHECK(r.kind == ScriptResult::kText);
  int code = -1;
  FUZZ_CHECK(CodeFirst(r.text, &code));
  // Nothing calls in while a call runs: the busy answer never comes.
  FUZZ_CHECK(code != quenta::kErrBusy);
  if (entry.id == MethodId::kSetSignDialogType) FUZZ_CHECK(r.text == "0");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quenta_fuzz::PageEnvironment::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quenta_fuzz::PageEnvironment::Get().Reset();
  quenta_fuzz::FuzzUi ui;
  quenta::CMethodDispatcher d;
  EventChecker events(d);
  d.SetPageTarget(&events);
  Locations locations;

  InputReader in(data, size);
  for (int call = 0; call < kMaxCalls && !in.Empty(); ++call) {
    MethodId id;
    const std::uint8_t selector = in.Byte();
    if (selector >= 0xF0) {
      const std::string name = in.ShortString();
      bool listed = false;
      for (int m = 0; m < quenta::kMethodCount; ++m)
        listed = listed || name == quenta::GetMethodEntry(static_cast<MethodId>(m)).name;
      const bool found = quenta::FindMethodByName(name, &id);
      FUZZ_CHECK(found == listed);
      if (!found) continue;
      FUZZ_CHECK(name == quenta::GetMethodEntry(id).name);
    } else {
      id = static_cast<MethodId>(selector % quenta::kMethodCount);
    }
    const MethodEntry& entry = quenta::GetMethodEntry(id);
    FUZZ_CHECK(entry.id == id);
    ui.ReadAnswers(in);
    const std::vector<ScriptValue> args = ReadArguments(in, entry);

    const std::size_t keysBefore = d.Engine().Keys().size();
    const int dialogsBefore = ui.DialogsRun();
    const ScriptResult r = d.Call(id, args);
    Trace(entry, args, r, ui.DialogsRun() - dialogsBefore);
    CheckResult(entry, args, r);
    FUZZ_CHECK(ui.OpenDialogs() == 0);
    FUZZ_CHECK(d.Engine().CurrentKey() == nullptr);

    const std::size_t keysAfter = d.Engine().Keys().size();
    const bool fits = ArgumentsFit(entry, args);
    if (fits && id == MethodId::kSetKey) {
      const quenta::CKeyStorage* key = d.Engine().FindKey(args[0].stringValue.c_str());
      if (r.text == "0") {
        FUZZ_CHECK(key != nullptr);
        FUZZ_CHECK(key->kind == static_cast<std::uint8_t>(quenta::ConvertIntegerArgument(args[3]) & 0xFF));
        FUZZ_CHECK(keysAfter == keysBefore || keysAfter == keysBefore + 1);
      } else {
        FUZZ_CHECK(keysAfter == keysBefore);
      }
    } else if (fits && id == MethodId::kRemoveKey) {
      FUZZ_CHECK(d.Engine().FindKey(args[0].stringValue.c_str()) == nullptr);
      FUZZ_CHECK(keysAfter == (r.text == "0" ? keysBefore - 1 : keysBefore));
    } else {
      FUZZ_CHECK(keysAfter == keysBefore);
    }

    if (!fits) continue;
    switch (id) {
      case MethodId::kSetKeyLocation:
        if (r.text == "0") {
          quenta::SecureBytes path;
          FUZZ_CHECK(quenta::HexDecode(args[1].stringValue.c_str(), path) == 0);
          std::string text(reinterpret_cast<const char*>(path.data()), path.size());
          locations.paths[CString(args[0])] = text.c_str();
        }
        break;
      case MethodId::kChangeKeyLocation:
        if (r.text.rfind("0|", 0) == 0) {
          quenta::SecureBytes path;
          FUZZ_CHECK(quenta::HexDecode(r.text.c_str() + 2, path) == 0);
          locations.paths[CString(args[0])] =
              std::string(reinterpret_cast<const char*>(path.data()), path.size());
        }
        break;
      case MethodId::kGetKeyLocation:
        if (locations.known) {
          // The stored string and its terminating zero, when that fits the
          // 260-byte location buffer; 509 otherwise.
          auto it = locations.paths.find(CString(args[0]));
          if (it != locations.paths.end() && it->second.size() + 1 <= 260)
            FUZZ_CHECK(r.text == "0|" + UpperHex(it->second + std::string(1, '\0')));
          else
            FUZZ_CHECK(r.text == "509");
        }
        break;
      case MethodId::kTestComponent: case MethodId::kSetKey: case MethodId::kRemoveKey:
      case MethodId::kAddCardModel: case MethodId::kSetSignDialogType:
      case MethodId::kSetLanguage: case MethodId::kShowKeyboard: case MethodId::kRegisterCert:
        break;
      default:
        locations.known = false;
        break;
    }
  }
  d.SetPageTarget(nullptr);
  return 0;
}
