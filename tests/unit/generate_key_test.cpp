// The engine's GenerateKey: the reader-component test, the parameter text,
// and key generation end to end on SoftHSM2 (reached through the scripted
// PC/SC library, whose reader carries the token's slot description). What
// landed on the token is checked with pkcs11-tool and OpenSSL's command
// line, never with the code under test.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dialogs/gen_key_dlg.h"
#include "dialogs/password_dlg.h"
#include "engine/keys_storage_comp.h"
#include "engine/result_codes.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/support/scripted_ui.h"

using namespace quenta;
using namespace quenta_test;

namespace {


constexpr int kEdit = CGenKeyDlg::kNameEditId;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The key generation dialog as a user fills it in: name, location,
// Generate, then waiting while the progress timer runs.
DialogScript GenerateIn(std::string name, int locationButton) {
  return [name, locationButton](ScriptedDialog& d) {
    d.Replace(kEdit, name);
    d.Click(locationButton);
    d.Click(kIdcOk);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!d.Ended() && d.TimerRunning(CGenKeyDlg::kTimerId) &&
           std::chrono::steady_clock::now() < until) {
      d.Tick(CGenKeyDlg::kTimerId);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
}

DialogScript EnterPin(std::string pin) {
  return [pin](ScriptedDialog& d) {
    d.Type(CPasswordDialog::kEditId, pin);
    d.Click(kIdcOk);
  };
}

struct Outputs {
  int rc = -1;
  int kind = -1;
  std::string software, publicKey, keyId, name, report;
};

Outputs Generate(CKeysStorageComp& engine, const char* options) {
  Outputs o;
  o.rc = engine.GenerateKey(1024, options, &o.kind, &o.software, &o.publicKey, &o.keyId, &o.name,
                            &o.report);
  return o;
}

class GenerateKeyTest : public ::testing::Test {
 protected:
  GenerateKeyTest() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}

  void Components(bool usb, bool card, std::vector<std::string> more = {}) {
    std::vector<std::string> lines = {std::string("GemPCKey USB=") + (usb ? "1" : "0"),
                                      std::string("GemPCTwin USB=") + (card ? "1" : "0"),
                                      std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE};
    lines.insert(lines.end(), more.begin(), more.end());
    settings.Write(lines);
  }

  TempDir homeDir_;
  ScopedEnv home_;
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  MachineSettings settings;
  ScriptedUi ui;
  CKeysStorageComp engine;
};

}  // namespace

TEST_F(GenerateKeyTest, ReaderComponentAndParameterTextComeBeforeTheDialog) {
  struct Case {
    bool usb, card;
    const char* options;
    int expected;
    bool dialog;
  };
  const Case cases[] = {
      {false, false, "abc", kErrNoReaderComponent, false},
      {false, false, "|1|", kErrNoReaderComponent, false},
      {true, false, "abc", kErrArgument, false},
      {false, true, "abc", kErrArgument, false},
      {true, true, "|1", kErrArgument, false},
      {true, true, "|1|2|", kErrArgument, false},
      {true, true, nullptr, kErrArgument, false},
      {true, false, "|1|", kErrCancelled, true},
      {false, true, "|7|", kErrCancelled, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.options ? c.options : "(null)") + " " + std::to_string(c.usb) +
                 std::to_string(c.card));
    Components(c.usb, c.card);
    ui.dialogs.clear();
    if (c.dialog) ui.scripts.push_back([](ScriptedDialog& d) { d.PressEscape(); });
    const Outputs o = Generate(engine, c.options);
    EXPECT_EQ(o.rc, c.expected);
    ASSERT_EQ(ui.dialogs.size(), c.dialog ? 1u : 0u);
    if (c.dialog) {
      EXPECT_EQ(ui.dialogs[0].resourceId, CGenKeyDlg::kResourceId);
      EXPECT_FALSE(ui.dialogs[0].forced);
    }
    EXPECT_TRUE(o.name.empty());
    EXPECT_TRUE(o.publicKey.empty());
  }
}

TEST_F(GenerateKeyTest, DeviceFailureBeforeThePinIsTheResult) {
  Components(true, true);  // no reader at all
  ui.scripts.push_back(GenerateIn("Nowy", CGenKeyDlg::kUsbTokenId));
  const Outputs o = Generate(engine, "|1|");
  EXPECT_EQ(o.rc, kErrNoUsbToken);
  EXPECT_EQ(ui.dialogs.size(), 1u);
}

// Both PINs locked: 91, and the token's report becomes the names of the
// listed keys that are on it.
TEST_F(GenerateKeyTest, BothPinsLockedReportsTheListedKeysOnTheDevice) {
  P11Double p11(QUENTA_PKCS11_DOUBLE);
  const char reader[] = "Gemalto USB Key 00 00";
  pcsc.AddReader(reader, "3B6E00008031806686000000000000000000");
  p11.AddToken(0x101, reader, "SN0001", kPin, kPuk);
  std::string modulus(128, '\x5A');
  p11.AddKey(0x101, "Main", reinterpret_cast<const unsigned char*>(modulus.data()), modulus.size(),
             1, 1);
  p11.SetTries(0x101, 0, 0);
  unsigned char d[SHA_DIGEST_LENGTH];
  const std::string input = modulus + std::string("\x01\x00\x01", 3);
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), d);
  const std::string digest = ToHex(std::string(reinterpret_cast<char*>(d), sizeof d));
  Components(true, true, {std::string("PKCS11 Module=") + QUENTA_PKCS11_DOUBLE});
  ASSERT_EQ(engine.SetKey("Main key", "4D61696E", digest.c_str(), kKindUsbToken), 0);
  ASSERT_EQ(engine.SetKey("Other", "4F74686572", "00112233445566778899AABBCCDDEEFF00112233",
                          kKindUsbToken), 0);

  ui.scripts.push_back(GenerateIn("Nowy", CGenKeyDlg::kUsbTokenId));
  const Outputs o = Generate(engine, "|1|");
  EXPECT_EQ(o.rc, kErrBothPinsLocked);
  EXPECT_EQ(o.report, "Main key");
  EXPECT_EQ(p11.OpenSessions(), 0);
}

// ---------------------------------------------------------------- SoftHSM2

struct Placement {
  const char* name;
  int button;
  bool atrIsToken;
  int kind;
};

class SoftHsmGenerateTest : public GenerateKeyTest,
                            public ::testing::WithParamInterface<Placement> {
 protected:
  void SetUp() override {
    reader = hsm.InitToken("quenta", kPuk, kPin);
    ASSERT_FALSE(reader.empty());
    pcsc.AddReader(reader.c_str(), kTokenAtr);
    std::vector<std::string> more = {std::string("PKCS11 Module=") + kSoftHsmModule};
    if (GetParam().atrIsToken) more.push_back(std::string("Tokens[]=") + kTokenAtr);
    Components(true, true, more);
  }

  std::string ListObjects() {
    std::string out;
    EXPECT_EQ(hsm.Tool("--login --pin 1234 --list-objects", &out), 0) << out;
    return out;
  }

  // The modulus of the public key with this id, as OpenSSL reads it.
  std::string ModulusHex(const std::string& idHex) {
    const std::string der = hsm.File("pub.der");
    std::string out;
    EXPECT_EQ(hsm.Tool("--read-object --type pubkey --id " + idHex + " -o " + der, &out), 0) << out;
    out.clear();
    EXPECT_EQ(RunCommand("openssl rsa -pubin -inform DER -in " + der + " -modulus -noout", &out), 0);
    std::string hex = out.substr(out.find('=') + 1);
    hex.erase(hex.find_last_not_of("\r\n") + 1);
    return hex;
  }

  SoftHsm hsm;
  std::string reader;
};

TEST_P(SoftHsmGenerateTest, GeneratesANamedPairAndReportsIt) {
  const Placement& p = GetParam();
  // "Klucz ąśź" in Windows-1250; ISO 8859-2 has these letters elsewhere.
  const std::string name = "Klucz \xB9\x9C\x9F";
  ui.scripts.push_back(GenerateIn(name, p.button));
  ui.scripts.push_back(EnterPin(kPin));
  const Outputs o = Generate(engine, "|1|");
  ASSERT_EQ(o.rc, 0);
  EXPECT_EQ(o.kind, p.kind);
  EXPECT_EQ(o.software, "NULL");
  EXPECT_EQ(o.name, ToHex("Klucz \xB1\xB6\xBC"));
  EXPECT_FALSE(engine.Token().HasSession());
  EXPECT_FALSE(engine.Token().ModuleLoaded());

  // The public key record: length, modulus, exponent length, exponent,
  // with the modulus the token holds under the reported key id.
  ASSERT_EQ(o.keyId.size(), 40u);
  const std::string modulus = ModulusHex(o.keyId);
  ASSERT_EQ(modulus.size(), 256u);
  EXPECT_EQ(o.publicKey, "80000000" + modulus + "03000000" + "010001");
  unsigned char d[SHA_DIGEST_LENGTH];
  const std::string input = Unhex(modulus) + std::string("\x01\x00\x01", 3);
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), d);
  EXPECT_EQ(o.keyId, ToHex(std::string(reinterpret_cast<char*>(d), sizeof d)));

  // Both halves carry the label and the id.
  const std::string objects = ListObjects();
  const std::string id = "ID:         " + Lower(o.keyId);
  const std::size_t pub = objects.find("Public Key Object; RSA 1024 bits");
  const std::size_t priv = objects.find("Private Key Object; RSA");
  ASSERT_NE(pub, std::string::npos) << objects;
  ASSERT_NE(priv, std::string::npos) << objects;
  auto section = [&](std::size_t at) {
    const std::size_t next = objects.find(" Object;", objects.find('\n', at));
    return objects.substr(at, next == std::string::npos ? std::string::npos : next - at);
  };
  for (std::size_t at : {pub, priv}) {
    const std::string s = section(at);
    EXPECT_NE(s.find("label:      " + name), std::string::npos) << s;
    EXPECT_NE(s.find(id), std::string::npos) << s;
  }
}

TEST_P(SoftHsmGenerateTest, CancelledPinLeavesNothingOpenAndTheNextAttemptWorks) {
  ui.scripts.push_back(GenerateIn("Nowy", GetParam().button));
  ui.scripts.push_back([](ScriptedDialog& d) { d.Click(kIdcCancel); });
  EXPECT_EQ(Generate(engine, "|1|").rc, kErrCancelled);
  EXPECT_FALSE(engine.Token().HasSession());
  EXPECT_FALSE(engine.Token().ModuleLoaded());

  ui.scripts.push_back(GenerateIn("Nowy", GetParam().button));
  ui.scripts.push_back(EnterPin(kPin));
  const Outputs o = Generate(engine, "|1|");
  EXPECT_EQ(o.rc, 0);
  EXPECT_EQ(o.kind, GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(Locations, SoftHsmGenerateTest,
                         ::testing::Values(Placement{"UsbToken", CGenKeyDlg::kUsbTokenId, true, 11},
                                           Placement{"SmartCard", CGenKeyDlg::kSmartCardId, false, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A wrong PIN on a USB token ends the dialog; the page gets 56 and the
// token is left as it was.
class SoftHsmUsbTest : public SoftHsmGenerateTest {};

TEST_P(SoftHsmUsbTest, WrongPinEndsWith56) {
  ui.scripts.push_back(GenerateIn("Nowy", CGenKeyDlg::kUsbTokenId));
  ui.scripts.push_back(EnterPin("9999"));
  const Outputs o = Generate(engine, "|1|");
  EXPECT_EQ(o.rc, kErrPinIncorrect);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(ListObjects().find("Key Object"), std::string::npos);
  EXPECT_FALSE(engine.Token().HasSession());
}

INSTANTIATE_TEST_SUITE_P(Usb, SoftHsmUsbTest,
                         ::testing::Values(Placement{"UsbToken", CGenKeyDlg::kUsbTokenId, true, 11}),
                         [](const auto& info) { return std::string(info.param.name); });
