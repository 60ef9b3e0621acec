// CTokenAccess on the scripted PKCS#11 module: loading and checking module
// files, initialisation and release, the result code mapping, PIN rules,
// locked PINs, key search, signing input, key generation and removal.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/base_rsa.h"
#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "engine/token_access.h"
#include "platform/pkcs11_module.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"

using namespace quenta;
using namespace quenta_test;

namespace {

constexpr unsigned long kSlot = 7;

std::vector<unsigned char> Modulus(int seed, std::size_t n = 128) {
  std::vector<unsigned char> m(n);
  for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<unsigned char>(seed * 31 + i * 7);
  m[0] = 0xC1;
  return m;
}

std::string DigestOf(const std::vector<unsigned char>& m) {
  return CBaseRSA::TokenDigest(m.data(), m.size());
}

class TokenModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    p11.AddToken(kSlot, "Reader 00 00", "SN1", kPin, kPuk);
    ASSERT_EQ(token.OpenModule(QUENTA_PKCS11_DOUBLE, kSlot, nullptr), 0);
  }

  void AddKey(const char* label, int seed, int withPublic = 1, int withPrivate = 1) {
    auto m = Modulus(seed);
    p11.AddKey(kSlot, label, m.data(), m.size(), withPublic, withPrivate);
  }

  P11Double p11{QUENTA_PKCS11_DOUBLE};
  CTokenAccess token;
};

}  // namespace

// ---------------------------------------------------------------- module files

TEST(ModuleFileCheck, RefusesFilesOthersCouldReplace) {
  TempDir dir;
  const std::string good = dir.File("module.so");
  std::filesystem::copy_file(QUENTA_PKCS11_DOUBLE, good);
  ::chmod(good.c_str(), 0755);
  EXPECT_EQ(CheckModuleFile(good), 0);
  EXPECT_EQ(CheckModuleFile(""), -1);
  EXPECT_EQ(CheckModuleFile(dir.File("missing.so")), -1);
  EXPECT_EQ(CheckModuleFile(dir.path()), 89);  // not a regular file

  ::chmod(good.c_str(), 0757);
  EXPECT_EQ(CheckModuleFile(good), 89);  // world-writable
  ::chmod(good.c_str(), 0775);
  EXPECT_EQ(CheckModuleFile(good), 89);  // group-writable
  ::chmod(good.c_str(), 0755);

  // A link is judged by the file it leads to.
  const std::string link = dir.File("link.so");
  std::filesystem::create_symlink(good, link);
  EXPECT_EQ(CheckModuleFile(link), 0);

  // A directory anyone may write to lets anyone swap the file...
  ::chmod(dir.path().c_str(), 0777);
  EXPECT_EQ(CheckModuleFile(good), 89);
  ::chmod(dir.path().c_str(), 0770);
  EXPECT_EQ(CheckModuleFile(good), 89);
  // ...unless it is sticky like /tmp.
  ::chmod(dir.path().c_str(), 01777);
  EXPECT_EQ(CheckModuleFile(good), 0);
  ::chmod(dir.path().c_str(), 0700);

  // Relative names would be searched for by the loader: refused.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(CheckModuleFile("module.so"), 89);
  std::filesystem::current_path(cwd);
}

TEST(ModuleLoading, CodesOfLoadAndOpen) {
  P11Double p11{QUENTA_PKCS11_DOUBLE};
  CTokenAccess token;
  EXPECT_EQ(token.LoadModule("/nonexistent/module.so"), -1);
  EXPECT_EQ(token.LoadModule(nullptr), -1);
  EXPECT_EQ(token.LoadModule("/usr"), 89);
  EXPECT_EQ(token.LoadModule(QUENTA_PCSC_DOUBLE), kErrModuleLoad);  // no C_GetFunctionList
  p11.Force("C_GetFunctionList", CKR_GENERAL_ERROR);
  EXPECT_EQ(token.LoadModule(QUENTA_PKCS11_DOUBLE), kErrModuleLoad);
  EXPECT_FALSE(token.ModuleLoaded());
  p11.Unforce("C_GetFunctionList");

  EXPECT_EQ(token.InitializeModule(), kErrModuleLoad);  // nothing loaded
  ASSERT_EQ(token.LoadModule(QUENTA_PKCS11_DOUBLE), 0);
  EXPECT_EQ(Pkcs11FunctionTable() != nullptr, true);
  p11.Force("C_Initialize", CKR_GENERAL_ERROR);
  EXPECT_EQ(token.InitializeModule(), 0x8005);
  EXPECT_FALSE(token.ModuleInitialised());

  // Any failure of loading or initialising is 51 from OpenModule, and
  // nothing stays loaded.
  EXPECT_EQ(token.OpenModule(QUENTA_PKCS11_DOUBLE, 0, nullptr), kErrModuleLoad);
  EXPECT_FALSE(token.ModuleLoaded());
  EXPECT_EQ(token.OpenModule("/nonexistent/module.so", 0, nullptr), kErrModuleLoad);
  p11.Unforce("C_Initialize");

  // A slot that does not exist: the mapped code, and the module released.
  EXPECT_EQ(token.OpenModule(QUENTA_PKCS11_DOUBLE, 12345, nullptr), kErrSlotInvalid);
  EXPECT_FALSE(token.ModuleLoaded());
  EXPECT_EQ(p11.Initialised(), 0);
}

TEST(ModuleLoading, ReleaseFinalisesOnlyWhatItInitialised) {
  P11Double p11{QUENTA_PKCS11_DOUBLE};
  p11.AddToken(kSlot, "Reader", "SN", kPin, kPuk);

  // Two holders in this process share one initialisation: the last one out
  // finalises.
  {
    CTokenAccess first, second;
    ASSERT_EQ(first.OpenModule(QUENTA_PKCS11_DOUBLE, kSlot, nullptr), 0);
    ASSERT_EQ(second.OpenModule(QUENTA_PKCS11_DOUBLE, kSlot, nullptr), 0);
    EXPECT_EQ(p11.OpenSessions(), 2);
    first.ReleaseModule();
    EXPECT_EQ(p11.Initialised(), 1);
    EXPECT_EQ(p11.OpenSessions(), 1);
    EXPECT_EQ(second.CloseSession(), 0);
    second.ReleaseModule();
    EXPECT_EQ(p11.Initialised(), 0);
    EXPECT_EQ(p11.Calls("C_Finalize"), 1);
  }

  // A module someone else initialised is left initialised; our session is
  // closed all the same.
  void* h = ::dlopen(QUENTA_PKCS11_DOUBLE, RTLD_NOW);
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(h, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR list = nullptr;
  ASSERT_EQ(getList(&list), CKR_OK);
  ASSERT_EQ(list->C_Initialize(nullptr), CKR_OK);
  {
    CTokenAccess token;
    ASSERT_EQ(token.OpenModule(QUENTA_PKCS11_DOUBLE, kSlot, nullptr), 0);
    token.ReleaseModule();
    EXPECT_EQ(p11.Initialised(), 1);
    EXPECT_EQ(p11.OpenSessions(), 0);
    EXPECT_EQ(p11.Calls("C_Finalize"), 1);
  }
  list->C_Finalize(nullptr);
  ::dlclose(h);
}

TEST_F(TokenModuleTest, DestructorReleasesTheModule) {
  {
    CTokenAccess other;
    ASSERT_EQ(other.OpenModule(QUENTA_PKCS11_DOUBLE, kSlot, nullptr), 0);
  }
  EXPECT_EQ(p11.OpenSessions(), 1);  // only the fixture's
  token.ReleaseModule();
  EXPECT_EQ(p11.Initialised(), 0);
  EXPECT_EQ(token.CloseSession(), kErrNoSession);
}

TEST_F(TokenModuleTest, CloseSessionReturnsTheModulesAnswer) {
  p11.Force("C_CloseSession", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.CloseSession(), static_cast<int>(CKR_DEVICE_ERROR));
  EXPECT_FALSE(token.HasSession());
  EXPECT_EQ(token.CloseSession(), kErrNoSession);
}

// ---------------------------------------------------------------- mapping

struct MappingCase {
  unsigned long rv;
  int user;
  int securityOfficer;
};

class MappingTest : public TokenModuleTest, public ::testing::WithParamInterface<MappingCase> {};

TEST_P(MappingTest, LoginAnswersAreMapped) {
  const MappingCase& c = GetParam();
  EXPECT_EQ(CTokenAccess::MapTokenError(c.rv, 1), c.user);
  EXPECT_EQ(CTokenAccess::MapTokenError(c.rv, 0), c.securityOfficer);
  p11.Force("C_Login", c.rv);
  EXPECT_EQ(token.LoginUser(kPin), c.user);
  EXPECT_EQ(token.LoginSecurityOfficer(kPuk), c.securityOfficer);
}

INSTANTIATE_TEST_SUITE_P(
    Values, MappingTest,
    ::testing::Values(MappingCase{CKR_OK, 0, 0}, MappingCase{0x259, 601, 601},
                      MappingCase{CKR_SESSION_HANDLE_INVALID, 55, 55},
                      MappingCase{CKR_TOKEN_NOT_PRESENT, 57, 57}, MappingCase{CKR_DEVICE_REMOVED, 57, 57},
                      MappingCase{CKR_TOKEN_NOT_RECOGNIZED, 57, 57},
                      MappingCase{CKR_PIN_INCORRECT, 56, 130}, MappingCase{CKR_PIN_LOCKED, 64, 131},
                      MappingCase{CKR_SESSION_READ_ONLY, 65, 65},
                      MappingCase{CKR_USER_NOT_LOGGED_IN, 65, 65}, MappingCase{CKR_SLOT_ID_INVALID, 52, 52},
                      MappingCase{CKR_PIN_INVALID, 54, 54},
                      MappingCase{CKR_PIN_LEN_RANGE, 0x80A2, 0x80A2},
                      MappingCase{CKR_GENERAL_ERROR, 0x8005, 0x8005},
                      MappingCase{CKR_DEVICE_ERROR, 0x8030, 0x8030}));

// ---------------------------------------------------------------- PINs

TEST_F(TokenModuleTest, PinLengthRulesMakeNoCall) {
  const std::string pin16(16, '7'), pin17(17, '7');
  const int calls = p11.Calls("C_Login") + p11.Calls("C_SetPIN") + p11.Calls("C_InitPIN") +
                    p11.Calls("C_InitToken");
  EXPECT_EQ(token.LoginUser(nullptr), kErrPinLength);
  EXPECT_EQ(token.LoginUser("123"), kErrPinLength);
  EXPECT_EQ(token.LoginUser(pin17.c_str()), kErrPinIncorrect);
  struct { const char* oldPin; const char* newPin; } changes[] = {
      {"123", kPin}, {kPin, "123"}, {pin17.c_str(), kPin}, {kPin, pin17.c_str()}, {nullptr, kPin}, {kPin, nullptr}};
  for (const auto& c : changes) {
    EXPECT_EQ(token.ChangePin(c.oldPin, c.newPin, 1), kErrPinLength);
    EXPECT_EQ(token.ChangePin(c.oldPin, c.newPin, 0), kErrPinLength);
  }
  for (const char* p : {static_cast<const char*>(nullptr), "123", pin17.c_str()}) {
    EXPECT_EQ(token.InitUserPin(p), kErrPinLength);
    EXPECT_EQ(token.InitToken(p), kErrPinLength);
  }
  EXPECT_EQ(p11.Calls("C_Login") + p11.Calls("C_SetPIN") + p11.Calls("C_InitPIN") +
                p11.Calls("C_InitToken"),
            calls);
  // 4 and 16 characters are within the rules and reach the token.
  EXPECT_EQ(token.LoginUser(pin16.c_str()), kErrPinIncorrect);
  EXPECT_EQ(token.LoginUser(kPin), 0);
}

TEST_F(TokenModuleTest, WithoutASessionEverySessionCallGives55) {
  token.CloseSession();
  unsigned long key = 0;
  std::size_t length = 0;
  SecureBytes out;
  std::string a, b;
  const unsigned char data[1] = {1};
  EXPECT_EQ(token.LoginUser(kPin), kErrNoSession);
  EXPECT_EQ(token.LoginSecurityOfficer(kPuk), kErrNoSession);
  EXPECT_EQ(token.ChangePin(kPin, "5678", 1), kErrNoSession);
  EXPECT_EQ(token.InitUserPin(kPin), kErrNoSession);
  EXPECT_EQ(token.FindTokenKey("k", "", 0, &key, &length), kErrNoSession);
  EXPECT_EQ(token.TokenOperation("k", "", kPin, data, 1, 3, out), kErrNoSession);
  EXPECT_EQ(token.GenerateTokenKeyPair("k", 1024, a, b), kErrNoSession);
  EXPECT_EQ(token.RemoveTokenKeys(a), kErrNoSession);
  EXPECT_EQ(token.ListKeyDigests(a), kErrObjectSearch);
  EXPECT_EQ(a, "179|");
}

TEST_F(TokenModuleTest, UserPinLocksAfterWrongTries) {
  EXPECT_EQ(token.LoginUser("9999"), kErrPinIncorrect);
  EXPECT_EQ(token.LoginUser("9999"), kErrPinIncorrect);
  EXPECT_EQ(token.LoginUser("9999"), kErrPinLocked);
  EXPECT_EQ(token.LoginUser(kPin), kErrPinLocked);
  ASSERT_EQ(token.ReadTokenFlags(), 0);
  EXPECT_TRUE(token.UserPinLocked());
  EXPECT_FALSE(token.SoPinLocked());

  EXPECT_EQ(token.LoginSecurityOfficer("87654321"), kErrSoPinIncorrect);
  EXPECT_EQ(token.LoginSecurityOfficer("87654321"), kErrSoPinIncorrect);
  EXPECT_EQ(token.LoginSecurityOfficer("87654321"), kErrSoPinLocked);
  ASSERT_EQ(token.ReadTokenFlags(), 0);
  EXPECT_TRUE(token.SoPinLocked());
}

TEST_F(TokenModuleTest, EveryLoginChecksItsPin) {
  ASSERT_EQ(token.LoginUser(kPin), 0);
  EXPECT_EQ(token.LoginUser(kPin), 0);            // logged in already: logs in again
  EXPECT_EQ(token.LoginUser("9999"), kErrPinIncorrect);
  EXPECT_EQ(token.LoginSecurityOfficer(kPuk), 0);  // the user's login is ended first
}

TEST_F(TokenModuleTest, ChangeAndInitialisePins) {
  EXPECT_EQ(token.ChangePin("9999", "5678", 1), kErrPinIncorrect);
  EXPECT_EQ(token.ChangePin(kPin, "5678", 1), 0);
  EXPECT_EQ(p11.UserPin(kSlot), "5678");
  EXPECT_EQ(token.InitUserPin("2468"), kErrNotLoggedIn);  // needs the security officer
  ASSERT_EQ(token.LoginSecurityOfficer(kPuk), 0);
  EXPECT_EQ(token.InitUserPin("2468"), 0);
  EXPECT_EQ(p11.UserPin(kSlot), "2468");
  EXPECT_EQ(token.ChangePin("00000000", "11111111", 0), kErrSoPinIncorrect);
}

TEST_F(TokenModuleTest, InitTokenWorksAroundItsOwnSession) {
  AddKey("key", 1);
  // C_InitToken refuses a token with sessions; the call must still succeed
  // and leave a session for the security officer's login.
  ASSERT_EQ(token.InitToken(kPuk), 0);
  EXPECT_TRUE(token.HasSession());
  EXPECT_EQ(p11.ObjectCount(kSlot), 0);
  ASSERT_EQ(token.ReadTokenFlags(), 0);
  EXPECT_FALSE(token.UserPinInitialised());
  EXPECT_FALSE(token.TokenInitialised());
  ASSERT_EQ(token.LoginSecurityOfficer(kPuk), 0);
  EXPECT_EQ(token.InitUserPin("4321"), 0);
  ASSERT_EQ(token.ReadTokenFlags(), 0);
  EXPECT_TRUE(token.TokenInitialised());

  EXPECT_EQ(token.InitToken("00000000"), kErrPinIncorrect);
  p11.Force("C_InitToken", CKR_FUNCTION_FAILED);
  EXPECT_EQ(token.InitToken(kPuk), kErrInitTokenRefused);
  EXPECT_TRUE(token.HasSession());
}

struct FlagsCase {
  int initialised, userPinSet, userTries, soTries;
  bool tokenInit, userInit, userLocked, soLocked;
};

class FlagsTest : public TokenModuleTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(FlagsTest, TokenInformationFlags) {
  const FlagsCase& c = GetParam();
  p11.SetState(kSlot, c.initialised, c.userPinSet);
  p11.SetTries(kSlot, c.userTries, c.soTries);
  ASSERT_EQ(token.ReadTokenFlags(), 0);
  EXPECT_EQ(token.TokenInitialised(), c.tokenInit);
  EXPECT_EQ(token.UserPinInitialised(), c.userInit);
  EXPECT_EQ(token.UserPinLocked(), c.userLocked);
  EXPECT_EQ(token.SoPinLocked(), c.soLocked);
}

INSTANTIATE_TEST_SUITE_P(Family1, FlagsTest,
                         ::testing::Values(FlagsCase{1, 1, 3, 3, true, true, false, false},
                                           FlagsCase{1, 0, 3, 3, false, false, false, false},
                                           FlagsCase{0, 1, 3, 3, false, true, false, false},
                                           FlagsCase{1, 1, 0, 3, true, true, true, false},
                                           FlagsCase{1, 1, 3, 0, true, true, false, true},
                                           FlagsCase{1, 1, 0, 0, true, true, true, true}));

TEST_F(TokenModuleTest, ReadTokenFlagsFailureIsMapped) {
  p11.Force("C_GetTokenInfo", CKR_DEVICE_REMOVED);
  EXPECT_EQ(token.ReadTokenFlags(), kErrTokenAbsent);
}

// Family 0 (GPK) reports the remaining tries in the session's device error.
TEST(GpkFlags, DeviceErrorBits) {
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  P11Double p11{QUENTA_PKCS11_DOUBLE};
  MachineSettings settings;
  settings.Write({std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                  std::string("GPK PKCS11 Module=") + QUENTA_PKCS11_DOUBLE});
  pcsc.AddReader("GPK Reader 00 00", "3BA70040148065A20901");
  p11.AddToken(0, "GPK", "GPK1", kPin, kPuk);
  CTokenAccess token;
  unsigned long slot = 9;
  ASSERT_EQ(token.OpenDevice(kDeviceSmartCard, &slot), 0);
  EXPECT_EQ(slot, 0u);
  ASSERT_EQ(token.ModuleFamily(), kFamilyGpk);
  struct { long long error; bool userLocked, soLocked; } cases[] = {
      {0x03030000, false, false}, {0x03000000, true, false}, {0x00030000, false, true},
      {0x00000000, true, true},   {0x0000FFFF, true, true},  {0x01010000, false, false}};
  for (const auto& c : cases) {
    p11.SetDeviceError(c.error);
    ASSERT_EQ(token.ReadTokenFlags(), 0);
    EXPECT_TRUE(token.TokenInitialised());
    EXPECT_TRUE(token.UserPinInitialised());
    EXPECT_EQ(token.UserPinLocked(), c.userLocked) << std::hex << c.error;
    EXPECT_EQ(token.SoPinLocked(), c.soLocked) << std::hex << c.error;
  }
  std::string text;
  ASSERT_EQ(token.ListKeyDigests(text), 0);
  EXPECT_EQ(text, "GemplusCard|");
  p11.Force("C_GetSessionInfo", CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(token.ReadTokenFlags(), kErrNoSession);
}

// ---------------------------------------------------------------- keys

TEST_F(TokenModuleTest, FindTokenKey) {
  AddKey("sign", 1);
  AddKey("twice", 2);
  AddKey("twice", 3, 1, 0);
  AddKey("public only", 4, 1, 0);
  const std::string digest = DigestOf(Modulus(1));
  unsigned long key = 0;
  std::size_t length = 0;
  EXPECT_EQ(token.FindTokenKey(nullptr, digest.c_str(), 1, &key, &length), kErrArgument);
  ASSERT_EQ(token.FindTokenKey("sign", digest.c_str(), 1, &key, &length), 0);
  EXPECT_NE(key, 0u);
  EXPECT_EQ(length, 128u);
  EXPECT_EQ(token.FindTokenKey("sign", DigestOf(Modulus(2)).c_str(), 1, &key, &length),
            kErrTokenDigestMismatch);
  EXPECT_EQ(token.FindTokenKey("sign", nullptr, 1, &key, &length), kErrTokenDigestMismatch);
  EXPECT_EQ(token.FindTokenKey("sign", "whatever", 0, &key, &length), 0);
  EXPECT_EQ(token.FindTokenKey("sig", digest.c_str(), 1, &key, &length), kErrNoKeyOnCard);
  EXPECT_EQ(token.FindTokenKey("twice", nullptr, 0, &key, &length), kErrKeyNameInUse);
  EXPECT_EQ(token.FindTokenKey("public only", nullptr, 0, &key, &length), kErrNoKeyOnCard);

  p11.Force("C_FindObjectsInit", CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(token.FindTokenKey("sign", digest.c_str(), 1, &key, &length), kErrNoSession);
  p11.Force("C_FindObjectsInit", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.FindTokenKey("sign", digest.c_str(), 1, &key, &length), 0x8030);
  p11.Unforce("C_FindObjectsInit");
  p11.Force("C_FindObjects", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.FindTokenKey("sign", digest.c_str(), 1, &key, &length), kErrObjectSearch);
  p11.Unforce("C_FindObjects");
  p11.Force("C_GetAttributeValue", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.FindTokenKey("sign", digest.c_str(), 1, &key, &length), 0x8030);
  p11.Unforce("C_GetAttributeValue");
  // Every failed search was ended: a new one works.
  EXPECT_EQ(token.FindTokenKey("sign", digest.c_str(), 1, &key, &length), 0);
}

TEST_F(TokenModuleTest, TokenOperationSignsTheDigestInfo) {
  AddKey("sign", 1);
  const std::string digest = DigestOf(Modulus(1));
  const std::string data = "order text";
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  SecureBytes out;

  ASSERT_EQ(token.TokenOperation("sign", digest.c_str(), kPin, bytes, data.size(), 3, out), 0);
  EXPECT_EQ(out.size(), 128u);
  unsigned char sha1[20];
  SHA1(bytes, data.size(), sha1);
  EXPECT_EQ(ToHex(p11.LastSigned()),
            "3021300906052B0E03021A05000414" + ToHex(std::string(reinterpret_cast<char*>(sha1), 20)));

  ASSERT_EQ(token.TokenOperation("sign", digest.c_str(), kPin, bytes, data.size(), 4, out), 0);
  unsigned char sha256[32];
  SHA256(bytes, data.size(), sha256);
  EXPECT_EQ(ToHex(p11.LastSigned()), "3031300D060960864801650304020105000420" +
                                         ToHex(std::string(reinterpret_cast<char*>(sha256), 32)));

  ASSERT_EQ(token.TokenOperation("sign", digest.c_str(), kPin, bytes, data.size(), 0, out), 0);
  EXPECT_EQ(p11.LastSigned(), data);

  EXPECT_EQ(token.TokenOperation("sign", digest.c_str(), kPin, bytes, data.size(), 2, out), kErrArgument);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(token.TokenOperation("sign", digest.c_str(), "9999", bytes, data.size(), 3, out),
            kErrPinIncorrect);
  EXPECT_EQ(token.TokenOperation("sign", "0000", kPin, bytes, data.size(), 3, out),
            kErrTokenDigestMismatch);
  p11.Force("C_Sign", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.TokenOperation("sign", digest.c_str(), kPin, bytes, data.size(), 3, out), 0x8030);
  EXPECT_TRUE(out.empty());
}

TEST_F(TokenModuleTest, ListKeyDigestsHasRoomForAnyNumberOfKeys) {
  std::string text;
  ASSERT_EQ(token.ListKeyDigests(text), 0);
  EXPECT_EQ(text, "ProtectorCard|");

  std::string expected = "ProtectorCard|";
  for (int i = 0; i < 40; ++i) {
    AddKey(("key" + std::to_string(i)).c_str(), i);
    expected += (i ? "-\"" : "\"") + DigestOf(Modulus(i)) + "\"";
  }
  p11.AddObject(kSlot, CKO_CERTIFICATE, "not a key");
  ASSERT_EQ(token.ListKeyDigests(text), 0);
  EXPECT_GT(text.size(), 1024u);
  EXPECT_EQ(text, expected);

  p11.Force("C_FindObjectsInit", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.ListKeyDigests(text), kErrObjectSearch);
  EXPECT_EQ(text, "48|");
  p11.Unforce("C_FindObjectsInit");
  p11.Force("C_GetAttributeValue", CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(token.ListKeyDigests(text), kErrTokenAbsent);
  EXPECT_EQ(text, "224|");
}

// ---------------------------------------------------------------- generation

TEST_F(TokenModuleTest, GenerateTokenKeyPair) {
  std::string record, digest;
  EXPECT_EQ(token.GenerateTokenKeyPair("new", 1024, record, digest), kErrNotLoggedIn);
  ASSERT_EQ(token.LoginUser(kPin), 0);
  ASSERT_EQ(token.GenerateTokenKeyPair("new", 1024, record, digest), 0);
  ASSERT_EQ(record.size(), 2u * (4 + 128 + 4 + 3));
  EXPECT_EQ(record.substr(0, 8), "80000000");
  EXPECT_EQ(record.substr(8 + 256), "03000000010001");
  SecureBytes modulus;
  ASSERT_EQ(HexDecode(record.substr(8, 256).c_str(), modulus), 0);
  EXPECT_EQ(digest, CBaseRSA::TokenDigest(modulus.data(), modulus.size()));
  unsigned long key = 0;
  std::size_t length = 0;
  EXPECT_EQ(token.FindTokenKey("new", digest.c_str(), 1, &key, &length), 0);

  // The label is in use now: nothing is generated.
  const int objects = p11.ObjectCount(kSlot);
  const int generated = p11.Calls("C_GenerateKeyPair");
  EXPECT_EQ(token.GenerateTokenKeyPair("new", 1024, record, digest), kErrKeyNameInUse);
  EXPECT_EQ(p11.Calls("C_GenerateKeyPair"), generated);
  AddKey("private only", 5, 0, 1);
  EXPECT_EQ(token.GenerateTokenKeyPair("private only", 1024, record, digest), kErrKeyNameInUse);
  EXPECT_TRUE(record.empty());

  // Naming failures leave no unnamed keys behind.
  p11.Force("C_SetAttributeValue", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.GenerateTokenKeyPair("other", 1024, record, digest), 0x8030);
  EXPECT_EQ(p11.ObjectCount(kSlot), objects + 1);
  p11.Unforce("C_SetAttributeValue");

  p11.Force("C_GenerateKeyPair", CKR_FUNCTION_FAILED);
  EXPECT_EQ(token.GenerateTokenKeyPair("other", 1024, record, digest), kErrKeyGenRefused);
  p11.Force("C_GenerateKeyPair", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.GenerateTokenKeyPair("other", 1024, record, digest), 0x8030);
}

// ---------------------------------------------------------------- removal

class RemovalTest : public TokenModuleTest {
 protected:
  void TearDown() override { CTokenAccess::SetKeyRemovalHook(nullptr); }
};

TEST_F(RemovalTest, RemovesTheCheckedObjects) {
  AddKey("pair", 1);
  AddKey("other", 2);
  p11.AddObject(kSlot, CKO_CERTIFICATE, "certificate");
  std::vector<KeyRemovalRow> shown;
  CTokenAccess::SetKeyRemovalHook([&](std::vector<KeyRemovalRow>& rows) {
    shown = rows;
    for (auto& r : rows) r.selected = r.label == "pair";
    return 1;
  });
  std::string text;
  ASSERT_EQ(token.RemoveTokenKeys(text), 0);
  ASSERT_EQ(shown.size(), 4u);  // the certificate is not offered
  EXPECT_FALSE(shown[0].isPrivate);
  EXPECT_TRUE(shown[1].isPrivate);
  EXPECT_EQ(shown[0].digest, DigestOf(Modulus(1)));
  EXPECT_EQ(text, "|" + DigestOf(Modulus(1)));  // the pair's digest, once
  EXPECT_EQ(p11.ObjectCount(kSlot), 3);
}

TEST_F(RemovalTest, LimitsRowsAndLabels) {
  const std::string longLabel(200, 'L');
  AddKey(longLabel.c_str(), 1);
  for (int i = 0; i < 15; ++i) AddKey(("k" + std::to_string(i)).c_str(), i + 2);
  std::size_t rowsShown = 0;
  CTokenAccess::SetKeyRemovalHook([&](std::vector<KeyRemovalRow>& rows) {
    rowsShown = rows.size();
    EXPECT_EQ(rows[0].label, std::string(127, 'L'));
    return 2;
  });
  std::string text;
  EXPECT_EQ(token.RemoveTokenKeys(text), kErrCancelled);
  EXPECT_EQ(rowsShown, CTokenAccess::kMaxRemovalRows);
  EXPECT_EQ(p11.ObjectCount(kSlot), 32);
}

TEST_F(RemovalTest, Failures) {
  std::string text;
  p11.AddObject(kSlot, CKO_DATA, "data");
  EXPECT_EQ(token.RemoveTokenKeys(text), kErrNoTokenObjects);

  AddKey("pair", 1);
  EXPECT_EQ(token.RemoveTokenKeys(text), kErrCancelled);  // no dialog installed
  CTokenAccess::SetKeyRemovalHook([&](std::vector<KeyRemovalRow>& rows) {
    for (auto& r : rows) r.selected = true;
    return 1;
  });
  p11.Force("C_DestroyObject", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.RemoveTokenKeys(text), kErrTokenObjectDelete);
  p11.Unforce("C_DestroyObject");

  p11.Force("C_FindObjectsInit", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.RemoveTokenKeys(text), 0x8030);
  p11.Unforce("C_FindObjectsInit");
  p11.Force("C_FindObjects", CKR_DEVICE_ERROR);
  EXPECT_EQ(token.RemoveTokenKeys(text), 0x8030);
  p11.Unforce("C_FindObjects");
  // The failed search was ended, so removal works now.
  EXPECT_EQ(token.RemoveTokenKeys(text), 0);
  EXPECT_EQ(p11.ObjectCount(kSlot), 1);
}
