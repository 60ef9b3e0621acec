// Sign, Sign2, EncryptRand and DecryptRand as a page calls them through the
// loaded module: the results that come back without any window.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/npapi/npapi_types.h"
#include "tests/host/browser_host.h"
#include "tests/support/test_support.h"

namespace {

using quenta_host::BrowserHost;
using quenta_host::Instance;
using quenta_host::Value;
using quenta_test::ScopedEnv;
using quenta_test::TempDir;
using quenta_test::ToHex;

// A proof-of-possession record: type 1, the block "A", the key name "K1".
const std::string kRecordForK1 = "01" "00000001" "41" "00000002" "4B31";

class SigningContract : public ::testing::Test {
 protected:
  void SetUp() override {
    quenta_test::RunCommand("mkdir -p '" + machine_.path() + "/norvale/smartcard'");
    SetComponents("GemPCTwin USB=1\n");
    host_ = std::make_unique<BrowserHost>(QUENTA_MODULE_PATH);
    ASSERT_TRUE(host_->loaded()) << host_->load_error();
    ASSERT_EQ(host_->Start(), NPERR_NO_ERROR);
    page_ = host_->CreateInstance();
    ASSERT_TRUE(page_ && page_->new_result() == NPERR_NO_ERROR);
    page_->SetWindow(reinterpret_cast<void*>(0x4400001));
    ASSERT_NE(page_->script_object(), nullptr);
  }

  void SetComponents(const std::string& text) {
    quenta_test::WriteFile(machine_.path() + "/norvale/smartcard/components.conf", text);
  }

  std::string Text(const std::string& method, const std::vector<Value>& args) {
    quenta_host::CallResult r = page_->Invoke(method, args);
    EXPECT_TRUE(r.ok) << method << " raised a script exception";
    EXPECT_TRUE(r.result.is_string()) << method << " gave " << r.result.Describe();
    return r.result.as_string();
  }
  void AddKey(const char* name) {
    ASSERT_EQ(Text("SetKey", {name, ToHex(name), "00112233", 0}), "0");
  }

  TempDir config_, machine_;
  ScopedEnv configEnv_{"XDG_CONFIG_HOME", config_.path()};
  ScopedEnv machineEnv_{"XDG_CONFIG_DIRS", machine_.path()};
  std::unique_ptr<BrowserHost> host_;
  std::unique_ptr<Instance> page_;
};

TEST_F(SigningContract, WithoutAReaderComponentSigningAnswers135) {
  SetComponents("");
  AddKey("K1");
  EXPECT_EQ(Text("Sign", {"|K1|", "K1", "00"}), "135");
  EXPECT_EQ(Text("Sign", {"|", "K1", "not hex"}), "135");
  EXPECT_EQ(Text("Sign2", {"00", "K1"}), "135");
  // The login operations do not ask for one.
  EXPECT_EQ(Text("EncryptRand", {"|K1|", "K1", "", 1, ""}), "1");
}

TEST_F(SigningContract, SignCodesBeforeAnyWindow) {
  EXPECT_EQ(Text("Sign", {"|", "k", "00"}), "34");
  EXPECT_EQ(Text("Sign2", {"00", "k"}), "34");
  AddKey("K1");
  EXPECT_EQ(Text("Sign", {"|", "k", "00"}), "35");
  for (const char* bad : {"", "0", "0G"}) {
    EXPECT_EQ(Text("Sign", {"|K1|", "K1", bad}), "1") << bad;
    EXPECT_EQ(Text("Sign2", {bad, "K1"}), "1") << bad;
  }
  EXPECT_EQ(Text("Sign2", {"313A4B776F74613A3130307C", "K9"}), "5");
}

TEST_F(SigningContract, OpenChallengeBlocksSigningUntilAnswered) {
  EXPECT_EQ(Text("EncryptRand", {"|K1|", "K1", "nonce", 1, ""}), "34");
  EXPECT_EQ(Text("Sign", {"|", "k", "00"}), "600");  // blocked even by a failed call
  AddKey("K1");
  EXPECT_EQ(Text("EncryptRand", {"|", "K1", "nonce", 1, ""}), "35");
  EXPECT_EQ(Text("EncryptRand", {"|K1|", "K1", "", 1, ""}), "1");
  EXPECT_EQ(Text("Sign", {"|K1|", "K1", "00"}), "600");
  EXPECT_EQ(Text("Sign2", {"00", "K1"}), "600");

  // No challenge was ever made: every answer is refused and signing stays
  // blocked. Mode 2 carries the (empty) digest field.
  EXPECT_EQ(Text("DecryptRand", {"|K1|", kRecordForK1, 0}), "600");
  EXPECT_EQ(Text("DecryptRand", {"|K1|", kRecordForK1, 2}), "1|");  // mode differs
  EXPECT_EQ(Text("DecryptRand", {"|K1|", "zz", 0}), "600");  // refused before it is read
  EXPECT_EQ(Text("DecryptRand", {"|", kRecordForK1, 0}), "35");
  EXPECT_EQ(Text("Sign", {"|K1|", "K1", "00"}), "600");
}

TEST_F(SigningContract, AnswerWithoutAnyChallengeIsRefusedAndSigningStaysAllowed) {
  AddKey("K1");
  EXPECT_EQ(Text("DecryptRand", {"|K1|", kRecordForK1, 0}), "600");
  EXPECT_EQ(Text("Sign", {"|", "K1", "00"}), "35");
}

}  // namespace
