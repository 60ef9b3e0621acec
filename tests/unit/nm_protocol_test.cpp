// Native messaging host: JSON reading and writing, frames, request handling
// on the shared dispatcher, page events and the host loop over real pipes.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nmhost/framing.h"
#include "nmhost/host_io.h"
#include "nmhost/json.h"
#include "nmhost/session.h"
#include "tests/support/test_support.h"

namespace quenta {
namespace {

using quenta_test::ScopedEnv;
using quenta_test::TempDir;

std::string Frame(const std::string& body) { return EncodeFrame(body); }

std::string Header(uint32_t length) {
  std::string h(4, '\0');
  std::memcpy(&h[0], &length, 4);
  return h;
}

bool Parse(const std::string& text, JsonValue* v, std::string* error = nullptr) {
  return ParseJson(text.data(), text.size(), v, error);
}

// ---------------------------------------------------------------- JSON

TEST(NmJson, ReadsEveryKindOfValue) {
  JsonValue v;
  ASSERT_TRUE(Parse(" \t\r\n{\"a\" : [1, -0.5, 2E3, true, false, null, \"x\", {}, []]} \n", &v));
  ASSERT_EQ(v.type, JsonValue::kObject);
  const JsonValue* a = v.Find("a");
  ASSERT_TRUE(a);
  ASSERT_EQ(a->items.size(), 9u);
  EXPECT_EQ(a->items[0].number, 1);
  EXPECT_EQ(a->items[1].number, -0.5);
  EXPECT_EQ(a->items[2].number, 2000);
  EXPECT_TRUE(a->items[3].boolValue);
  EXPECT_EQ(a->items[4].type, JsonValue::kBool);
  EXPECT_FALSE(a->items[4].boolValue);
  EXPECT_EQ(a->items[5].type, JsonValue::kNull);
  EXPECT_EQ(a->items[6].text, "x");
  EXPECT_EQ(a->items[7].type, JsonValue::kObject);
  EXPECT_EQ(a->items[8].type, JsonValue::kArray);
  EXPECT_EQ(v.Find("b"), nullptr);
}

TEST(NmJson, DecodesStrings) {
  struct Case {
    const char* json;
    std::string bytes;
  } cases[] = {
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("\u0041\u00e9\u017C")", "A\xC3\xA9\xC5\xBC"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},  // surrogate pair: one character
      {R"("a\u0000b")", std::string("a\0b", 3)},
      {"\"za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87\"", "za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87"},
      {"\"\xF4\x8F\xBF\xBF\"", "\xF4\x8F\xBF\xBF"},  // U+10FFFF
      {R"("")", ""},
  };
  for (const Case& c : cases) {
    JsonValue v;
    std::string error;
    ASSERT_TRUE(Parse(c.json, &v, &error)) << c.json << ": " << error;
    EXPECT_EQ(v.type, JsonValue::kString) << c.json;
    EXPECT_EQ(v.text, c.bytes) << c.json;
  }
}

TEST(NmJson, RefusesWhatIsNotStrictJson) {
  const std::string deep(kJsonMaxDepth + 1, '[');
  const std::vector<std::string> bad = {
      "", " ", "{", "}", "[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "{a:1}", "{'a':1}",
      "01", "1.", ".5", "-", "+1", "1e", "1e+", "0x10", "NaN", "Infinity", "-Infinity",
      "tru", "nul", "True", "\"a", "\"\\x\"", "\"\\u12\"", "\"\\u12G4\"",
      "\"\\ud800\"", "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\\ud800x\"",
      "\"a\nb\"", std::string("\"a\0b\"", 5), "\"\x7F\x1F\"",
      "\"\xC3\x28\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"",
      "\"\xE2\x82\"", "\"\xFF\"", "\xEF\xBB\xBF{}",
      "{\"a\":1}x", "{} {}", "{\"a\":1,\"a\":2}", "/*c*/{}", deep + std::string(kJsonMaxDepth + 1, ']'),
  };
  for (const std::string& text : bad) {
    JsonValue v;
    std::string error;
    EXPECT_FALSE(Parse(text, &v, &error)) << "accepted: " << text;
    EXPECT_NE(error.find(" at byte "), std::string::npos) << text;
  }
}

TEST(NmJson, NestingUpToTheLimitIsFine) {
  std::string text = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
  JsonValue v;
  EXPECT_TRUE(Parse(text, &v));
}

TEST(NmJson, NumbersBeyondADoubleAreReadAsJavaScriptReadsThem) {
  struct Case {
    const char* json;
    double value;
  } cases[] = {{"1e400", HUGE_VAL}, {"-1e400", -HUGE_VAL}, {"1e-400", 0.0},
               {"-0.0000001e-400", -0.0}, {"123456789012345678901234567890", 1.2345678901234568e29}};
  for (const Case& c : cases) {
    JsonValue v;
    ASSERT_TRUE(Parse(c.json, &v)) << c.json;
    EXPECT_EQ(v.number, c.value) << c.json;
  }
}

TEST(NmJson, WrittenStringsReadBackToTheSameBytes) {
  std::string all;
  for (int c = 0; c < 0x80; ++c) all += static_cast<char>(c);
  all += "\xC5\xBC\xF0\x9F\x98\x80";
  std::string json;
  AppendJsonString(json, all);
  for (unsigned char c : json) EXPECT_GE(c, 0x20) << "raw control character written";
  JsonValue v;
  ASSERT_TRUE(Parse(json, &v));
  EXPECT_EQ(v.text, all);

  json.clear();
  AppendJsonString(json, "a\"b\\c\n\x01");
  EXPECT_EQ(json, R"("a\"b\\c\n\u0001")");
}

TEST(NmJson, InvalidBytesAreReadAsWindows1250) {
  EXPECT_EQ(ToValidUtf8("za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87"), "za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87");
  // "Główny" in Windows-1250, and a text mixing both.
  EXPECT_EQ(ToValidUtf8("G\xB3\xF3wny"), "G\xC5\x82\xC3\xB3wny");
  EXPECT_EQ(ToValidUtf8("\xB9-\xC4\x85"), "\xC4\x85-\xC4\x85");
  EXPECT_TRUE(IsValidUtf8("\xC4\x85", 2));
  EXPECT_FALSE(IsValidUtf8("\xB9", 1));
}

// ---------------------------------------------------------------- frames

TEST(NmFrames, FramesComeOutWhateverPiecesTheStreamArrivesIn) {
  const std::vector<std::string> bodies = {"{\"id\":1}", "", std::string(70000, 'x'), "{}"};
  std::string stream;
  for (const std::string& b : bodies) stream += Frame(b);

  for (std::size_t piece : {std::size_t(1), std::size_t(3), std::size_t(4096), stream.size()}) {
    CFrameDecoder decoder;
    std::vector<std::string> got;
    FrameBytes body;
    for (std::size_t i = 0; i < stream.size(); i += piece) {
      decoder.Feed(stream.data() + i, std::min(piece, stream.size() - i));
      CFrameDecoder::Status st;
      while ((st = decoder.Next(&body)) == CFrameDecoder::kFrame)
        got.emplace_back(body.begin(), body.end());
      ASSERT_EQ(st, CFrameDecoder::kNeedMore);
    }
    EXPECT_EQ(got, bodies) << "piece " << piece;
    EXPECT_FALSE(decoder.MidFrame());
  }
}

TEST(NmFrames, LengthIsInTheMachinesOwnByteOrder) {
  std::string f = Frame("abc");
  uint32_t n;
  std::memcpy(&n, f.data(), 4);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(f.substr(4), "abc");
}

TEST(NmFrames, EndOfStreamInsideAFrameIsVisible) {
  for (const std::string& partial : {Header(10).substr(0, 2), Header(10) + "12345"}) {
    CFrameDecoder decoder;
    decoder.Feed(partial.data(), partial.size());
    FrameBytes body;
    EXPECT_EQ(decoder.Next(&body), CFrameDecoder::kNeedMore);
    EXPECT_TRUE(decoder.MidFrame());
  }
}

TEST(NmFrames, AnOversizedLengthIsRefusedWithoutWaitingForTheBody) {
  struct Case {
    uint32_t limit, length;
    bool refused;
  } cases[] = {{16, 16, false}, {16, 17, true}, {kMaxRequestBytes, kMaxRequestBytes + 1, true},
               {kMaxRequestBytes, 0xFFFFFFFFu, true}};
  for (const Case& c : cases) {
    CFrameDecoder decoder(c.limit);
    std::string stream = Frame("{}") + Header(c.length);
    decoder.Feed(stream.data(), stream.size());
    FrameBytes body;
    ASSERT_EQ(decoder.Next(&body), CFrameDecoder::kFrame);  // earlier frames still count
    EXPECT_EQ(std::string(body.begin(), body.end()), "{}");
    CFrameDecoder::Status st = decoder.Next(&body);
    if (!c.refused) {
      EXPECT_EQ(st, CFrameDecoder::kNeedMore);
      continue;
    }
    EXPECT_EQ(st, CFrameDecoder::kOversized);
    EXPECT_EQ(decoder.RefusedLength(), c.length);
    // The stream is lost for good: later frames are never looked at.
    std::string later = Frame("{}");
    decoder.Feed(later.data(), later.size());
    EXPECT_EQ(decoder.Next(&body), CFrameDecoder::kOversized);
    EXPECT_FALSE(decoder.MidFrame());
  }
}

// ---------------------------------------------------------------- requests

class RecordingWriter : public IMessageWriter {
 public:
  bool WriteMessage(const std::string& body) override {
    messages.push_back(body);
    return accept;
  }
  std::vector<std::string> messages;
  bool accept = true;
};

class NmSession : public ::testing::Test {
 protected:
  NmSession()
      : config_("XDG_CONFIG_HOME", dir_.path()), dirs_("XDG_CONFIG_DIRS", dir_.File("none")) {}

  // The one reply a request gets (and no other message).
  std::string Reply(const std::string& request) {
    writer_.messages.clear();
    EXPECT_TRUE(session_.HandleRequest(request.data(), request.size()));
    EXPECT_EQ(writer_.messages.size(), 1u) << request;
    return writer_.messages.empty() ? std::string() : writer_.messages.back();
  }
  CKeyStorage* Key(const std::string& name) {
    return session_.Dispatcher().Engine().FindKey(name.c_str());
  }

  TempDir dir_;
  ScopedEnv config_, dirs_;
  RecordingWriter writer_;
  CNativeSession session_{writer_};
};

TEST_F(NmSession, MethodsAnswerAsThePluginDoes) {
  struct Case {
    const char* request;
    const char* reply;
  } cases[] = {
      {R"({"id":1,"method":"TestComponent"})", R"({"id":1,"result":"OK|1,3,0,85"})"},
      {R"({"id":2,"method":"TestComponent","args":[1,2,3]})", R"({"id":2,"result":"OK|1,3,0,85"})"},
      {R"({"id":3,"method":"SetSignDialogType","args":[7]})", R"({"id":3,"result":"0"})"},
      {R"({"id":4,"method":"SetKey","args":["K1","4D61696E206B6579","data",1]})", R"({"id":4,"result":"0"})"},
      {R"({"id":5,"method":"SetKeyLocation","args":["K1","2F746D702F6B2E707276"]})", R"({"id":5,"result":"0"})"},
      {R"({"id":6,"method":"GetKeyLocation","args":["K1"]})", R"({"id":6,"result":"0|2F746D702F6B2E70727600"})"},
      {R"({"id":7,"method":"SetKeyLocation","args":["K1","2F7"]})", R"({"id":7,"result":"1"})"},
      {R"({"id":8,"method":"RemoveKey","args":["K1"]})", R"({"id":8,"result":"0"})"},
      {R"({"id":9,"method":"RemoveKey","args":["K1"]})", R"({"id":9,"result":"1"})"},
      {R"({"id":10,"method":"AddCardModel","args":["x"]})", R"({"id":10,"result":"0"})"},
      {R"({"id":11,"method":"SetLanguage","args":["1"]})", R"({"id":11,"undefined":true})"},
      {R"({"id":12,"method":"SetLanguage","args":[true]})", R"({"id":12,"undefined":true})"},
      {R"({"id":13,"method":"SetLanguage","args":[{"undefined":true}]})", R"({"id":13,"undefined":true})"},
      {R"({"id":14,"method":"RegisterCert","args":[1,2,3]})", R"({"id":14,"undefined":true})"},
      {R"({"id":-15,"method":"RegisterCert"})", R"({"id":-15,"undefined":true})"},
      {R"({"id":9007199254740991,"method":"TestComponent"})", R"({"id":9007199254740991,"result":"OK|1,3,0,85"})"},
      {R"({"method":"TestComponent","extra":[1],"id":16.0})", R"({"id":16,"result":"OK|1,3,0,85"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(Reply(c.request), c.reply) << c.request;
}

TEST_F(NmSession, ArgumentMismatchesAreScriptExceptions) {
  struct Case {
    const char* request;
    const char* reply;
  } cases[] = {
      {R"({"id":1,"method":"Sign","args":["a","b",3]})", R"({"id":1,"exception":"Sign: argument 3 must be a string"})"},
      {R"({"id":2,"method":"SetLanguage"})", R"({"id":2,"exception":"SetLanguage: takes 1 argument, 0 given"})"},
      {R"({"id":3,"method":"SetLanguage","args":[1,2]})", R"({"id":3,"exception":"SetLanguage: takes 1 argument, 2 given"})"},
      {R"({"id":4,"method":"RemoveKey","args":[null]})", R"({"id":4,"exception":"RemoveKey: argument 1 must be a string"})"},
      {R"({"id":5,"method":"RemoveKey","args":[{"undefined":true}]})", R"({"id":5,"exception":"RemoveKey: argument 1 must be a string"})"},
      {R"({"id":6,"method":"SetKey","args":["a","b","c"]})", R"({"id":6,"exception":"SetKey: takes 4 arguments, 3 given"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(Reply(c.request), c.reply) << c.request;
}

TEST_F(NmSession, UnusableRequestsGetAnErrorAndChangeNothing) {
  ASSERT_EQ(Reply(R"({"id":1,"method":"SetKey","args":["K1","4B","d",1]})"), R"({"id":1,"result":"0"})");
  struct Case {
    std::string request;
    const char* reply;
  } cases[] = {
      {"{\"id\":2,\"method\":\"RemoveKey\",\"args\":[\"K1\"]", R"({"id":null,"error":"malformed JSON: expected ',' or '}' at byte 42"})"},
      {"", R"({"id":null,"error":"malformed JSON: unexpected end of input at byte 0"})"},
      {"{\"id\":2,\"method\":\"RemoveKey\",\"args\":[\"K\xFF\"]}", R"({"id":null,"error":"malformed JSON: invalid UTF-8 at byte 39"})"},
      {R"(["RemoveKey","K1"])", R"({"id":null,"error":"a request must be a JSON object"})"},
      {R"({"method":"RemoveKey","args":["K1"]})", R"({"id":null,"error":"the request id must be an integer"})"},
      {R"({"id":"2","method":"RemoveKey","args":["K1"]})", R"({"id":null,"error":"the request id must be an integer"})"},
      {R"({"id":2.5,"method":"RemoveKey","args":["K1"]})", R"({"id":null,"error":"the request id must be an integer"})"},
      {R"({"id":null,"method":"RemoveKey","args":["K1"]})", R"({"id":null,"error":"the request id must be an integer"})"},
      {R"({"id":[2],"method":"RemoveKey","args":["K1"]})", R"({"id":null,"error":"the request id must be an integer"})"},
      {R"({"id":1e300,"method":"RemoveKey","args":["K1"]})", R"({"id":null,"error":"the request id must be an integer"})"},
      {R"({"id":9007199254740992,"method":"RemoveKey","args":["K1"]})", R"({"id":null,"error":"the request id must be an integer"})"},
      {R"({"id":2,"args":["K1"]})", R"({"id":2,"error":"the method must be a string"})"},
      {R"({"id":2,"method":10,"args":["K1"]})", R"({"id":2,"error":"the method must be a string"})"},
      {R"({"id":2,"method":"removeKey","args":["K1"]})", R"({"id":2,"error":"unknown method \"removeKey\""})"},
      {R"({"id":2,"method":"toString","args":[]})", R"({"id":2,"error":"unknown method \"toString\""})"},
      {"{\"id\":2,\"method\":\"" + std::string(100, 'M') + "\"}",
       R"({"id":2,"error":"unknown method \"MMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMM...\""})"},
      {R"({"id":2,"method":"RemoveKey","args":"K1"})", R"({"id":2,"error":"args must be an array"})"},
      {R"({"id":2,"method":"RemoveKey","args":{"0":"K1"}})", R"({"id":2,"error":"args must be an array"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(Reply(c.request), c.reply) << c.request;
  EXPECT_NE(Key("K1"), nullptr) << "a refused request reached the engine";
}

TEST_F(NmSession, ArgumentsConvertAsThePluginConvertsThem) {
  struct Case {
    const char* kindJson;
    int kind;
  } cases[] = {{"2.9", 2}, {"-0", 0}, {"11", 11}, {"\" 11x\"", 11}, {"null", 255}, {"true", 255},
               {"{}", 255}, {"[]", 255}, {"{\"undefined\":true}", 255}, {"3000000000", 255},
               {"1e400", 255}, {"257", 1}};
  for (const Case& c : cases) {
    std::string request = std::string(R"({"id":1,"method":"SetKey","args":["K","4B","d",)") +
                          c.kindJson + "]}";
    ASSERT_EQ(Reply(request), R"({"id":1,"result":"0"})") << request;
    ASSERT_NE(Key("K"), nullptr);
    EXPECT_EQ(Key("K")->kind, c.kind) << c.kindJson;
  }
}

TEST_F(NmSession, JsonValuesBecomeScriptValues) {
  struct Case {
    const char* json;
    ScriptValue::Type type;
  } cases[] = {
      {"\"x\"", ScriptValue::kString}, {"7", ScriptValue::kInt}, {"-2147483648", ScriptValue::kInt},
      {"2147483648", ScriptValue::kDouble}, {"2.9", ScriptValue::kDouble}, {"true", ScriptValue::kBool},
      {"null", ScriptValue::kNull}, {"{}", ScriptValue::kObject}, {"[1]", ScriptValue::kObject},
      {"{\"undefined\":true}", ScriptValue::kVoid}, {"{\"undefined\":false}", ScriptValue::kObject},
      {"{\"undefined\":true,\"x\":1}", ScriptValue::kObject}, {"{\"undefined\":1}", ScriptValue::kObject},
  };
  for (const Case& c : cases) {
    JsonValue v;
    ASSERT_TRUE(Parse(c.json, &v)) << c.json;
    EXPECT_EQ(ArgumentFromJson(v).type, c.type) << c.json;
  }
}

TEST_F(NmSession, TheEngineReceivesThePagesUtf8Bytes) {
  // "Zażółć" written raw and with escapes names the same key.
  ASSERT_EQ(Reply("{\"id\":1,\"method\":\"SetKey\",\"args\":[\"Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87\",\"4B\",\"d\",1]}"),
            R"({"id":1,"result":"0"})");
  EXPECT_NE(Key("Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87"), nullptr);
  EXPECT_EQ(Reply(R"({"id":2,"method":"RemoveKey","args":["Za\u017C\u00F3\u0142\u0107"]})"),
            R"({"id":2,"result":"0"})");
  // A path with Polish letters goes back to the page byte for byte.
  EXPECT_EQ(Reply(R"({"id":3,"method":"SetKeyLocation","args":["\u00f3","2FC3B3"]})"), R"({"id":3,"result":"0"})");
  EXPECT_EQ(Reply(R"({"id":4,"method":"GetKeyLocation","args":["\u00f3"]})"), R"({"id":4,"result":"0|2FC3B300"})");
}

TEST(NmReply, RepliesAboveTheBrowserLimitBecomeErrors) {
  const std::string frame = "{\"id\":7,\"result\":\"\"}";
  std::string fits(kMaxReplyBytes - frame.size(), 'A');
  std::string body = ReplyBody("7", "result", fits);
  EXPECT_EQ(body.size(), kMaxReplyBytes);
  EXPECT_EQ(body.substr(0, 18), "{\"id\":7,\"result\":\"");

  body = ReplyBody("7", "result", fits + "A");
  EXPECT_EQ(body, "{\"id\":7,\"error\":\"reply too large: 1048577 bytes, the browser takes at most 1048576\"}");
  // Escapes count: a text that grows when written is measured as written.
  body = ReplyBody("7", "result", std::string(kMaxReplyBytes / 2, '"'));
  EXPECT_NE(body.find("\"error\""), std::string::npos);
}

TEST_F(NmSession, PageEventsTravelAsEventMessages) {
  struct Case {
    std::string reserved, keyName, label;
    int count;
    const char* message;
  } cases[] = {
      {"", "K1", "Main key", 1, R"({"event":"componentWKPEvent","args":["","K1","Main key","1"]})"},
      {"", "K1", "Main key", 2, R"({"event":"componentWKPEvent","args":["","K1","Main key","2"]})"},
      // The label is the engine's Windows-1250; the key name is the page's UTF-8.
      {"", "Klucz \xC5\xBC", "G\xB3\xF3wny", 1,
       "{\"event\":\"componentWKPEvent\",\"args\":[\"\",\"Klucz \xC5\xBC\",\"G\xC5\x82\xC3\xB3wny\",\"1\"]}"},
      // Quotes and script text stay data.
      {"", "it's \"k\"\\", "</script>\n", 3,
       R"({"event":"componentWKPEvent","args":["","it's \"k\"\\","</script>\n","3"]})"},
  };
  for (const Case& c : cases) {
    writer_.messages.clear();
    session_.DeliverWKPEvent(c.reserved, c.keyName, c.label, c.count);
    ASSERT_EQ(writer_.messages.size(), 1u);
    EXPECT_EQ(writer_.messages[0], c.message);
  }

  // The engine's callback reaches the page through the session.
  writer_.messages.clear();
  session_.Dispatcher().Engine().PageCallback().FireWKPEvent("", "K1", "Main key", 1);
  ASSERT_EQ(writer_.messages.size(), 1u);
  EXPECT_EQ(writer_.messages[0], cases[0].message);

  // One that no browser would take is dropped, not sent broken.
  writer_.messages.clear();
  session_.DeliverWKPEvent("", "K1", std::string(kMaxReplyBytes, 'x'), 1);
  EXPECT_TRUE(writer_.messages.empty());
}

TEST_F(NmSession, AGoneBrowserStopsTheSession) {
  writer_.accept = false;
  std::string request = R"({"id":1,"method":"SetKey","args":["K","4B","d",1]})";
  EXPECT_FALSE(session_.HandleRequest(request.data(), request.size()));
  writer_.messages.clear();
  request = R"({"id":2,"method":"RemoveKey","args":["K"]})";
  EXPECT_FALSE(session_.HandleRequest(request.data(), request.size()));
  EXPECT_TRUE(writer_.messages.empty());
  EXPECT_NE(Key("K"), nullptr) << "a request after the connection broke reached the engine";
}

// ---------------------------------------------------------------- host loop

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      r = fds[0];
      w = fds[1];
    }
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (r >= 0) close(r);
    r = -1;
  }
  void CloseWrite() {
    if (w >= 0) close(w);
    w = -1;
  }
};

void WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

class NmHostLoop : public NmSession {
 protected:
  // Runs the loop on the stream, written from another thread; returns the
  // exit status.
  int Run(const std::string& stream) {
    Pipe in;
    std::thread feeder([&] {
      WriteAll(in.w, stream);
      in.CloseWrite();
    });
    int status = RunHostLoop(in.r, session_);
    in.CloseRead();  // a loop that stopped early must not leave the feeder stuck
    feeder.join();
    return status;
  }
};

TEST_F(NmHostLoop, AnswersEveryFrameAndEndsWithThePipe) {
  std::string stream = Frame(R"({"id":1,"method":"TestComponent"})") + Frame("<html>") +
                       Frame(R"({"id":2,"method":"SetKey","args":["K","4B","d",1]})");
  EXPECT_EQ(Run(stream), kHostClosed);
  EXPECT_EQ(writer_.messages,
            (std::vector<std::string>{R"({"id":1,"result":"OK|1,3,0,85"})",
                                      R"({"id":null,"error":"malformed JSON: unexpected character at byte 0"})",
                                      R"({"id":2,"result":"0"})"}));
}

TEST_F(NmHostLoop, EndOfStreamInsideAFrameEndsQuietly) {
  const std::string request = Frame(R"({"id":1,"method":"SetKey","args":["K","4B","d",1]})");
  for (const std::string& tail : {request.substr(0, 2), request.substr(0, request.size() - 1)}) {
    writer_.messages.clear();
    EXPECT_EQ(Run(Frame(R"({"id":1,"method":"TestComponent"})") + tail), kHostClosed);
    EXPECT_EQ(writer_.messages, std::vector<std::string>{R"({"id":1,"result":"OK|1,3,0,85"})"});
  }
  EXPECT_EQ(Key("K"), nullptr);
}

TEST_F(NmHostLoop, AnOversizedRequestIsRefusedAndTheConnectionClosed) {
  std::string stream = Frame(R"({"id":1,"method":"TestComponent"})") + Header(kMaxRequestBytes + 1) +
                       std::string(1000, ' ') + Frame(R"({"id":2,"method":"TestComponent"})");
  EXPECT_EQ(Run(stream), kHostOversized);
  ASSERT_EQ(writer_.messages.size(), 2u);
  EXPECT_EQ(writer_.messages[1],
            R"({"id":null,"error":"request too large: 67108865 bytes announced, the limit is 67108864; closing the connection"})");
}

// The standard output that other code prints to is not the reply pipe.
TEST(NmStreams, OnlyFramesReachTheReplyPipe) {
  Pipe in, out, err;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(in.r, 0);
    dup2(out.w, 1);
    dup2(err.w, 2);
    int requestFd, replyFd;
    if (!TakeProtocolStreams(&requestFd, &replyFd)) _exit(3);
    std::printf("diagnostic line\n");
    std::fflush(stdout);
    char buf[16] = {0};
    ssize_t n = read(requestFd, buf, sizeof buf - 1);
    char probe;
    bool stdinIsNull = read(0, &probe, 1) == 0;
    bool cloexec = (fcntl(replyFd, F_GETFD) & FD_CLOEXEC) && (fcntl(requestFd, F_GETFD) & FD_CLOEXEC);
    CFdMessageWriter writer(replyFd);
    writer.WriteMessage(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0) +
                        (stdinIsNull ? " null" : " live") + (cloexec ? " cloexec" : " inherit"));
    std::printf("another line\n");
    std::fflush(stdout);
    _exit(0);
  }
  in.CloseRead();
  out.CloseWrite();
  err.CloseWrite();
  WriteAll(in.w, "ping");
  in.CloseWrite();
  std::string replies = ReadAll(out.r);
  std::string diagnostics = ReadAll(err.r);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(replies, Frame("ping null cloexec"));
  EXPECT_EQ(diagnostics, "diagnostic line\nanother line\n");
}

}  // namespace
}  // namespace quenta
