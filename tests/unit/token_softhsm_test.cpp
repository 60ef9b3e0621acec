// CTokenAccess on a real token: SoftHSM2 as a family 1 module, reached
// through the scripted PC/SC library whose reader carries the name of the
// token's slot description. Results are checked with OpenSSL's command line
// and pkcs11-tool, never with the code under test.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/keys_storage.h"
#include "engine/result_codes.h"
#include "engine/token_access.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/support/scripted_ui.h"

using namespace quenta;
using namespace quenta_test;

namespace {


int PinFromDialog(int kind, const char*, char* buffer, std::size_t size) {
  EXPECT_EQ(kind, 11);
  std::strncpy(buffer, kPin, size - 1);
  return 1;
}

std::string Bytes(const SecureBytes& b) { return std::string(b.begin(), b.end()); }

class SoftHsmTokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader = hsm.InitToken("quenta", kPuk, kPin);
    ASSERT_FALSE(reader.empty());
    pcsc.AddReader(reader.c_str(), kTokenAtr);
    settings.Write({std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                    std::string("PKCS11 Module=") + kSoftHsmModule,
                    std::string("Tokens[]=") + kTokenAtr});
    unsigned long slot = 0;
    ASSERT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), 0);
    ASSERT_TRUE(token.HasSession());
    EXPECT_EQ(token.DeviceKind(), 1);
  }

  // A key pair made by pkcs11-tool; returns the PEM file of its public key.
  std::string MakeKey(const std::string& label, const std::string& id) {
    std::string out;
    EXPECT_EQ(hsm.Tool("--login --pin 1234 --keypairgen --key-type rsa:1024 --id " + id +
                           " --label '" + label + "'",
                       &out),
              0)
        << out;
    return PublicKey(label);
  }

  std::string PublicKey(const std::string& label) {
    std::string name = label;
    for (char& c : name) if (c == ' ') c = '_';
    const std::string der = hsm.File(name + ".der"), pem = hsm.File(name + ".pem");
    hsm.Tool("--read-object --type pubkey --label '" + label + "' -o " + der);
    EXPECT_EQ(RunCommand("openssl pkey -pubin -inform DER -in " + der + " -out " + pem + " 2>&1"), 0);
    return pem;
  }

  // The token digest computed here: SHA-1 of the modulus and 01 00 01.
  std::string DigestOfPem(const std::string& pem) {
    std::string out;
    RunCommand("openssl rsa -pubin -in " + pem + " -modulus -noout", &out);
    std::string hex = out.substr(out.find('=') + 1);
    hex.erase(hex.find_last_not_of("\r\n") + 1);
    std::string input = Unhex(hex) + std::string("\x01\x00\x01", 3);
    unsigned char d[20];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), d);
    return ToHex(std::string(reinterpret_cast<char*>(d), 20));
  }

  int CountObjects() {
    std::string out;
    hsm.Tool("--login --pin 1234 --list-objects", &out);
    int n = 0;
    for (std::size_t p = out.find(" Object"); p != std::string::npos; p = out.find(" Object", p + 1)) ++n;
    return n;
  }

  SoftHsm hsm;
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  MachineSettings settings;
  std::string reader;
  CTokenAccess token;
};

}  // namespace

TEST_F(SoftHsmTokenTest, Logins) {
  EXPECT_EQ(token.LoginUser("9999"), kErrPinIncorrect);
  EXPECT_EQ(token.LoginUser("123"), kErrPinLength);
  EXPECT_EQ(token.LoginUser(std::string(17, '1').c_str()), kErrPinIncorrect);
  EXPECT_EQ(token.LoginUser(kPin), 0);
  EXPECT_EQ(token.LoginSecurityOfficer("87654321"), kErrSoPinIncorrect);
  EXPECT_EQ(token.LoginSecurityOfficer(kPuk), 0);
  ASSERT_EQ(token.ReadTokenFlags(), 0);
  EXPECT_TRUE(token.TokenInitialised());
  EXPECT_TRUE(token.UserPinInitialised());
  EXPECT_FALSE(token.UserPinLocked());
  EXPECT_FALSE(token.SoPinLocked());
  std::string serial;
  ASSERT_EQ(token.GetTokenSerial(serial), 0);
  EXPECT_EQ(serial.size(), 16u);
}

TEST_F(SoftHsmTokenTest, SignaturesVerifyWithTheTokensPublicKey) {
  const std::string pem = MakeKey("signing key", "01");
  const std::string digest = DigestOfPem(pem);
  const std::string data = "Przelew 100,00 PLN";
  WriteFile(hsm.File("data"), data);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());

  struct { int op; const char* md; } cases[] = {{3, "-sha1"}, {4, "-sha256"}};
  for (const auto& c : cases) {
    SecureBytes sig;
    ASSERT_EQ(token.TokenOperation("signing key", digest.c_str(), kPin, bytes, data.size(), c.op, sig), 0);
    EXPECT_EQ(sig.size(), 128u);
    WriteFile(hsm.File("sig"), Bytes(sig));
    std::string out;
    EXPECT_EQ(RunCommand(std::string("openssl dgst ") + c.md + " -verify " + pem + " -signature " +
                             hsm.File("sig") + " " + hsm.File("data") + " 2>&1",
                         &out),
              0)
        << c.op << ": " << out;
  }

  // Operation 0: the raw private-key operation, recovered with the public key.
  SecureBytes raw;
  ASSERT_EQ(token.TokenOperation("signing key", digest.c_str(), kPin, bytes, data.size(), 0, raw), 0);
  WriteFile(hsm.File("raw"), Bytes(raw));
  std::string recovered;
  EXPECT_EQ(RunCommand("openssl pkeyutl -verifyrecover -pubin -inkey " + pem + " -in " + hsm.File("raw"),
                       &recovered),
            0);
  EXPECT_EQ(recovered, data);

  // A wrong expected digest stops the operation.
  SecureBytes none;
  EXPECT_EQ(token.TokenOperation("signing key", std::string(40, '0').c_str(), kPin, bytes, data.size(), 3,
                                 none),
            kErrTokenDigestMismatch);
  EXPECT_EQ(token.TokenOperation("no such key", digest.c_str(), kPin, bytes, data.size(), 3, none),
            kErrNoKeyOnCard);
}

TEST_F(SoftHsmTokenTest, DecryptsWhatThePublicKeyEncrypted) {
  const std::string pem = MakeKey("decryption key", "02");
  const std::string secret = "0123456789abcdef0123456789abcdef";
  WriteFile(hsm.File("plain"), secret);
  ASSERT_EQ(RunCommand("openssl pkeyutl -encrypt -pubin -inkey " + pem + " -in " + hsm.File("plain") +
                       " -out " + hsm.File("enc")),
            0);
  const std::string enc = ReadFile(hsm.File("enc"));
  SecureBytes plain;
  ASSERT_EQ(token.TokenOperation("decryption key", DigestOfPem(pem).c_str(), kPin,
                                 reinterpret_cast<const unsigned char*>(enc.data()), enc.size(), 1, plain),
            0);
  EXPECT_EQ(Bytes(plain), secret);
}

TEST_F(SoftHsmTokenTest, GeneratedKeyPairReadsBack) {
  ASSERT_EQ(token.LoginUser(kPin), 0);
  std::string record, digest;
  ASSERT_EQ(token.GenerateTokenKeyPair("generated", 1024, record, digest), 0);

  std::string listing;
  hsm.Tool("--login --pin 1234 --list-objects", &listing);
  EXPECT_NE(listing.find("Public Key Object; RSA 1024 bits"), std::string::npos) << listing;
  EXPECT_NE(listing.find("Private Key Object; RSA"), std::string::npos) << listing;
  EXPECT_NE(listing.find("label:      generated"), std::string::npos) << listing;
  std::string lowerDigest = digest;
  for (char& c : lowerDigest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_NE(listing.find("ID:         " + lowerDigest), std::string::npos) << listing;

  // The record carries the token's modulus; the digest is the token digest.
  const std::string pem = PublicKey("generated");
  EXPECT_EQ(digest, DigestOfPem(pem));
  std::string modulus;
  RunCommand("openssl rsa -pubin -in " + pem + " -modulus -noout", &modulus);
  modulus = modulus.substr(modulus.find('=') + 1, 256);
  EXPECT_EQ(record, "80000000" + modulus + "03000000010001");

  // The new key signs under its label.
  const unsigned char data[] = "abc";
  SecureBytes sig;
  EXPECT_EQ(token.TokenOperation("generated", digest.c_str(), kPin, data, 3, 3, sig), 0);

  // The same label again: 33, and nothing new on the token.
  const int objects = CountObjects();
  EXPECT_EQ(token.GenerateTokenKeyPair("generated", 1024, record, digest), kErrKeyNameInUse);
  EXPECT_EQ(CountObjects(), objects);
}

TEST_F(SoftHsmTokenTest, ListsDigestsAndRemovesAPair) {
  std::string text;
  ASSERT_EQ(token.ListKeyDigests(text), 0);
  EXPECT_EQ(text, "ProtectorCard|");
  const std::string d1 = DigestOfPem(MakeKey("first", "01"));
  const std::string d2 = DigestOfPem(MakeKey("second", "02"));
  ASSERT_EQ(token.ListKeyDigests(text), 0);
  EXPECT_TRUE(text == "ProtectorCard|\"" + d1 + "\"-\"" + d2 + "\"" ||
              text == "ProtectorCard|\"" + d2 + "\"-\"" + d1 + "\"")
      << text;

  ASSERT_EQ(token.LoginUser(kPin), 0);  // private keys are seen only after a login
  CTokenAccess::SetKeyRemovalHook([](std::vector<KeyRemovalRow>& rows) {
    for (auto& r : rows) r.selected = r.label == "first";
    return 1;
  });
  ASSERT_EQ(token.RemoveTokenKeys(text), 0);
  CTokenAccess::SetKeyRemovalHook(nullptr);
  EXPECT_EQ(text, "|" + d1);
  std::string listing;
  hsm.Tool("--login --pin 1234 --list-objects", &listing);
  EXPECT_EQ(listing.find("first"), std::string::npos) << listing;
  EXPECT_NE(listing.find("second"), std::string::npos) << listing;
  EXPECT_EQ(CountObjects(), 2);
}

TEST_F(SoftHsmTokenTest, ChangePin) {
  EXPECT_EQ(token.ChangePin("9999", "5678", 1), kErrPinIncorrect);
  ASSERT_EQ(token.ChangePin(kPin, "5678", 1), 0);
  EXPECT_EQ(token.LoginUser(kPin), kErrPinIncorrect);
  EXPECT_EQ(token.LoginUser("5678"), 0);
  EXPECT_EQ(hsm.Tool("--login --pin 5678 --list-objects"), 0);
}

TEST_F(SoftHsmTokenTest, InitialiseTokenAgain) {
  MakeKey("old key", "01");
  ASSERT_EQ(token.InitToken(kPuk), 0);
  ASSERT_EQ(token.ReadTokenFlags(), 0);
  EXPECT_FALSE(token.UserPinInitialised());
  EXPECT_FALSE(token.TokenInitialised());
  ASSERT_EQ(token.LoginSecurityOfficer(kPuk), 0);
  ASSERT_EQ(token.InitUserPin("4321"), 0);
  ASSERT_EQ(token.ReadTokenFlags(), 0);
  EXPECT_TRUE(token.TokenInitialised());
  EXPECT_TRUE(token.UserPinInitialised());
  EXPECT_EQ(token.LoginUser("4321"), 0);
  std::string text;
  ASSERT_EQ(token.ListKeyDigests(text), 0);
  EXPECT_EQ(text, "ProtectorCard|");  // the old key is gone
  EXPECT_EQ(token.InitToken("87654321"), kErrPinIncorrect);
}

TEST_F(SoftHsmTokenTest, ReleaseAndOpenAgain) {
  EXPECT_EQ(token.CloseSession(), 0);
  token.ReleaseModule();
  EXPECT_FALSE(token.ModuleLoaded());
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceAny, &slot), 0);
  EXPECT_EQ(token.LoginUser(kPin), 0);
}

// A USB token key through the key store: selected by name, used with the
// PIN from the dialog, released. The signature verifies with the token's
// public key and nothing of the device stays open.
TEST_F(SoftHsmTokenTest, KeyStoreSignsWithATokenKey) {
  token.CloseSession();
  token.ReleaseModule();
  const std::string pem = MakeKey("Main", "01");
  TempDir home;
  ScopedEnv homeEnv("XDG_CONFIG_HOME", home.path());
  ScriptedUi ui;
  CKeysStorage store;
  ASSERT_EQ(store.SetKey("Main key", ToHex("Main").c_str(), DigestOfPem(pem).c_str(), kKindUsbToken), 0);

  for (int round = 0; round < 2; ++round) {  // the device can be opened again after release
    int code = -1, deviceOpen = -1;
    std::string text;
    ASSERT_EQ(store.SelectKey("Main key", 0, &code, &text, nullptr, nullptr), 0);
    const std::string data = "Zlecenie " + std::to_string(round);
    SecureBytes sig;
    ASSERT_EQ(store.UseKey(kOpSignSha1, 1, nullptr, reinterpret_cast<const unsigned char*>(data.data()),
                           data.size(), sig, 0, &code, &text, nullptr, PinFromDialog, nullptr,
                           &deviceOpen),
              0);
    WriteFile(hsm.File("data"), data);
    WriteFile(hsm.File("sig"), Bytes(sig));
    EXPECT_EQ(RunCommand("openssl dgst -sha1 -verify " + pem + " -signature " + hsm.File("sig") + " " +
                         hsm.File("data") + " >/dev/null 2>&1"),
              0);
    EXPECT_EQ(store.ReleaseKey(), 0);
    EXPECT_FALSE(store.Token().HasSession());
    EXPECT_FALSE(store.Token().ModuleLoaded());
    EXPECT_FALSE(store.Token().ModuleInitialised());
  }
  EXPECT_TRUE(ui.messages.empty());
}
