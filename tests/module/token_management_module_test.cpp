// The token management methods as a page calls them, on the built module:
// the paths that end before any dialog (no device, a device of the wrong
// kind, both PINs locked), with the module reaching the scripted PC/SC
// library and PKCS#11 module through the machine settings.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "platform/npapi/npapi_types.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/host/browser_host.h"
#include "tests/support/test_support.h"

namespace {

using quenta_host::BrowserHost;
using quenta_host::Instance;
using quenta_host::Value;
using namespace quenta_test;

const std::string kPcscDouble = std::string(QUENTA_BINARY_DIR) + "/tests/doubles/libquenta_pcsc_double.so";
const std::string kP11Double = std::string(QUENTA_BINARY_DIR) + "/tests/doubles/libquenta_pkcs11_double.so";
constexpr unsigned long kSlot = 0x101;

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class TokenMethods : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Exists(kPcscDouble) || !Exists(kP11Double)) GTEST_SKIP() << "the doubles are not built";
    pcsc_ = std::make_unique<PcscDouble>(kPcscDouble);
    p11_ = std::make_unique<P11Double>(kP11Double);
    settings_.Write({"PCSC Library=" + kPcscDouble, "PKCS11 Module=" + kP11Double});
    host_ = std::make_unique<BrowserHost>(QUENTA_MODULE_PATH);
    ASSERT_TRUE(host_->loaded()) << host_->load_error();
    ASSERT_EQ(host_->Start(), NPERR_NO_ERROR);
    page_ = host_->CreateInstance();
    ASSERT_TRUE(page_ && page_->new_result() == NPERR_NO_ERROR);
    page_->SetWindow(reinterpret_cast<void*>(0x4400001));
  }
  void TearDown() override {
    page_.reset();
    host_.reset();
  }

  std::string Text(const std::string& method, const std::vector<Value>& args = {}) {
    auto r = page_->Invoke(method, args);
    EXPECT_TRUE(r.ok) << method;
    EXPECT_TRUE(r.result.is_string()) << method << " gave " << r.result.Describe();
    return r.result.is_string() ? r.result.as_string() : std::string();
  }

  // A USB token with one key pair, both PINs locked. With listed, the page
  // lists that key as "Main".
  void LockedToken(bool listed) {
    pcsc_->AddReader(kTokenReader, kPlainAtr);
    p11_->AddToken(kSlot, kTokenReader, "SN", "1234", "12345678");
    const std::string modulus(128, '\x5A');
    p11_->AddKey(kSlot, "main", reinterpret_cast<const unsigned char*>(modulus.data()),
                 modulus.size(), 1, 1);
    p11_->SetTries(kSlot, 0, 0);
    if (!listed) return;
    // The token digest: SHA-1 over the modulus and 01 00 01, in upper case.
    WriteFile(config_.File("modulus"), modulus + std::string("\x01\x00\x01", 3));
    std::string out;
    ASSERT_EQ(RunCommand("openssl dgst -sha1 -r '" + config_.File("modulus") + "'", &out), 0);
    std::string digest = out.substr(0, 40);
    for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(Text("SetKey", {"Main", "6D61696E", digest, 11}), "0");
  }

  TempDir config_;
  ScopedEnv config_env_{"XDG_CONFIG_HOME", config_.path()};
  MachineSettings settings_;
  std::unique_ptr<PcscDouble> pcsc_;
  std::unique_ptr<P11Double> p11_;
  std::unique_ptr<BrowserHost> host_;
  std::unique_ptr<Instance> page_;
};

}  // namespace

TEST_F(TokenMethods, WithoutADeviceEachGivesItsCode) {
  struct Case {
    const char* method;
    const char* result;
  } cases[] = {{"ChangePIN", "93"},          {"ChangePUK", "93"},
               {"UnblockCard", "93"},        {"InitializeCard", "93"},
               {"RemoveKeysFromCard", "93"}, {"RemoveKeysFromSmartCard", "48"},
               {"RemoveKeysFromUSBToken", "133"}};
  for (const Case& c : cases) EXPECT_EQ(Text(c.method), c.result) << c.method;
}

TEST_F(TokenMethods, ASmartCardIsNoUsbToken) {
  pcsc_->AddReader("Gemalto PC Twin Reader 00 00", kPlainAtr);
  p11_->AddToken(kSlot, "Gemalto PC Twin Reader 00 00", "SN", "1234", "12345678");
  EXPECT_EQ(Text("RemoveKeysFromUSBToken"), "133");
}

// The names field: always with 91 for the PIN methods, even when empty;
// only when not empty for the remove methods.
TEST_F(TokenMethods, BothPinsLockedWithNoListedKey) {
  LockedToken(false);
  for (const char* m : {"ChangePIN", "ChangePUK", "UnblockCard"}) EXPECT_EQ(Text(m), "91|") << m;
  for (const char* m : {"RemoveKeysFromCard", "RemoveKeysFromUSBToken"}) EXPECT_EQ(Text(m), "91") << m;
}

TEST_F(TokenMethods, BothPinsLockedNamesTheListedKey) {
  LockedToken(true);
  for (const char* m : {"ChangePIN", "ChangePUK", "UnblockCard", "RemoveKeysFromCard"})
    EXPECT_EQ(Text(m), "91|Main") << m;
  EXPECT_EQ(p11_->OpenSessions(), 0);
}

TEST_F(TokenMethods, UninitialisedTokenIs120) {
  pcsc_->AddReader(kTokenReader, kPlainAtr);
  p11_->AddToken(kSlot, kTokenReader, "SN", "1234", "12345678");
  p11_->SetState(kSlot, 1, 0);
  for (const char* m : {"ChangePIN", "ChangePUK", "UnblockCard", "RemoveKeysFromUSBToken"})
    EXPECT_EQ(Text(m), "120") << m;
}
