// The token PIN and key management operations of the engine, with the
// dialogs answered by the scripted user interface: on the scripted PKCS#11
// module (locked PINs, GPK devices, failing calls) and end to end on
// SoftHSM2, reached through the scripted PC/SC library whose reader names
// are the slot descriptions. SoftHSM results are checked with pkcs11-tool.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>
#include <vector>

#include "dialogs/password_dlg.h"
#include "dialogs/pin_dlg.h"
#include "dialogs/remove_dlg.h"
#include "engine/base_rsa.h"
#include "engine/dialog_hooks.h"
#include "engine/encoding.h"
#include "engine/keys_storage_comp.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/support/scripted_ui.h"

using namespace quenta;
using namespace quenta_test;

namespace {

constexpr unsigned long kSlot = 0x101;
const char kGpkAtr[] = "3BA70040188065A20901";

std::string HexOf(const std::string& s) {
  return ToHex(s);
}

// ---- what the user does in the dialogs ----

DialogScript PinEntry(std::string first, std::string code, std::string repeated = "") {
  if (repeated.empty()) repeated = code;
  return [=](ScriptedDialog& d) {
    EXPECT_EQ(d.ResourceId(), CPinDlg::kResourceId);
    d.Type(CPinDlg::kFirstEditId, first);
    d.Type(CPinDlg::kNewEditId, code);
    d.Type(CPinDlg::kRepeatEditId, repeated);
    d.PressEnter();
  };
}

DialogScript PinPukEntry(std::string puk, std::string pin) {
  return [=](ScriptedDialog& d) {
    EXPECT_EQ(d.ResourceId(), CPinPukDlg::kResourceId);
    d.Type(CPinPukDlg::kPukEditId, puk);
    d.Type(CPinPukDlg::kPukRepeatEditId, puk);
    d.Type(CPinPukDlg::kPinEditId, pin);
    d.Type(CPinPukDlg::kPinRepeatEditId, pin);
    d.PressEnter();
  };
}

DialogScript PinPrompt(std::string pin) {
  return [=](ScriptedDialog& d) {
    EXPECT_EQ(d.ResourceId(), CPasswordDialog::kResourceId);
    EXPECT_EQ(d.Text(CPasswordDialog::kEditId), "");  // every prompt starts empty
    d.Type(CPasswordDialog::kEditId, pin);
    d.PressEnter();
  };
}

DialogScript Cancel() {
  return [](ScriptedDialog& d) { d.PressEscape(); };
}

// Picks the rows of the removal dialog whose label is one of these.
DialogScript RemoveRows(std::vector<std::string> labels) {
  return [=](ScriptedDialog& d) {
    EXPECT_EQ(d.ResourceId(), CRemoveDlg::kResourceId);
    std::vector<int> rows;
    for (int r = 0; r < d.RowCount(CRemoveDlg::kListId); ++r)
      for (const auto& l : labels)
        if (d.CellText(CRemoveDlg::kListId, r, 0) == l) rows.push_back(r);
    d.SelectRows(CRemoveDlg::kListId, rows);
    d.Click(kIdcOk);
  };
}

std::vector<unsigned char> Modulus(int seed) {
  std::vector<unsigned char> m(128);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<unsigned char>(seed * 7 + i * 3);
  return m;
}

class Engine : public CKeysStorageComp {
 public:
  CTokenAccess& T() { return token_; }
};

// ---------------------------------------------------------------- names from a report

TEST(NamesFromTokenReport, NamesTheListedKeysWhoseReferenceIsADigest) {
  Engine e;
  const std::string a(40, 'A'), b(40, 'B'), c(40, 'C');
  ASSERT_EQ(e.SetKey("Main", HexOf("main").c_str(), b.c_str(), 11), 0);
  ASSERT_EQ(e.SetKey("Spare", HexOf("spare").c_str(), c.c_str(), 11), 0);
  ASSERT_EQ(e.SetKey("Twin", HexOf("twin").c_str(), c.c_str(), 2), 0);
  ASSERT_EQ(e.SetKey("Prefix", HexOf("p").c_str(), b.substr(0, 39).c_str(), 11), 0);

  struct Case {
    std::string report, names;
  } cases[] = {
      // Only the second digest is listed.
      {"ProtectorCard|\"" + a + "\"-\"" + b + "\"", "Main"},
      // In the order of the digests, then of the list.
      {"GemplusCard|\"" + c + "\"-\"" + b + "\"", "Spare|Twin|Main"},
      {"ProtectorCard|", ""},
      {"UnknownCard|\"\"-\"" + a + "\"", ""},
      // Only the part after the last bar counts.
      {"x|\"" + b + "\"|\"" + c + "\"", "Spare|Twin"},
      {"\"" + b + "\"", "Main"},
      // Comparison is exact: no prefix, no case folding.
      {"ProtectorCard|\"" + b + "0\"", ""},
      {"ProtectorCard|\"" + std::string(40, 'b') + "\"", ""},
  };
  for (const Case& k : cases) {
    std::string text = k.report;
    EXPECT_EQ(e.NamesFromTokenReport(&text), 0);
    EXPECT_EQ(text, k.names) << k.report;
  }
  EXPECT_EQ(e.NamesFromTokenReport(nullptr), 0);
}

// The names list is as long as the names need; nothing is cut at 1023.
TEST(NamesFromTokenReport, LongListsAreWhole) {
  Engine e;
  const std::string digest(40, 'D');
  std::string expected;
  for (int i = 0; i < 60; ++i) {
    const std::string name = "Key number " + std::to_string(i) + std::string(20, 'n');
    ASSERT_EQ(e.SetKey(name.c_str(), HexOf("l").c_str(), digest.c_str(), 11), 0);
    if (i) expected += '|';
    expected += name;
  }
  ASSERT_GT(expected.size(), 1023u);
  std::string text = "ProtectorCard|\"" + digest + "\"";
  EXPECT_EQ(e.NamesFromTokenReport(&text), 0);
  EXPECT_EQ(text, expected);
}

// ---------------------------------------------------------------- on the scripted module

class ManagementTest : public ::testing::Test {
 protected:
  ManagementTest() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}

  void SetUp() override {
    settings.Write({std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                    std::string("PKCS11 Module=") + QUENTA_PKCS11_DOUBLE,
                    std::string("GPK PKCS11 Module=") + QUENTA_PKCS11_DOUBLE});
    InstallTokenDialogs();
  }
  void TearDown() override {
    CTokenAccess::SetReaderChoiceHook(nullptr);
    CTokenAccess::SetKeyRemovalHook(nullptr);
    SelectLanguage(0);
  }

  // A device with the key "pair" (both objects) and "public" (public only),
  // listed as "Main" and "Other"; "Soft" is a software key.
  void AddDevice(const char* reader = kTokenReader, const char* atr = kPlainAtr,
                 unsigned long slot = kSlot) {
    pcsc.AddReader(reader, atr);
    p11.AddToken(slot, reader, "SN", kPin, kPuk);
    auto m1 = Modulus(1), m2 = Modulus(2);
    p11.AddKey(slot, "pair", m1.data(), m1.size(), 1, 1);
    p11.AddKey(slot, "public", m2.data(), m2.size(), 1, 0);
    pairDigest = CBaseRSA::TokenDigest(m1.data(), m1.size());
    publicDigest = CBaseRSA::TokenDigest(m2.data(), m2.size());
    ASSERT_EQ(engine.SetKey("Main", HexOf("pair").c_str(), pairDigest.c_str(), 11), 0);
    ASSERT_EQ(engine.SetKey("Other", HexOf("public").c_str(), publicDigest.c_str(), 11), 0);
    ASSERT_EQ(engine.SetKey("Soft", HexOf("soft").c_str(), "00112233", 0), 0);
  }

  void ExpectClosed() {
    EXPECT_FALSE(engine.T().HasSession());
    EXPECT_FALSE(engine.T().ModuleLoaded());
    EXPECT_EQ(p11.OpenSessions(), 0);
    EXPECT_EQ(p11.Initialised(), 0);
  }

  // Logs in as the security officer on a device of its own.
  int SoLogin(const char* puk) {
    CTokenAccess t;
    unsigned long slot = 0;
    if (t.OpenDevice(kDeviceAny, &slot) != 0) return -1;
    int rc = t.LoginSecurityOfficer(puk);
    t.CloseSession();
    t.ReleaseModule();
    return rc;
  }

  TempDir homeDir_;
  ScopedEnv home_;
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  P11Double p11{QUENTA_PKCS11_DOUBLE};
  MachineSettings settings;
  ScriptedUi ui;
  Engine engine;
  std::string pairDigest, publicDigest;
  std::string names = "unset";
};

// ---- ChangePIN

TEST_F(ManagementTest, ChangePinWithTheRightCurrentPin) {
  AddDevice();
  ui.scripts.push_back([](ScriptedDialog& d) {
    // A USB token: the token wording.
    EXPECT_EQ(d.Text(CPinDlg::kFirstLabelId), LoadText(CPinDlg::kTextCurrentPin));
    PinEntry(kPin, "5678")(d);
  });
  EXPECT_EQ(engine.ChangePIN(&names), 0);
  EXPECT_EQ(p11.UserPin(kSlot), "5678");
  EXPECT_EQ(names, "unset");
  ExpectClosed();
}

TEST_F(ManagementTest, ChangePinOnACardUsesTheCardWording) {
  AddDevice(kCardReader);
  ui.scripts.push_back([](ScriptedDialog& d) {
    EXPECT_EQ(d.Text(CPinDlg::kFirstLabelId), LoadText(CPinDlg::kTextCardPin));
    d.PressEscape();
  });
  EXPECT_EQ(engine.ChangePIN(&names), kErrCancelled);
  ExpectClosed();
}

struct ChangeCase {
  const char* name;
  int userTries, soTries, initialised, userPinSet;
  const char* current;  // nullptr: no dialog expected
  int expected;
};

class ChangePinTest : public ManagementTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ChangePinTest, Outcomes) {
  const ChangeCase& c = GetParam();
  AddDevice();
  p11.SetTries(kSlot, c.userTries, c.soTries);
  p11.SetState(kSlot, c.initialised, c.userPinSet);
  if (c.current) ui.scripts.push_back(PinEntry(c.current, "5678"));
  EXPECT_EQ(engine.ChangePIN(&names), c.expected);
  EXPECT_EQ(ui.dialogs.size(), c.current ? 1u : 0u);
  EXPECT_EQ(names, c.expected == kErrBothPinsLocked ? "Main|Other" : "unset");
  EXPECT_EQ(p11.UserPin(kSlot), kPin);
  ExpectClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChangePinTest,
    ::testing::Values(
        ChangeCase{"WrongCurrentPin", 3, 3, 1, 1, "9999", kErrPinIncorrect},
        // The user PIN locked but not the PUK: no dialog.
        ChangeCase{"UserPinLocked", 0, 3, 1, 1, nullptr, kErrPinLocked},
        ChangeCase{"BothLocked", 0, 0, 1, 1, nullptr, kErrBothPinsLocked},
        ChangeCase{"TokenNotInitialised", 3, 3, 0, 1, nullptr, kErrTokenNotInitialised},
        ChangeCase{"UserPinNotSet", 3, 3, 1, 0, nullptr, kErrTokenNotInitialised},
        // The last try locks the PIN: with the PUK gone too, both are.
        ChangeCase{"LastTryWithThePukLocked", 1, 0, 1, 1, "9999", kErrBothPinsLocked},
        ChangeCase{"LastTry", 1, 3, 1, 1, "9999", kErrPinLocked}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ManagementTest, ChangePinCancelledOrWithoutADevice) {
  EXPECT_EQ(engine.ChangePIN(&names), kErrNoReader);
  EXPECT_TRUE(ui.dialogs.empty());
  AddDevice();
  ui.scripts.push_back(Cancel());
  EXPECT_EQ(engine.ChangePIN(&names), kErrCancelled);
  ExpectClosed();
}

TEST_F(ManagementTest, ChangePinFlagReadFailureIsReturned) {
  AddDevice();
  p11.Force("C_GetTokenInfo", CKR_DEVICE_REMOVED);
  EXPECT_EQ(engine.ChangePIN(&names), kErrTokenAbsent);
  EXPECT_TRUE(ui.dialogs.empty());
  ExpectClosed();
}

// ---- ChangePUK

class ChangePukTest : public ManagementTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ChangePukTest, Outcomes) {
  const ChangeCase& c = GetParam();
  AddDevice();
  p11.SetTries(kSlot, c.userTries, c.soTries);
  p11.SetState(kSlot, c.initialised, c.userPinSet);
  if (c.current) ui.scripts.push_back(PinEntry(c.current, "87654321"));
  EXPECT_EQ(engine.ChangePUK(&names), c.expected);
  EXPECT_EQ(ui.dialogs.size(), c.current ? 1u : 0u);
  EXPECT_EQ(names, c.expected == kErrBothPinsLocked ? "Main|Other" : "unset");
  ExpectClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChangePukTest,
    ::testing::Values(
        ChangeCase{"WrongPuk", 3, 3, 1, 1, "99999999", kErrSoPinIncorrect},
        // The PUK locked alone: no dialog.
        ChangeCase{"PukLocked", 3, 0, 1, 1, nullptr, kErrSoPinLocked},
        ChangeCase{"BothLocked", 0, 0, 1, 1, nullptr, kErrBothPinsLocked},
        ChangeCase{"NotInitialised", 3, 3, 0, 0, nullptr, kErrTokenNotInitialised},
        // A locked user PIN does not stop a PUK change; using up the PUK
        // on top of it locks both.
        ChangeCase{"LastPukTryWithTheUserPinLocked", 0, 1, 1, 1, "99999999", kErrBothPinsLocked},
        ChangeCase{"LastPukTry", 3, 1, 1, 1, "99999999", kErrSoPinLocked}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ManagementTest, ChangePukWithTheRightPuk) {
  AddDevice();
  ui.scripts.push_back([](ScriptedDialog& d) {
    EXPECT_EQ(d.Text(CPinDlg::kFirstLabelId), LoadText(CPinDlg::kTextTokenPuk));
    EXPECT_EQ(d.Limit(CPinDlg::kFirstEditId), 8);
    PinEntry(kPuk, "87654321")(d);
  });
  EXPECT_EQ(engine.ChangePUK(&names), 0);
  ExpectClosed();
  EXPECT_EQ(SoLogin("87654321"), 0);
  EXPECT_EQ(SoLogin(kPuk), kErrSoPinIncorrect);
}

// ---- InitializeCard

TEST_F(ManagementTest, InitialisedDeviceAnsweredNoIsCancelledWithoutNames) {
  AddDevice();
  ui.answers.push_back(kIdNo);
  bool hasNames = true;
  EXPECT_EQ(engine.InitializeCard(true, &names, &hasNames), kErrCancelled);
  EXPECT_FALSE(hasNames);
  ASSERT_EQ(ui.MessageIds(), std::vector<int>{709});
  EXPECT_EQ(ui.messages[0].caption, LoadText(707));
  EXPECT_EQ(ui.messages[0].icon, MsgIcon::kWarning);
  EXPECT_EQ(ui.messages[0].buttons, MsgButtons::kYesNo);
  EXPECT_TRUE(ui.dialogs.empty());
  ExpectClosed();
}

TEST_F(ManagementTest, GpkDevicesAreNotInitialisedHere) {
  AddDevice("GPK Reader 00 00", kGpkAtr, 0);
  ui.answers.push_back(kIdYes);
  bool hasNames = true;
  EXPECT_EQ(engine.InitializeCard(true, &names, &hasNames), kErrArgument);
  EXPECT_EQ(engine.T().ModuleFamily(), kFamilyGpk);
  EXPECT_FALSE(hasNames);
  EXPECT_TRUE(ui.dialogs.empty());
  ExpectClosed();
}

TEST_F(ManagementTest, UninitialisedDeviceIsInitialisedWithoutAQuestion) {
  AddDevice();
  p11.SetState(kSlot, 0, 0);
  ui.scripts.push_back(PinPukEntry(kPuk, "4321"));
  ui.answers.push_back(kIdNo);  // no PUK sheet
  bool hasNames = false;
  EXPECT_EQ(engine.InitializeCard(true, &names, &hasNames), 0);
  EXPECT_EQ(ui.MessageIds(), std::vector<int>{465});
  EXPECT_TRUE(hasNames);
  EXPECT_EQ(names, "Main|Other");  // the keys that were on the device
  EXPECT_EQ(p11.UserPin(kSlot), "4321");
  EXPECT_EQ(p11.ObjectCount(kSlot), 0);
  ExpectClosed();
}

TEST_F(ManagementTest, InitialisationInTheCallersSessionLeavesItOpen) {
  AddDevice();
  unsigned long slot = 0;
  ASSERT_EQ(engine.T().OpenDevice(kDeviceAny, &slot), 0);
  ui.answers = {kIdYes, kIdNo};
  ui.scripts.push_back(Cancel());
  bool hasNames = false;
  // Cancelled after the names were taken: they go with the 8.
  EXPECT_EQ(engine.InitializeCard(false, &names, &hasNames), kErrCancelled);
  EXPECT_TRUE(hasNames);
  EXPECT_EQ(names, "Main|Other");
  EXPECT_TRUE(engine.T().HasSession());
  EXPECT_EQ(p11.OpenSessions(), 1);
}

struct InitFailure {
  const char* name;
  const char* function;
  unsigned long rv;
  int expected;
  int message;
};

class InitFailureTest : public ManagementTest, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(InitFailureTest, ShowsItsMessageAndEndsWithTheCode) {
  const InitFailure& c = GetParam();
  AddDevice();
  p11.Force(c.function, c.rv);
  ui.answers = {kIdYes, kIdNo};
  ui.scripts.push_back(PinPukEntry(kPuk, "4321"));
  bool hasNames = false;
  EXPECT_EQ(engine.InitializeCard(true, &names, &hasNames), c.expected);
  EXPECT_EQ(ui.MessageIds(), (std::vector<int>{709, 465, c.message}));
  EXPECT_EQ(ui.messages[2].caption, LoadText(kTitleTextId));
  EXPECT_EQ(ui.messages[2].icon, MsgIcon::kError);
  ExpectClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InitFailureTest,
    ::testing::Values(InitFailure{"InitToken", "C_InitToken", CKR_FUNCTION_FAILED, kErrInitTokenRefused, 1007},
                      InitFailure{"SoLogin", "C_Login", CKR_PIN_INCORRECT, kErrSoPinIncorrect, 441},
                      InitFailure{"InitPin", "C_InitPIN", CKR_PIN_INVALID, kErrPinLength, 444}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- DeleteTokenKeys

TEST_F(ManagementTest, WrongPinTwiceThenRemoval) {
  AddDevice(kCardReader);
  // A listed key whose reference agrees with the removed key's digest in
  // its first 20 characters counts as removed too.
  ASSERT_EQ(engine.SetKey("Alike", HexOf("alike").c_str(), (pairDigest.substr(0, 20) + "X").c_str(), 2), 0);
  ui.scripts = {PinPrompt("9999"), PinPrompt("8888"), PinPrompt(kPin), RemoveRows({"pair"})};
  EXPECT_EQ(engine.DeleteTokenKeys(kDeviceSmartCard, &names), 0);
  EXPECT_EQ(ui.MessageIds(), (std::vector<int>{249, 249}));
  for (const auto& m : ui.messages) {
    EXPECT_EQ(m.caption, LoadText(kTitleTextId));
    EXPECT_EQ(m.icon, MsgIcon::kError);
  }
  EXPECT_EQ(names, "Main|Alike");
  EXPECT_EQ(p11.ObjectCount(kSlot), 1);  // "public" stays
  ExpectClosed();
}

TEST_F(ManagementTest, CancelAtTheFirstPromptIs2) {
  AddDevice();
  ui.scripts.push_back(Cancel());
  EXPECT_EQ(engine.DeleteTokenKeys(kDeviceAny, &names), kErrNoMemory);
  EXPECT_EQ(names, "unset");
  ExpectClosed();
}

// The prompt refuses a short PIN itself (its own message, not 249); a
// PIN the token calls invalid (54) brings the prompt back without one.
TEST_F(ManagementTest, ShortOrInvalidPinsPromptAgainWithoutMessage249) {
  AddDevice();
  p11.Force("C_Login", CKR_PIN_INVALID);
  ui.scripts.push_back([](ScriptedDialog& d) {
    d.Type(CPasswordDialog::kEditId, "123");
    d.PressEnter();
    ASSERT_FALSE(d.Ended());
    d.Type(CPasswordDialog::kEditId, "4");
    d.PressEnter();
  });
  ui.scripts.push_back([&](ScriptedDialog& d) {
    p11.Unforce("C_Login");
    PinPrompt(kPin)(d);
  });
  ui.scripts.push_back(RemoveRows({"public"}));
  EXPECT_EQ(engine.DeleteTokenKeys(kDeviceAny, &names), 0);
  EXPECT_EQ(ui.MessageIds(), std::vector<int>{CPasswordDialog::kTextPinTooShort});
  EXPECT_EQ(ui.dialogs.size(), 3u);
  EXPECT_EQ(names, "Other");
}

// Retries are unlimited until the token locks the PIN; with the PUK locked
// as well the result is 91 with the names of the device's keys.
TEST_F(ManagementTest, WrongPinsUntilTheTokenLocks) {
  AddDevice();
  p11.SetTries(kSlot, 3, 0);
  ui.scripts = {PinPrompt("9999"), PinPrompt("9999"), PinPrompt("9999")};
  EXPECT_EQ(engine.DeleteTokenKeys(kDeviceUsbToken, &names), kErrBothPinsLocked);
  EXPECT_EQ(ui.MessageIds(), (std::vector<int>{249, 249}));
  EXPECT_EQ(names, "Main|Other");
  ExpectClosed();

  pcsc.Reset();
  p11.Reset();
  AddDevice();
  p11.SetTries(kSlot, 3, 3);
  names = "unset";
  ui.scripts = {PinPrompt("9999"), PinPrompt("9999"), PinPrompt("9999")};
  EXPECT_EQ(engine.DeleteTokenKeys(kDeviceUsbToken, &names), kErrPinLocked);
  EXPECT_EQ(names, "unset");
}

struct DeleteCase {
  const char* name;
  int userTries, soTries, userPinSet;
  bool keys;
  std::vector<DialogScript> (*scripts)();
  int expected;
};

class DeleteTest : public ManagementTest, public ::testing::WithParamInterface<DeleteCase> {};

TEST_P(DeleteTest, Outcomes) {
  const DeleteCase& c = GetParam();
  AddDevice();
  if (!c.keys) {
    p11.Reset();
    pcsc.Reset();
    pcsc.AddReader(kTokenReader, kPlainAtr);
    p11.AddToken(kSlot, kTokenReader, "SN", kPin, kPuk);
  }
  p11.SetTries(kSlot, c.userTries, c.soTries);
  p11.SetState(kSlot, 1, c.userPinSet);
  for (auto& s : c.scripts()) ui.scripts.push_back(s);
  EXPECT_EQ(engine.DeleteTokenKeys(kDeviceAny, &names), c.expected);
  EXPECT_EQ(names, c.expected == kErrBothPinsLocked ? "Main|Other" : "unset");
  ExpectClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeleteTest,
    ::testing::Values(
        DeleteCase{"BothLocked", 0, 0, 1, true, [] { return std::vector<DialogScript>{}; }, kErrBothPinsLocked},
        DeleteCase{"NotInitialised", 3, 3, 0, true, [] { return std::vector<DialogScript>{}; },
                   kErrTokenNotInitialised},
        DeleteCase{"RemovalClosed", 3, 3, 1, true, [] { return std::vector<DialogScript>{PinPrompt(kPin), Cancel()}; },
                   kErrCancelled},
        DeleteCase{"NoKeys", 3, 3, 1, false, [] { return std::vector<DialogScript>{PinPrompt(kPin)}; },
                   kErrNoTokenObjects}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ManagementTest, DeleteWithoutADeviceOfTheMode) {
  AddDevice(kCardReader);
  EXPECT_EQ(engine.DeleteTokenKeys(kDeviceUsbToken, &names), kErrNoUsbToken);
  EXPECT_TRUE(ui.dialogs.empty());
}

// ---- UnblockCard

TEST_F(ManagementTest, UnblockThroughThePinDialog) {
  AddDevice();
  p11.SetTries(kSlot, 0, 3);
  ui.scripts.push_back([](ScriptedDialog& d) {
    EXPECT_EQ(d.Caption(), LoadText(CPinDlg::kTextUnblockTokenCaption));
    PinEntry(kPuk, "4321")(d);
  });
  EXPECT_EQ(engine.UnblockCard(&names), 0);
  EXPECT_EQ(p11.UserPin(kSlot), "4321");
  EXPECT_EQ(names, "unset");
  ExpectClosed();
}

TEST_F(ManagementTest, UnblockOutcomes) {
  AddDevice(kCardReader);
  ui.scripts.push_back([](ScriptedDialog& d) {
    EXPECT_EQ(d.Caption(), LoadText(CPinDlg::kTextUnblockCardCaption));
    PinEntry("99999999", "4321")(d);
  });
  EXPECT_EQ(engine.UnblockCard(&names), kErrSoPinIncorrect);

  ui.scripts.push_back(Cancel());
  EXPECT_EQ(engine.UnblockCard(&names), kErrCancelled);

  p11.SetTries(kSlot, 0, 0);
  EXPECT_EQ(engine.UnblockCard(&names), kErrBothPinsLocked);
  EXPECT_EQ(names, "Main|Other");
  EXPECT_EQ(ui.dialogs.size(), 2u);
  ExpectClosed();
}

// ---------------------------------------------------------------- SoftHSM2


class SoftHsmManagementTest : public ::testing::Test {
 protected:
  SoftHsmManagementTest() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}

  void SetUp() override {
    reader = hsm.InitToken("quenta", kPuk, kPin);
    ASSERT_FALSE(reader.empty());
    InstallTokenDialogs();
  }
  void TearDown() override {
    CTokenAccess::SetReaderChoiceHook(nullptr);
    CTokenAccess::SetKeyRemovalHook(nullptr);
  }

  // The reader as a USB token (the token ATR is listed) or as a smart card.
  void Plug(bool asToken) {
    pcsc.AddReader(reader.c_str(), asToken ? kTokenAtr : kPlainAtr);
    settings.Write({std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                    std::string("PKCS11 Module=") + kSoftHsmModule,
                    std::string("Tokens[]=") + kTokenAtr});
  }

  // A key pair made by pkcs11-tool; returns its token digest.
  std::string MakeKey(const std::string& label, const std::string& id) {
    std::string out;
    EXPECT_EQ(Tool("--login --pin 1234 --keypairgen --key-type rsa:1024 --id " + id + " --label " + label, &out), 0)
        << out;
    const std::string der = hsm.File(label + ".der");
    Tool("--read-object --type pubkey --label " + label + " -o " + der);
    std::string modulus;
    RunCommand("openssl rsa -pubin -inform DER -in " + der + " -modulus -noout", &modulus);
    std::string hex = modulus.substr(modulus.find('=') + 1);
    hex.erase(hex.find_last_not_of("\r\n") + 1);
    const std::string input = Unhex(hex) + std::string("\x01\x00\x01", 3);
    unsigned char d[20];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), d);
    return ToHex(std::string(reinterpret_cast<char*>(d), 20));
  }

  // pkcs11-tool on the token's slot, found by its description.
  int Tool(const std::string& args, std::string* out = nullptr) {
    return hsm.Tool("--slot-description '" + reader + "' " + args, out);
  }
  bool UserLoginWorks(const std::string& pin) {
    std::string out;
    return Tool("--login --pin " + pin + " --list-objects", &out) == 0;
  }
  std::string Objects() {
    std::string out;
    Tool("--login --pin 1234 --list-objects", &out);
    return out;
  }

  TempDir homeDir_;
  ScopedEnv home_;
  SoftHsm hsm;
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  MachineSettings settings;
  ScriptedUi ui;
  Engine engine;
  std::string reader;
  std::string names = "unset";
};

TEST_F(SoftHsmManagementTest, ChangePin) {
  Plug(true);
  ui.scripts.push_back(PinEntry("9999", "5678"));
  EXPECT_EQ(engine.ChangePIN(&names), kErrPinIncorrect);
  EXPECT_TRUE(UserLoginWorks(kPin));

  ui.scripts.push_back(PinEntry(kPin, "5678"));
  EXPECT_EQ(engine.ChangePIN(&names), 0);
  EXPECT_TRUE(UserLoginWorks("5678"));
  EXPECT_FALSE(UserLoginWorks(kPin));
  EXPECT_FALSE(engine.T().HasSession());
}

TEST_F(SoftHsmManagementTest, ChangePuk) {
  Plug(false);
  ui.scripts.push_back(PinEntry(kPuk, "87654321"));
  EXPECT_EQ(engine.ChangePUK(&names), 0);
  // A security officer login needs a read-write session: setting the user
  // PIN again gives one.
  std::string out;
  EXPECT_NE(Tool("--login --login-type so --so-pin 12345678 --init-pin --new-pin 1234", &out), 0);
  EXPECT_EQ(Tool("--login --login-type so --so-pin 87654321 --init-pin --new-pin 1234", &out), 0) << out;
}

TEST_F(SoftHsmManagementTest, ReinitialisationErasesTheKeysAndSetsTheNewPin) {
  Plug(true);
  const std::string digest = MakeKey("main", "01");
  ASSERT_EQ(engine.SetKey("Main", HexOf("main").c_str(), digest.c_str(), 11), 0);
  ASSERT_EQ(engine.SetKey("Gone", HexOf("gone").c_str(), std::string(40, 'F').c_str(), 11), 0);
  ui.answers = {kIdYes, kIdNo};
  ui.scripts.push_back(PinPukEntry(kPuk, "4321"));
  bool hasNames = false;
  EXPECT_EQ(engine.InitializeCard(true, &names, &hasNames), 0);
  EXPECT_EQ(ui.MessageIds(), (std::vector<int>{709, 465}));
  EXPECT_TRUE(hasNames);
  EXPECT_EQ(names, "Main");
  EXPECT_FALSE(engine.T().HasSession());

  EXPECT_TRUE(UserLoginWorks("4321"));
  EXPECT_FALSE(UserLoginWorks(kPin));
  std::string out;
  Tool("--login --pin 4321 --list-objects", &out);
  EXPECT_EQ(out.find("Key Object"), std::string::npos) << out;
}

TEST_F(SoftHsmManagementTest, RemoveKeysFromSmartCard) {
  Plug(false);
  const std::string mainDigest = MakeKey("main", "01");
  const std::string otherDigest = MakeKey("other", "02");
  ASSERT_EQ(engine.SetKey("Main", HexOf("main").c_str(), mainDigest.c_str(), 2), 0);
  ASSERT_EQ(engine.SetKey("Other", HexOf("other").c_str(), otherDigest.c_str(), 2), 0);
  // SoftHSM never locks the user PIN: any number of wrong tries.
  ui.scripts = {PinPrompt("9999"), PinPrompt("8888"), PinPrompt(kPin), RemoveRows({"main"})};
  EXPECT_EQ(engine.DeleteTokenKeys(kDeviceSmartCard, &names), 0);
  EXPECT_EQ(ui.MessageIds(), (std::vector<int>{249, 249}));
  EXPECT_EQ(names, "Main");
  const std::string objects = Objects();
  EXPECT_EQ(objects.find("label:      main"), std::string::npos) << objects;
  EXPECT_NE(objects.find("label:      other"), std::string::npos) << objects;
}

TEST_F(SoftHsmManagementTest, UnblockSetsANewUserPin) {
  Plug(true);
  ui.scripts.push_back(PinEntry(kPuk, "2468"));
  EXPECT_EQ(engine.UnblockCard(&names), 0);
  EXPECT_TRUE(UserLoginWorks("2468"));
  EXPECT_EQ(names, "unset");
}

}  // namespace
