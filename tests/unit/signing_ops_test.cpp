// The engine's signing operations end to end with real keys: Sign through
// the sign dialog driven by the scripted user interface, Sign2 without it,
// and the two-step login challenge (EncryptRand, DecryptRand) with its state
// machine. Signatures and raw blocks are checked with the openssl tool.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "dialogs/password_dlg.h"
#include "engine/keys_storage_comp.h"
#include "engine/network_msg.h"
#include "engine/password_digest.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "signing/sign_dlg.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_support.h"
#include "tests/unit/sign_test_support.h"

namespace {

using namespace quenta;
using quenta_test::AsString;
using quenta_test::kSignKeyPassword;
using quenta_test::MachineComponents;
using quenta_test::ScopedEnv;
using quenta_test::ScriptedDialog;
using quenta_test::ScriptedUi;
using quenta_test::SignKey;
using quenta_test::TempDir;
using quenta_test::ToHex;
using quenta_test::Unhex;

using D = CSignDlg;

constexpr char kOrder[] = "1:Kwota:100,00|2:Waluta:PLN|";

struct SignOutcome {
  int rc = -1;
  std::string signature, used, names;
};

struct LoginOutcome {
  int rc = -1;
  std::string message, used, names;
};

class SigningOps : public ::testing::Test {
 protected:
  SigningOps() : config_("XDG_CONFIG_HOME", home_.path()) {
    SelectLanguage(0);
    components_.Set(true, false);
  }
  void SetUp() override { ASSERT_TRUE(keys().ok) << "test keys could not be made"; }

  static const quenta_test::SignKeyPair& keys() { return quenta_test::SignKeyPair::Get(); }

  void AddRepositoryKey(const char* name, const SignKey& key) {
    ASSERT_EQ(engine_.SetKey(name, ToHex(name).c_str(), key.RepositoryData().c_str(), 0), kOk);
  }
  void AddFileKey(const char* name, const SignKey& key) {
    ASSERT_EQ(engine_.SetKey(name, ToHex(name).c_str(), key.ownDigest.c_str(), 1), kOk);
    ASSERT_EQ(engine_.SetKeyLocation(name, key.prvFile.c_str()), kOk);
  }

  SignOutcome Sign(const char* allowed, const char* key, const std::string& orderHex, int mode) {
    SignOutcome o;
    o.rc = engine_.Sign(allowed, key, orderHex.c_str(), mode, &o.signature, &o.used, &o.names);
    return o;
  }
  // Passes the first checks only when signing is allowed: 35 then, 600 while
  // a challenge is open.
  int Probe() { return Sign("|", "K", "00", 1).rc; }

  LoginOutcome Encrypt(const char* challenge, int mode = 1, const char* extra = "") {
    LoginOutcome o;
    o.rc = engine_.EncryptRand("|K1|", "K1", challenge, mode, extra, &o.message, &o.used, &o.names);
    return o;
  }
  struct DecryptOutcome {
    int rc = -1;
    std::string digest, used, names;
    bool hasDigest = false;
  };
  DecryptOutcome Decrypt(const std::string& messageHex, int mode = 1) {
    DecryptOutcome o;
    o.rc = engine_.DecryptRand("|K1|", messageHex.c_str(), mode, &o.digest, &o.hasDigest, &o.used,
                               &o.names);
    return o;
  }

  // The sign dialog answered with the key password.
  void TypePasswordAndSign() {
    ui_.scripts.push_back([](ScriptedDialog& d) {
      d.Type(D::kIdPassword, kSignKeyPassword);
      d.Click(kIdcOk);
    });
  }
  void AnswerPasswordDialog(const char* password) {
    ui_.scripts.push_back([password](ScriptedDialog& d) {
      EXPECT_EQ(d.ResourceId(), CPasswordDialog::kResourceId);
      d.Type(CPasswordDialog::kEditId, password);
      d.Click(kIdcOk);
    });
  }

  // The record EncryptRand returned: key name and the raw block.
  static bool Parse(const std::string& messageHex, std::string& name, std::string& block) {
    const std::string bytes = Unhex(messageHex);
    CProofOfPossesion record;
    if (record.Unpack(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1)
      return false;
    name = record.keyName ? record.keyName : "";
    block.assign(reinterpret_cast<const char*>(record.result), record.resultLength);
    return true;
  }
  // A record for DecryptRand: the key name and the block as given.
  static std::string Record(const std::string& name, const std::string& block) {
    CProofOfPossesion record;
    record.SetKeyName(name.c_str());
    record.SetResult(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    const unsigned char* packed = record.Pack();
    return ToHex(std::string(reinterpret_cast<const char*>(packed), record.PackedLength()));
  }
  // Runs EncryptRand through the dialog and returns the 64-character
  // challenge text, recovered from the signed block with the public key.
  std::string OpenChallenge(const char* pageChallenge = "page-nonce", int mode = 1,
                            const char* extra = "") {
    TypePasswordAndSign();
    const LoginOutcome o = Encrypt(pageChallenge, mode, extra);
    EXPECT_EQ(o.rc, kOk);
    std::string name, block;
    EXPECT_TRUE(Parse(o.message, name, block));
    const std::string data = quenta_test::RecoverRaw(keys().a.pub, block, work_.path());
    const std::string prefix = std::string(pageChallenge) + "-";
    if (data.size() != prefix.size() + 65 || data.compare(0, prefix.size(), prefix) != 0) {
      ADD_FAILURE() << "unexpected signed data " << ToHex(data);
      return std::string();
    }
    return data.substr(prefix.size(), 64);
  }
  std::string Answer(const std::string& plain) {
    return Record("K1", quenta_test::EncryptFor(keys().a.pub, plain, work_.path()));
  }
  bool Verifies(const char* digest, const std::string& data, const std::string& signatureHex,
                const SignKey& key) {
    return quenta_test::VerifiesWith(key.pub, digest, data, Unhex(signatureHex), work_.path());
  }

  TempDir home_, work_;
  ScopedEnv config_;
  MachineComponents components_;
  ScriptedUi ui_;
  CKeysStorageComp engine_;
};

// ---------------------------------------------------------------- Sign and Sign2

TEST_F(SigningOps, ReaderComponentIsCheckedBeforeAnythingElse) {
  struct Case { const char* settings; bool passes; };
  const Case cases[] = {
      {"", false},
      {"GemPCKey USB=1\n", true},
      {"GemPCTwin USB=1\n", true},
      {"GemPCKey USB=0\nGemPCTwin USB=2\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    components_.SetText(c.settings);
    EXPECT_EQ(Sign("|K|", "K", "00", 1).rc, c.passes ? kErrNoKey : kErrNoReaderComponent);
    EXPECT_EQ(Sign("", "K", "00", 2).rc, c.passes ? kErrNoKey : kErrNoReaderComponent);
  }
  // Ahead of an open challenge too; the login operations do not check it.
  components_.SetText("");
  AddRepositoryKey("K1", keys().a);
  EXPECT_EQ(Encrypt("").rc, kErrArgument);
  EXPECT_EQ(Probe(), kErrNoReaderComponent);
  EXPECT_EQ(Decrypt("zz").rc, kErrArgument);
  EXPECT_TRUE(ui_.dialogs.empty());
}

TEST_F(SigningOps, SignRefusalsComeInOrderWithoutADialog) {
  EXPECT_EQ(Sign("|", "K", "00", 1).rc, kErrNoKey);
  AddRepositoryKey("K1", keys().a);
  EXPECT_EQ(Sign("|", "K1", "00", 1).rc, kErrAllowedKeysBar);
  for (const char* bad : {"", "0", "0G", "313"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Sign("|K1|", "K1", bad, 1).rc, kErrArgument);
    EXPECT_EQ(Sign("", "K1", bad, 2).rc, kErrArgument);
  }
  // A challenge opened by an EncryptRand that failed at once still blocks.
  EXPECT_EQ(Encrypt("").rc, kErrArgument);
  EXPECT_EQ(Sign("|K1|", "K1", ToHex(kOrder), 1).rc, kErrChallenge);
  EXPECT_EQ(Sign("", "K1", ToHex(kOrder), 2).rc, kErrChallenge);
  EXPECT_EQ(Probe(), kErrChallenge);
  EXPECT_TRUE(ui_.dialogs.empty());
  EXPECT_TRUE(ui_.messages.empty());
}

TEST_F(SigningOps, SignThroughTheDialogGivesAVerifyingSha256Signature) {
  AddRepositoryKey("K1", keys().a);
  AddFileKey("F", keys().b);
  engine_.SetSignDialogType(1);
  struct Case { const char* key; const SignKey* owner; };
  const Case cases[] = {{"K1", &keys().a}, {"F", &keys().b}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    TypePasswordAndSign();
    const SignOutcome o = Sign("|K1|F|", c.key, ToHex(kOrder), 1);
    ASSERT_EQ(o.rc, kOk);
    EXPECT_EQ(o.used, c.key);
    EXPECT_EQ(o.signature.size(), 256u);
    EXPECT_EQ(o.signature, ToHex(Unhex(o.signature)));  // upper-case hex
    EXPECT_TRUE(Verifies("sha256", kOrder, o.signature, *c.owner));
  }
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_TRUE(ui_.fileRequests.empty());
}

TEST_F(SigningOps, CancelledDialogGivesEight) {
  AddRepositoryKey("K1", keys().a);
  ui_.scripts.push_back([](ScriptedDialog& d) { d.PressEscape(); });
  const SignOutcome o = Sign("|K1|", "K1", ToHex(kOrder), 1);
  EXPECT_EQ(o.rc, kErrCancelled);
  EXPECT_TRUE(o.signature.empty());
}

// A wrong password selects the key and reads its material; giving up after
// it must not leave the key selected with its material in memory.
TEST_F(SigningOps, GivingUpAfterAFailedAttemptReleasesTheKey) {
  AddRepositoryKey("K1", keys().a);
  engine_.SetSignDialogType(1);
  ui_.scripts.push_back([](ScriptedDialog& d) {
    d.Type(D::kIdPassword, "wrong");
    d.Click(kIdcOk);
    d.PressEscape();
  });
  const SignOutcome o = Sign("|K1|", "K1", ToHex(kOrder), 1);
  EXPECT_EQ(o.rc, kErrCancelled);
  EXPECT_EQ(engine_.CurrentKey(), nullptr);
  EXPECT_FALSE(engine_.HasKeyMaterial());
}

TEST_F(SigningOps, ThreeWrongPasswordsThenTheBlockedKeyEndsTheDialog) {
  AddRepositoryKey("K1", keys().a);
  engine_.SetSignDialogType(1);
  int stayedOpen = 0;
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    for (int i = 0; i < 3; ++i) {
      d.Type(D::kIdPassword, "wrong");
      d.Click(kIdcOk);
      if (!d.Ended()) ++stayedOpen;
    }
    d.Type(D::kIdPassword, kSignKeyPassword);
    d.Click(kIdcOk);
  });
  const SignOutcome o = Sign("|K1|", "K1", ToHex(kOrder), 1);
  EXPECT_EQ(stayedOpen, 3);
  EXPECT_EQ(o.rc, kErrKeyBlocked);
  EXPECT_EQ(o.used, "K1");
  EXPECT_EQ(ui_.MessageIds(), (std::vector<int>{571, 571, 571, 556}));
  EXPECT_EQ(ui_.dialogs.back().endValue, kIdOk);
}

TEST_F(SigningOps, Sign2SignsSilentlyWithSha1AndRefusesAnUnknownKey) {
  AddRepositoryKey("K1", keys().a);
  AddFileKey("F", keys().b);
  struct Case { const char* key; const SignKey* owner; };
  const Case cases[] = {{"K1", &keys().a}, {"F", &keys().b}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    ui_.dialogs.clear();
    AnswerPasswordDialog(kSignKeyPassword);
    const SignOutcome o = Sign("", c.key, ToHex(kOrder), 2);
    ASSERT_EQ(o.rc, kOk);
    EXPECT_EQ(o.used, c.key);
    EXPECT_TRUE(Verifies("sha1", kOrder, o.signature, *c.owner));
    // The password dialog only: no sign dialog.
    ASSERT_EQ(ui_.dialogs.size(), 1u);
    EXPECT_EQ(ui_.dialogs[0].resourceId, CPasswordDialog::kResourceId);
  }

  ui_.dialogs.clear();
  const SignOutcome unknown = Sign("", "K9", ToHex(kOrder), 2);
  EXPECT_EQ(unknown.rc, kErrKeyKindUnusable);
  EXPECT_TRUE(ui_.dialogs.empty());

  // A password dialog cancelled in the silent path: 8.
  ui_.scripts.push_back([](ScriptedDialog& d) { d.PressEscape(); });
  EXPECT_EQ(Sign("", "K1", ToHex(kOrder), 2).rc, kErrCancelled);
}

// ---------------------------------------------------------------- the login challenge

TEST_F(SigningOps, ChallengeIsSignedAndTheAnswerAllowsSigningAgain) {
  AddRepositoryKey("K1", keys().a);
  engine_.SetSignDialogType(1);
  const std::string page = "nonce-from-the-bank";

  bool loginLayout = false;
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    loginLayout = d.Caption() == LoadText(547) && d.Visible(D::kIdLoginNote) &&
                  !d.Visible(D::kIdOrderList) && d.Text(kIdcOk) == "OK";
    d.Type(D::kIdPassword, kSignKeyPassword);
    d.Click(kIdcOk);
  });
  const LoginOutcome o = Encrypt(page.c_str());
  ASSERT_EQ(o.rc, kOk);
  EXPECT_TRUE(loginLayout);
  std::string name, block;
  ASSERT_TRUE(Parse(o.message, name, block));
  EXPECT_EQ(o.message, ToHex(Unhex(o.message)));
  EXPECT_EQ(name, "K1");
  EXPECT_EQ(o.used, "K1");
  const std::string data = quenta_test::RecoverRaw(keys().a.pub, block, work_.path());
  ASSERT_EQ(data.size(), page.size() + 66);
  EXPECT_EQ(data.substr(0, page.size() + 1), page + "-");
  const std::string challenge = data.substr(page.size() + 1, 64);
  EXPECT_EQ(challenge, ToHex(Unhex(challenge)));  // 32 bytes, upper-case hex
  EXPECT_EQ(data.back(), '\0');

  EXPECT_EQ(Probe(), kErrChallenge);
  EXPECT_EQ(Sign("", "K1", ToHex(kOrder), 2).rc, kErrChallenge);

  // The answer is checked silently with the password kept since EncryptRand.
  const std::size_t dialogsBefore = ui_.dialogs.size();
  const DecryptOutcome answer = Decrypt(Answer(challenge));
  EXPECT_EQ(answer.rc, kOk);
  EXPECT_EQ(answer.used, "K1");
  EXPECT_FALSE(answer.hasDigest);
  EXPECT_EQ(ui_.dialogs.size(), dialogsBefore);
  EXPECT_FALSE(engine_.HasKeptPassword());
  EXPECT_EQ(Probe(), kErrAllowedKeysBar);

  // A second challenge gives another text.
  EXPECT_NE(OpenChallenge(page.c_str()), challenge);
}

TEST_F(SigningOps, OnlyTheWholeChallengeTextIsAnAnswer) {
  AddRepositoryKey("K1", keys().a);
  engine_.SetSignDialogType(1);
  struct Case { const char* what; int kind; bool accepted; };
  // kind: 0 the text, 1 text + zero byte, 2 empty, 3 first byte, 4 first 63,
  // 5 text + 'X', 6 text + two zero bytes, 7 the text in lower case.
  const Case cases[] = {
      {"the text", 0, true},          {"the text and a zero byte", 1, true},
      {"empty", 2, false},            {"the first byte", 3, false},
      {"the first 63 characters", 4, false}, {"the text and more", 5, false},
      {"the text and two zero bytes", 6, false}, {"lower case", 7, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = OpenChallenge();
    ASSERT_EQ(text.size(), 64u);
    std::string plain;
    switch (c.kind) {
      case 0: plain = text; break;
      case 1: plain = text + std::string(1, '\0'); break;
      case 2: plain = ""; break;
      case 3: plain = text.substr(0, 1); break;
      case 4: plain = text.substr(0, 63); break;
      case 5: plain = text + "X"; break;
      case 6: plain = text + std::string(2, '\0'); break;
      case 7:
        for (char ch : text) plain += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if (plain == text) plain[0] = 'x';
        break;
    }
    const DecryptOutcome o = Decrypt(Answer(plain));
    if (c.accepted) {
      EXPECT_EQ(o.rc, kOk);
      EXPECT_EQ(Probe(), kErrAllowedKeysBar);
    } else {
      EXPECT_NE(o.rc, kOk);
      if (c.kind != 2) {  // an empty decryption fails earlier, in the key layer
        EXPECT_EQ(o.rc, kErrChallenge);
      }
      EXPECT_EQ(Probe(), kErrChallenge);
    }
  }
}

TEST_F(SigningOps, AnswerWithoutAChallengeIsRefused) {
  AddRepositoryKey("K1", keys().a);
  const std::string anything = Answer(std::string(64, 'A'));

  // Nothing asked yet: refused, and signing stays as it was (allowed).
  EXPECT_EQ(Decrypt(anything, 0).rc, kErrChallenge);
  EXPECT_EQ(Decrypt(Answer(""), 0).rc, kErrChallenge);
  EXPECT_EQ(Probe(), kErrAllowedKeysBar);

  // An EncryptRand that failed before making a challenge: refused, and
  // signing stays not allowed.
  EXPECT_EQ(Encrypt("").rc, kErrArgument);
  EXPECT_EQ(Decrypt(anything, 0).rc, kErrChallenge);
  EXPECT_EQ(Probe(), kErrChallenge);
  EXPECT_TRUE(ui_.dialogs.empty());
}

TEST_F(SigningOps, AnswerRefusalsLeaveSigningNotAllowed) {
  AddRepositoryKey("K1", keys().a);
  engine_.SetSignDialogType(1);
  const std::string text = OpenChallenge();
  const std::string good = Answer(text);

  struct Case { const char* what; std::string allowed; std::string message; int mode; int rc; };
  const Case cases[] = {
      {"mode differs", "|K1|", good, 2, kErrArgument},
      {"allowed keys a bar", "|", good, 1, kErrAllowedKeysBar},
      {"not hex", "|K1|", "zz", 1, kErrArgument},
      {"not a record", "|K1|", "0100", 1, kErrArgument},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string digest, used, names;
    bool hasDigest = true;
    EXPECT_EQ(engine_.DecryptRand(c.allowed.c_str(), c.message.c_str(), c.mode, &digest,
                                  &hasDigest, &used, &names),
              c.rc);
    EXPECT_FALSE(hasDigest);
    EXPECT_EQ(Probe(), kErrChallenge);
  }
  // An answer naming a key the engine does not have: 5.
  EXPECT_EQ(Decrypt(Record("K9", quenta_test::EncryptFor(keys().a.pub, text, work_.path()))).rc,
            kErrKeyKindUnusable);
  EXPECT_EQ(Probe(), kErrChallenge);

  // The right answer still works; its password is asked now that the kept
  // one is gone.
  AnswerPasswordDialog(kSignKeyPassword);
  EXPECT_EQ(Decrypt(good).rc, kOk);
  EXPECT_EQ(Probe(), kErrAllowedKeysBar);
}

TEST_F(SigningOps, ModeTwoAsksTheLogonPasswordAndHandsTheDigestOverOnce) {
  AddRepositoryKey("K1", keys().a);
  engine_.SetSignDialogType(1);
  const char* extra = "bank-extra-text";

  // The logon password dialog cancelled: 8, still not allowed.
  ui_.scripts.push_back([](ScriptedDialog& d) { d.PressEscape(); });
  EXPECT_EQ(Encrypt("nonce", 2, extra).rc, kErrCancelled);
  EXPECT_EQ(Probe(), kErrChallenge);

  std::string prompt;
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    prompt = d.Text(CPasswordDialog::kPromptId);
    d.Type(CPasswordDialog::kEditId, "logon-secret");
    d.Click(kIdcOk);
  });
  const std::string text = OpenChallenge("nonce", 2, extra);
  EXPECT_EQ(prompt, LoadText(CPasswordDialog::kTextLogonPrompt));

  const DecryptOutcome first = Decrypt(Answer(text), 2);
  EXPECT_EQ(first.rc, kOk);
  EXPECT_TRUE(first.hasDigest);
  EXPECT_EQ(first.digest, PasswordDigest(extra, "logon-secret"));
  EXPECT_EQ(first.digest.size(), 40u);

  // Again without a new challenge: the check passes, but there is no digest.
  AnswerPasswordDialog(kSignKeyPassword);
  const DecryptOutcome second = Decrypt(Answer(text), 2);
  EXPECT_EQ(second.rc, kOk);
  EXPECT_FALSE(second.hasDigest);
}

TEST_F(SigningOps, PageChallengeOfFiftyOneCharactersFillsOneBlock) {
  AddRepositoryKey("K1", keys().a);
  engine_.SetSignDialogType(1);
  const std::string longest(51, 'c');
  TypePasswordAndSign();
  const LoginOutcome fits = Encrypt(longest.c_str());
  ASSERT_EQ(fits.rc, kOk);
  std::string name, block;
  ASSERT_TRUE(Parse(fits.message, name, block));
  EXPECT_EQ(quenta_test::RecoverRaw(keys().a.pub, block, work_.path()).size(), 117u);

  ui_.dialogs.clear();
  const std::string tooLong(52, 'c');
  EXPECT_EQ(Encrypt(tooLong.c_str()).rc, kErrArgument);
  EXPECT_TRUE(ui_.dialogs.empty());
  EXPECT_EQ(Probe(), kErrChallenge);
}

TEST_F(SigningOps, EncryptRandRefusalsAndCancel) {
  EXPECT_EQ(Encrypt("nonce").rc, kErrNoKey);
  AddRepositoryKey("K1", keys().a);
  std::string message, used, names;
  EXPECT_EQ(engine_.EncryptRand("|", "K1", "nonce", 1, "", &message, &used, &names),
            kErrAllowedKeysBar);
  ui_.scripts.push_back([](ScriptedDialog& d) { d.PressEscape(); });
  const LoginOutcome cancelled = Encrypt("nonce");
  EXPECT_EQ(cancelled.rc, kErrCancelled);
  EXPECT_TRUE(cancelled.message.empty());
  EXPECT_EQ(Probe(), kErrChallenge);
}

}  // namespace
