// Nothing secret is left behind. Every operation that handles a password,
// PIN, PUK, derived key or private key runs through its success and its
// failure paths while every freed heap block is inspected, and then the
// dead stack it ran on is inspected too: none may still hold the typed
// secrets, the cipher keys derived from them or pieces of the private key.
//
// The keys are made in child processes and by the openssl tool, so this
// process never holds their plain material before a sweep starts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dialogs/gen_key_dlg.h"
#include "dialogs/password_dlg.h"
#include "dialogs/pin_dlg.h"
#include "engine/base_rsa.h"
#include "engine/dialog_hooks.h"
#include "engine/keys_storage_comp.h"
#include "engine/network_msg.h"
#include "engine/result_codes.h"
#include "engine/secure.h"
#include "engine/system_cert_store.h"
#include "platform/nss_store.h"
#include "plugin/method_dispatcher.h"
#include "plugin/texts.h"
#include "signing/sign_dlg.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/secrets/memory_sweep.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_support.h"
#include "tests/unit/store_identity.h"

using namespace quenta;
using namespace quenta_test;

namespace {

using D = CSignDlg;

// Long enough that no string keeps them in its own small buffer.
constexpr char kKeyPassword[] = "Orchard-Lantern-5521";
constexpr char kWrongPassword[] = "Pebble-Harbour-0917";
constexpr char kPkcs8Password[] = "Quartz-Meadow-3380";
constexpr char kLogonPassword[] = "Velvet-Signal-7742";
constexpr char kDbPassword[] = "Ledger-Compass-6610";
constexpr char kTappedPassword[] = "qwertyuiopasdfgh";  // typed on the on-screen keyboard
// The dialogs take PINs of four characters and PUKs of eight.
constexpr char kPin[] = "Zq7%";
constexpr char kWrongPin[] = "Jm2@";
constexpr char kNewPin[] = "Wx4&";
constexpr char kPuk[] = "Pk82#vQz";
constexpr char kNewPuk[] = "Hd51!sYe";
constexpr char kOrderHex[] = "313A4B776F74613A3130302C30307C";  // "1:Kwota:100,00|"
constexpr char kTokenAtr[] = "3BFF9600008131FE4380318065B0846566FB12017882900085";
constexpr char kPlainAtr[] = "3B6E00008031806686000000000000000000";

std::string Shell(const std::string& command) {
  std::string out;
  RunCommand("(" + command + ") 2>/dev/null", &out);
  return out;
}

int HexValue(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                       : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

// The hex digits of text (separators skipped) as bytes in static storage,
// so no heap block of this process ever holds them.
struct StaticBytes {
  unsigned char b[512];
  std::size_t n = 0;
  void FromHex(const std::string& text) {
    n = 0;
    int high = -1;
    for (char c : text) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
      if (high < 0) {
        high = HexValue(c);
      } else if (n < sizeof b) {
        b[n++] = static_cast<unsigned char>(high << 4 | HexValue(c));
        high = -1;
      }
    }
  }
};

// Registers a window of a big number, as stored (big-endian, in DER and
// in our own buffers) and as OpenSSL holds it in memory (little-endian).
void WatchNumber(const std::string& name, const StaticBytes& n) {
  std::size_t start = 0;
  while (start < n.n && n.b[start] == 0) ++start;  // DER's sign byte
  const std::size_t length = n.n - start;
  for (std::size_t at : {std::size_t{0}, length / 2 - 8}) {
    unsigned char be[16], le[16];
    for (int i = 0; i < 16; ++i) {
      be[i] = n.b[start + at + i];
      le[i] = n.b[start + length - 1 - at - 15 + i];
    }
    for (int i = 0; i < 8; ++i) std::swap(le[i], le[15 - i]);
    WatchSecret(name + " (big-endian)", be, 16);
    WatchSecret(name + " (little-endian)", le, 16);
  }
}

// The part of `openssl rsa -text` output below a heading.
std::string Component(const std::string& text, const std::string& heading) {
  std::size_t at = text.find(heading + ":\n");
  if (at == std::string::npos) return std::string();
  at += heading.size() + 2;
  std::size_t end = at;
  while (end < text.size() && text[end] == ' ') end = text.find('\n', end) + 1;
  return text.substr(at, end - at);
}

// Runs fn in a child process; true when it exited with 0.
bool InChild(const std::function<bool()>& fn) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn() ? 0 : 1);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// One RSA key in the forms the key store takes, with what its secrets look
// like in memory.
struct SoftwareKey {
  TempDir dir;
  std::string armour, ownDigest, pkcs8File, pkcs8Digest, prvFile;
  StaticBytes d, p, q, ownCipherKey, pkcs8CipherKey;
  bool ok = false;

  SoftwareKey() {
    const std::string pem = dir.File("a.pem");
    prvFile = dir.File("a.prv");
    pkcs8File = dir.File("a.p8");
    if (RunCommand("openssl genrsa -out " + pem + " 1024 2>/dev/null") != 0 ||
        RunCommand("openssl pkcs8 -topk8 -v2 aes-256-cbc -iter 2048 -in " + pem +
                   " -outform DER -out " + pkcs8File + " -passout pass:" + kPkcs8Password +
                   " 2>/dev/null") != 0)
      return;
    // The own format is written by our code, in a process of its own.
    const std::string digests = dir.File("digests");
    const bool written = InChild([&] {
      FILE* f = std::fopen(pem.c_str(), "r");
      EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
      if (f) std::fclose(f);
      if (!key) return false;
      std::string text;
      const int rc = CBaseRSA::WrapOwnFormat(key, kKeyPassword, text);
      WriteFile(prvFile, text);
      WriteFile(digests, CBaseRSA::OwnFormatDigest(key) + "\n" + CBaseRSA::Pkcs8Digest(key));
      EVP_PKEY_free(key);
      return rc == kOk;
    });
    if (!written) return;
    armour = ReadFile(prvFile);
    const std::string both = ReadFile(digests);
    ownDigest = both.substr(0, both.find('\n'));
    pkcs8Digest = both.substr(both.find('\n') + 1);

    const std::string text = Shell("openssl rsa -in " + pem + " -noout -text");
    d.FromHex(Component(text, "privateExponent"));
    p.FromHex(Component(text, "prime1"));
    q.FromHex(Component(text, "prime2"));

    // The own format's cipher key: PKCS#12 derivation over the masked salt.
    const std::string blob = Shell("sed '1d;$d' " + prvFile + " | base64 -d | head -c 8 | xxd -p");
    StaticBytes salt;
    salt.FromHex(blob);
    std::string masked;
    for (std::size_t i = 0; i < salt.n; ++i) {
      char h[3];
      std::snprintf(h, sizeof h, "%02X", salt.b[i] ^ CBaseRSA::kSaltMask[i]);
      masked += h;
    }
    std::string bmp;
    for (const char* c = kKeyPassword; *c; ++c) bmp += "00" + ToHex(std::string(1, *c));
    bmp += "0000";
    ownCipherKey.FromHex(Shell("openssl kdf -keylen 24 -kdfopt digest:SHA1 -kdfopt hexpass:" + bmp +
                               " -kdfopt hexsalt:" + masked +
                               " -kdfopt iter:1024 -kdfopt id:1 PKCS12KDF"));

    // The PKCS#8 file's cipher key: PBKDF2 over the salt the file names.
    const std::string parsed = Shell("openssl asn1parse -inform DER -in " + pkcs8File);
    const std::size_t dump = parsed.find("[HEX DUMP]:");
    if (dump == std::string::npos) return;
    const std::string saltHex = parsed.substr(dump + 11, parsed.find('\n', dump) - dump - 11);
    pkcs8CipherKey.FromHex(Shell(std::string("openssl kdf -keylen 32 -kdfopt digest:SHA256 ") +
                                 "-kdfopt pass:" + kPkcs8Password + " -kdfopt hexsalt:" + saltHex +
                                 " -kdfopt iter:2048 PBKDF2"));
    ok = armour.find("BEGIN DATA") != std::string::npos && ownDigest.size() == 40 &&
         d.n >= 120 && p.n >= 64 && q.n >= 64 && ownCipherKey.n == 24 && pkcs8CipherKey.n == 32;
  }

  static const SoftwareKey& Get() {
    static SoftwareKey key;
    return key;
  }
};

void WatchTypedSecrets() {
  for (const char* s : {kKeyPassword, kWrongPassword, kPkcs8Password, kLogonPassword, kDbPassword,
                        kTappedPassword, kPin,
                        kWrongPin, kNewPin, kPuk, kNewPuk})
    WatchSecret(std::string("\"") + s + "\"", s, std::strlen(s));
}

void WatchKey(const SoftwareKey& k) {
  WatchNumber("private exponent", k.d);
  WatchNumber("prime 1", k.p);
  WatchNumber("prime 2", k.q);
  WatchSecret("own-format cipher key", k.ownCipherKey.b, k.ownCipherKey.n);
  WatchSecret("PKCS#8 cipher key", k.pkcs8CipherKey.b, k.pkcs8CipherKey.n);
}

// ---- what the user does ----

// In the sign dialog: types each text into the password field and presses
// Sign after each; then cancels if the dialog is still open.
DialogScript SignWith(std::vector<const char*> attempts) {
  return [attempts](ScriptedDialog& d) {
    for (const char* a : attempts) {
      d.Replace(D::kIdPassword, a);
      d.Click(kIdcOk);
      if (d.Ended()) return;
    }
    d.PressEscape();
  };
}
// On the on-screen keyboard: taps each letter's key, then Enter.
DialogScript TapOnKeyboard(const char* text) {
  return [text](ScriptedDialog& k) {
    auto tap = [&k](const std::string& label) {
      if (!k.Surface()) return false;
      for (const auto& op : k.Surface()->ops)
        if (op.kind == DrawOp::kText && op.text == label) return k.Tap(op.x + 2, op.y + 5);
      return false;
    };
    for (const char* c = text; *c; ++c) EXPECT_TRUE(tap(std::string(1, *c))) << *c;
    EXPECT_TRUE(tap("Enter"));
  };
}
DialogScript PasswordDialog(const char* text) {
  return [text](ScriptedDialog& d) {
    d.Type(CPasswordDialog::kEditId, text);
    d.Click(kIdcOk);
  };
}
DialogScript PinChange(const char* first, const char* code) {
  return [first, code](ScriptedDialog& d) {
    d.Type(CPinDlg::kFirstEditId, first);
    d.Type(CPinDlg::kNewEditId, code);
    d.Type(CPinDlg::kRepeatEditId, code);
    d.PressEnter();
  };
}
DialogScript PukAndNewPin(const char* puk, const char* pin) {
  return [puk, pin](ScriptedDialog& d) {
    d.Type(CPinPukDlg::kPukEditId, puk);
    d.Type(CPinPukDlg::kPukRepeatEditId, puk);
    d.Type(CPinPukDlg::kPinEditId, pin);
    d.Type(CPinPukDlg::kPinRepeatEditId, pin);
    d.PressEnter();
  };
}
DialogScript GenerateOnToken() {
  return [](ScriptedDialog& d) {
    d.Replace(CGenKeyDlg::kNameEditId, "Nowy klucz");
    d.Click(CGenKeyDlg::kUsbTokenId);
    d.Click(kIdcOk);
    for (int i = 0; i < 15000 && !d.Ended() && d.TimerRunning(CGenKeyDlg::kTimerId); ++i) {
      d.Tick(CGenKeyDlg::kTimerId);
      ::usleep(2000);
    }
  };
}

int SignOrder(CKeysStorageComp& e, const char* allowed, const char* key, int mode) {
  std::string signature, used, names;
  return e.Sign(allowed, key, kOrderHex, mode, &signature, &used, &names);
}

// The login challenge from EncryptRand to a DecryptRand whose answer is
// the challenge text, encrypted to the key with the openssl tool by the
// caller-supplied function (the record is recovered with the public key).
int LoginRoundTrip(CKeysStorageComp& e, const char* key, int mode,
                   const std::function<std::string(const std::string&)>& answer) {
  std::string message, used, names;
  int rc = e.EncryptRand((std::string("|") + key + "|").c_str(), key, "page-nonce", mode, "bank-extra", &message, &used, &names);
  if (rc != kOk) return rc;
  std::string digest;
  bool hasDigest = false;
  return e.DecryptRand((std::string("|") + key + "|").c_str(), answer(message).c_str(), mode, &digest, &hasDigest, &used, &names);
}

// ---- the sweep ----

// One operation sequence, run with a scripted user interface and a fresh
// engine that both live and die inside the sweep.
struct Scenario {
  const char* name;
  std::function<void(ScriptedUi&, CKeysStorageComp&)> run;
};

// Runs each scenario under a sweep; `list` fills each fresh engine's key list.
void ExpectNothingLeft(const std::vector<Scenario>& scenarios,
                       const std::function<void(CKeysStorageComp&)>& list = {}) {
  for (const Scenario& s : scenarios) {
    const std::vector<SweepFinding> found = SweepWhileRunning([&] {
      ScriptedUi ui;
      CKeysStorageComp e;
      if (list) list(e);
      s.run(ui, e);
    });
    EXPECT_GT(BlocksInspected(), 0u) << "the free hook saw nothing";
    EXPECT_TRUE(found.empty()) << s.name << " left secrets behind:\n" << Describe(found);
  }
}

// A PIN or PUK operation of the engine answered by one PIN dialog.
using Management = int (CKeysStorageComp::*)(std::string*);
int Manage(ScriptedUi& ui, CKeysStorageComp& e, Management op, DialogScript answer) {
  std::string names;
  ui.scripts.push_back(std::move(answer));
  return (e.*op)(&names);
}

// ---------------------------------------------------------------- software keys

class SoftwareSecrets : public ::testing::Test {
 protected:
  SoftwareSecrets() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}
  void SetUp() override {
    ASSERT_TRUE(key().ok) << "the test key could not be made";
    SelectLanguage(0);
    settings_.Write({"GemPCKey USB=1"});
    ForgetSecrets();
    WatchTypedSecrets();
    WatchKey(key());
  }
  void TearDown() override { ForgetSecrets(); }
  static const SoftwareKey& key() { return SoftwareKey::Get(); }

  // The engine with the key listed as the page would list it.
  static void List(CKeysStorageComp& e) {
         ASSERT_EQ(e.SetKey("R", ToHex("repo").c_str(), ToHex(key().armour).c_str(), kKindBankRepository),
              kOk);
    ASSERT_EQ(e.SetKey("F", ToHex("file").c_str(), key().ownDigest.c_str(), kKindFile), kOk);
    ASSERT_EQ(e.SetKeyLocation("F", key().prvFile.c_str()), kOk);
    ASSERT_EQ(e.SetKey("P", ToHex("p8").c_str(), key().pkcs8Digest.c_str(), kKindPkcs8File), kOk);
    ASSERT_EQ(e.SetKeyLocation("P", key().pkcs8File.c_str()), kOk);
    e.SetSignDialogType(1);
  }

  // The private key's answer to a login record: its block decrypted with
  // the public key (the challenge text), encrypted back to the key.
  std::string Answer(const std::string& messageHex) {
    const std::string work = homeDir_.path();
    const std::string pem = key().dir.File("a.pem");
    std::string raw;
    for (std::size_t i = 0; i + 1 < messageHex.size(); i += 2)
      raw += static_cast<char>(std::stoi(messageHex.substr(i, 2), nullptr, 16));
    CProofOfPossesion record;
    if (record.Unpack(reinterpret_cast<const unsigned char*>(raw.data()), raw.size()) != 1)
      return "00";
    WriteFile(work + "/block", std::string(reinterpret_cast<const char*>(record.result),
                                           record.resultLength));
    Shell("openssl pkeyutl -verifyrecover -inkey " + pem + " -in " + work + "/block -out " + work +
          "/recovered");
    const std::string text = ReadFile(work + "/recovered");
    const std::string challenge = text.substr(text.rfind('-') + 1, 64);
    WriteFile(work + "/plain", challenge);
    Shell("openssl pkeyutl -encrypt -inkey " + pem + " -in " + work + "/plain -out " + work +
          "/cipher");
    CProofOfPossesion reply;
    reply.SetKeyName(record.keyName);
    const std::string cipher = ReadFile(work + "/cipher");
    reply.SetResult(reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size());
    const unsigned char* packed = reply.Pack();
    return ToHex(std::string(reinterpret_cast<const char*>(packed), reply.PackedLength()));
  }

  TempDir homeDir_;
  ScopedEnv home_;
  MachineSettings settings_;
};

TEST_F(SoftwareSecrets, SigningAndTheLoginChallengeLeaveNothingBehind) {
  ExpectNothingLeft({
      {"repository key signed with the right password",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kKeyPassword}));
         EXPECT_EQ(SignOrder(e, "|R|", "R", 1), kOk);
       }},
      {"repository key: a wrong password, then the right one",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kWrongPassword, kKeyPassword}));
         EXPECT_EQ(SignOrder(e, "|R|", "R", 1), kOk);
       }},
      {"repository key: wrong passwords until blocked",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kWrongPassword, kWrongPassword, kWrongPassword, kKeyPassword}));
         EXPECT_EQ(SignOrder(e, "|R|", "R", 1), kErrKeyBlocked);
       }},
      {"repository key: a wrong password, then cancel",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kWrongPassword}));
         EXPECT_EQ(SignOrder(e, "|R|", "R", 1), kErrCancelled);
       }},
      {"key file signed, then the engine kept for another order",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kKeyPassword}));
         EXPECT_EQ(SignOrder(e, "|F|", "F", 1), kOk);
         ui.scripts.push_back(SignWith({kWrongPassword}));
         EXPECT_EQ(SignOrder(e, "|F|", "F", 1), kErrCancelled);
       }},
      {"PKCS#8 file: a wrong password, then the right one",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kWrongPassword, kPkcs8Password}));
         EXPECT_EQ(SignOrder(e, "|P|", "P", 1), kOk);
       }},
      {"silent signing: right password, wrong password, cancelled prompt",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(PasswordDialog(kKeyPassword));
         EXPECT_EQ(SignOrder(e, "", "R", 2), kOk);
         ui.scripts.push_back(PasswordDialog(kWrongPassword));
         EXPECT_EQ(SignOrder(e, "", "F", 2), kErrBadPassword);
         ui.scripts.push_back([](ScriptedDialog& d) { d.PressEscape(); });
         EXPECT_EQ(SignOrder(e, "", "P", 2), kErrCancelled);
       }},
      {"a password tapped on the on-screen keyboard (wrong), then the typed one",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back([&ui](ScriptedDialog& d) {
           ui.scripts.push_front(TapOnKeyboard(kTappedPassword));
           d.Click(D::kIdKeyboard);
           EXPECT_EQ(d.Shown(D::kIdPassword).size(), std::strlen(kTappedPassword));
           d.Click(kIdcOk);
           d.Replace(D::kIdPassword, kKeyPassword);
           d.Click(kIdcOk);
         });
         EXPECT_EQ(SignOrder(e, "|R|", "R", 1), kOk);
       }},
      {"through the method dispatcher, as a page calls it",
       [](ScriptedUi& ui, CKeysStorageComp&) {
         CMethodDispatcher page;  // with an engine of its own
         auto text = [](const std::string& t) { return ScriptValue::String(t); };
         EXPECT_EQ(page.Call(MethodId::kSetKey, {text("R"), text(ToHex("repo")),
                                                 text(ToHex(key().armour)), ScriptValue::Int(0)})
                       .text,
                   "0");
         ui.scripts.push_back(PasswordDialog(kWrongPassword));
         EXPECT_EQ(page.Call(MethodId::kSign2, {text(kOrderHex), text("R")}).text, "9|R");  // wrong password
         ui.scripts.push_back(PasswordDialog(kKeyPassword));
         EXPECT_EQ(page.Call(MethodId::kSign2, {text(kOrderHex), text("R")}).text.substr(0, 2),
                   "0|");
       }},
  }, List);
}

TEST_F(SoftwareSecrets, LoginChallengeWithKeptPasswordAndLogonPassword) {
  ExpectNothingLeft({{"login challenge (logon password, key password kept for the answer)",
                      [this](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(PasswordDialog(kLogonPassword));
                        ui.scripts.push_back(SignWith({kWrongPassword, kKeyPassword}));
                        EXPECT_EQ(LoginRoundTrip(e, "R", 2,
                                                 [this](const std::string& m) { return Answer(m); }),
                                  kOk);
                      }}},
                    List);
}

// A secret freed without wiping, one left allocated and one left on the
// stack are each found: the sweep itself works.
TEST_F(SoftwareSecrets, AnUnwipedCopyIsFound) {
  const std::vector<SweepFinding> found = SweepWhileRunning([] {
    std::string* copy = new std::string(kKeyPassword);
    delete copy;
  });
  ASSERT_EQ(found.size(), 1u) << Describe(found);
  EXPECT_EQ(found[0].where, "freed heap block");
  EXPECT_EQ(found[0].secret, std::string("\"") + kKeyPassword + "\"");

  std::string* kept = nullptr;
  const std::vector<SweepFinding> live = SweepWhileRunning([&kept] {
    kept = new std::string(kPkcs8Password);
  });
  ASSERT_EQ(live.size(), 1u) << Describe(live);
  EXPECT_EQ(live[0].where, "heap block still allocated");
  SecureWipe(&(*kept)[0], kept->size());
  delete kept;

  const std::vector<SweepFinding> onStack = SweepWhileRunning([] {
    char buffer[64];
    std::memcpy(buffer, kNewPuk, sizeof kNewPuk);
    asm volatile("" : : "r"(buffer) : "memory");  // the copy stays, unwiped
  });
  ASSERT_EQ(onStack.size(), 1u) << Describe(onStack);
  EXPECT_EQ(onStack[0].where, "dead stack");
}

// ---------------------------------------------------------------- the certificate store

// A certificate-store key in a password-protected database: the database
// password is asked through the password dialog, the key is used inside
// NSS, which runs in this process.
class CertStoreSecrets : public ::testing::Test {
 protected:
  CertStoreSecrets() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}
  void SetUp() override {
    ASSERT_TRUE(MakeStoreIdentity(dir_.path(), "user", "rsa:2048", user_));
    db_ = dir_.File("db");
    ASSERT_TRUE(MakeNssDatabase(db_, kDbPassword, {&user_}));
    const std::string text = Shell("openssl rsa -in " + user_.key + " -noout -text");
    d_.FromHex(Component(text, "privateExponent"));
    p_.FromHex(Component(text, "prime1"));
    q_.FromHex(Component(text, "prime2"));
    ASSERT_GE(d_.n, 240u);  // d may be a few bytes shorter than n
    SelectLanguage(0);
    settings_.Write({"GemPCKey USB=1"});
    ForgetSecrets();
    WatchTypedSecrets();
    WatchNumber("store key's private exponent", d_);
    WatchNumber("store key's prime 1", p_);
    WatchNumber("store key's prime 2", q_);
    CSystemCertStore::SetPasswordPrompt(&CPasswordDialog::PasswordCallback);
  }
  void TearDown() override {
    CSystemCertStore::SetPasswordPrompt(nullptr);
    ForgetSecrets();
  }

  TempDir homeDir_, dir_;
  ScopedEnv home_;
  MachineSettings settings_;
  StoreIdentity user_;
  std::string db_;
  StaticBytes d_, p_, q_;
};

TEST_F(CertStoreSecrets, DatabasePasswordAndStoreKeyLeaveNothingBehind) {
  ScopedEnv database(kNssDatabaseEnv, db_);
  const std::string cert = user_.certText;
  ExpectNothingLeft({
      {"a wrong database password, then the right one",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(PasswordDialog(kWrongPassword));
         ui.scripts.push_back(PasswordDialog(kDbPassword));
         EXPECT_EQ(SignOrder(e, "", "C", 2), kOk);  // SHA-1: what the store signs
       }},
      {"the database password prompt cancelled",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(PasswordDialog(kWrongPassword));
         ui.scripts.push_back([](ScriptedDialog& d) { d.PressEscape(); });
         EXPECT_NE(SignOrder(e, "", "C", 2), kOk);
       }},
  }, [&cert](CKeysStorageComp& e) {
         ASSERT_EQ(e.SetKey("C", ToHex("store").c_str(), cert.c_str(), kKindCertStore), kOk);
  });
}

// ---------------------------------------------------------------- tokens

class TokenSecrets : public ::testing::Test {
 protected:
  TokenSecrets() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}
  void SetUp() override {
    SelectLanguage(0);
    reader_ = hsm_.InitToken("quenta", kPuk, kPin);
    ASSERT_FALSE(reader_.empty());
    pcsc_.AddReader(reader_.c_str(), kTokenAtr);
    settings_.Write({"GemPCKey USB=1", "GemPCTwin USB=1",
                     std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                     std::string("PKCS11 Module=") + kSoftHsmModule,
                     std::string("Tokens[]=") + kTokenAtr});
    std::string out;
    ASSERT_EQ(hsm_.Tool("--slot-description '" + reader_ + "' --login --pin '" + kPin +
                            "' --keypairgen --key-type rsa:1024 --id 01 --label main",
                        &out),
              0)
        << out;
    const std::string der = hsm_.File("pub.der");
    hsm_.Tool("--slot-description '" + reader_ + "' --read-object --type pubkey --id 01 -o " + der);
    pem_ = hsm_.File("pub.pem");
    RunCommand("openssl pkey -pubin -inform DER -in " + der + " -out " + pem_ + " 2>/dev/null");
    FILE* f = std::fopen(pem_.c_str(), "r");
    EVP_PKEY* key = f ? PEM_read_PUBKEY(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) std::fclose(f);
    ASSERT_NE(key, nullptr);
    digest_ = CBaseRSA::TokenDigest(key);
    EVP_PKEY_free(key);
    InstallTokenDialogs();
    ForgetSecrets();
    WatchTypedSecrets();
  }
  void TearDown() override {
    ForgetSecrets();
    CTokenAccess::SetReaderChoiceHook(nullptr);
    CTokenAccess::SetKeyRemovalHook(nullptr);
  }
  void List(CKeysStorageComp& e) const {
    ASSERT_EQ(e.SetKey("T", ToHex("main").c_str(), digest_.c_str(), kKindUsbToken), kOk);
    e.SetSignDialogType(1);
  }

  TempDir homeDir_;
  ScopedEnv home_;
  SoftHsm hsm_;
  PcscDouble pcsc_{QUENTA_PCSC_DOUBLE};
  MachineSettings settings_;
  std::string reader_, pem_, digest_;
};

TEST_F(TokenSecrets, PinsAndPuksLeaveNothingBehind) {
  ExpectNothingLeft({
      {"token key signed with a wrong PIN, then the right one",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kWrongPin, kPin}));
         EXPECT_EQ(SignOrder(e, "|T|", "T", 1), kOk);
       }},
      {"token key: a wrong PIN, then cancel",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kWrongPin}));
         EXPECT_EQ(SignOrder(e, "|T|", "T", 1), kErrCancelled);
       }},
      {"login challenge on the token, PIN kept for the silent answer",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         ui.scripts.push_back(SignWith({kWrongPin, kPin}));
         std::string message, used, names;
         EXPECT_EQ(e.EncryptRand("|T|", "T", "page-nonce", 1, "", &message, &used, &names), kOk);
         std::string digest;
         bool hasDigest = false;
         // An answer of the wrong text: refused, after the key was used.
         EXPECT_NE(e.DecryptRand("|T|", message.c_str(), 1, &digest, &hasDigest, &used, &names), kOk);
       }},
      {"key generation on the token: wrong PIN, then the right one",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         int kind = 0;
         std::string software, pub, id, name, report;
         ui.scripts.push_back(GenerateOnToken());
         ui.scripts.push_back(PasswordDialog(kWrongPin));
         EXPECT_NE(e.GenerateKey(1024, "|1|", &kind, &software, &pub, &id, &name, &report), kOk);
         ui.scripts.push_back(GenerateOnToken());
         ui.scripts.push_back(PasswordDialog(kPin));
         EXPECT_EQ(e.GenerateKey(1024, "|1|", &kind, &software, &pub, &id, &name, &report), kOk);
       }},
      {"PIN change refused for a wrong PIN, then done",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         EXPECT_EQ(Manage(ui, e, &CKeysStorageComp::ChangePIN, PinChange(kWrongPin, kNewPin)),
                   kErrPinIncorrect);
         EXPECT_EQ(Manage(ui, e, &CKeysStorageComp::ChangePIN, PinChange(kPin, kNewPin)), kOk);
       }},
      {"unblocking with the PUK (the PIN is set back)",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         EXPECT_EQ(Manage(ui, e, &CKeysStorageComp::UnblockCard, PinChange(kPuk, kPin)), kOk);
       }},
      {"PUK change",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         EXPECT_EQ(Manage(ui, e, &CKeysStorageComp::ChangePUK, PinChange(kPuk, kNewPuk)), kOk);
       }},
      {"re-initialising the token with the new PUK",
       [](ScriptedUi& ui, CKeysStorageComp& e) {
         std::string names;
         bool hasNames = false;
         ui.answers = {kIdYes, kIdNo};
         ui.scripts.push_back(PukAndNewPin(kNewPuk, kNewPin));
         EXPECT_EQ(e.InitializeCard(true, &names, &hasNames), kOk);
       }},
  }, [this](CKeysStorageComp& e) { List(e); });
}

}  // namespace
