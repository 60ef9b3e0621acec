// The module's entry points and its plug-in functions, driven through the
// browser-emulating host as a Linux browser drives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/npapi/npapi_types.h"
#include "tests/host/browser_host.h"
#include "tests/support/test_support.h"

namespace {

using quenta_host::BrowserHost;
using quenta_host::Instance;

constexpr uint16_t kVersion = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;  // 0x0013
constexpr const char* kPluginName = "VUDevuvodIraz";
constexpr const char* kPluginDescription = "NPRuntime scriptability API test plugin";

// The 13 slots the module fills, by name, for readable failures.
std::vector<std::pair<const char*, const void*>> FilledSlots(const NPPluginFuncs& f) {
  return {{"newp", reinterpret_cast<const void*>(f.newp)},
          {"destroy", reinterpret_cast<const void*>(f.destroy)},
          {"setwindow", reinterpret_cast<const void*>(f.setwindow)},
          {"newstream", reinterpret_cast<const void*>(f.newstream)},
          {"destroystream", reinterpret_cast<const void*>(f.destroystream)},
          {"asfile", reinterpret_cast<const void*>(f.asfile)},
          {"writeready", reinterpret_cast<const void*>(f.writeready)},
          {"write", reinterpret_cast<const void*>(f.write)},
          {"print", reinterpret_cast<const void*>(f.print)},
          {"event", reinterpret_cast<const void*>(f.event)},
          {"urlnotify", reinterpret_cast<const void*>(f.urlnotify)},
          {"getvalue", reinterpret_cast<const void*>(f.getvalue)},
          {"setvalue", reinterpret_cast<const void*>(f.setvalue)}};
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_unique<BrowserHost>(QUENTA_MODULE_PATH);
    ASSERT_TRUE(host_->loaded()) << host_->load_error();
    ASSERT_TRUE(host_->has_all_exports());
  }

  quenta_test::TempDir config_;
  quenta_test::ScopedEnv config_env_{"XDG_CONFIG_HOME", config_.path()};
  std::unique_ptr<BrowserHost> host_;
};

// ---- NP_GetEntryPoints ----------------------------------------------------------

TEST_F(ModuleTest, GetEntryPointsRejectsNullTable) {
  EXPECT_EQ(host_->NP_GetEntryPoints(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);
}

TEST_F(ModuleTest, GetEntryPointsLeavesTooSmallTableUntouched) {
  for (uint16_t size : {uint16_t(0), uint16_t(kMinPluginFuncsSize / 2),
                        uint16_t(kMinPluginFuncsSize - 1)}) {
    SCOPED_TRACE(size);
    NPPluginFuncs table;
    std::memset(&table, 0xA5, sizeof table);
    table.size = size;
    NPPluginFuncs before = table;
    EXPECT_EQ(host_->NP_GetEntryPoints(&table), NPERR_INVALID_FUNCTABLE_ERROR);
    EXPECT_EQ(std::memcmp(&table, &before, sizeof table), 0);
  }
}

TEST_F(ModuleTest, GetEntryPointsFillsTable) {
  for (uint16_t size : {kMinPluginFuncsSize, uint16_t(sizeof(NPPluginFuncs))}) {
    SCOPED_TRACE(size);
    NPPluginFuncs table;
    std::memset(&table, 0xA5, sizeof table);
    table.size = size;
    table.version = 0;
    EXPECT_EQ(host_->NP_GetEntryPoints(&table), NPERR_NO_ERROR);
    EXPECT_EQ(table.size, size);
    EXPECT_EQ(table.version, 19);
    EXPECT_EQ(table.javaClass, nullptr);
    for (auto& [name, slot] : FilledSlots(table)) {
      EXPECT_NE(slot, nullptr) << name;
      void* pattern;
      std::memset(&pattern, 0xA5, sizeof pattern);
      EXPECT_NE(slot, pattern) << name << " left as it was";
    }
    // The later additions are neither read nor written.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&table);
    for (size_t i = kMinPluginFuncsSize; i < sizeof table; ++i)
      ASSERT_EQ(bytes[i], 0xA5) << "byte " << i;
  }
}

// ---- NP_Initialize ----------------------------------------------------------------

struct InitCase {
  uint16_t size;
  uint16_t version;
  NPError expected;
};

void PrintTo(const InitCase& c, std::ostream* os) {
  *os << "size " << c.size << ", version 0x" << std::hex << c.version << std::dec << " -> "
      << c.expected;
}

class InitializeTest : public ModuleTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitializeTest, ChecksVersionThenSize) {
  const InitCase& c = GetParam();
  // The browser table as a block of exactly the declared size, so that a
  // module reading past it is caught by the address sanitizer.
  NPNetscapeFuncs full = BrowserHost::MakeBrowserFuncs();
  size_t bytes = std::max<size_t>(c.size, offsetof(NPNetscapeFuncs, geturl));
  std::unique_ptr<unsigned char[]> block(new unsigned char[bytes]);
  std::memcpy(block.get(), &full, std::min(bytes, sizeof full));
  auto* table = reinterpret_cast<NPNetscapeFuncs*>(block.get());
  table->size = c.size;
  table->version = c.version;

  NPPluginFuncs plugin{};
  plugin.size = sizeof plugin;
  EXPECT_EQ(host_->NP_Initialize(table, &plugin), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, InitializeTest,
    ::testing::Values(InitCase{0, kVersion, NPERR_INVALID_FUNCTABLE_ERROR},
                      InitCase{uint16_t(kMinBrowserFuncsSize - 1), kVersion,
                               NPERR_INVALID_FUNCTABLE_ERROR},
                      InitCase{kMinBrowserFuncsSize, kVersion, NPERR_NO_ERROR},
                      InitCase{uint16_t(sizeof(NPNetscapeFuncs)), kVersion, NPERR_NO_ERROR},
                      // Only the major version matters.
                      InitCase{uint16_t(sizeof(NPNetscapeFuncs)), 0x0009, NPERR_NO_ERROR},
                      InitCase{uint16_t(sizeof(NPNetscapeFuncs)), 0x00FF, NPERR_NO_ERROR},
                      InitCase{0, 0x0100, NPERR_INCOMPATIBLE_VERSION_ERROR},
                      InitCase{uint16_t(kMinBrowserFuncsSize - 1), 0x0100,
                               NPERR_INCOMPATIBLE_VERSION_ERROR},
                      InitCase{kMinBrowserFuncsSize, 0x0100, NPERR_INCOMPATIBLE_VERSION_ERROR},
                      InitCase{uint16_t(sizeof(NPNetscapeFuncs)), 0x0100,
                               NPERR_INCOMPATIBLE_VERSION_ERROR},
                      InitCase{uint16_t(sizeof(NPNetscapeFuncs)), 0x1013,
                               NPERR_INCOMPATIBLE_VERSION_ERROR}));

TEST_F(ModuleTest, InitializeRejectsNullTable) {
  NPPluginFuncs plugin{};
  plugin.size = sizeof plugin;
  EXPECT_EQ(host_->NP_Initialize(nullptr, &plugin), NPERR_INVALID_FUNCTABLE_ERROR);
}

TEST_F(ModuleTest, StartFillsPluginTableAsGetEntryPointsDoes) {
  ASSERT_EQ(host_->Start(), NPERR_NO_ERROR);
  NPPluginFuncs direct{};
  direct.size = sizeof direct;
  ASSERT_EQ(host_->NP_GetEntryPoints(&direct), NPERR_NO_ERROR);
  const NPPluginFuncs& started = host_->plugin_funcs();
  EXPECT_EQ(started.version, 19);
  EXPECT_EQ(started.javaClass, nullptr);
  auto a = FilledSlots(started), b = FilledSlots(direct);
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].second, b[i].second) << a[i].first;
}

TEST_F(ModuleTest, TableOfMinimumSizeIsEnoughForAPage) {
  host_->browser_funcs().size = kMinBrowserFuncsSize;
  ASSERT_EQ(host_->Start(), NPERR_NO_ERROR);
  auto instance = host_->CreateInstance();
  ASSERT_EQ(instance->new_result(), NPERR_NO_ERROR);
  auto r = instance->Invoke("TestComponent");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.result, "OK|1,3,0,85");
}

TEST_F(ModuleTest, BrowserFunctionsAreCopiedAtInitialisation) {
  ASSERT_EQ(host_->Start(), NPERR_NO_ERROR);
  // The browser may reuse its table afterwards; the module keeps its copy.
  host_->browser_funcs() = NPNetscapeFuncs{};
  auto instance = host_->CreateInstance();
  ASSERT_EQ(instance->new_result(), NPERR_NO_ERROR);
  auto r = instance->Invoke("TestComponent");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.result, "OK|1,3,0,85");
}

TEST_F(ModuleTest, ShutdownSucceeds) {
  ASSERT_EQ(host_->Start(), NPERR_NO_ERROR);
  EXPECT_EQ(host_->NP_Shutdown(), NPERR_NO_ERROR);
}

// ---- what a Linux browser asks before initialising ----------------------------------

TEST_F(ModuleTest, MimeDescriptionNamesTypeAndExtension) {
  const char* d = host_->NP_GetMIMEDescription();
  ASSERT_NE(d, nullptr);
  const std::string prefix = "application/quenta-sign-plugin:sig:";
  std::string text = d;
  ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
  EXPECT_GT(text.size(), prefix.size()) << "no description after the extension";
}

TEST_F(ModuleTest, ModuleValueQueriesGiveNameAndDescription) {
  const char* name = nullptr;
  ASSERT_EQ(host_->NP_GetValue(nullptr, NPPVpluginNameString, &name), NPERR_NO_ERROR);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, kPluginName);
  const char* description = nullptr;
  ASSERT_EQ(host_->NP_GetValue(nullptr, NPPVpluginDescriptionString, &description),
            NPERR_NO_ERROR);
  ASSERT_NE(description, nullptr);
  EXPECT_STREQ(description, kPluginDescription);
}

// ---- plug-in functions ----------------------------------------------------------------

class PluginFunctionsTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(host_->Start(), NPERR_NO_ERROR);
    f_ = host_->plugin_funcs();
  }

  std::unique_ptr<Instance> NewInstance() {
    auto instance = host_->CreateInstance();
    EXPECT_EQ(instance->new_result(), NPERR_NO_ERROR);
    return instance;
  }

  NPPluginFuncs f_{};
};

TEST_F(PluginFunctionsTest, NullInstanceIsInvalid) {
  NPStream stream{};
  uint16_t stype = NP_NORMAL;
  char buffer[16] = {};
  NPWindow window{};
  void* value = nullptr;
  char type[] = "application/quenta-sign-plugin";
  NPSavedData* saved = nullptr;
  const std::vector<std::pair<const char*, std::function<int()>>> calls = {
      {"NPP_New", [&] { return f_.newp(type, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr); }},
      {"NPP_Destroy", [&] { return f_.destroy(nullptr, &saved); }},
      {"NPP_SetWindow", [&] { return f_.setwindow(nullptr, &window); }},
      {"NPP_NewStream", [&] { return f_.newstream(nullptr, type, &stream, 0, &stype); }},
      {"NPP_DestroyStream", [&] { return f_.destroystream(nullptr, &stream, NPRES_DONE); }},
      {"NPP_WriteReady", [&] { return f_.writeready(nullptr, &stream); }},
      {"NPP_Write", [&] { return f_.write(nullptr, &stream, 0, 16, buffer); }},
      {"NPP_GetValue", [&] { return f_.getvalue(nullptr, NPPVpluginNameString, &value); }},
      {"NPP_SetValue", [&] { return f_.setvalue(nullptr, NPNVisOfflineBool, &value); }},
  };
  for (auto& [name, call] : calls) EXPECT_EQ(call(), NPERR_INVALID_INSTANCE_ERROR) << name;

  EXPECT_EQ(f_.event(nullptr, nullptr), 0);
  f_.asfile(nullptr, &stream, "/tmp/x");
  f_.print(nullptr, nullptr);
  f_.urlnotify(nullptr, "http://localhost/", NPRES_DONE, nullptr);
}

TEST_F(PluginFunctionsTest, NewAttachesARecordWhateverTheArguments) {
  auto instance = NewInstance();
  EXPECT_NE(instance->npp()->pdata, nullptr);

  // Type, mode and attributes are ignored.
  NPP_t other{};
  char type[] = "application/x-other";
  EXPECT_EQ(f_.newp(type, &other, NP_FULL, 0, nullptr, nullptr, nullptr), NPERR_NO_ERROR);
  EXPECT_NE(other.pdata, nullptr);
  EXPECT_NE(other.pdata, instance->npp()->pdata);
  EXPECT_EQ(f_.destroy(&other, nullptr), NPERR_NO_ERROR);
}

TEST_F(PluginFunctionsTest, InstanceWithoutRecord) {
  NPP_t bare{};
  NPWindow window{};
  window.window = reinterpret_cast<void*>(0x1234);
  void* value = nullptr;
  for (NPPVariable v : {NPPVpluginNameString, NPPVpluginDescriptionString,
                        NPPVpluginScriptableNPObject}) {
    EXPECT_EQ(f_.getvalue(&bare, v, &value), NPERR_GENERIC_ERROR) << v;
  }
  EXPECT_EQ(f_.setwindow(&bare, &window), NPERR_GENERIC_ERROR);
  EXPECT_EQ(f_.event(&bare, nullptr), 0);
  EXPECT_EQ(f_.destroy(&bare, nullptr), NPERR_NO_ERROR);
  EXPECT_EQ(host_->objects_created(), 0u);
}

TEST_F(PluginFunctionsTest, GetValueTexts) {
  auto instance = NewInstance();
  const char* text = nullptr;
  ASSERT_EQ(instance->GetValue(NPPVpluginNameString, &text), NPERR_NO_ERROR);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, kPluginName);
  text = nullptr;
  ASSERT_EQ(instance->GetValue(NPPVpluginDescriptionString, &text), NPERR_NO_ERROR);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, kPluginDescription);
}

TEST_F(PluginFunctionsTest, GetValueOtherVariablesFail) {
  auto instance = NewInstance();
  for (int v : {0, 3, 4, 5, 6, 7, 11, 12, 13, 14, 16, 17, 100, 0x7FFFFFFF}) {
    alignas(8) unsigned char value[64] = {};
    EXPECT_EQ(instance->GetValue(static_cast<NPPVariable>(v), value), NPERR_GENERIC_ERROR) << v;
  }
  EXPECT_EQ(host_->objects_created(), 0u);
}

TEST_F(PluginFunctionsTest, ScriptableObjectIsSharedAndCounted) {
  auto instance = NewInstance();
  auto first = instance->GetScriptableObject();
  ASSERT_EQ(first.error, NPERR_NO_ERROR);
  ASSERT_NE(first.object, nullptr);
  EXPECT_TRUE(host_->IsObjectAlive(first.object)) << "not made with NPN_CreateObject";
  // The record's reference and the caller's.
  EXPECT_EQ(first.object->referenceCount, 2u);

  auto second = instance->GetScriptableObject();
  ASSERT_EQ(second.error, NPERR_NO_ERROR);
  EXPECT_EQ(second.object, first.object);
  EXPECT_EQ(second.object->referenceCount, 3u);
  EXPECT_EQ(host_->objects_created(), 1u);

  // Destroying the instance drops the record's reference only.
  EXPECT_EQ(instance->Destroy(), NPERR_NO_ERROR);
  ASSERT_TRUE(host_->IsObjectAlive(first.object));
  EXPECT_EQ(first.object->referenceCount, 2u);
  host_->Release(first.object);
  ASSERT_TRUE(host_->IsObjectAlive(first.object));
  host_->Release(second.object);
  EXPECT_FALSE(host_->IsObjectAlive(first.object));
  EXPECT_EQ(host_->dead_object_uses(), 0u);
}

TEST_F(PluginFunctionsTest, FailedObjectCreationIsRetried) {
  auto instance = NewInstance();
  host_->FailNextObjectCreations(1);
  auto failed = instance->GetScriptableObject();
  EXPECT_EQ(failed.error, NPERR_NO_ERROR);
  EXPECT_EQ(failed.object, nullptr);
  auto next = instance->GetScriptableObject();
  EXPECT_EQ(next.error, NPERR_NO_ERROR);
  ASSERT_NE(next.object, nullptr);
  EXPECT_EQ(next.object->referenceCount, 2u);
  host_->Release(next.object);
}

TEST_F(PluginFunctionsTest, EachInstanceHasItsOwnObject) {
  auto a = NewInstance();
  auto b = NewInstance();
  auto oa = a->GetScriptableObject();
  auto ob = b->GetScriptableObject();
  ASSERT_NE(oa.object, nullptr);
  ASSERT_NE(ob.object, nullptr);
  EXPECT_NE(oa.object, ob.object);
  host_->Release(oa.object);
  host_->Release(ob.object);
}

TEST_F(PluginFunctionsTest, DestroyWithoutObjectCreatesNone) {
  auto instance = NewInstance();
  EXPECT_EQ(instance->SetWindow(reinterpret_cast<void*>(0x1234)), NPERR_NO_ERROR);
  EXPECT_EQ(instance->Destroy(), NPERR_NO_ERROR);
  EXPECT_EQ(host_->objects_created(), 0u);
}

TEST_F(PluginFunctionsTest, SetWindowNullRecordFails) {
  auto instance = NewInstance();
  EXPECT_EQ(instance->SetWindowRecord(nullptr), NPERR_GENERIC_ERROR);
}

TEST_F(PluginFunctionsTest, SetWindowSequence) {
  auto instance = NewInstance();
  // No handle yet: nothing to take over.
  EXPECT_EQ(instance->SetWindow(nullptr), NPERR_NO_ERROR);
  EXPECT_EQ(instance->SetWindow(nullptr), NPERR_NO_ERROR);
  // The first handle is taken over.
  EXPECT_EQ(instance->SetWindow(reinterpret_cast<void*>(0x1111)), NPERR_NO_ERROR);
  // Resizes, another window and the window going away change nothing.
  EXPECT_EQ(instance->SetWindow(reinterpret_cast<void*>(0x1111)), NPERR_NO_ERROR);
  EXPECT_EQ(instance->SetWindow(reinterpret_cast<void*>(0x2222)), NPERR_NO_ERROR);
  EXPECT_EQ(instance->SetWindow(nullptr), NPERR_NO_ERROR);
  // The instance is still usable and goes away cleanly.
  auto r = instance->Invoke("TestComponent");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(instance->Destroy(), NPERR_NO_ERROR);
}

TEST_F(PluginFunctionsTest, EventsAreNotHandled) {
  auto instance = NewInstance();
  int event[8] = {};
  EXPECT_EQ(f_.event(instance->npp(), event), 0);
  EXPECT_EQ(f_.event(instance->npp(), nullptr), 0);
}

TEST_F(PluginFunctionsTest, StreamsAreAcceptedAndDiscarded) {
  auto instance = NewInstance();
  NPP npp = instance->npp();
  char type[] = "application/octet-stream";
  NPStream stream{};
  stream.url = "http://localhost/data";
  for (uint16_t initial : {NP_NORMAL, NP_ASFILEONLY}) {
    uint16_t stype = initial;
    EXPECT_EQ(f_.newstream(npp, type, &stream, 1, &stype), NPERR_NO_ERROR);
    EXPECT_EQ(stype, initial) << "stream type changed";
  }
  EXPECT_EQ(f_.writeready(npp, &stream), 268435455);
  std::vector<char> buffer(65536, 'x');
  for (int32_t len : {0, 1, 100, 65536}) {
    EXPECT_EQ(f_.write(npp, &stream, 0, len, buffer.data()), len) << len;
  }
  EXPECT_EQ(f_.write(npp, &stream, 4096, 100, buffer.data()), 100);
  f_.asfile(npp, &stream, "/tmp/data");
  for (NPReason reason : {NPRES_DONE, NPRES_NETWORK_ERR, NPRES_USER_BREAK}) {
    EXPECT_EQ(f_.destroystream(npp, &stream, reason), NPERR_NO_ERROR) << reason;
  }
  f_.urlnotify(npp, "javascript:void(0)", NPRES_DONE, nullptr);
  NPPrint print{};
  print.mode = NP_EMBED;
  f_.print(npp, &print);
}

TEST_F(PluginFunctionsTest, SetValueStoresNothing) {
  auto instance = NewInstance();
  NPBool flag = 1;
  for (NPNVariable v : {NPNVisOfflineBool, NPNVjavascriptEnabledBool, NPNVSupportsXEmbedBool}) {
    EXPECT_EQ(f_.setvalue(instance->npp(), v, &flag), NPERR_NO_ERROR) << v;
  }
}

}  // namespace
