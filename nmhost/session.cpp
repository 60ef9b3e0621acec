#include "nmhost/session.h"

#include <cmath>
#include <cstdio>
#include <new>

#include "engine/encoding.h"
#include "engine/secure.h"
#include "nmhost/framing.h"
#include "nmhost/json.h"

namespace quenta {

namespace {

// Largest integer a double (and so a JavaScript number) holds exactly.
constexpr double kMaxSafeInteger = 9007199254740991.0;

// Reads a request id: an integral JSON number a JavaScript number holds
// exactly. Written back as plain decimal digits.
bool IdText(const JsonValue* id, std::string* out) {
  if (!id || id->type != JsonValue::kNumber) return false;
  double v = id->number;
  if (!std::isfinite(v) || std::trunc(v) != v || std::fabs(v) > kMaxSafeInteger) return false;
  *out = std::to_string(static_cast<long long>(v));
  return true;
}

// A page-supplied name quoted in an error message, cut short so an absurd
// name cannot blow up the reply.
std::string QuoteForMessage(const std::string& utf8) {
  const std::size_t kMax = 64;
  if (utf8.size() <= kMax) return "\"" + utf8 + "\"";
  std::size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
  return "\"" + utf8.substr(0, cut) + "...\"";
}

std::string ErrorBody(const std::string& idText, const std::string& message) {
  std::string body = "{\"id\":" + idText + ",\"error\":";
  AppendJsonString(body, ToValidUtf8(message));
  body += '}';
  return body;
}

// Wipes the converted argument copies whatever happens.
struct WipedArgs {
  std::vector<ScriptValue> values;
  ~WipedArgs() {
    for (ScriptValue& v : values)
      if (!v.stringValue.empty()) SecureWipe(&v.stringValue[0], v.stringValue.size());
  }
};

// A built reply, wiped after sending: a result may be a typed secret
// (the on-screen keyboard's text).
struct WipedText {
  std::string text;
  ~WipedText() {
    if (!text.empty()) SecureWipe(&text[0], text.size());
  }
};

}  // namespace

ScriptValue ArgumentFromJson(const JsonValue& v) {
  switch (v.type) {
    case JsonValue::kNull:
      return ScriptValue::Null();
    case JsonValue::kBool:
      return ScriptValue::Bool(v.boolValue);
    case JsonValue::kNumber: {
      double d = v.number;
      if (std::isfinite(d) && std::trunc(d) == d && d >= -2147483648.0 && d <= 2147483647.0)
        return ScriptValue::Int(static_cast<int32_t>(d));
      return ScriptValue::Double(d);
    }
    case JsonValue::kString:
      return ScriptValue::String(v.text);
    case JsonValue::kObject: {
      const JsonValue* u = v.Find("undefined");
      if (v.members.size() == 1 && u && u->type == JsonValue::kBool && u->boolValue)
        return ScriptValue::Void();
      return ScriptValue::Object();
    }
    case JsonValue::kArray:
      return ScriptValue::Object();
  }
  return ScriptValue::Void();
}

std::string ExceptionReason(MethodId method, const std::vector<ScriptValue>& args) {
  const MethodEntry& entry = GetMethodEntry(method);
  std::string name = entry.name;
  if (entry.argCount >= 0) {
    if (static_cast<int>(args.size()) != entry.argCount)
      return name + ": takes " + std::to_string(entry.argCount) + " argument" +
             (entry.argCount == 1 ? "" : "s") + ", " + std::to_string(args.size()) + " given";
    for (int i = 0; i < entry.argCount; ++i)
      if (entry.kinds[i] == ArgKind::kString && args[i].type != ScriptValue::kString)
        return name + ": argument " + std::to_string(i + 1) + " must be a string";
  }
  return name + ": the call failed";
}

std::string ReplyBody(const std::string& idText, const char* member, const std::string& utf8) {
  std::string body;
  body.reserve(utf8.size() + idText.size() + 32);
  body = "{\"id\":" + idText + ",\"" + member + "\":";
  AppendJsonString(body, utf8);
  body += '}';
  if (body.size() <= kMaxReplyBytes) return body;
  std::size_t size = body.size();
  SecureWipe(&body[0], body.size());
  return ErrorBody(idText, "reply too large: " + std::to_string(size) +
                               " bytes, the browser takes at most " +
                               std::to_string(kMaxReplyBytes));
}

CNativeSession::CNativeSession(IMessageWriter& out)
    : out_(out), dispatcher_(new CMethodDispatcher()) {
  dispatcher_->SetPageTarget(this);
}

CNativeSession::~CNativeSession() { dispatcher_->SetPageTarget(nullptr); }

bool CNativeSession::Send(const std::string& body) {
  if (broken_) return false;
  if (!out_.WriteMessage(body)) broken_ = true;
  return !broken_;
}

bool CNativeSession::SendUndefined(const std::string& idText) {
  return Send("{\"id\":" + idText + ",\"undefined\":true}");
}

bool CNativeSession::SendStreamError(const std::string& message) {
  return Send(ErrorBody("null", message));
}

bool CNativeSession::HandleRequest(const char* body, std::size_t length) {
  if (broken_) return false;
  try {
    JsonValue request;
    std::string error;
    if (!ParseJson(body, length, &request, &error))
      return Send(ErrorBody("null", "malformed JSON: " + error));
    if (request.type != JsonValue::kObject)
      return Send(ErrorBody("null", "a request must be a JSON object"));

    std::string idText;
    if (!IdText(request.Find("id"), &idText))
      return Send(ErrorBody("null", "the request id must be an integer"));

    const JsonValue* method = request.Find("method");
    if (!method || method->type != JsonValue::kString)
      return Send(ErrorBody(idText, "the method must be a string"));
    MethodId id;
    if (!FindMethodByName(method->text, &id))
      return Send(ErrorBody(idText, "unknown method " + QuoteForMessage(method->text)));

    const JsonValue* args = request.Find("args");
    if (args && args->type != JsonValue::kArray)
      return Send(ErrorBody(idText, "args must be an array"));

    WipedArgs converted;
    if (args) {
      converted.values.reserve(args->items.size());
      for (const JsonValue& a : args->items) converted.values.push_back(ArgumentFromJson(a));
    }

    dispatcher_->SetPageTarget(this);
    ScriptResult r = dispatcher_->Call(id, converted.values);
    WipedText text;
    text.text.swap(r.text);

    switch (r.kind) {
      case ScriptResult::kText: {
        WipedText utf8, reply;
        utf8.text = ToValidUtf8(text.text);
        reply.text = ReplyBody(idText, "result", utf8.text);
        return Send(reply.text);
      }
      case ScriptResult::kVoid:
      case ScriptResult::kUntouched:
        return SendUndefined(idText);
      case ScriptResult::kException:
        return Send(ReplyBody(idText, "exception", ExceptionReason(id, converted.values)));
    }
    return Send(ErrorBody(idText, "internal error"));
  } catch (const std::bad_alloc&) {
    return Send(ErrorBody("null", "out of memory"));
  } catch (...) {
    return Send(ErrorBody("null", "internal error"));
  }
}

void CNativeSession::DeliverWKPEvent(const std::string& reserved, const std::string& keyName,
                                     const std::string& label, int count) {
  try {
    std::string body = "{\"event\":\"componentWKPEvent\",\"args\":[";
    AppendJsonString(body, ToValidUtf8(reserved));
    body += ',';
    AppendJsonString(body, ToValidUtf8(keyName));
    body += ',';
    AppendJsonString(body, Win1250ToUtf8(label));
    body += ',';
    AppendJsonString(body, std::to_string(count));
    body += "]}";
    if (body.size() > kMaxReplyBytes) {
      std::fprintf(stderr, "quenta-nmhost: componentWKPEvent too large to send (%zu bytes)\n",
                   body.size());
      return;
    }
    Send(body);
  } catch (...) {
    // A page notification that cannot be built is dropped; the call goes on.
  }
}

}  // namespace quenta
