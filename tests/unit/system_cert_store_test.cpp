#include "engine/system_cert_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/result_codes.h"
#include "platform/nss_store.h"
#include "tests/support/test_support.h"
#include "tests/unit/store_identity.h"

namespace {

using namespace quenta;
using quenta_test::ReadFile;
using quenta_test::ScopedEnv;
using quenta_test::StoreIdentity;
using quenta_test::TempDir;
using quenta_test::WriteFile;
using Status = ICertStoreBackend::Status;

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
std::string Text(const SecureBytes& b) { return std::string(b.begin(), b.end()); }

constexpr char kDbPassword[] = "db-secret";

// Identities and databases made once for the whole file.
struct Material {
  TempDir dir;
  StoreIdentity user, other, ec;
  std::string openDb, lockedDb, certOnlyDb;
  bool ok = false;

  Material() {
    openDb = dir.File("open");
    lockedDb = dir.File("locked");
    certOnlyDb = dir.File("certonly");
    ok = quenta_test::MakeStoreIdentity(dir.path(), "user", "rsa:2048", user) &&
         quenta_test::MakeStoreIdentity(dir.path(), "other", "rsa:1024", other) &&
         quenta_test::MakeStoreIdentity(dir.path(), "ec", "ec -pkeyopt ec_paramgen_curve:P-256",
                                        ec) &&
         quenta_test::MakeNssDatabase(openDb, "", {&user, &ec}) &&
         quenta_test::MakeNssDatabase(lockedDb, kDbPassword, {&user}) &&
         quenta_test::MakeNssDatabase(certOnlyDb, "", {}, {&user});
  }
  static Material& Get() {
    static Material m;
    return m;
  }
};

// Prompt answers, scripted per test.
struct PromptScript {
  std::vector<int> kinds;
  std::vector<std::string> labels;
  int answer = 1;
  std::string password;
};
PromptScript g_script;

int ScriptedPrompt(int kind, const char* label, char* buffer, std::size_t size) {
  g_script.kinds.push_back(kind);
  g_script.labels.push_back(label ? label : "");
  std::snprintf(buffer, size, "%s", g_script.password.c_str());
  return g_script.answer;
}

class NssStore : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Material::Get().ok) << "test identities or databases could not be made";
    g_script = PromptScript();
    CSystemCertStore::SetPasswordPrompt(nullptr);
  }
  void TearDown() override { CSystemCertStore::SetPasswordPrompt(nullptr); }

  const Material& m() const { return Material::Get(); }

  int Sign(const std::string& db, const std::string& certText, const std::string& data,
           SecureBytes& out) {
    ScopedEnv env(kNssDatabaseEnv, db);
    return store_.CertStoreOperation(3, certText.c_str(), Bytes(data), data.size(), out);
  }

  TempDir work_;
  CSystemCertStore store_;
};

TEST_F(NssStore, SignaturesEqualTheOpensslSignatureOfTheSameKey) {
  const std::string inputs[] = {"", "order text", std::string(5000, '\x5A'),
                                std::string("\x00\xFF\x00", 3)};
  for (const std::string& data : inputs) {
    const std::string file = work_.File("data");
    WriteFile(file, data);
    const std::string expected = quenta_test::OpensslSha1Signature(m().user, file);
    ASSERT_EQ(expected.size(), 256u);
    SecureBytes sig;
    ASSERT_EQ(Sign(m().openDb, m().user.certText, data, sig), kOk) << data.size();
    EXPECT_EQ(quenta_test::ToHex(Text(sig)), quenta_test::ToHex(expected)) << data.size();
  }
}

TEST_F(NssStore, DecryptsWhatTheOpensslToolEncrypted) {
  const std::string plain = "exchange key block \x01\x02";
  WriteFile(work_.File("plain"), plain);
  ASSERT_TRUE(quenta_test::RunQuiet("openssl pkeyutl -encrypt -pubin -inkey " + m().user.pub +
                                    " -in " + work_.File("plain") + " -out " + work_.File("ct")));
  const std::string block = ReadFile(work_.File("ct"));
  ScopedEnv env(kNssDatabaseEnv, m().openDb);
  SecureBytes out;
  ASSERT_EQ(store_.CertStoreOperation(1, m().user.certText.c_str(), Bytes(block), block.size(),
                                      out),
            kOk);
  EXPECT_EQ(Text(out), plain);

  // A block of the right size always decrypts: NSS answers a bad padding
  // with bytes derived from the block (implicit rejection), not an error.
  struct Case { std::string block; int rc; };
  const Case cases[] = {
      {std::string(300, '\x11'), kErrStoreDecrypt},   // longer than the modulus
      {std::string(), kErrStoreDecrypt},
      {std::string(1025, '\x11'), kErrArgument},      // over the 1024-byte block buffer
  };
  for (const Case& c : cases) {
    EXPECT_EQ(store_.CertStoreOperation(1, m().user.certText.c_str(), Bytes(c.block),
                                        c.block.size(), out),
              c.rc)
        << c.block.size();
    EXPECT_TRUE(out.empty());
  }
}

TEST_F(NssStore, FindingTheCertificateAndItsKey) {
  // Bytes after the certificate's own encoding are not compared.
  std::string der = ReadFile(m().user.der) + "trailing bytes";
  WriteFile(work_.File("padded"), der);
  std::string padded;
  ASSERT_EQ(quenta_test::RunCommand("openssl base64 -in " + work_.File("padded"), &padded), 0);
  padded = "-----BEGIN CERTIFICATE-----\n" + padded + "-----END CERTIFICATE-----\n";

  struct Case { const char* what; std::string db; std::string cert; int rc; };
  const Case cases[] = {
      {"in the store", m().openDb, m().user.certText, kOk},
      {"trailing bytes", m().openDb, padded, kOk},
      {"no database", work_.File("absent"), m().user.certText, kErrStoreOpen},
      {"other certificate", m().openDb, m().other.certText, kErrCertNotFound},
      {"not DER", m().openDb, "-----BEGIN CERTIFICATE-----\nAAAA\n-----END", kErrCertNotFound},
      {"certificate without key", m().certOnlyDb, m().user.certText, kErrStoreKeyAcquire},
      {"not an RSA key", m().openDb, m().ec.certText, kErrStoreKeyAcquire},
  };
  for (const Case& c : cases) {
    SecureBytes sig;
    EXPECT_EQ(Sign(c.db, c.cert, "data", sig), c.rc) << c.what;
    EXPECT_EQ(sig.empty(), c.rc != kOk) << c.what;
  }
}

TEST_F(NssStore, DefaultDatabaseIsTheUsersSharedNssDb) {
  TempDir home;
  ScopedEnv homeEnv("HOME", home.path());
  {
    ScopedEnv unset(kNssDatabaseEnv, "");
    EXPECT_EQ(NssDatabaseName(), "sql:" + home.path() + "/.pki/nssdb");
    SecureBytes sig;
    EXPECT_EQ(store_.CertStoreOperation(3, m().user.certText.c_str(), Bytes(std::string("d")), 1,
                                        sig),
              kErrStoreOpen);
    ASSERT_TRUE(quenta_test::MakeNssDatabase(home.File(".pki/nssdb"), "", {&m().user}));
    EXPECT_EQ(store_.CertStoreOperation(3, m().user.certText.c_str(), Bytes(std::string("d")), 1,
                                        sig),
              kOk);
  }
  struct Case { const char* env; const char* name; };
  const Case cases[] = {{"/x/db", "sql:/x/db"}, {"sql:/x/db", "sql:/x/db"},
                        {"dbm:/x/db", "dbm:/x/db"}, {"/x:y/db", "sql:/x:y/db"}};
  for (const Case& c : cases) {
    ScopedEnv env(kNssDatabaseEnv, c.env);
    EXPECT_EQ(NssDatabaseName(), c.name);
  }
}

TEST_F(NssStore, LockedDatabaseIsUnlockedThroughThePrompt) {
  CSystemCertStore::SetPasswordPrompt(ScriptedPrompt);
  g_script.password = kDbPassword;
  SecureBytes sig;
  ASSERT_EQ(Sign(m().lockedDb, m().user.certText, "order", sig), kOk);
  ASSERT_EQ(g_script.kinds, std::vector<int>{3});
  EXPECT_NE(g_script.labels[0].find(m().lockedDb), std::string::npos) << g_script.labels[0];
  WriteFile(work_.File("order"), "order");
  EXPECT_EQ(Text(sig), quenta_test::OpensslSha1Signature(m().user, work_.File("order")));

  // Every operation opens the database afresh: the login is not kept.
  ASSERT_EQ(Sign(m().lockedDb, m().user.certText, "order", sig), kOk);
  EXPECT_EQ(g_script.kinds.size(), 2u);

  // An unlocked database never asks.
  g_script.kinds.clear();
  ASSERT_EQ(Sign(m().openDb, m().user.certText, "order", sig), kOk);
  EXPECT_TRUE(g_script.kinds.empty());
}

TEST_F(NssStore, LockedDatabaseFailures) {
  struct Case { const char* what; bool prompt; int answer; const char* password; int rc;
                std::size_t asked; };
  const Case cases[] = {
      {"cancelled", true, 2, kDbPassword, kErrStoreSignCancelled, 1},
      {"wrong password every time", true, 1, "wrong", kErrStoreKeyAcquire, 3},
      {"no prompt installed", false, 1, kDbPassword, kErrStoreKeyAcquire, 0},
  };
  for (const Case& c : cases) {
    g_script = PromptScript();
    g_script.answer = c.answer;
    g_script.password = c.password;
    CSystemCertStore::SetPasswordPrompt(c.prompt ? ScriptedPrompt : nullptr);
    SecureBytes sig;
    EXPECT_EQ(Sign(m().lockedDb, m().user.certText, "order", sig), c.rc) << c.what;
    EXPECT_EQ(g_script.kinds.size(), c.asked) << c.what;
    EXPECT_TRUE(sig.empty());
  }
}

// ---------------------------------------------------------------- step results

// A store whose steps answer as scripted and that records the calls made.
struct FakeBackend : ICertStoreBackend {
  struct Script {
    Status open = Status::kOk, find = Status::kOk, acquire = Status::kOk,
           create = Status::kOk, hash = Status::kOk, size = Status::kOk,
           exchange = Status::kOk, decrypt = Status::kOk;
    std::vector<Status> sign{Status::kOk};  // one answer per attempt; the last repeats
  };
  Script script;
  std::vector<std::string> calls;
  std::string der;
  int signCalls = 0;

  Status Open() override { calls.push_back("open"); return script.open; }
  Status FindCertificate(const unsigned char* d, std::size_t n) override {
    calls.push_back("find");
    der.assign(reinterpret_cast<const char*>(d), n);
    return script.find;
  }
  Status AcquirePrivateKey(CertStorePasswordPrompt) override {
    calls.push_back("acquire");
    return script.acquire;
  }
  Status CreateSha1Hash() override { calls.push_back("create"); return script.create; }
  Status HashData(const unsigned char*, std::size_t) override {
    calls.push_back("hash");
    return script.hash;
  }
  Status SignatureSize(std::size_t& n) override {
    calls.push_back("size");
    n = 4;
    return script.size;
  }
  Status SignHash(SecureBytes& sig) override {
    calls.push_back("sign");
    const std::size_t i = std::min<std::size_t>(signCalls++, script.sign.size() - 1);
    if (script.sign[i] == Status::kOk) sig.assign({1, 2, 3, 4});
    return script.sign[i];
  }
  void DestroyHash() override { calls.push_back("destroy"); }
  Status OpenExchangeKey() override { calls.push_back("exchange"); return script.exchange; }
  Status Decrypt(const unsigned char* b, std::size_t n, SecureBytes& plain) override {
    calls.push_back("decrypt");
    plain.assign(b, b + n);
    return script.decrypt;
  }
  void Close() override { calls.push_back("close"); }
};

class StoreSteps : public ::testing::Test {
 protected:
  StoreSteps() {
    auto fake = std::make_unique<FakeBackend>();
    fake_ = fake.get();
    store_ = std::make_unique<CSystemCertStore>(std::move(fake));
    std::string b64;
    WriteFile(dir_.File("der"), std::string("\x30\x03\x02\x01\x07", 5) + "extra");
    quenta_test::RunCommand("openssl base64 -in " + dir_.File("der"), &b64);
    cert_ = "junk before -----BEGIN CERTIFICATE-----\n" + b64 + "-----END CERTIFICATE-----";
  }
  int Run(int op, const std::string& data, SecureBytes& out) {
    return store_->CertStoreOperation(op, cert_.c_str(), Bytes(data), data.size(), out);
  }

  TempDir dir_;
  FakeBackend* fake_;
  std::unique_ptr<CSystemCertStore> store_;
  std::string cert_;
};

TEST_F(StoreSteps, EachFailingStepHasItsCodeAndTheStoreIsAlwaysClosed) {
  using S = FakeBackend::Script;
  struct Case { const char* what; int op; void (*set)(S&); int rc; const char* calls; };
  const Case cases[] = {
      {"sign", 3, [](S&) {}, kOk, "open find acquire create hash size sign destroy close"},
      {"open", 3, [](S& s) { s.open = Status::kFailed; }, kErrStoreOpen, "open close"},
      {"find", 3, [](S& s) { s.find = Status::kFailed; }, kErrCertNotFound, "open find close"},
      {"acquire", 3, [](S& s) { s.acquire = Status::kFailed; }, kErrStoreKeyAcquire,
       "open find acquire close"},
      {"prompt cancelled", 3, [](S& s) { s.acquire = Status::kCancelled; },
       kErrStoreSignCancelled, "open find acquire close"},
      {"create", 3, [](S& s) { s.create = Status::kFailed; }, kErrStoreHashCreate,
       "open find acquire create destroy close"},
      {"hash", 3, [](S& s) { s.hash = Status::kFailed; }, kErrStoreHash,
       "open find acquire create hash destroy close"},
      {"size", 3, [](S& s) { s.size = Status::kFailed; }, kErrStoreSigSize,
       "open find acquire create hash size destroy close"},
      {"sign fails", 3, [](S& s) { s.sign = {Status::kFailed}; }, kErrStoreSign,
       "open find acquire create hash size sign destroy close"},
      {"sign cancelled", 3, [](S& s) { s.sign = {Status::kCancelled}; }, kErrStoreSignCancelled,
       "open find acquire create hash size sign destroy close"},
      {"retry then sign", 3, [](S& s) { s.sign = {Status::kRetry, Status::kRetry, Status::kOk}; },
       kOk, "open find acquire create hash size sign sign sign destroy close"},
      {"retry three times", 3, [](S& s) { s.sign = {Status::kRetry}; }, kErrStoreSign,
       "open find acquire create hash size sign sign sign destroy close"},
      {"decrypt", 1, [](S&) {}, kOk, "open find acquire exchange decrypt close"},
      {"exchange key", 1, [](S& s) { s.exchange = Status::kFailed; }, kErrExchangeKey,
       "open find acquire exchange close"},
      {"decrypt fails", 1, [](S& s) { s.decrypt = Status::kFailed; }, kErrStoreDecrypt,
       "open find acquire exchange decrypt close"},
  };
  for (const Case& c : cases) {
    fake_->script = S();
    c.set(fake_->script);
    fake_->calls.clear();
    fake_->signCalls = 0;
    SecureBytes out;
    EXPECT_EQ(Run(c.op, "data", out), c.rc) << c.what;
    std::string calls;
    for (const std::string& s : fake_->calls) calls += (calls.empty() ? "" : " ") + s;
    EXPECT_EQ(calls, c.calls) << c.what;
    EXPECT_EQ(out.empty(), c.rc != kOk) << c.what;
  }
}

TEST_F(StoreSteps, TheStoreIsAskedForTheCertificateItselfAndAnswersAreReturned) {
  SecureBytes out;
  ASSERT_EQ(Run(3, "data", out), kOk);
  EXPECT_EQ(fake_->der, std::string("\x30\x03\x02\x01\x07", 5));
  EXPECT_EQ(Text(out), "\x01\x02\x03\x04");
  ASSERT_EQ(Run(1, "block", out), kOk);
  EXPECT_EQ(Text(out), "block");
}

TEST_F(StoreSteps, RequestsRefusedWithoutTouchingTheStore) {
  std::string oversize = "-----BEGIN CERTIFICATE-----\n" + std::string(11000, 'A');
  struct Case { const char* what; int op; const char* cert; std::string data; bool nullData;
                int rc; };
  const Case cases[] = {
      {"raw operation", 0, cert_.c_str(), "d", false, kErrArgument},
      {"operation 2", 2, cert_.c_str(), "d", false, kErrArgument},
      {"SHA-256 signature", 4, cert_.c_str(), "d", false, kErrArgument},
      {"negative operation", -1, cert_.c_str(), "d", false, kErrArgument},
      {"no certificate", 3, nullptr, "d", false, kErrArgument},
      {"no data with a length", 3, cert_.c_str(), "dddd", true, kErrArgument},
      {"block over 1024 bytes", 1, cert_.c_str(), std::string(1025, 'b'), false, kErrArgument},
      {"empty text", 3, "", "d", false, kErrCertDecode},
      {"no BEGIN line", 3, "MIIB-----END CERTIFICATE-----", "d", false, kErrCertDecode},
      {"other armour", 3, "-----BEGIN DATA-----\nMIIB\n", "d", false, kErrCertDecode},
      {"larger than the buffer", 3, oversize.c_str(), "d", false, kErrCertDecode},
  };
  for (const Case& c : cases) {
    fake_->calls.clear();
    SecureBytes out{9};
    EXPECT_EQ(store_->CertStoreOperation(c.op, c.cert, c.nullData ? nullptr : Bytes(c.data),
                                         c.data.size(), out),
              c.rc)
        << c.what;
    EXPECT_TRUE(fake_->calls.empty()) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
  }
  // 1024 bytes is still a block.
  SecureBytes out;
  EXPECT_EQ(Run(1, std::string(1024, 'b'), out), kOk);
}

TEST(StoreDer, SequenceLength) {
  struct Case { std::string bytes; std::size_t length; };
  const Case cases[] = {
      {std::string("\x30\x00", 2), 2},
      {std::string("\x30\x02\x05\x00zz", 6), 4},
      {std::string("\x30\x81\x01\x00", 4), 4},
      {std::string("\x30\x82\x01\x00", 4) + std::string(256, 'x'), 260},
      {std::string("\x30\x82\x01\x00", 4) + std::string(255, 'x'), 0},  // shorter than it says
      {std::string("\x31\x00", 2), 0},                   // not a SEQUENCE
      {std::string("\x30\x80\x00\x00", 4), 0},           // indefinite length
      {std::string("\x30\x85\x00\x00\x00\x00\x01", 7), 0},
      {std::string("\x30", 1), 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CSystemCertStore::DerSequenceLength(Bytes(c.bytes), c.bytes.size()), c.length)
        << quenta_test::ToHex(c.bytes);
}

}  // namespace
