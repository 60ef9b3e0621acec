// The key store's token flows (state check, unblocking with the PUK) and a
// token key's way through SelectKey, UseKey and ReleaseKey, on the
// scripted PKCS#11 module, which can lock PINs.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "engine/base_rsa.h"
#include "engine/keys_storage.h"
#include "engine/result_codes.h"
#include "engine/secure.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/support/scripted_ui.h"

using namespace quenta;
using namespace quenta_test;

namespace {

constexpr unsigned long kSlot = 0x101;

// The PIN/PUK dialog, scripted.
struct PinPukScript {
  int calls = 0;
  int mode = -1;
  int answer = 1;
  std::string puk = kPuk;
  std::string newPin = "5678";
  const void* pukBuffer = nullptr;
  const void* pinBuffer = nullptr;
};
PinPukScript g_dialog;

int ScriptedPinPuk(int mode, char* puk, char* newPin) {
  ++g_dialog.calls;
  g_dialog.mode = mode;
  g_dialog.pukBuffer = puk;
  g_dialog.pinBuffer = newPin;
  std::strcpy(puk, g_dialog.puk.c_str());
  std::strcpy(newPin, g_dialog.newPin.c_str());
  return g_dialog.answer;
}

int PinFromDialog(int, const char*, char* buffer, std::size_t size) {
  std::strncpy(buffer, kPin, size - 1);
  return 1;
}

std::set<const void*> g_wiped;
void RecordWiped(const void* p, std::size_t n) {
  if (n == kPinBufferSize) g_wiped.insert(p);
}

std::vector<unsigned char> Modulus() {
  std::vector<unsigned char> m(128);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<unsigned char>(0xA0 + i * 3);
  return m;
}

class TokenFlowTest : public ::testing::Test {
 protected:
  TokenFlowTest() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}

  void SetUp() override {
    g_dialog = PinPukScript();
    settings.Write({std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                    std::string("PKCS11 Module=") + QUENTA_PKCS11_DOUBLE});
    AddDevice(kTokenReader);
  }

  void AddDevice(const char* reader) {
    pcsc.AddReader(reader, kPlainAtr);
    p11.AddToken(kSlot, reader, "SN", kPin, kPuk);
    auto m = Modulus();
    p11.AddKey(kSlot, "Main", m.data(), m.size(), 1, 1);
    digest = CBaseRSA::TokenDigest(m.data(), m.size());
  }

  void Open(int mode = kDeviceAny) {
    unsigned long slot = 0;
    ASSERT_EQ(store.Token().OpenDevice(mode, &slot), 0);
  }

  void ExpectClosed() {
    EXPECT_FALSE(store.Token().HasSession());
    EXPECT_FALSE(store.Token().ModuleLoaded());
    EXPECT_EQ(p11.OpenSessions(), 0);
    EXPECT_EQ(p11.Initialised(), 0);
  }

  TempDir homeDir_;
  ScopedEnv home_;
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  P11Double p11{QUENTA_PKCS11_DOUBLE};
  MachineSettings settings;
  ScriptedUi ui;
  CKeysStorage store;
  std::string digest;
  int code = -1;
  std::string text;
  int deviceOpen = -1;
};

}  // namespace

// ---------------------------------------------------------------- state check

struct StateCase {
  const char* name;
  int userTries, soTries, userPinSet, mayUnblock;
  int expected;
  bool closed;
  int dialogs;
};

class StateCheckTest : public TokenFlowTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateCheckTest, DecidesOnTheFlags) {
  const StateCase& c = GetParam();
  p11.SetTries(kSlot, c.userTries, c.soTries);
  p11.SetState(kSlot, 1, c.userPinSet);
  Open();
  EXPECT_EQ(store.TokenStateCheck(c.mayUnblock, &code, &text, ScriptedPinPuk, &deviceOpen), c.expected);
  EXPECT_EQ(deviceOpen, c.closed ? 0 : 1);
  EXPECT_EQ(store.Token().HasSession(), !c.closed);
  if (c.closed) ExpectClosed();
  EXPECT_EQ(g_dialog.calls, c.dialogs);
  if (c.expected == kErrBothPinsLocked) {
    EXPECT_EQ(text, "ProtectorCard|\"" + digest + "\"");
    EXPECT_EQ(code, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Flags, StateCheckTest,
    ::testing::Values(StateCase{"NothingLocked", 3, 3, 1, 0, 0, false, 0},
                      StateCase{"PukLockedOnly", 3, 0, 1, 0, 0, false, 0},
                      StateCase{"BothLocked", 0, 0, 1, 1, 91, true, 0},
                      StateCase{"UserLockedNoUnblock", 0, 3, 1, 0, 64, true, 0},
                      StateCase{"UserLockedUnblocks", 0, 3, 1, 1, 0, false, 1},
                      StateCase{"UserPinNotSet", 3, 3, 0, 1, 120, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenFlowTest, StateCheckUnblockGivesANewPin) {
  p11.SetTries(kSlot, 0, 3);
  Open();
  ASSERT_EQ(store.TokenStateCheck(1, &code, &text, ScriptedPinPuk, &deviceOpen), 0);
  EXPECT_EQ(g_dialog.mode, 5);  // a USB token
  EXPECT_EQ(p11.UserPin(kSlot), "5678");
  EXPECT_EQ(store.Token().LoginUser("5678"), 0);
}

TEST_F(TokenFlowTest, StateCheckCancelledUnblockIsStillLocked) {
  p11.SetTries(kSlot, 0, 3);
  g_dialog.answer = 2;
  Open();
  EXPECT_EQ(store.TokenStateCheck(1, &code, &text, ScriptedPinPuk, &deviceOpen), kErrPinLocked);
  EXPECT_EQ(deviceOpen, 1);
}

TEST_F(TokenFlowTest, StateCheckFlagReadFailureKeepsTheSession) {
  Open();
  p11.Force("C_GetTokenInfo", CKR_DEVICE_REMOVED);
  EXPECT_EQ(store.TokenStateCheck(1, &code, &text, ScriptedPinPuk, &deviceOpen), kErrTokenAbsent);
  EXPECT_TRUE(store.Token().HasSession());
  EXPECT_EQ(deviceOpen, 1);
}

// ---------------------------------------------------------------- unblock

TEST_F(TokenFlowTest, UnblockOpensAndClosesTheDevice) {
  p11.SetTries(kSlot, 0, 3);
  ASSERT_EQ(store.UnblockWithPuk(1, &code, &text, ScriptedPinPuk), 0);
  EXPECT_EQ(p11.UserPin(kSlot), "5678");
  ExpectClosed();
}

TEST_F(TokenFlowTest, UnblockWipesBothBuffers) {
  g_wiped.clear();
  SetWipeObserver(RecordWiped);
  EXPECT_EQ(store.UnblockWithPuk(1, &code, &text, ScriptedPinPuk), 0);
  SetWipeObserver(nullptr);
  EXPECT_TRUE(g_wiped.count(g_dialog.pukBuffer));
  EXPECT_TRUE(g_wiped.count(g_dialog.pinBuffer));
}

TEST_F(TokenFlowTest, UnblockAsksInTheSmartCardModeForCards) {
  pcsc.Reset();
  p11.Reset();
  AddDevice("Gemalto PC Twin Reader 00 00");
  ASSERT_EQ(store.UnblockWithPuk(1, &code, &text, ScriptedPinPuk), 0);
  EXPECT_EQ(g_dialog.mode, 2);
}

struct UnblockCase {
  const char* name;
  int userTries, soTries, userPinSet;
  const char* puk;
  const char* newPin;
  int answer;
  int expected;
  int dialogs;
};

class UnblockTest : public TokenFlowTest, public ::testing::WithParamInterface<UnblockCase> {};

TEST_P(UnblockTest, Outcomes) {
  const UnblockCase& c = GetParam();
  p11.SetTries(kSlot, c.userTries, c.soTries);
  p11.SetState(kSlot, 1, c.userPinSet);
  g_dialog.puk = c.puk;
  g_dialog.newPin = c.newPin;
  g_dialog.answer = c.answer;
  EXPECT_EQ(store.UnblockWithPuk(1, &code, &text, ScriptedPinPuk), c.expected);
  EXPECT_EQ(g_dialog.calls, c.dialogs);
  if (c.expected == kErrBothPinsLocked) {
    EXPECT_EQ(text, "ProtectorCard|\"" + digest + "\"");
  }
  ExpectClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnblockTest,
    ::testing::Values(
        UnblockCase{"WrongPuk", 0, 3, 1, "87654321", "5678", 1, kErrSoPinIncorrect, 1},
        // The last try of the PUK fails: with the user PIN locked too, both are gone.
        UnblockCase{"PukUsedUpUserLocked", 0, 1, 1, "87654321", "5678", 1, kErrBothPinsLocked, 1},
        UnblockCase{"PukUsedUpUserFree", 3, 1, 1, "87654321", "5678", 1, kErrSoPinLocked, 1},
        UnblockCase{"BothLockedAlready", 0, 0, 1, kPuk, "5678", 1, kErrBothPinsLocked, 0},
        UnblockCase{"NotInitialised", 3, 3, 0, kPuk, "5678", 1, kErrTokenNotInitialised, 0},
        UnblockCase{"Cancelled", 0, 3, 1, kPuk, "5678", 2, kErrCancelled, 1},
        UnblockCase{"NewPinTooShort", 0, 3, 1, kPuk, "567", 1, kErrPinLength, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenFlowTest, UnblockWithoutADialogIsCancelled) {
  EXPECT_EQ(store.UnblockWithPuk(1, &code, &text, nullptr), kErrCancelled);
  ExpectClosed();
}

TEST_F(TokenFlowTest, UnblockWithoutADeviceFails) {
  pcsc.Reset();
  EXPECT_EQ(store.UnblockWithPuk(1, &code, &text, ScriptedPinPuk), kErrNoReader);
  EXPECT_EQ(g_dialog.calls, 0);
  ExpectClosed();
}

// ---------------------------------------------------------------- key store

TEST_F(TokenFlowTest, TokenKeyFromSelectionToRelease) {
  ASSERT_EQ(store.SetKey("Main key", "4D61696E", digest.c_str(), kKindUsbToken), 0);
  ASSERT_EQ(store.SelectKey("Main key", 0, &code, &text, nullptr, ScriptedPinPuk), 0);
  EXPECT_TRUE(store.Token().HasSession());

  const unsigned char data[] = "order";
  SecureBytes signature;
  ASSERT_EQ(store.UseKey(kOpSignSha1, 1, nullptr, data, 5, signature, 0, &code, &text, nullptr,
                         PinFromDialog, ScriptedPinPuk, &deviceOpen),
            0);
  EXPECT_EQ(signature.size(), 128u);
  EXPECT_EQ(p11.LastSigned().size(), 35u);

  const int finalised = p11.Calls("C_Finalize");
  EXPECT_EQ(store.ReleaseKey(), 0);
  EXPECT_EQ(p11.Calls("C_Finalize"), finalised + 1);
  ExpectClosed();
}

TEST_F(TokenFlowTest, MissingUsbTokenKeyIs134) {
  ASSERT_EQ(store.SetKey("Other", "4F74686572", digest.c_str(), kKindUsbToken), 0);
  ASSERT_EQ(store.SelectKey("Other", 0, &code, &text, nullptr, ScriptedPinPuk), 0);
  SecureBytes out;
  const unsigned char data[] = "x";
  EXPECT_EQ(store.UseKey(kOpSignSha256, 0, kPin, data, 1, out, 0, &code, &text, nullptr, nullptr,
                         ScriptedPinPuk, &deviceOpen),
            kErrNoKeyOnUsbToken);
  EXPECT_EQ(ui.MessageIds(), std::vector<int>{684});
  store.ReleaseKey();
  ExpectClosed();
}

TEST_F(TokenFlowTest, SelectingWithoutTheDeviceReleasesEverything) {
  pcsc.Reset();
  pcsc.AddReader("Gemalto PC Twin Reader 00 00", kPlainAtr);  // a card reader, no token
  ASSERT_EQ(store.SetKey("Main key", "4D61696E", digest.c_str(), kKindUsbToken), 0);
  EXPECT_EQ(store.SelectKey("Main key", 0, &code, &text, nullptr, ScriptedPinPuk), kErrNoUsbToken);
  EXPECT_EQ(ui.MessageIds(), std::vector<int>{682});
  ExpectClosed();
  EXPECT_EQ(pcsc.OpenContexts(), 0);
}
