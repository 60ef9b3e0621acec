// Hostile page input for every method: huge strings, zero bytes, invalid
// UTF-8, quotes and script in key names, wrong types and counts. Each call
// ends in its documented form (a script exception for wrong types and
// counts, a result text whose first field is a code otherwise), no dialog is
// left open, and the page's key list loses nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "plugin/method_dispatcher.h"
#include "plugin/texts.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_support.h"

namespace {

using namespace quenta;
using V = ScriptValue;

class HostilePages : public ::testing::Test {
 protected:
  HostilePages()
      : home_("XDG_CONFIG_HOME", dir_.File("home")),
        machine_("XDG_CONFIG_DIRS", dir_.File("xdg")) {
    quenta_test::RunCommand("mkdir -p " + dir_.File("xdg/norvale/smartcard"));
    // Device support "installed", so the signing methods get past their
    // first check; no usable PC/SC library, so token methods fail at once.
    quenta_test::WriteFile(dir_.File("xdg/norvale/smartcard/components.conf"),
                           "GemPCKey USB=1\nGemPCTwin USB=1\nPCSC Library=" + dir_.File("none.so") +
                               "\n");
  }
  ~HostilePages() override { SelectLanguage(0); }

  void ExpectKeyListIntact() {
    ASSERT_EQ(d_.Engine().Keys().size(), 1u);
    const CKeyStorage* k = d_.Engine().FindKey("K1");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->label, "Main");
    EXPECT_STREQ(k->reference.c_str(), "4142");
    EXPECT_EQ(k->kind, 0);
    EXPECT_EQ(d_.Engine().CurrentKey(), nullptr);
  }

  quenta_test::TempDir dir_;
  quenta_test::ScopedEnv home_;
  quenta_test::ScopedEnv machine_;
  quenta_test::ScriptedUi ui_;
  CMethodDispatcher d_;
};

bool IsCodeResult(const std::string& text) {
  if (text.rfind("OK|", 0) == 0) return true;
  std::size_t bar = text.find('|');
  std::string first = text.substr(0, bar);
  if (first.empty()) return false;
  for (char c : first)
    if (c < '0' || c > '9') return false;
  return true;
}

TEST_F(HostilePages, EveryMethodSurvivesHostileArguments) {
  MethodId setKey;
  ASSERT_TRUE(FindMethodByName("SetKey", &setKey));
  ASSERT_EQ(d_.Call(setKey, {V::String("K1"), V::String("4D61696E"), V::String("4142"), V::Int(0)})
                .text,
            "0");

  const std::vector<std::string> hostile = {
      std::string(1 << 20, 'A'),                 // huge, and valid hex
      std::string(1 << 20, 'z'),                 // huge, not hex
      std::string("K1\0injected", 11),           // zero byte inside
      "\xC3\x28\xFF\xFE invalid UTF-8",
      "K1'); alert(1); //</script><script>x()",  // quotes and script
      "|K1|",                                    // allowed keys naming a real key
      "|",
      "",
      "|%d|%s%n",
  };
  const std::vector<ScriptValue> hostileInts = {V::Int(INT32_MIN), V::Int(INT32_MAX), V::Double(1e300),
                                                V::String("-99999999999"), V::Null()};
  for (int m = 0; m < kMethodCount; ++m) {
    const MethodEntry& entry = GetMethodEntry(static_cast<MethodId>(m));
    if (entry.id == MethodId::kSetKey || entry.id == MethodId::kRemoveKey) continue;  // below
    for (std::size_t h = 0; h < hostile.size(); ++h) {
      std::vector<ScriptValue> args;
      for (int i = 0; i < std::max(entry.argCount, 0); ++i)
        args.push_back(entry.kinds[i] == ArgKind::kString
                           ? V::String(hostile[h])
                           : hostileInts[(h + i) % hostileInts.size()]);
      ScriptResult r = d_.Call(entry.id, args);
      SCOPED_TRACE(std::string(entry.name) + " with hostile value #" + std::to_string(h));
      if (entry.id == MethodId::kSetLanguage) {
        EXPECT_EQ(r.kind, ScriptResult::kVoid);
      } else if (entry.id == MethodId::kRegisterCert) {
        EXPECT_EQ(r.kind, ScriptResult::kUntouched);
      } else {
        ASSERT_EQ(r.kind, ScriptResult::kText);
        EXPECT_TRUE(IsCodeResult(r.text)) << r.text.substr(0, 80);
      }
      ExpectKeyListIntact();
    }
    // Wrong counts and wrong types are script exceptions and reach nothing.
    if (entry.argCount > 0) {
      std::vector<ScriptValue> tooFew(entry.argCount - 1, V::String("x"));
      std::vector<ScriptValue> tooMany(entry.argCount + 1, V::String("x"));
      EXPECT_EQ(d_.Call(entry.id, tooFew).kind, ScriptResult::kException) << entry.name;
      EXPECT_EQ(d_.Call(entry.id, tooMany).kind, ScriptResult::kException) << entry.name;
      for (int i = 0; i < entry.argCount; ++i) {
        if (entry.kinds[i] != ArgKind::kString) continue;
        for (ScriptValue wrong : {V::Int(1), V::Null(), V::Void(), V::Object(), V::Bool(true)}) {
          std::vector<ScriptValue> args(entry.argCount, V::String("x"));
          args[i] = wrong;
          EXPECT_EQ(d_.Call(entry.id, args).kind, ScriptResult::kException) << entry.name;
        }
      }
      ExpectKeyListIntact();
    }
  }
  EXPECT_LT(ui_.dialogs.size(), 1000u);  // every dialog opened was also closed

  // SetKey and RemoveKey with hostile names change only what they name.
  MethodId removeKey;
  ASSERT_TRUE(FindMethodByName("RemoveKey", &removeKey));
  for (const std::string& name : hostile) {
    if (name == "K1" || name.rfind("K1", 0) == 0) continue;
    ScriptResult set = d_.Call(setKey, {V::String(name), V::String("41"), V::String("d"), V::Int(0)});
    ASSERT_EQ(set.kind, ScriptResult::kText);
    if (set.text == "0") EXPECT_EQ(d_.Call(removeKey, {V::String(name)}).text, "0");
    else EXPECT_EQ(set.text, "1");  // an empty name
    ExpectKeyListIntact();
  }
}

}  // namespace
