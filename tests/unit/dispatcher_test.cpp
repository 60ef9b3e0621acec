// The transport-neutral page contract: argument checks and conversions,
// result forms that need no dialog, and the refusal of re-entrant calls.
#include "plugin/method_dispatcher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "plugin/texts.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_support.h"

namespace {

using namespace quenta;
using V = ScriptValue;

TEST(IntegerArguments, ConvertFromEveryType) {
  struct Case { ScriptValue v; int32_t want; };
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {V::Int(7), 7},           {V::Int(-3), -3},
      {V::Double(2.9), 2},      {V::Double(-2.9), -2},
      {V::Double(1e12), INT32_MAX}, {V::Double(-1e12), INT32_MIN},
      {V::Double(inf), INT32_MAX},  {V::Double(std::nan("")), 0},
      {V::String("12abc"), 12}, {V::String("  \t-42"), -42},
      {V::String("+5"), 5},     {V::String("abc"), 0},
      {V::String(""), 0},       {V::String("99999999999999"), INT32_MAX},
      {V::String("-2147483648"), INT32_MIN},
      {V::String(std::string("1\0" "9", 3)), 1},
      {V::Void(), -1},          {V::Null(), -1},
      {V::Bool(true), -1},      {V::Bool(false), -1},
      {V::Object(), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(ConvertIntegerArgument(c.v), c.want);
}

class Dispatcher : public ::testing::Test {
 protected:
  Dispatcher() : config_("XDG_CONFIG_HOME", home_.path()) {}
  ~Dispatcher() override { SelectLanguage(0); }
  ScriptResult Call(const char* name, std::vector<ScriptValue> args) {
    MethodId id;
    EXPECT_TRUE(FindMethodByName(name, &id)) << name;
    return d_.Call(id, args);
  }
  std::string Text(const char* name, std::vector<ScriptValue> args) {
    ScriptResult r = Call(name, std::move(args));
    EXPECT_EQ(r.kind, ScriptResult::kText) << name;
    return r.text;
  }
  quenta_test::TempDir home_;
  quenta_test::ScopedEnv config_;
  quenta_test::ScriptedUi ui_;
  CMethodDispatcher d_;
};

TEST_F(Dispatcher, NamesAreCaseSensitiveAndTheTableIsComplete) {
  MethodId id;
  EXPECT_FALSE(FindMethodByName("testcomponent", &id));
  EXPECT_FALSE(FindMethodByName("", &id));
  int found = 0;
  for (int i = 0; i < kMethodCount; ++i) {
    const MethodEntry& s = GetMethodEntry(static_cast<MethodId>(i));
    EXPECT_EQ(static_cast<int>(s.id), i);
    found += FindMethodByName(s.name, &id) && id == s.id;
  }
  EXPECT_EQ(found, kMethodCount);
}

TEST_F(Dispatcher, SignDialogTypeMapping) {
  struct Case { ScriptValue arg; int type; };
  const Case cases[] = {{V::Int(1), 0}, {V::String("1"), 0}, {V::Int(2), 1},
                        {V::Int(7), 2}, {V::Int(0), 2},      {V::Null(), 2}};
  for (const Case& c : cases) {
    EXPECT_EQ(Text("SetSignDialogType", {c.arg}), "0");
    EXPECT_EQ(d_.Engine().SignDialogType(), c.type);
  }
}

TEST_F(Dispatcher, LanguageIsSetOnlyForZeroToTwo) {
  SelectLanguage(0);
  EXPECT_EQ(Call("SetLanguage", {V::String("1")}).kind, ScriptResult::kVoid);
  EXPECT_EQ(CurrentLanguage(), 1);
  for (ScriptValue v : {V::Bool(true), V::Int(3), V::Int(-1), V::Null()}) {
    EXPECT_EQ(Call("SetLanguage", {v}).kind, ScriptResult::kVoid);
    EXPECT_EQ(CurrentLanguage(), 1);
  }
  EXPECT_EQ(Call("SetLanguage", {}).kind, ScriptResult::kException);
}

TEST_F(Dispatcher, KeyLocationsThroughThePageMethods) {
  EXPECT_EQ(Text("SetKeyLocation", {V::String("k"), V::String("612F62")}), "0");
  EXPECT_EQ(Text("GetKeyLocation", {V::String("k")}), "0|612F6200");
  EXPECT_EQ(Text("SetKeyLocation", {V::String("k"), V::String("6")}), "1");
  EXPECT_EQ(Text("SetKeyLocation", {V::String("k"), V::String("zz")}), "1");
  EXPECT_EQ(Text("GetKeyLocation", {V::String("k")}), "0|612F6200");
  EXPECT_EQ(Text("GetKeyLocation", {V::String("none")}), "509");
  ui_.files.push_back(std::string("/x"));
  EXPECT_EQ(Text("ChangeKeyLocation", {V::String("k")}), "0|2F78");
  EXPECT_EQ(Text("ChangeKeyLocation", {V::String("k")}), "8");
}

TEST_F(Dispatcher, StringArgumentsAreExactBytesUpToTheirFirstZero) {
  const std::string utf8 = "Klucz \xC5\x81\xC3\xB3" "d\xC5\xBA";
  EXPECT_EQ(Text("SetKey", {V::String(utf8), V::String("41"), V::String("d"), V::Int(0)}), "0");
  ASSERT_NE(d_.Engine().FindKey(utf8.c_str()), nullptr);
  // The engine works with zero-terminated texts: a zero byte ends the name.
  EXPECT_EQ(Text("SetKey", {V::String(std::string("ab\0cd", 5)), V::String("41"), V::String("d"),
                            V::Int(0)}),
            "0");
  EXPECT_NE(d_.Engine().FindKey("ab"), nullptr);
  EXPECT_EQ(d_.Engine().Keys().size(), 2u);
}

// A call that arrives while an earlier call is still inside a dialog must
// not re-enter the engine.
class ReentrantUi : public quenta_test::ScriptedUi {
 public:
  CMethodDispatcher* d = nullptr;
  std::vector<ScriptResult> nested;
  bool ChooseFileToOpen(const OpenFileRequest& r, std::string& path) override {
    MethodId id;
    FindMethodByName("RemoveKey", &id);
    nested.push_back(d->Call(id, {V::String("k")}));
    FindMethodByName("TestComponent", &id);
    nested.push_back(d->Call(id, {}));
    FindMethodByName("SetKey", &id);
    nested.push_back(d->Call(id, {V::String("k")}));  // wrong count: still an exception
    path = "/chosen";
    return true;
  }
};

TEST_F(Dispatcher, CallsDuringADialogAreRefusedWithTheirOwnCode) {
  ReentrantUi reentrant;
  reentrant.d = &d_;
  ASSERT_EQ(Text("SetKey", {V::String("k"), V::String("41"), V::String("d"), V::Int(0)}), "0");
  EXPECT_EQ(Text("ChangeKeyLocation", {V::String("k")}), "0|2F63686F73656E");
  ASSERT_EQ(reentrant.nested.size(), 3u);
  EXPECT_EQ(reentrant.nested[0].kind, ScriptResult::kText);
  EXPECT_EQ(reentrant.nested[0].text, "603");
  EXPECT_EQ(reentrant.nested[1].text, "OK|1,3,0,85");
  EXPECT_EQ(reentrant.nested[2].kind, ScriptResult::kException);
  // The refused call changed nothing, and the engine takes calls again.
  EXPECT_NE(d_.Engine().FindKey("k"), nullptr);
  EXPECT_EQ(Text("RemoveKey", {V::String("k")}), "0");
}

}  // namespace
