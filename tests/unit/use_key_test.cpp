// Using keys end to end through the key store: SetKey, SelectKey, UseKey,
// ReleaseKey with real keys made by the openssl tool, key files on disc and
// an NSS database, signatures checked by the openssl tool.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/base_rsa.h"
#include "engine/encoding.h"
#include "engine/keys_storage.h"
#include "engine/result_codes.h"
#include "platform/nss_store.h"
#include "plugin/texts.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_support.h"
#include "tests/unit/store_identity.h"

namespace {

using namespace quenta;
using quenta_test::ReadFile;
using quenta_test::RunQuiet;
using quenta_test::ScopedEnv;
using quenta_test::ScriptedUi;
using quenta_test::TempDir;
using quenta_test::ToHex;
using quenta_test::WriteFile;

constexpr char kKeyPassword[] = "key-pass";
constexpr char kPkcs8Password[] = "p8-pass";
constexpr char kDbPassword[] = "db-secret";

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string Sha1Hex(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha1(), nullptr);
  return ToHex(std::string(reinterpret_cast<char*>(md), n));
}

// One RSA key in every form the engine takes it.
struct SoftKey {
  std::string pem, pub;
  std::string armour;      // own format, password kKeyPassword
  std::string prvFile;     // the armour as a key file
  std::string pkcs8File;   // encrypted PKCS#8 (-v2 des3), password kPkcs8Password
  std::string ownDigest;   // SHA-1(modulus || exponent), from the openssl tool's modulus
  std::string pkcs8Digest; // SHA-1(00 || modulus || exponent)

  bool Make(const TempDir& dir, const std::string& name, int bits) {
    pem = dir.File(name + ".pem");
    pub = dir.File(name + ".pub");
    prvFile = dir.File(name + ".prv");
    pkcs8File = dir.File(name + ".der");
    if (!RunQuiet("openssl genrsa -out " + pem + " " + std::to_string(bits)) ||
        !RunQuiet("openssl rsa -in " + pem + " -pubout -out " + pub) ||
        !RunQuiet("openssl pkcs8 -topk8 -v2 des3 -in " + pem + " -outform DER -out " + pkcs8File +
                  " -passout pass:" + kPkcs8Password))
      return false;
    std::string modulusLine;
    quenta_test::RunCommand("openssl rsa -in " + pem + " -noout -modulus", &modulusLine);
    modulusLine = Trim(modulusLine);
    const std::string prefix = "Modulus=";
    if (modulusLine.compare(0, prefix.size(), prefix) != 0) return false;
    SecureBytes modulus;
    if (HexDecode(modulusLine.c_str() + prefix.size(), modulus) != kOk) return false;
    const std::string mod(modulus.begin(), modulus.end());
    const std::string exponent("\x01\x00\x01", 3);  // genrsa's 65537
    ownDigest = Sha1Hex(mod + exponent);
    pkcs8Digest = Sha1Hex(std::string(1, '\0') + mod + exponent);

    FILE* f = std::fopen(pem.c_str(), "r");
    if (!f) return false;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!key) return false;
    const int rc = CBaseRSA::WrapOwnFormat(key, kKeyPassword, armour);
    EVP_PKEY_free(key);
    WriteFile(prvFile, armour);
    return rc == kOk;
  }
};

struct Material {
  TempDir dir;
  SoftKey a, b;
  quenta_test::StoreIdentity id, other;
  std::string openDb, lockedDb;
  bool ok = false;

  Material() {
    openDb = dir.File("open");
    lockedDb = dir.File("locked");
    ok = a.Make(dir, "a", 2048) && b.Make(dir, "b", 1024) &&
         quenta_test::MakeStoreIdentity(dir.path(), "id", "rsa:2048", id) &&
         quenta_test::MakeStoreIdentity(dir.path(), "other", "rsa:1024", other) &&
         quenta_test::MakeNssDatabase(openDb, "", {&id}) &&
         quenta_test::MakeNssDatabase(lockedDb, kDbPassword, {&id});
  }
  static Material& Get() {
    static Material m;
    return m;
  }
};

struct PageEvents : IPageTarget {
  struct Event { std::string reserved, name, label; int count; };
  std::vector<Event> events;
  void DeliverWKPEvent(const std::string& r, const std::string& k, const std::string& l,
                       int c) override {
    events.push_back({r, k, l, c});
  }
};

// What the password callbacks were asked and answer.
struct Asked {
  std::vector<int> kinds;
  std::vector<std::string> labels;
  int answer = 1;
  std::string password;
};
Asked g_asked;

int PasswordPrompt(int kind, const char* label, char* buffer, std::size_t size) {
  g_asked.kinds.push_back(kind);
  g_asked.labels.push_back(label ? label : "");
  std::snprintf(buffer, size, "%s", g_asked.password.c_str());
  return g_asked.answer;
}

class UseKeyFlow : public ::testing::Test {
 protected:
  UseKeyFlow() : config_("XDG_CONFIG_HOME", home_.path()), nssDb_(kNssDatabaseEnv, m().openDb) {
    SelectLanguage(1);
    store_.PageCallback().SetTarget(&page_);
    g_asked = Asked();
    CSystemCertStore::SetPasswordPrompt(nullptr);
  }
  ~UseKeyFlow() override {
    CSystemCertStore::SetPasswordPrompt(nullptr);
    SelectLanguage(0);
  }
  void SetUp() override { ASSERT_TRUE(m().ok) << "test keys or databases could not be made"; }

  static const Material& m() { return Material::Get(); }
  static std::string Hex(const std::string& s) { return ToHex(s); }

  int Select(const char* name) {
    return store_.SelectKey(name, 0, nullptr, nullptr, nullptr, nullptr);
  }
  int Use(int op, int ask, const char* password, const std::string& data, SecureBytes& out,
          PasswordCallback cb = nullptr) {
    return store_.UseKey(op, ask, password, reinterpret_cast<const unsigned char*>(data.data()),
                         data.size(), out, 0, nullptr, nullptr, nullptr, cb, nullptr, nullptr);
  }
  std::string Location(const char* name) {
    std::string hex;
    return store_.GetKeyLocation(name, hex) == kOk ? hex : "unreadable";
  }
  static std::string LocationHex(const std::string& path) {
    return ToHex(path) + "00";
  }
  // openssl dgst -verify of a signature over data with the public key.
  bool Verifies(const std::string& pub, const char* digest, const std::string& data,
                const SecureBytes& sig) {
    WriteFile(work_.File("data"), data);
    WriteFile(work_.File("sig"), std::string(sig.begin(), sig.end()));
    return RunQuiet(std::string("openssl dgst -") + digest + " -verify " + pub + " -signature " +
                    work_.File("sig") + " " + work_.File("data"));
  }

  TempDir home_, work_;
  ScopedEnv config_, nssDb_;
  ScriptedUi ui_;
  PageEvents page_;
  CKeysStorage store_;
};

// ---------------------------------------------------------------- repository keys

TEST_F(UseKeyFlow, RepositoryKeysSignAndTheSignaturesVerify) {
  struct Case { int kind; int op; const char* digest; };
  const Case cases[] = {{0, 3, "sha1"}, {0, 4, "sha256"}, {6, 3, "sha1"}, {6, 4, "sha256"}};
  const std::string order = "Przelew 100,00 PLN na rachunek 12 3456";
  for (const Case& c : cases) {
    ASSERT_EQ(store_.SetKey("bank", Hex("Main key").c_str(), Hex(m().a.armour).c_str(),
                            static_cast<uint8_t>(c.kind)),
              kOk);
    ASSERT_EQ(Select("bank"), kOk);
    SecureBytes sig;
    ASSERT_EQ(Use(c.op, 0, kKeyPassword, order, sig), kOk) << c.kind << "/" << c.op;
    EXPECT_EQ(sig.size(), 256u);
    EXPECT_TRUE(Verifies(m().a.pub, c.digest, order, sig)) << c.kind << "/" << c.op;
    EXPECT_EQ(store_.ReleaseKey(), kOk);
    EXPECT_FALSE(store_.HasKeyMaterial());
  }
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_TRUE(page_.events.empty());
}

TEST_F(UseKeyFlow, ThreeWrongPasswordsBlockTheKeyAndASuccessResetsTheCount) {
  store_.SetKey("bank", Hex("Main key").c_str(), Hex(m().a.armour).c_str(), 0);
  SecureBytes sig;

  // Two failures, then a success: the count starts again.
  ASSERT_EQ(Select("bank"), kOk);
  EXPECT_EQ(Use(3, 0, "wrong", "x", sig), kErrBadPassword);
  EXPECT_EQ(Use(3, 0, "wrong", "x", sig), kErrBadPassword);
  EXPECT_EQ(store_.FindKey("bank")->failures, 2);
  EXPECT_EQ(Use(3, 0, kKeyPassword, "x", sig), kOk);
  EXPECT_EQ(store_.FindKey("bank")->failures, 0);
  store_.ReleaseKey();

  page_.events.clear();
  ui_.messages.clear();
  ASSERT_EQ(Select("bank"), kOk);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(Use(3, 0, "wrong", "x", sig), kErrBadPassword);
    EXPECT_TRUE(sig.empty());
  }
  ASSERT_EQ(page_.events.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(page_.events[i].reserved, "");
    EXPECT_EQ(page_.events[i].name, "bank");
    EXPECT_EQ(page_.events[i].label, "Main key");
    EXPECT_EQ(page_.events[i].count, i + 1);
  }
  EXPECT_EQ(ui_.MessageIds(), (std::vector<int>{571, 571, 571}));
  EXPECT_EQ(ui_.messages[0].caption, LoadText(228));
  store_.ReleaseKey();

  // The fourth use is refused before any password is asked, even the right one.
  ui_.messages.clear();
  g_asked.password = kKeyPassword;
  ASSERT_EQ(Select("bank"), kOk);
  EXPECT_EQ(Use(3, 1, nullptr, "x", sig, PasswordPrompt), kErrKeyBlocked);
  EXPECT_EQ(Use(3, 0, kKeyPassword, "x", sig), kErrKeyBlocked);
  EXPECT_TRUE(g_asked.kinds.empty());
  EXPECT_EQ(ui_.MessageIds(), (std::vector<int>{556, 556}));
  EXPECT_EQ(page_.events.size(), 3u);
}

// ---------------------------------------------------------------- the password

TEST_F(UseKeyFlow, AskFlagAsksThroughTheCallback) {
  store_.SetKey("bank", Hex("Main key").c_str(), Hex(m().a.armour).c_str(), 0);
  store_.SetKey("file", Hex("a").c_str(), m().a.ownDigest.c_str(), 1);
  store_.SetKeyLocation("file", m().a.prvFile.c_str());
  SecureBytes sig;

  struct Case { const char* name; int kind; std::string label; };
  const Case cases[] = {{"bank", 0, "Main key"}, {"file", 1, "a"}};
  for (const Case& c : cases) {
    g_asked = Asked();
    g_asked.password = kKeyPassword;
    ASSERT_EQ(Select(c.name), kOk);
    // The password argument is not used when asking.
    EXPECT_EQ(Use(3, 1, "wrong", "x", sig, PasswordPrompt), kOk) << c.name;
    EXPECT_EQ(g_asked.kinds, std::vector<int>{c.kind});
    EXPECT_EQ(g_asked.labels, std::vector<std::string>{c.label});
    EXPECT_TRUE(Verifies(m().a.pub, "sha1", "x", sig));

    // Cancel: 8, nothing counted or reported.
    g_asked.answer = 2;
    EXPECT_EQ(Use(3, 1, kKeyPassword, "x", sig, PasswordPrompt), kErrCancelled) << c.name;
    EXPECT_TRUE(sig.empty());
    store_.ReleaseKey();
  }
  EXPECT_EQ(store_.FindKey("bank")->failures, 0);
  EXPECT_TRUE(page_.events.empty());
  EXPECT_TRUE(ui_.messages.empty());
}

TEST_F(UseKeyFlow, RememberedPasswordIsUsedWithoutAsking) {
  store_.SetKey("bank", Hex("Main key").c_str(), Hex(m().a.armour).c_str(), 0);
  SecureBytes sig;

  // Without the remember flag a success keeps nothing.
  ASSERT_EQ(Select("bank"), kOk);
  ASSERT_EQ(Use(3, 0, kKeyPassword, "x", sig), kOk);
  EXPECT_FALSE(store_.HasKeptPassword());
  store_.ReleaseKey();

  // A failure with the flag keeps nothing either.
  store_.SetRememberFlag(1);
  ASSERT_EQ(Select("bank"), kOk);
  EXPECT_EQ(Use(3, 0, "wrong", "x", sig), kErrBadPassword);
  EXPECT_FALSE(store_.HasKeptPassword());
  ASSERT_EQ(Use(3, 0, kKeyPassword, "x", sig), kOk);
  EXPECT_TRUE(store_.HasKeptPassword());
  store_.ReleaseKey();

  // The next use takes the kept password: no question, the argument ignored.
  ASSERT_EQ(Select("bank"), kOk);
  EXPECT_EQ(Use(4, 1, "wrong", "y", sig, PasswordPrompt), kOk);
  EXPECT_TRUE(g_asked.kinds.empty());
  EXPECT_TRUE(Verifies(m().a.pub, "sha256", "y", sig));
  store_.ReleaseKey();

  // Forgotten, it is asked for again.
  store_.SetRememberFlag(0);
  store_.ForgetPassword();
  g_asked.password = kKeyPassword;
  ASSERT_EQ(Select("bank"), kOk);
  EXPECT_EQ(Use(3, 1, nullptr, "x", sig, PasswordPrompt), kOk);
  EXPECT_EQ(g_asked.kinds.size(), 1u);
}

// A kept password keeps the material of the key it unlocked, never for
// another key: selecting another key takes that key's own material.
TEST_F(UseKeyFlow, KeptMaterialNeverServesAnotherKey) {
  store_.SetKey("A", Hex("a").c_str(), Hex(m().a.armour).c_str(), 0);
  store_.SetKey("B", Hex("b").c_str(), Hex(m().b.armour).c_str(), 0);
  SecureBytes sig;
  store_.SetRememberFlag(1);
  ASSERT_EQ(Select("A"), kOk);
  ASSERT_EQ(Use(3, 0, kKeyPassword, "x", sig), kOk);
  ASSERT_TRUE(store_.HasKeptPassword());
  store_.ReleaseKey();

  ASSERT_EQ(Select("B"), kOk);
  SecureBytes sigB;
  int rc = Use(3, 0, kKeyPassword, "x", sigB);
  if (rc == kOk) {
    EXPECT_TRUE(Verifies(m().b.pub, "sha1", "x", sigB));
    EXPECT_FALSE(Verifies(m().a.pub, "sha1", "x", sigB));
  } else {
    EXPECT_EQ(rc, kErrBadPassword);  // B's material, tried with A's password
  }
  store_.ReleaseKey();
  store_.SetRememberFlag(0);
  store_.ForgetPassword();
}

// ---------------------------------------------------------------- key files

TEST_F(UseKeyFlow, KeyFileAtTheRememberedPathIsUsedSilently) {
  store_.SetKey("file", Hex("a").c_str(), m().a.ownDigest.c_str(), 1);
  store_.SetKey("p8", Hex("a").c_str(), m().a.pkcs8Digest.c_str(), 8);
  store_.SetKeyLocation("file", m().a.prvFile.c_str());
  store_.SetKeyLocation("p8", m().a.pkcs8File.c_str());

  struct Case { const char* name; const char* password; int op; const char* digest; };
  const Case cases[] = {{"file", kKeyPassword, 3, "sha1"}, {"file", kKeyPassword, 4, "sha256"},
                        {"p8", kPkcs8Password, 3, "sha1"}, {"p8", kPkcs8Password, 4, "sha256"}};
  for (const Case& c : cases) {
    ASSERT_EQ(Select(c.name), kOk) << c.name;
    SecureBytes sig;
    EXPECT_EQ(Use(c.op, 0, c.password, "order", sig), kOk) << c.name << "/" << c.op;
    EXPECT_TRUE(Verifies(m().a.pub, c.digest, "order", sig)) << c.name << "/" << c.op;
    store_.ReleaseKey();
  }
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_TRUE(ui_.fileRequests.empty());
  EXPECT_EQ(Location("file"), LocationHex(m().a.prvFile));
}

TEST_F(UseKeyFlow, KeyFileIsAskedForWhenItsPathIsMissingEmptyOrStale) {
  struct Case { const char* what; int kind; const char* stored; std::string file;
                const char* extension; const char* hint; const char* password; };
  const Case cases[] = {
      {"no path", 1, nullptr, m().a.prvFile, "prv", "(plik a.prv)", kKeyPassword},
      {"empty path", 1, "", m().a.prvFile, "prv", "(plik a.prv)", kKeyPassword},
      {"stale path", 1, "/nonexistent/a.prv", m().a.prvFile, "prv", "(plik a.prv)", kKeyPassword},
      {"PKCS#8 stale path", 8, "/nonexistent/a.der", m().a.pkcs8File, "der",
       "(plik private_key.der lub priv.der)", kPkcs8Password},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ui_.messages.clear();
    ui_.fileRequests.clear();
    const std::string name = std::string("k") + c.what;
    store_.SetKey(name.c_str(), Hex("a").c_str(),
                  c.kind == 1 ? m().a.ownDigest.c_str() : m().a.pkcs8Digest.c_str(),
                  static_cast<uint8_t>(c.kind));
    if (c.stored) store_.SetKeyLocation(name.c_str(), c.stored);

    ui_.files.push_back(c.file);
    ASSERT_EQ(Select(name.c_str()), kOk);
    ASSERT_EQ(ui_.messages.size(), 1u);
    EXPECT_EQ(ui_.messages[0].textId, 553);
    EXPECT_EQ(ui_.messages[0].icon, MsgIcon::kWarning);
    EXPECT_NE(ui_.messages[0].text.find(c.hint), std::string::npos) << ui_.messages[0].text;
    ASSERT_EQ(ui_.fileRequests.size(), 1u);
    EXPECT_EQ(ui_.fileRequests[0].defaultExtension, c.extension);
    EXPECT_EQ(ui_.fileRequests[0].initialName, "a");

    SecureBytes sig;
    EXPECT_EQ(Use(3, 0, c.password, "order", sig), kOk);
    EXPECT_TRUE(Verifies(m().a.pub, "sha1", "order", sig));
    // The chosen path is stored when the key is released, and used next time.
    EXPECT_NE(Location(name.c_str()), LocationHex(c.file));
    EXPECT_EQ(store_.ReleaseKey(), kOk);
    EXPECT_EQ(Location(name.c_str()), LocationHex(c.file));
    ASSERT_EQ(Select(name.c_str()), kOk);
    EXPECT_EQ(ui_.fileRequests.size(), 1u);
    store_.ReleaseKey();
  }

  // Cancelling the file dialog gives 8 and stores nothing.
  store_.SetKey("cancel", Hex("a").c_str(), m().a.ownDigest.c_str(), 1);
  ui_.files.push_back(std::nullopt);
  EXPECT_EQ(Select("cancel"), kErrCancelled);
  store_.ReleaseKey();
  EXPECT_EQ(Location("cancel"), "unreadable");
}

TEST_F(UseKeyFlow, KeyFileWithTheWrongContentIsForgotten) {
  WriteFile(work_.File("notes.prv"), "no armour in here");
  WriteFile(work_.File("garbage.der"), "not a PKCS#8 structure");
  struct Case { const char* what; int kind; std::string file; const char* digest;
                const char* password; int rc; };
  const Case cases[] = {
      {"another key", 1, m().b.prvFile, m().a.ownDigest.c_str(), kKeyPassword,
       kErrKeyDigestMismatch},
      {"another PKCS#8 key", 8, m().b.pkcs8File, m().a.pkcs8Digest.c_str(), kPkcs8Password,
       kErrKeyDigestMismatch},
      {"bad data", 1, work_.File("notes.prv"), m().a.ownDigest.c_str(), kKeyPassword,
       kErrHexData},
      {"PKCS#8 garbage", 8, work_.File("garbage.der"), m().a.pkcs8Digest.c_str(),
       kPkcs8Password, kErrPkcs8Parse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    store_.SetKey("k", Hex("a").c_str(), c.digest, static_cast<uint8_t>(c.kind));
    store_.SetKeyLocation("k", c.file.c_str());
    ui_.messages.clear();
    ui_.fileRequests.clear();

    ASSERT_EQ(Select("k"), kOk);
    SecureBytes sig;
    EXPECT_EQ(Use(3, 0, c.password, "order", sig), c.rc);
    EXPECT_TRUE(sig.empty());
    EXPECT_EQ(Location("k"), "00");
    store_.ReleaseKey();
    EXPECT_EQ(Location("k"), "00");
    EXPECT_TRUE(ui_.messages.empty());
    EXPECT_EQ(store_.FindKey("k")->failures, 0);

    // The next selection asks for the file again.
    ui_.files.push_back(std::nullopt);
    EXPECT_EQ(Select("k"), kErrCancelled);
    EXPECT_EQ(ui_.MessageIds(), std::vector<int>{553});
    EXPECT_EQ(ui_.fileRequests.size(), 1u);
    store_.ReleaseKey();
  }
  EXPECT_TRUE(page_.events.empty());
}

// A file the user has just chosen that turns out to hold another key is
// forgotten too: the pending path is not stored at release.
TEST_F(UseKeyFlow, WrongKeyFileJustChosenIsNotStoredAtRelease) {
  store_.SetKey("k", Hex("a").c_str(), m().a.ownDigest.c_str(), 1);
  ui_.files.push_back(m().b.prvFile);
  ASSERT_EQ(Select("k"), kOk);
  SecureBytes sig;
  EXPECT_EQ(Use(3, 0, kKeyPassword, "order", sig), kErrKeyDigestMismatch);
  store_.ReleaseKey();
  EXPECT_NE(Location("k"), LocationHex(m().b.prvFile));
  ui_.files.push_back(std::nullopt);
  EXPECT_EQ(Select("k"), kErrCancelled);
  EXPECT_EQ(ui_.fileRequests.size(), 2u);
}

TEST_F(UseKeyFlow, Pkcs8FileWrongPasswordCounts) {
  store_.SetKey("p8", Hex("a").c_str(), m().a.pkcs8Digest.c_str(), 8);
  store_.SetKeyLocation("p8", m().a.pkcs8File.c_str());
  ASSERT_EQ(Select("p8"), kOk);
  SecureBytes sig;
  EXPECT_EQ(Use(3, 0, "wrong", "order", sig), kErrBadPassword);
  EXPECT_EQ(store_.FindKey("p8")->failures, 1);
  ASSERT_EQ(page_.events.size(), 1u);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{571});
  // A wrong password does not make the file forgotten.
  EXPECT_EQ(Location("p8"), LocationHex(m().a.pkcs8File));
}

// ---------------------------------------------------------------- certificate store

TEST_F(UseKeyFlow, StoreKeySignsAfterConsent) {
  store_.SetKey("store", Hex("Certyfikat").c_str(), m().id.certText.c_str(), 3);
  const std::string order = "order for the store";
  WriteFile(work_.File("order"), order);
  const std::string expected = quenta_test::OpensslSha1Signature(m().id, work_.File("order"));
  ASSERT_FALSE(expected.empty());

  ASSERT_EQ(Select("store"), kOk);
  EXPECT_FALSE(store_.HasKeyMaterial());
  SecureBytes sig;
  // The ask flag does not ask for a store key.
  ASSERT_EQ(Use(3, 1, nullptr, order, sig, PasswordPrompt), kOk);
  EXPECT_EQ(ToHex(std::string(sig.begin(), sig.end())), ToHex(expected));
  EXPECT_TRUE(g_asked.kinds.empty());
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_EQ(ui_.messages[0].textId, 351);
  EXPECT_EQ(ui_.messages[0].text, LoadText(351));
  EXPECT_EQ(ui_.messages[0].caption, LoadText(228));
  EXPECT_EQ(ui_.messages[0].buttons, MsgButtons::kOkCancel);

  // SHA-256 is not offered by the store; no consent is asked for it.
  ui_.messages.clear();
  EXPECT_EQ(Use(4, 0, nullptr, order, sig), kErrArgument);
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_EQ(store_.ReleaseKey(), kOk);

  // A certificate that is not in the store.
  store_.SetKey("missing", Hex("Inny").c_str(), m().other.certText.c_str(), 3);
  ASSERT_EQ(Select("missing"), kOk);
  EXPECT_EQ(Use(3, 0, nullptr, order, sig), kErrCertNotFound);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{351});
  store_.ReleaseKey();
  EXPECT_TRUE(page_.events.empty());
}

TEST_F(UseKeyFlow, StoreConsentCancelLeavesTheStoreUntouched) {
  // A locked database shows whether the store was opened: it asks to be unlocked.
  ScopedEnv locked(kNssDatabaseEnv, m().lockedDb);
  CSystemCertStore::SetPasswordPrompt(PasswordPrompt);
  g_asked.password = kDbPassword;
  store_.SetKey("store", Hex("Certyfikat").c_str(), m().id.certText.c_str(), 3);
  ASSERT_EQ(Select("store"), kOk);
  SecureBytes sig;

  ui_.answers.push_back(kIdCancel);
  EXPECT_EQ(Use(3, 0, nullptr, "order", sig), kErrCancelled);
  EXPECT_TRUE(g_asked.kinds.empty());
  EXPECT_TRUE(sig.empty());

  ui_.answers.push_back(kIdOk);
  EXPECT_EQ(Use(3, 0, nullptr, "order", sig), kOk);
  EXPECT_EQ(g_asked.kinds, std::vector<int>{3});
  EXPECT_TRUE(Verifies(m().id.pub, "sha1", "order", sig));

  // The database's own prompt cancelled.
  g_asked.answer = 2;
  EXPECT_EQ(Use(3, 0, nullptr, "order", sig), kErrStoreSignCancelled);
  EXPECT_EQ(store_.FindKey("store")->failures, 0);
  store_.ReleaseKey();
}

}  // namespace
