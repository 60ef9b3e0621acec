// The native messaging host's side of a connection: a byte stream of
// frames (32-bit length in the machine's byte order, then JSON), arriving
// in pieces, cut into frames by CFrameDecoder, each frame parsed by the
// JSON reader and handled by one CNativeSession, as RunHostLoop does.
//
// Input: a flags byte, the bytes the flags ask for, the split points, then
// the stream.
//   bits 0-3  number of split points (two bytes each, taken modulo the
//             stream length + 1): the stream is fed in the pieces between
//   bit 4     a small frame limit: one byte, times 8
//   bit 5     the browser goes away: one byte, the number of messages the
//             writer delivers before it fails
//   bit 6     the user's answers to dialogs (FuzzUi::ReadAnswers); without
//             it every dialog is closed with its close box
//   bit 7     not used
// A flags byte of exactly 0x80 instead builds replies near the size a
// browser takes (about 1 MiB, so slow): two bytes of slack, then a sample
// of the text to repeat.
//
// Checked: the frames are those of a plain reading of the stream whatever
// the pieces, and an unfinished or oversized frame is reported as such; a
// value the reader takes, written again, reads back equal and writes the
// same; every message the session writes is a JSON object no larger than
// a browser takes; each request gets exactly one reply, last, after any
// events, with the request's id when it had a usable one; an unknown method
// is an error, a call with wrong arguments an exception, other calls the
// result their method gives; once the writer fails nothing more is written.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/page_env.h"
#include "nmhost/framing.h"
#include "nmhost/json.h"
#include "nmhost/session.h"
#include "plugin/method_table.h"

namespace {

using quenta::JsonValue;
using quenta_fuzz::InputReader;

// QUENTA_FUZZ_TRACE=1 prints each request and what the session wrote (for
// replaying one input by hand).
void Trace(const char* what, const std::string& text) {
  static const bool on = [] {
    const char* v = std::getenv("QUENTA_FUZZ_TRACE");
    return v && *v && *v != '0';
  }();
  if (!on) return;
  std::string shown;
  for (unsigned char c : text.substr(0, 200)) {
    if (c >= 0x20 && c < 0x7F) shown += static_cast<char>(c);
    else shown += "\\x" + std::string(1, "0123456789ABCDEF"[c >> 4]) + "0123456789ABCDEF"[c & 15];
  }
  if (text.size() > 200) shown += "...(" + std::to_string(text.size()) + " bytes)";
  std::fprintf(stderr, "%s %s\n", what, shown.c_str());
}

// ---------------------------------------------------------------- JSON

void Write(const JsonValue& v, std::string& out) {
  switch (v.type) {
    case JsonValue::kNull: out += "null"; return;
    case JsonValue::kBool: out += v.boolValue ? "true" : "false"; return;
    case JsonValue::kNumber: {
      FUZZ_CHECK(!std::isnan(v.number));
      if (std::isinf(v.number)) {
        out += v.number < 0 ? "-1e999" : "1e999";  // read back as an overflow
        return;
      }
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", v.number);
      out += buf;
      return;
    }
    case JsonValue::kString: quenta::AppendJsonString(out, v.text); return;
    case JsonValue::kArray:
      out += '[';
      for (std::size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ',';
        Write(v.items[i], out);
      }
      out += ']';
      return;
    case JsonValue::kObject:
      out += '{';
      for (std::size_t i = 0; i < v.members.size(); ++i) {
        if (i) out += ',';
        quenta::AppendJsonString(out, v.members[i].first);
        out += ':';
        Write(v.members[i].second, out);
      }
      out += '}';
      return;
  }
}

bool Same(const JsonValue& a, const JsonValue& b) {
  if (a.type != b.type) return false;
  switch (a.type) {
    case JsonValue::kNull: return true;
    case JsonValue::kBool: return a.boolValue == b.boolValue;
    case JsonValue::kNumber:
      return a.number == b.number && std::signbit(a.number) == std::signbit(b.number);
    case JsonValue::kString: return a.text == b.text;
    case JsonValue::kArray:
      if (a.items.size() != b.items.size()) return false;
      for (std::size_t i = 0; i < a.items.size(); ++i)
        if (!Same(a.items[i], b.items[i])) return false;
      return true;
    case JsonValue::kObject:
      if (a.members.size() != b.members.size()) return false;
      for (std::size_t i = 0; i < a.members.size(); ++i)
        if (a.members[i].first != b.members[i].first ||
            !Same(a.members[i].second, b.members[i].second))
          return false;
      return true;
  }
  return false;
}

// Every text the reader gives is valid UTF-8, member names too.
void CheckTexts(const JsonValue& v) {
  if (v.type == JsonValue::kString) FUZZ_CHECK(quenta::IsValidUtf8(v.text.data(), v.text.size()));
  for (const JsonValue& item : v.items) CheckTexts(item);
  for (const auto& m : v.members) {
    FUZZ_CHECK(quenta::IsValidUtf8(m.first.data(), m.first.size()));
    CheckTexts(m.second);
  }
}

// Parses a frame body on its own; returns whether the reader took it.
bool CheckJson(const char* body, std::size_t length, JsonValue* value) {
  std::string error;
  if (!quenta::ParseJson(body, length, value, &error)) {
    FUZZ_CHECK(!error.empty());
    const std::size_t at = error.rfind(" at byte ");
    FUZZ_CHECK(at != std::string::npos);
    FUZZ_CHECK(std::stoull(error.substr(at + 9)) <= length);
    return false;
  }
  CheckTexts(*value);
  std::string once;
  Write(*value, once);
  JsonValue again;
  std::string againError;
  FUZZ_CHECK(quenta::ParseJson(once.data(), once.size(), &again, &againError));
  FUZZ_CHECK(Same(*value, again));
  std::string twice;
  Write(again, twice);
  FUZZ_CHECK(once == twice);
  return true;
}

void CheckUtf8Repair(const std::string& bytes) {
  const std::string repaired = quenta::ToValidUtf8(bytes);
  FUZZ_CHECK(quenta::IsValidUtf8(repaired.data(), repaired.size()));
  if (quenta::IsValidUtf8(bytes.data(), bytes.size())) FUZZ_CHECK(repaired == bytes);
}

// ---------------------------------------------------------------- frames

struct ReferenceFrames {
  std::vector<std::string> bodies;
  bool oversized = false;
  std::uint32_t refused = 0;
  bool midFrame = false;
};

ReferenceFrames ReadFramesPlainly(const std::string& stream, std::uint32_t limit) {
  ReferenceFrames r;
  std::size_t at = 0;
  while (stream.size() - at >= 4) {
    std::uint32_t length;
    std::memcpy(&length, stream.data() + at, 4);
    if (length > limit) {
      r.oversized = true;
      r.refused = length;
      return r;
    }
    if (stream.size() - at - 4 < length) break;
    r.bodies.push_back(stream.substr(at + 4, length));
    at += 4 + length;
  }
  r.midFrame = at < stream.size();
  return r;
}

// ---------------------------------------------------------------- session

class RecordingWriter : public quenta::IMessageWriter {
 public:
  bool WriteMessage(const std::string& body) override {
    FUZZ_CHECK(!failed);  // nothing more is written once a write failed
    if (failAfter >= 0 && static_cast<int>(messages.size()) >= failAfter) {
      failed = true;
      return false;
    }
    messages.push_back(body);
    return true;
  }
  std::vector<std::string> messages;
  int failAfter = -1;
  bool failed = false;
};

// A request's usable id, as the session reads it.
bool RequestId(const JsonValue& request, double* id) {
  const JsonValue* v = request.Find("id");
  if (!v || v->type != JsonValue::kNumber || !std::isfinite(v->number) ||
      std::trunc(v->number) != v->number || std::fabs(v->number) > 9007199254740991.0)
    return false;
  *id = v->number;
  return true;
}

bool ArgumentsFit(const quenta::MethodEntry& entry, const std::vector<quenta::ScriptValue>& args) {
  if (entry.argCount < 0) return true;
  if (static_cast<int>(args.size()) != entry.argCount) return false;
  for (int i = 0; i < entry.argCount; ++i)
    if (entry.kinds[i] == quenta::ArgKind::kString && args[i].type != quenta::ScriptValue::kString)
      return false;
  return true;
}

void CheckArgument(const JsonValue& json, const quenta::ScriptValue& v) {
  using quenta::ScriptValue;
  switch (json.type) {
    case JsonValue::kNull: FUZZ_CHECK(v.type == ScriptValue::kNull); return;
    case JsonValue::kBool:
      FUZZ_CHECK(v.type == ScriptValue::kBool && v.boolValue == json.boolValue);
      return;
    case JsonValue::kNumber:
      if (v.type == ScriptValue::kInt) {
        FUZZ_CHECK(static_cast<double>(v.intValue) == json.number);
      } else {
        FUZZ_CHECK(v.type == ScriptValue::kDouble);
        FUZZ_CHECK(v.doubleValue == json.number);
        FUZZ_CHECK(std::trunc(json.number) != json.number || json.number < -2147483648.0 ||
                   json.number > 2147483647.0 || !std::isfinite(json.number));
      }
      return;
    case JsonValue::kString:
      FUZZ_CHECK(v.type == ScriptValue::kString && v.stringValue == json.text);
      return;
    case JsonValue::kArray: FUZZ_CHECK(v.type == ScriptValue::kObject); return;
    case JsonValue::kObject: {
      const JsonValue* u = json.Find("undefined");
      const bool marker = json.members.size() == 1 && u && u->type == JsonValue::kBool && u->boolValue;
      FUZZ_CHECK(v.type == (marker ? ScriptValue::kVoid : ScriptValue::kObject));
      return;
    }
  }
}

// One message the session wrote: a JSON object a browser takes.
JsonValue ReadMessage(const std::string& body) {
  FUZZ_CHECK(body.size() <= quenta::kMaxReplyBytes);
  JsonValue v;
  std::string error;
  FUZZ_CHECK(quenta::ParseJson(body.data(), body.size(), &v, &error));
  FUZZ_CHECK(v.type == JsonValue::kObject);
  return v;
}

void CheckEvent(const JsonValue& v) {
  FUZZ_CHECK(v.members.size() == 2);
  const JsonValue* name = v.Find("event");
  const JsonValue* args = v.Find("args");
  FUZZ_CHECK(name && name->type == JsonValue::kString && name->text == "componentWKPEvent");
  FUZZ_CHECK(args && args->type == JsonValue::kArray && args->items.size() == 4);
  for (const JsonValue& a : args->items) FUZZ_CHECK(a.type == JsonValue::kString);
}

// The reply to one request body.
void CheckReply(const char* body, std::size_t length, const JsonValue& reply) {
  FUZZ_CHECK(reply.members.size() == 2 && reply.members[0].first == "id");
  const JsonValue& replyId = reply.members[0].second;
  const std::string& kind = reply.members[1].first;
  const JsonValue& value = reply.members[1].second;
  FUZZ_CHECK(replyId.type == JsonValue::kNull || replyId.type == JsonValue::kNumber);
  if (kind == "undefined") FUZZ_CHECK(value.type == JsonValue::kBool && value.boolValue);
  else FUZZ_CHECK((kind == "result" || kind == "exception" || kind == "error") &&
                  value.type == JsonValue::kString);

  JsonValue request;
  double id = 0;
  if (!quenta::ParseJson(body, length, &request, nullptr) || request.type != JsonValue::kObject ||
      !RequestId(request, &id)) {
    FUZZ_CHECK(replyId.type == JsonValue::kNull && kind == "error");
    return;
  }
  if (replyId.type == JsonValue::kNull) {
    // Only a failure of the host itself loses the id.
    FUZZ_CHECK(kind == "error" && (value.text == "out of memory" || value.text == "internal error"));
    return;
  }
  FUZZ_CHECK(replyId.number == id);

  const JsonValue* method = request.Find("method");
  const JsonValue* args = request.Find("args");
  quenta::MethodId m;
  if (!method || method->type != JsonValue::kString) {
    FUZZ_CHECK(kind == "error");
    return;
  }
  if (!quenta::FindMethodByName(method->text, &m)) {
    FUZZ_CHECK(kind == "error" && value.text.rfind("unknown method \"", 0) == 0);
    return;
  }
  if (args && args->type != JsonValue::kArray) {
    FUZZ_CHECK(kind == "error");
    return;
  }
  std::vector<quenta::ScriptValue> converted;
  if (args) {
    for (const JsonValue& a : args->items) {
      converted.push_back(quenta::ArgumentFromJson(a));
      CheckArgument(a, converted.back());
    }
  }
  const quenta::MethodEntry& entry = quenta::GetMethodEntry(m);
  if (!ArgumentsFit(entry, converted)) {
    FUZZ_CHECK(kind == "exception" && value.text.rfind(std::string(entry.name) + ": ", 0) == 0);
    return;
  }
  switch (m) {
    case quenta::MethodId::kRegisterCert:
    case quenta::MethodId::kSetLanguage:
      FUZZ_CHECK(kind == "undefined");
      return;
    case quenta::MethodId::kTestComponent:
      FUZZ_CHECK(kind == "result" && value.text.rfind("OK|", 0) == 0);
      return;
    default:
      if (kind == "error") {
        FUZZ_CHECK(value.text.rfind("reply too large: ", 0) == 0);
        return;
      }
      FUZZ_CHECK(kind == "result");
      FUZZ_CHECK(!value.text.empty() && (value.text[0] == '-' || (value.text[0] >= '0' && value.text[0] <= '9')));
      return;
  }
}

// Hands one frame to the session and checks what it wrote.
bool HandleFrame(quenta::CNativeSession& session, RecordingWriter& writer, const std::string& body) {
  const std::size_t before = writer.messages.size();
  const bool wasFailed = writer.failed;
  Trace(">", body);
  const bool ok = session.HandleRequest(body.data(), body.size());
  for (std::size_t i = before; i < writer.messages.size(); ++i) Trace("<", writer.messages[i]);
  if (wasFailed) {
    FUZZ_CHECK(!ok && writer.messages.size() == before);
    return false;
  }
  FUZZ_CHECK(ok == !writer.failed);
  const std::size_t written = writer.messages.size() - before;
  if (ok) FUZZ_CHECK(written >= 1);
  for (std::size_t i = before; i < writer.messages.size(); ++i) {
    const JsonValue m = ReadMessage(writer.messages[i]);
    const bool last = i + 1 == writer.messages.size();
    if (last && ok) CheckReply(body.data(), body.size(), m);
    else CheckEvent(m);
  }
  return ok;
}

// ReplyBody around the size a browser takes: the reply itself while it
// fits, an error reply for the same id once it does not. The text repeats a
// piece of the input (quotes, control characters and non-ASCII letters
// grow by different amounts when escaped) up to a size near the limit.
void CheckReplyCap(const std::string& sample, std::uint16_t slack) {
  const std::string unit =
      quenta::ToValidUtf8(sample.empty() ? std::string("x") : sample.substr(0, 8));
  std::string escapedUnit;
  quenta::AppendJsonString(escapedUnit, unit);
  const std::size_t unitLength = escapedUnit.size() - 2;
  const std::string prefix = "{\"id\":42,\"result\":\"";
  const std::size_t target = quenta::kMaxReplyBytes - 64 + slack % 128;
  const std::size_t count = (target - prefix.size() - 2) / unitLength;
  std::string text;
  text.reserve(count * unit.size());
  for (std::size_t i = 0; i < count; ++i) text += unit;
  const std::size_t literalSize = prefix.size() + count * unitLength + 2;
  const std::string reply = quenta::ReplyBody("42", "result", text);
  FUZZ_CHECK(reply.size() <= quenta::kMaxReplyBytes);
  if (literalSize <= quenta::kMaxReplyBytes) {
    FUZZ_CHECK(reply.size() == literalSize);
    FUZZ_CHECK(reply.compare(0, prefix.size(), prefix) == 0);
    FUZZ_CHECK(reply.compare(prefix.size(), unitLength, escapedUnit, 1, unitLength) == 0);
    FUZZ_CHECK(reply.compare(reply.size() - 2, 2, "\"}") == 0);
  } else {
    FUZZ_CHECK(reply.rfind("{\"id\":42,\"error\":\"reply too large: ", 0) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quenta_fuzz::PageEnvironment::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  const std::uint8_t flags = in.Byte();
  if (flags == 0x80) {
    const std::uint16_t slack = in.U16();
    CheckReplyCap(in.Rest(), slack);
    return 0;
  }
  const std::uint32_t limit = (flags & 0x10) ? in.Byte() * 8u : quenta::kMaxRequestBytes;
  RecordingWriter writer;
  if (flags & 0x20) writer.failAfter = in.Byte();

  quenta_fuzz::PageEnvironment::Get().Reset();
  quenta_fuzz::FuzzUi ui;
  if (flags & 0x40) ui.ReadAnswers(in);

  std::vector<std::uint16_t> splits;
  for (int i = flags & 0x0F; i > 0; --i) splits.push_back(in.U16());
  const std::string stream = in.Rest();
  std::vector<std::size_t> cuts;
  for (std::uint16_t s : splits) cuts.push_back(s % (stream.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.push_back(stream.size());

  const ReferenceFrames expected = ReadFramesPlainly(stream, limit);

  quenta::CFrameDecoder decoder(limit);
  quenta::CNativeSession session(writer);
  std::vector<std::string> frames;
  quenta::FrameBytes body;
  bool open = true, oversized = false;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    decoder.Feed(stream.data() + from, cut - from);
    from = cut;
    for (;;) {
      const quenta::CFrameDecoder::Status st = decoder.Next(&body);
      if (st == quenta::CFrameDecoder::kNeedMore) break;
      if (st == quenta::CFrameDecoder::kOversized) {
        oversized = true;
        break;
      }
      frames.emplace_back(body.data(), body.size());
      const std::string& frame = frames.back();
      JsonValue value;
      CheckJson(frame.data(), frame.size(), &value);
      CheckUtf8Repair(frame);
      if (open) open = HandleFrame(session, writer, frame);
    }
    if (oversized) break;
  }

  FUZZ_CHECK(frames == expected.bodies);
  FUZZ_CHECK(oversized == expected.oversized);
  if (oversized) {
    FUZZ_CHECK(decoder.RefusedLength() == expected.refused);
    FUZZ_CHECK(!decoder.MidFrame());
    // The stream cannot be read on: whatever comes is ignored.
    decoder.Feed(stream.data(), stream.size());
    FUZZ_CHECK(decoder.Next(&body) == quenta::CFrameDecoder::kOversized);
    if (open) {
      const std::size_t before = writer.messages.size();
      if (session.SendStreamError("request too large")) {
        FUZZ_CHECK(writer.messages.size() == before + 1);
        const JsonValue m = ReadMessage(writer.messages.back());
        FUZZ_CHECK(m.members.size() == 2 && m.Find("id") && m.Find("id")->type == JsonValue::kNull);
      }
    }
  } else {
    FUZZ_CHECK(decoder.MidFrame() == expected.midFrame);
  }
  return 0;
}
