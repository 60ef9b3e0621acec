// The scriptable object a page gets from the plug-in: method matching,
// argument checks and conversions, and how results travel back.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/npapi/npapi_types.h"
#include "tests/host/browser_host.h"
#include "tests/support/test_support.h"

namespace {

using quenta_host::BrowserHost;
using quenta_host::CallResult;
using quenta_host::Instance;
using quenta_host::Value;

constexpr const char* kVersionText = "OK|1,3,0,85";

class ScriptableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<BrowserHost>(QUENTA_MODULE_PATH);
    ASSERT_TRUE(host_->loaded()) << host_->load_error();
    ASSERT_EQ(host_->Start(), NPERR_NO_ERROR);
    page_ = NewPage();
    ASSERT_NE(page_, nullptr);
    object_ = page_->script_object();
    ASSERT_NE(object_, nullptr);
  }

  std::unique_ptr<Instance> NewPage() {
    auto instance = host_->CreateInstance();
    if (!instance || instance->new_result() != NPERR_NO_ERROR) return nullptr;
    instance->SetWindow(reinterpret_cast<void*>(0x4400001));
    return instance;
  }

  CallResult Call(const std::string& method, const std::vector<Value>& args = {}) {
    return page_->Invoke(method, args);
  }

  // A call that must return a string.
  std::string Text(const std::string& method, const std::vector<Value>& args = {}) {
    CallResult r = Call(method, args);
    EXPECT_TRUE(r.ok) << method << " raised a script exception";
    EXPECT_TRUE(r.result.is_string()) << method << " gave " << r.result.Describe();
    return r.result.as_string();
  }

  quenta_test::TempDir config_;
  quenta_test::ScopedEnv config_env_{"XDG_CONFIG_HOME", config_.path()};
  std::unique_ptr<BrowserHost> host_;
  std::unique_ptr<Instance> page_;
  NPObject* object_ = nullptr;
};

// ---- the method table ----------------------------------------------------------------

enum ArgKind { kString, kInteger };

struct MethodArgs {
  const char* name;
  std::vector<ArgKind> args;
};

void PrintTo(const MethodArgs& m, std::ostream* os) { *os << m.name; }

// The methods that take arguments, with the kinds they require.
const std::vector<MethodArgs> kMethodsWithArguments = {
    {"GenerateKey", {kString}},
    {"Sign", {kString, kString, kString}},
    {"SetKey", {kString, kString, kString, kInteger}},
    {"RemoveKey", {kString}},
    {"Sign2", {kString, kString}},
    {"AddCardModel", {kString}},
    {"SetSignDialogType", {kInteger}},
    {"SetLanguage", {kInteger}},
    {"EncryptRand", {kString, kString, kString, kInteger, kString}},
    {"DecryptRand", {kString, kString, kInteger}},
    {"ChangeKeyLocation", {kString}},
    {"GetKeyLocation", {kString}},
    {"SetKeyLocation", {kString, kString}},
};

// The methods that ignore whatever arguments they are given.
const std::vector<const char*> kMethodsWithoutArguments = {
    "TestComponent",  "ShowKeyboard",       "InitializeCard",
    "ChangePIN",      "ChangePUK",          "UnblockCard",
    "RemoveKeysFromCard", "RemoveKeysFromSmartCard", "RemoveKeysFromUSBToken",
    "RegisterCert",
};

std::vector<std::string> AllMethodNames() {
  std::vector<std::string> names;
  for (const auto& m : kMethodsWithArguments) names.push_back(m.name);
  for (const char* m : kMethodsWithoutArguments) names.push_back(m);
  return names;
}

std::vector<Value> ValidArguments(const MethodArgs& m) {
  std::vector<Value> args;
  for (ArgKind k : m.args) args.push_back(k == kString ? Value("x") : Value(1));
  return args;
}

TEST(MethodTableTest, HasAllTwentyThreeNames) {
  auto names = AllMethodNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
  EXPECT_EQ(names.size(), 23u);
}

class ArgumentCheckTest : public ScriptableTest,
                          public ::testing::WithParamInterface<MethodArgs> {};

TEST_P(ArgumentCheckTest, WrongCountRaisesException) {
  const MethodArgs& m = GetParam();
  std::vector<Value> args = ValidArguments(m);

  std::vector<Value> too_few(args.begin(), args.end() - 1);
  EXPECT_FALSE(Call(m.name, too_few).ok) << too_few.size() << " arguments";
  if (args.size() > 1) {
    EXPECT_FALSE(Call(m.name, {}).ok) << "no arguments";
  }

  std::vector<Value> too_many = args;
  too_many.push_back(Value("x"));
  EXPECT_FALSE(Call(m.name, too_many).ok) << too_many.size() << " arguments";
  too_many.push_back(Value(2));
  EXPECT_FALSE(Call(m.name, too_many).ok) << too_many.size() << " arguments";
}

TEST_P(ArgumentCheckTest, NonStringForStringRaisesException) {
  const MethodArgs& m = GetParam();
  const std::vector<Value> wrong = {Value(3), Value(2.5), Value(true), Value(nullptr), Value(),
                                    Value(object_)};
  for (size_t i = 0; i < m.args.size(); ++i) {
    if (m.args[i] != kString) continue;
    for (const Value& w : wrong) {
      std::vector<Value> args = ValidArguments(m);
      args[i] = w;
      EXPECT_FALSE(Call(m.name, args).ok) << "argument " << i << " = " << w.Describe();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Methods, ArgumentCheckTest, ::testing::ValuesIn(kMethodsWithArguments),
                         [](const ::testing::TestParamInfo<MethodArgs>& info) {
                           return std::string(info.param.name);
                         });

// ---- matching names ------------------------------------------------------------------

TEST_F(ScriptableTest, HasMethodForEveryName) {
  auto names = AllMethodNames();
  for (const char* other : {"NoSuchMethod", "testcomponent", "toString", ""}) names.push_back(other);
  for (const std::string& name : names) EXPECT_TRUE(host_->HasMethod(object_, name)) << name;
  EXPECT_TRUE(object_->_class->hasMethod(object_, BrowserHost::IntIdentifier(0)));
}

TEST_F(ScriptableTest, UnknownNamesRaiseException) {
  for (const char* name : {"NoSuchMethod", "testcomponent", "TESTCOMPONENT", "TestComponent ",
                           "Sign3", "", "toString"}) {
    EXPECT_FALSE(Call(name).ok) << '"' << name << '"';
    EXPECT_FALSE(Call(name, {"a", "b"}).ok) << '"' << name << '"';
  }
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  EXPECT_FALSE(object_->_class->invoke(object_, BrowserHost::IntIdentifier(1), nullptr, 0, &result));
}

TEST_F(ScriptableTest, TestComponentIgnoresArguments) {
  const std::vector<std::vector<Value>> calls = {{}, {1, 2, 3}, {"x"}, {nullptr, true, 2.5}};
  for (const auto& args : calls) EXPECT_EQ(Text("TestComponent", args), kVersionText) << args.size();
}

// ---- SetLanguage and RegisterCert give no value -------------------------------------------

TEST_F(ScriptableTest, SetLanguageNeedsExactlyOneArgument) {
  EXPECT_FALSE(Call("SetLanguage").ok);
  EXPECT_FALSE(Call("SetLanguage", {1, 2}).ok);
}

TEST_F(ScriptableTest, SetLanguageTakesAnyValueAndReturnsVoid) {
  const std::vector<Value> values = {"1", true, 0, 2, 1, 2.9, nullptr, Value(), "abc", 99, -1};
  for (const Value& v : values) {
    CallResult r = Call("SetLanguage", {v});
    EXPECT_TRUE(r.ok) << v.Describe();
    EXPECT_TRUE(r.result.is_void()) << v.Describe() << " gave " << r.result.Describe();
  }
  EXPECT_EQ(Text("TestComponent"), kVersionText);
}

TEST_F(ScriptableTest, RegisterCertLeavesResultUntouched) {
  const std::vector<std::vector<Value>> calls = {{}, {1, 2, 3}, {"cert"}, {nullptr}};
  for (const auto& args : calls) {
    CallResult r = Call("RegisterCert", args);
    EXPECT_TRUE(r.ok) << args.size() << " arguments";
    EXPECT_TRUE(r.result.is_void()) << r.result.Describe();
  }
  // Whatever the browser put in the result stays there.
  NPVariant result;
  INT32_TO_NPVARIANT(12345, result);
  NPVariant arg;
  INT32_TO_NPVARIANT(1, arg);
  ASSERT_TRUE(object_->_class->invoke(object_, BrowserHost::StringIdentifier("RegisterCert"), &arg,
                                      1, &result));
  EXPECT_EQ(result.type, NPVariantType_Int32);
  EXPECT_EQ(result.value.intValue, 12345);
}

// ---- properties, default call, construction ------------------------------------------------

TEST_F(ScriptableTest, PropertiesReadAsUndefinedAndCannotBeWritten) {
  for (const char* name : {"length", "TestComponent", "value", ""}) {
    EXPECT_FALSE(host_->HasProperty(object_, name)) << name;
    CallResult r = host_->GetProperty(object_, name);
    EXPECT_TRUE(r.ok) << name;
    EXPECT_TRUE(r.result.is_void()) << name << " gave " << r.result.Describe();
    EXPECT_FALSE(host_->SetProperty(object_, name, Value("v"))) << name;
    EXPECT_FALSE(host_->RemoveProperty(object_, name)) << name;
  }
}

TEST_F(ScriptableTest, EnumerateAndConstructFail) {
  NPNetscapeFuncs& b = host_->browser_funcs();
  NPIdentifier* ids = nullptr;
  uint32_t count = 0;
  EXPECT_FALSE(b.enumerate(page_->npp(), object_, &ids, &count));
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  EXPECT_FALSE(b.construct(page_->npp(), object_, nullptr, 0, &result));
}

TEST_F(ScriptableTest, DefaultCallGivesFixedText) {
  const std::vector<std::vector<Value>> calls = {{}, {1, "x"}};
  for (const auto& args : calls) {
    CallResult r = host_->InvokeDefault(object_, args);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.result, "default method return val");
    EXPECT_TRUE(host_->last_string_result().from_memalloc);
  }
}

TEST_F(ScriptableTest, DiagnosticLines) {
  ::testing::internal::CaptureStdout();
  auto other = NewPage();
  ASSERT_NE(other, nullptr);
  ASSERT_NE(other->script_object(), nullptr);
  std::string created = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(created.find("ScriptablePluginObject"), std::string::npos) << created;

  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(other->InvokeDefault().ok);
  std::string called = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(called, "ScriptablePluginObject default method called!\n");
}

// ---- results ---------------------------------------------------------------------------

TEST_F(ScriptableTest, ResultStringsAreBrowserMemory) {
  struct Case {
    const char* method;
    std::vector<Value> args;
  };
  const std::vector<Case> cases = {
      {"TestComponent", {}},
      {"SetKey", {"k", "41", "c", 0}},
      {"RemoveKey", {"k"}},
      {"RemoveKey", {"k"}},
  };
  for (const Case& c : cases) {
    size_t live = host_->live_blocks();
    size_t total = host_->total_allocations();
    std::string text = Text(c.method, c.args);
    const auto& info = host_->last_string_result();
    EXPECT_TRUE(info.from_memalloc) << c.method << ": result not from NPN_MemAlloc";
    EXPECT_EQ(info.block_size, text.size()) << c.method;
    EXPECT_EQ(info.length, text.size()) << c.method;
    EXPECT_GT(host_->total_allocations(), total) << c.method;
    EXPECT_EQ(host_->live_blocks(), live) << c.method << ": browser memory left behind";
  }
  EXPECT_EQ(host_->foreign_frees(), 0u);
}

TEST_F(ScriptableTest, ResultAllocationFailureRaisesException) {
  host_->FailNextAllocations(1);
  EXPECT_FALSE(Call("TestComponent").ok);
  EXPECT_EQ(Text("TestComponent"), kVersionText);
}

// ---- arguments reaching the engine ------------------------------------------------------

TEST_F(ScriptableTest, Utf8NamesPassByteForByte) {
  const std::string utf8 = "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 g\xC4\x99\xC5\x9Bl\xC4\x85";
  // The same name in ISO 8859-2, which must not match.
  const std::string latin2 = "Za\xBF\xF3\xB3\xE6 g\xEA\xB6l\xB1";
  EXPECT_EQ(Text("SetKey", {utf8, "41", "c", 0}), "0");
  EXPECT_EQ(Text("RemoveKey", {latin2}), "1");
  EXPECT_EQ(Text("RemoveKey", {utf8}), "0");
  EXPECT_EQ(Text("RemoveKey", {utf8}), "1");
}

TEST_F(ScriptableTest, StringLengthIsAllThatCounts) {
  // The browser's buffers carry no terminating zero; a name that stops at
  // its declared length matches the same name given in another call.
  EXPECT_EQ(Text("SetKey", {"key", "41", "c", 0}), "0");
  EXPECT_EQ(Text("RemoveKey", {"ke"}), "1");
  EXPECT_EQ(Text("RemoveKey", {"key"}), "0");
}

TEST_F(ScriptableTest, SetKeyConvertsAnyKind) {
  const std::vector<Value> kinds = {0, 2.9, nullptr, true, Value()};
  for (const Value& kind : kinds) {
    EXPECT_EQ(Text("SetKey", {"a", "41", "c", kind}), "0") << kind.Describe();
  }
  EXPECT_EQ(Text("RemoveKey", {"a"}), "0");
}

TEST_F(ScriptableTest, EachPageHasItsOwnEngine) {
  auto other = NewPage();
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Text("SetKey", {"mine", "41", "c", 0}), "0");
  CallResult r = other->Invoke("RemoveKey", {"mine"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.result, "1");
  EXPECT_EQ(Text("RemoveKey", {"mine"}), "0");
}

TEST_F(ScriptableTest, ObjectOutlivesItsInstance) {
  auto held = page_->GetScriptableObject();
  ASSERT_EQ(held.object, object_);
  ASSERT_EQ(page_->Destroy(), NPERR_NO_ERROR);
  ASSERT_TRUE(host_->IsObjectAlive(object_));
  CallResult r = host_->Invoke(object_, "TestComponent");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.result, kVersionText);
  host_->Release(object_);
  EXPECT_FALSE(host_->IsObjectAlive(object_));
}

}  // namespace
