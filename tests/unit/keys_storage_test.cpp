#include "engine/keys_storage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "tests/support/scripted_ui.h"
#include "tests/support/test_support.h"

namespace {

using namespace quenta;
using quenta_test::ScopedEnv;
using quenta_test::ScriptedUi;
using quenta_test::TempDir;

struct PageEvents : IPageTarget {
  struct Event { std::string reserved, name, label; int count; };
  std::vector<Event> events;
  void DeliverWKPEvent(const std::string& r, const std::string& k, const std::string& l,
                       int c) override {
    events.push_back({r, k, l, c});
  }
};

// Each test gets its own config home, a scripted user interface and a page.
class KeyStore : public ::testing::Test {
 protected:
  KeyStore() : config_("XDG_CONFIG_HOME", home_.path()) {
    SelectLanguage(1);
    store_.PageCallback().SetTarget(&page_);
  }
  ~KeyStore() override { SelectLanguage(0); }

  static std::string Hex(const std::string& s) { return quenta_test::ToHex(s); }

  TempDir home_;
  ScopedEnv config_;
  ScriptedUi ui_;
  PageEvents page_;
  CKeysStorage store_;
};

TEST_F(KeyStore, SetKeyAddsUpdatesAndRefusesBadInput) {
  EXPECT_EQ(store_.SetKey("k1", Hex("Main key").c_str(), "DATA", 0), kOk);
  EXPECT_EQ(store_.SetKey("k2", "4B32", "D2", 11), kOk);
  ASSERT_EQ(store_.Keys().size(), 2u);

  struct Bad { const char* name; const char* label; const char* data; int rc; };
  const Bad bad[] = {
      {nullptr, "41", "d", 1}, {"k1", nullptr, "d", 1}, {"k1", "41", nullptr, 1},
      {"k1", "414", "d", 1},   {"k1", "4G", "d", 1},    {"k1", "", "d", 1},
      {"", "41", "d", 1},      {"k1", "41", "", 1},
  };
  for (const Bad& b : bad) EXPECT_EQ(store_.SetKey(b.name, b.label, b.data, 3), b.rc);
  const CKeyStorage* k1 = store_.FindKey("k1");
  ASSERT_NE(k1, nullptr);
  EXPECT_EQ(k1->label, "Main key");
  EXPECT_STREQ(k1->reference.c_str(), "DATA");
  EXPECT_EQ(k1->kind, 0);

  // An update replaces texts and kind and keeps the failure count.
  store_.SelectKey("k1", 0, nullptr, nullptr, nullptr, nullptr);
  store_.ReportError(kErrBadPassword, 0, nullptr);
  EXPECT_EQ(store_.SetKey("k1", "4E6577", "NEW", 6), kOk);
  EXPECT_EQ(k1->label, "New");
  EXPECT_STREQ(k1->reference.c_str(), "NEW");
  EXPECT_EQ(k1->kind, 6);
  EXPECT_EQ(k1->failures, 1);
  EXPECT_EQ(store_.Keys().size(), 2u);
}

TEST_F(KeyStore, LabelsArriveInIsoAndAreKeptInWindows1250) {
  ASSERT_EQ(store_.SetKey("pl", "A1B6", "d", 0), kOk);
  EXPECT_EQ(store_.FindKey("pl")->label, "\xA5\x9C");
}

TEST_F(KeyStore, RemoveKeyNeverLeavesADanglingCurrentKey) {
  store_.SetKey("a", "41", "d", 0);
  store_.SetKey("b", "42", "d", 0);
  ASSERT_EQ(store_.SelectKey("a", 0, nullptr, nullptr, nullptr, nullptr), kOk);
  EXPECT_EQ(store_.RemoveKey("a"), kOk);
  EXPECT_EQ(store_.CurrentKey(), nullptr);
  EXPECT_EQ(store_.RemoveKey("a"), kErrArgument);
  EXPECT_EQ(store_.RemoveKey(nullptr), kErrArgument);
  ASSERT_EQ(store_.Keys().size(), 1u);
  EXPECT_EQ(store_.Keys()[0]->name, "b");
  // Use and release without a current key are refused.
  SecureBytes out;
  EXPECT_EQ(store_.UseKey(3, 0, "pw", nullptr, 0, out, 0, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr),
            kErrNoKey);
  EXPECT_EQ(store_.ReleaseKey(), kErrNoKey);
}

TEST_F(KeyStore, SelectKeyByKind) {
  EXPECT_EQ(store_.SelectKey("none", 0, nullptr, nullptr, nullptr, nullptr), kErrNoKey);
  struct Case { int kind; int rc; };
  const Case cases[] = {{0, 0}, {3, 0}, {4, 0}, {6, 0}, {7, 0}, {9, 5}, {12, 5}, {14, 5}, {255, 5}};
  for (const Case& c : cases) {
    std::string name = "k" + std::to_string(c.kind);
    store_.SetKey(name.c_str(), "41", "MATERIAL", static_cast<uint8_t>(c.kind));
    EXPECT_EQ(store_.SelectKey(name.c_str(), 0, nullptr, nullptr, nullptr, nullptr), c.rc)
        << "kind " << c.kind;
    EXPECT_EQ(store_.CurrentKey(), store_.FindKey(name.c_str()));
    store_.ReleaseKey();
  }
  EXPECT_TRUE(ui_.messages.empty());
  // Kinds with material take the reference text.
  store_.SelectKey("k0", 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_STREQ(store_.KeyMaterial().c_str(), "MATERIAL");
  store_.ReleaseKey();
  EXPECT_FALSE(store_.HasKeyMaterial());
}

TEST_F(KeyStore, UnsupportedOperationsAnswerOne) {
  store_.SetKey("k", "41", "d", 0);
  store_.SelectKey("k", 0, nullptr, nullptr, nullptr, nullptr);
  SecureBytes out;
  for (int op : {2, 5, -1})
    EXPECT_EQ(store_.UseKey(op, 0, "pw", nullptr, 0, out, 0, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr),
              kErrArgument);
}

TEST_F(KeyStore, WrongPasswordsAreCountedReportedAndBlockTheKey) {
  store_.SetKey("K1", Hex("Main key").c_str(), "d", 0);
  store_.SetKey("card", "43", "d", 2);
  ASSERT_EQ(store_.SelectKey("K1", 0, nullptr, nullptr, nullptr, nullptr), kOk);
  for (int i = 1; i <= 3; ++i) store_.ReportError(kErrBadPassword, 0, nullptr);
  ASSERT_EQ(page_.events.size(), 3u);
  EXPECT_EQ(page_.events[0].reserved, "");
  EXPECT_EQ(page_.events[0].name, "K1");
  EXPECT_EQ(page_.events[0].label, "Main key");
  EXPECT_EQ(page_.events[0].count, 1);
  EXPECT_EQ(page_.events[2].count, 3);
  EXPECT_EQ(ui_.MessageIds(), (std::vector<int>{571, 571, 571}));
  EXPECT_EQ(ui_.messages[0].text, "Incorrect password or inappropriate file with a key has been indicated.");
  EXPECT_EQ(ui_.messages[0].icon, MsgIcon::kError);

  // The fourth use is refused before any password is asked.
  ui_.messages.clear();
  static int asked;
  asked = 0;
  auto cb = [](int, const char*, char*, std::size_t) { ++asked; return 1; };
  SecureBytes out;
  EXPECT_EQ(store_.UseKey(3, 1, nullptr, reinterpret_cast<const unsigned char*>("x"), 1, out, 0,
                          nullptr, nullptr, nullptr, cb, nullptr, nullptr),
            kErrKeyBlocked);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(ui_.MessageIds(), (std::vector<int>{556}));

  // A success resets the count; selecting does not.
  store_.SelectKey("K1", 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(store_.FindKey("K1")->failures, 3);
  store_.ReportError(kOk, 0, nullptr);
  EXPECT_EQ(store_.FindKey("K1")->failures, 3);
  store_.ReportError(kOk, 1, nullptr);
  EXPECT_EQ(store_.FindKey("K1")->failures, 0);

  // A card key is never blocked by the count.
  store_.SelectKey("card", 0, nullptr, nullptr, nullptr, nullptr);
  store_.FindKey("card")->failures = 5;
  EXPECT_FALSE(store_.FindKey("card")->Blocked());
}

TEST_F(KeyStore, ReportErrorMessagesByCode) {
  struct Case { int code; int text; };
  const Case cases[] = {{48, 678}, {93, 678}, {94, 678}, {95, 678}, {53, 680}, {54, 258},
                        {56, 249}, {57, 255}, {133, 682}, {134, 684}, {82, 0},  {64, 0},
                        {1, 0},    {8, 0}};
  for (const Case& c : cases) {
    ui_.messages.clear();
    store_.ReportError(c.code, 0, nullptr);
    if (c.text) {
      ASSERT_EQ(ui_.messages.size(), 1u) << c.code;
      EXPECT_EQ(ui_.messages[0].textId, c.text);
      EXPECT_EQ(ui_.messages[0].text, LoadText(c.text));
      EXPECT_EQ(ui_.messages[0].caption, LoadText(228));
    } else {
      EXPECT_TRUE(ui_.messages.empty()) << c.code;
    }
  }
  EXPECT_TRUE(page_.events.empty());
}

TEST_F(KeyStore, PasswordPromptAndConsentCancelGiveEight) {
  store_.SetKey("soft", "4C", "d", 0);
  store_.SetKey("store", "53", "CERT", 3);
  SecureBytes out;
  const unsigned char data[] = "order";
  static std::string seenLabel;
  auto cancel = [](int, const char* label, char*, std::size_t) { seenLabel = label; return 2; };
  store_.SelectKey("soft", 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(store_.UseKey(3, 1, nullptr, data, 5, out, 0, nullptr, nullptr, nullptr, cancel,
                          nullptr, nullptr),
            kErrCancelled);
  EXPECT_EQ(seenLabel, "L");

  // A store key asks for legal consent before a signature; Cancel stops it.
  store_.SelectKey("store", 0, nullptr, nullptr, nullptr, nullptr);
  ui_.answers.push_back(kIdCancel);
  EXPECT_EQ(store_.UseKey(3, 1, nullptr, data, 5, out, 0, nullptr, nullptr, nullptr, cancel,
                          nullptr, nullptr),
            kErrCancelled);
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_EQ(ui_.messages[0].textId, 351);
  EXPECT_EQ(ui_.messages[0].buttons, MsgButtons::kOkCancel);
}

TEST_F(KeyStore, RememberedPasswordIsUsedAndForgotten) {
  store_.RememberPassword("secret");
  EXPECT_TRUE(store_.HasKeptPassword());
  store_.ForgetPassword();
  EXPECT_FALSE(store_.HasKeptPassword());
}

TEST_F(KeyStore, KeyLocationsRoundTripAsHex) {
  EXPECT_EQ(store_.SetKeyLocation("k", "a"), kOk);
  std::string hex;
  EXPECT_EQ(store_.GetKeyLocation("k", hex), kOk);
  EXPECT_EQ(hex, "6100");
  EXPECT_EQ(store_.GetKeyLocation("missing", hex), kErrRegistryRead);

  ui_.files.push_back(std::string("a"));
  EXPECT_EQ(store_.ChangeKeyLocation("k", hex), kOk);
  EXPECT_EQ(hex, "61");
  ui_.files.push_back(std::nullopt);
  EXPECT_EQ(store_.ChangeKeyLocation("k", hex), kErrCancelled);

  // A path that does not fit the 260-byte location buffer cannot be read back.
  std::string longPath(300, 'p');
  EXPECT_EQ(store_.SetKeyLocation("long", longPath.c_str()), kOk);
  EXPECT_EQ(store_.GetKeyLocation("long", hex), kErrRegistryRead);
}

TEST_F(KeyStore, KeyFileIsAskedForRememberedAndForgottenOnBadData) {
  quenta_test::WriteFile(home_.File("mykey.prv"), "FILE CONTENT");
  store_.SetKey("fk", Hex("mykey").c_str(), "DIGEST", 1);

  // No remembered path: warn, ask with the open-file dialog.
  ui_.files.push_back(home_.File("mykey.prv"));
  EXPECT_EQ(store_.SelectKey("fk", 0, nullptr, nullptr, nullptr, nullptr), kOk);
  EXPECT_STREQ(store_.KeyMaterial().c_str(), Hex("FILE CONTENT").c_str());
  ASSERT_EQ(ui_.messages.size(), 1u);
  EXPECT_EQ(ui_.messages[0].textId, 553);
  EXPECT_EQ(ui_.messages[0].icon, MsgIcon::kWarning);
  EXPECT_EQ(ui_.messages[0].caption, "");
  EXPECT_NE(ui_.messages[0].text.find("(plik mykey.prv)"), std::string::npos);
  ASSERT_EQ(ui_.fileRequests.size(), 1u);
  EXPECT_EQ(ui_.fileRequests[0].defaultExtension, "prv");
  EXPECT_EQ(ui_.fileRequests[0].initialName, "mykey");
  EXPECT_EQ(ui_.fileRequests[0].filter,
            LoadText(339) + " (*.prv)|*.prv|" + LoadText(342) + " (*.*)|*.*||");

  // The chosen path is stored when the key is released, and used next time.
  std::string hex;
  EXPECT_EQ(store_.GetKeyLocation("fk", hex), kErrRegistryRead);
  store_.ReleaseKey();
  EXPECT_EQ(store_.GetKeyLocation("fk", hex), kOk);
  ui_.messages.clear();
  EXPECT_EQ(store_.SelectKey("fk", 0, nullptr, nullptr, nullptr, nullptr), kOk);
  EXPECT_TRUE(ui_.messages.empty());
  EXPECT_EQ(ui_.fileRequests.size(), 1u);

  // A file holding another key, bad data or an unreadable PKCS#8 file makes
  // the next use ask again.
  for (int code : {36, 40, 98}) {
    store_.SetKeyLocation("fk", home_.File("mykey.prv").c_str());
    store_.ReportError(code, 1, nullptr);
    EXPECT_EQ(store_.GetKeyLocation("fk", hex), kOk);
    EXPECT_EQ(hex, "00") << code;
  }
  store_.ReleaseKey();

  // Cancel at the file dialog gives 8; a missing file 18.
  ui_.files.push_back(std::nullopt);
  EXPECT_EQ(store_.SelectKey("fk", 0, nullptr, nullptr, nullptr, nullptr), kErrCancelled);
  store_.ReleaseKey();
  ui_.files.push_back(home_.File("nope.prv"));
  EXPECT_EQ(store_.SelectKey("fk", 0, nullptr, nullptr, nullptr, nullptr), kErrKeyFileOpen);
  store_.ReleaseKey();
}

TEST_F(KeyStore, ReadKeyFileCodes) {
  SecureText hex;
  EXPECT_EQ(store_.ReadKeyFile(nullptr, hex), kErrArgument);
  EXPECT_EQ(store_.ReadKeyFile("", hex), kErrArgument);
  EXPECT_EQ(store_.ReadKeyFile(home_.File("absent").c_str(), hex), kErrKeyFileOpen);
  EXPECT_EQ(store_.ReadKeyFile(home_.path().c_str(), hex), kErrKeyFileOpen);  // a directory
  quenta_test::WriteFile(home_.File("bin"), std::string("\x00\x01\xFF", 3));
  EXPECT_EQ(store_.ReadKeyFile(home_.File("bin").c_str(), hex), kOk);
  EXPECT_STREQ(hex.c_str(), "0001FF");
}

TEST_F(KeyStore, DescribeKeyUsesKindNames) {
  store_.SetKey("a", Hex("Lab").c_str(), "d", 0);
  store_.SetKey("b", Hex("Lab").c_str(), "d", 7);
  EXPECT_EQ(store_.DescribeKey(*store_.FindKey("a")), "Lab (Bank`s repository)");
  EXPECT_EQ(store_.DescribeKey(*store_.FindKey("b")), "Lab (7)");
}

}  // namespace
