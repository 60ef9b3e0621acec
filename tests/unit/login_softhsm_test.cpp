// The login challenge round trip with a USB token key on a real token:
// SoftHSM2 reached through the scripted PC/SC library, whose reader carries
// the token's slot description. EncryptRand runs the sign dialog in its
// login layout (answered by the scripted UI, the PIN through the password
// dialog); the record's raw block is checked with OpenSSL's command line
// and the token's public key, and the answer for DecryptRand is encrypted
// with that public key by OpenSSL, never by the code under test.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dialogs/password_dlg.h"
#include "engine/base_rsa.h"
#include "engine/keys_storage_comp.h"
#include "engine/network_msg.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "signing/sign_dlg.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/support/scripted_ui.h"

using namespace quenta;
using namespace quenta_test;

namespace {

const char kLabel[] = "login key";

using D = CSignDlg;

class LoginSoftHsmTest : public ::testing::Test {
 protected:
  LoginSoftHsmTest() : home_("XDG_CONFIG_HOME", homeDir_.path()) { SelectLanguage(0); }

  void SetUp() override {
    reader = hsm.InitToken("quenta", kPuk, kPin);
    ASSERT_FALSE(reader.empty());
    pcsc.AddReader(reader.c_str(), kTokenAtr);
    settings.Write({"GemPCKey USB=1", std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                    std::string("PKCS11 Module=") + kSoftHsmModule,
                    std::string("Tokens[]=") + kTokenAtr});
    std::string out;
    ASSERT_EQ(hsm.Tool(std::string("--login --pin ") + kPin +
                           " --keypairgen --key-type rsa:1024 --id 01 --label '" + kLabel + "'",
                       &out),
              0)
        << out;
    const std::string der = hsm.File("pub.der");
    pem = hsm.File("pub.pem");
    ASSERT_EQ(hsm.Tool("--read-object --type pubkey --id 01 -o " + der, &out), 0) << out;
    ASSERT_EQ(RunCommand("openssl pkey -pubin -inform DER -in " + der + " -out " + pem + " 2>&1"), 0);
    FILE* f = std::fopen(pem.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EVP_PKEY* key = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    ASSERT_NE(key, nullptr);
    digest = CBaseRSA::TokenDigest(key);
    EVP_PKEY_free(key);
    ASSERT_EQ(digest.size(), 40u);
  }

  // The sign dialog answered with OK (the PIN is not typed there), then the
  // password dialog with the PIN.
  void ScriptLogin(bool* loginLayout) {
    ui.scripts.push_back([loginLayout](ScriptedDialog& d) {
      EXPECT_EQ(d.ResourceId(), D::kResourceId);
      *loginLayout = d.Caption() == LoadText(547) && d.Visible(D::kIdLoginNote) &&
                     !d.Visible(D::kIdOrderList) && d.Text(kIdcOk) == "OK";
      d.Click(kIdcOk);
    });
    ui.scripts.push_back([](ScriptedDialog& d) {
      EXPECT_EQ(d.ResourceId(), CPasswordDialog::kResourceId);
      d.Type(CPasswordDialog::kEditId, kPin);
      d.Click(kIdcOk);
    });
  }

  static std::string Record(const std::string& name, const std::string& block) {
    CProofOfPossesion record;
    record.SetKeyName(name.c_str());
    record.SetResult(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    const unsigned char* packed = record.Pack();
    return ToHex(std::string(reinterpret_cast<const char*>(packed), record.PackedLength()));
  }

  // openssl pkeyutl -verifyrecover (PKCS#1 padding) of a raw block.
  std::string Recover(const std::string& block) {
    WriteFile(hsm.File("block.bin"), block);
    std::string out;
    if (RunCommand("openssl pkeyutl -verifyrecover -pkeyopt rsa_padding_mode:pkcs1 -pubin -inkey " +
                       pem + " -in " + hsm.File("block.bin") + " -out " + hsm.File("rec.bin") +
                       " 2>&1",
                   &out) != 0) {
      ADD_FAILURE() << "not recoverable: " << out;
      return std::string();
    }
    return ReadFile(hsm.File("rec.bin"));
  }

  std::string Encrypt(const std::string& plain) {
    WriteFile(hsm.File("plain.bin"), plain);
    std::string out;
    EXPECT_EQ(RunCommand("openssl pkeyutl -encrypt -pkeyopt rsa_padding_mode:pkcs1 -pubin -inkey " +
                             pem + " -in " + hsm.File("plain.bin") + " -out " +
                             hsm.File("cipher.bin") + " 2>&1",
                         &out),
              0)
        << out;
    return ReadFile(hsm.File("cipher.bin"));
  }

  int Probe() {
    std::string signature, used, names;
    return engine.Sign("|", "K", "00", 1, &signature, &used, &names);
  }

  TempDir homeDir_;
  ScopedEnv home_;
  SoftHsm hsm;
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  MachineSettings settings;
  ScriptedUi ui;
  CKeysStorageComp engine;
  std::string reader, pem, digest;
};

}  // namespace

TEST_F(LoginSoftHsmTest, ChallengeSignedOnTheTokenAndItsAnswerAllowsSigningAgain) {
  ASSERT_EQ(engine.SetKey("Token key", ToHex(kLabel).c_str(), digest.c_str(), kKindUsbToken), kOk);
  const std::string page = "bank-nonce";

  bool loginLayout = false;
  ScriptLogin(&loginLayout);
  std::string message, used, names;
  ASSERT_EQ(engine.EncryptRand("|Token key|", "Token key", page.c_str(), 1, "", &message, &used,
                               &names),
            kOk);
  EXPECT_TRUE(loginLayout);
  EXPECT_EQ(ui.dialogs.size(), 2u);
  EXPECT_EQ(used, "Token key");
  EXPECT_TRUE(engine.HasKeptPassword());
  EXPECT_FALSE(engine.Token().HasSession());

  // The record: the key name and the raw block over "<page>-<challenge>\0".
  const std::string bytes = Unhex(message);
  EXPECT_EQ(ToHex(bytes), message);
  CProofOfPossesion record;
  ASSERT_EQ(record.Unpack(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), 1);
  ASSERT_NE(record.keyName, nullptr);
  ASSERT_NE(record.result, nullptr);
  EXPECT_STREQ(record.keyName, "Token key");
  const std::string block(reinterpret_cast<const char*>(record.result), record.resultLength);
  EXPECT_EQ(block.size(), 128u);
  const std::string data = Recover(block);
  ASSERT_EQ(data.size(), page.size() + 66) << ToHex(data);
  EXPECT_EQ(data.substr(0, page.size() + 1), page + "-");
  const std::string challenge = data.substr(page.size() + 1, 64);
  EXPECT_EQ(challenge, ToHex(Unhex(challenge)));
  EXPECT_EQ(data.back(), '\0');

  EXPECT_EQ(Probe(), kErrChallenge);

  // The answer: the challenge text (with its zero byte) encrypted to the
  // token key, decrypted on the token silently with the kept PIN.
  const std::size_t dialogsBefore = ui.dialogs.size();
  std::string outDigest, decryptUsed, decryptNames;
  bool hasDigest = true;
  EXPECT_EQ(engine.DecryptRand("|Token key|",
                               Record("Token key", Encrypt(challenge + std::string(1, '\0'))).c_str(),
                               1, &outDigest, &hasDigest, &decryptUsed, &decryptNames),
            kOk);
  EXPECT_FALSE(hasDigest);
  EXPECT_EQ(decryptUsed, "Token key");
  EXPECT_EQ(ui.dialogs.size(), dialogsBefore);
  EXPECT_FALSE(engine.HasKeptPassword());
  EXPECT_FALSE(engine.Token().HasSession());
  // Signing passes the challenge check again (and stops at the bar).
  EXPECT_EQ(Probe(), kErrAllowedKeysBar);
}

TEST_F(LoginSoftHsmTest, AnswerWithAnotherTextLeavesSigningBlocked) {
  ASSERT_EQ(engine.SetKey("Token key", ToHex(kLabel).c_str(), digest.c_str(), kKindUsbToken), kOk);
  bool loginLayout = false;
  ScriptLogin(&loginLayout);
  std::string message, used, names;
  ASSERT_EQ(engine.EncryptRand("|Token key|", "Token key", "nonce", 1, "", &message, &used, &names),
            kOk);
  // Decrypts on the token, but is not the challenge text.
  std::string outDigest, decryptUsed, decryptNames;
  bool hasDigest = false;
  EXPECT_EQ(engine.DecryptRand("|Token key|", Record("Token key", Encrypt(std::string(64, 'A'))).c_str(),
                               1, &outDigest, &hasDigest, &decryptUsed, &decryptNames),
            kErrChallenge);
  EXPECT_EQ(Probe(), kErrChallenge);
}
