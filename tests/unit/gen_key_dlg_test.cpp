// The key generation dialog, run headless against the scripted PC/SC
// library and the scripted PKCS#11 module (which can lock PINs and refuse
// calls). Timers fire only when a test ticks them; the worker is a real
// thread, so a test waits for it to finish before ticking the timer that
// notices.
#include "dialogs/gen_key_dlg.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialogs/password_dlg.h"
#include "dialogs/pin_dlg.h"
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

constexpr int kCard = CGenKeyDlg::kLocationSmartCard;
constexpr int kUsb = CGenKeyDlg::kLocationUsbToken;
constexpr int kEdit = CGenKeyDlg::kNameEditId;
constexpr int kProgress = CGenKeyDlg::kProgressId;
constexpr int kTimer = CGenKeyDlg::kTimerId;

std::string Win1250(const char* utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToWin1250(utf8, out)) << utf8;
  return out;
}

std::string Sha1Hex(const std::string& bytes) {
  unsigned char d[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), d);
  return ToHex(std::string(reinterpret_cast<char*>(d), sizeof d));
}

bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

DialogScript EnterPin(std::string pin) {
  return [pin](ScriptedDialog& d) {
    EXPECT_EQ(d.ResourceId(), CPasswordDialog::kResourceId);
    d.Type(CPasswordDialog::kEditId, pin);
    d.Click(kIdcOk);
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

DialogScript CancelPin() {
  return [](ScriptedDialog& d) { d.Click(kIdcCancel); };
}

// Installs the reader choice dialog for one test.
class ChoiceHookScope {
 public:
  explicit ChoiceHookScope(ReaderChoiceHook hook)
      : previous_(CTokenAccess::SetReaderChoiceHook(std::move(hook))) {}
  ~ChoiceHookScope() { CTokenAccess::SetReaderChoiceHook(previous_); }

 private:
  ReaderChoiceHook previous_;
};

// A dialog whose worker waits at a gate before it touches the device.
class GatedGenKeyDlg : public CGenKeyDlg {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool Started() const { return started_.load(); }
  bool Finished() const { return finished_.load(); }

 protected:
  int GenerateOnDevice() override {
    started_ = true;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return open_; });
    }
    const int rc = CGenKeyDlg::GenerateOnDevice();
    finished_ = true;
    return rc;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
};

class GenKeyDialogTest : public ::testing::Test {
 protected:
  GenKeyDialogTest() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}
  ~GenKeyDialogTest() override { SelectLanguage(0); }

  void SetUp() override { Configure(true, true); }

  void Configure(bool usb, bool card) {
    settings.Write({std::string("GemPCKey USB=") + (usb ? "1" : "0"),
                    std::string("GemPCTwin USB=") + (card ? "1" : "0"),
                    std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                    std::string("PKCS11 Module=") + QUENTA_PKCS11_DOUBLE});
  }

  // One device: a card in a plain reader or a token in a " Key " reader,
  // holding one key pair "Main".
  void AddDevice(int location) {
    const char* reader = location == kCard ? kCardReader : kTokenReader;
    pcsc.AddReader(reader, kPlainAtr);
    p11.AddToken(kSlot, reader, "SN0001", kPin, kPuk);
    std::string modulus(128, '\0');
    for (std::size_t i = 0; i < modulus.size(); ++i) modulus[i] = static_cast<char>(0xA0 + i * 3);
    p11.AddKey(kSlot, "Main", reinterpret_cast<const unsigned char*>(modulus.data()), modulus.size(),
               1, 1);
    mainDigest = Sha1Hex(modulus + std::string("\x01\x00\x01", 3));
  }

  void ExpectClosed() {
    EXPECT_FALSE(engine.Token().HasSession());
    EXPECT_FALSE(engine.Token().ModuleLoaded());
    EXPECT_EQ(p11.OpenSessions(), 0);
    EXPECT_EQ(p11.Initialised(), 0);
  }

  // Runs the dialog with one script for it; the scripts of the dialogs it
  // opens (the PIN prompt) follow in `nested`.
  int Run(CGenKeyDlg& dialog, DialogScript script, std::vector<DialogScript> nested = {}) {
    ui.scripts.push_back(std::move(script));
    for (auto& s : nested) ui.scripts.push_back(std::move(s));
    return dialog.DoModal();
  }

  static void Choose(ScriptedDialog& d, int location) {
    d.Click(location == kCard ? CGenKeyDlg::kSmartCardId : CGenKeyDlg::kUsbTokenId);
  }

  // Types the name, picks the location and presses Generate; when a
  // worker started, waits for it and lets the timer notice.
  static void Attempt(ScriptedDialog& d, CGenKeyDlg& g, const std::string& name, int location) {
    d.Replace(kEdit, name);
    Choose(d, location);
    d.Click(kIdcOk);
    if (!g.Generating()) return;
    ASSERT_TRUE(WaitUntil([&] { return g.WorkerDone(); }));
    ASSERT_TRUE(d.Tick(kTimer));
    EXPECT_FALSE(g.Generating());
  }

  std::vector<int> DialogIds() const {
    std::vector<int> ids;
    for (const auto& r : ui.dialogs) ids.push_back(r.resourceId);
    return ids;
  }

  TempDir homeDir_;
  ScopedEnv home_;
  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  P11Double p11{QUENTA_PKCS11_DOUBLE};
  MachineSettings settings;
  ScriptedUi ui;
  CKeysStorageComp engine;
  std::string mainDigest;
};

}  // namespace

// ---------------------------------------------------------------- parameters

TEST(GenKeyParameters, OnlyOneIntegerBetweenTwoBars) {
  struct Case {
    const char* text;
    int expected;
    int value;
  };
  const Case cases[] = {
      {"|1|", 0, 1},          {"|0|", 0, 0},         {"|-17|", 0, -17},
      {"|+5|", 0, 5},         {"|2147483647|", 0, 2147483647},
      {nullptr, 1, 0},        {"", 1, 0},            {"abc", 1, 0},
      {"1", 1, 0},            {"|1", 1, 0},          {"1|", 1, 0},
      {"||", 1, 0},           {"|-|", 1, 0},         {"| 1|", 1, 0},
      {"|1 |", 1, 0},         {"|1x|", 1, 0},        {"|1|x", 1, 0},
      {"|1|2|", 1, 0},        {"|2147483648|", 1, 0}, {"|99999999999999999999|", 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    CGenKeyDlg dialog;
    EXPECT_EQ(dialog.SetParameters(nullptr, c.text), c.expected);
    if (c.expected == 0) {
      EXPECT_EQ(dialog.Parameter(), c.value);
    }
  }
}

// ---------------------------------------------------------------- window

TEST_F(GenKeyDialogTest, TextsLayoutAndTabOrder) {
  SelectLanguage(1);
  CGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  Run(dialog, [&](ScriptedDialog& d) {
    EXPECT_EQ(d.Caption(), "Key generation");
    EXPECT_EQ(d.Text(CGenKeyDlg::kGroupId), "Location of the new key");
    EXPECT_EQ(d.Text(CGenKeyDlg::kNameLabelId), "Enter key name:");
    EXPECT_EQ(d.Text(CGenKeyDlg::kSmartCardId), "SmartCard");
    EXPECT_EQ(d.Text(CGenKeyDlg::kUsbTokenId), "USB Cryptographic device");
    EXPECT_EQ(d.Text(kIdcOk), "&Generate");
    EXPECT_EQ(d.Text(kIdcCancel), "&Cancel");
    EXPECT_EQ(d.Text(kEdit), "");
    EXPECT_EQ(d.FocusedControl(), kEdit);
    EXPECT_FALSE(d.Template().closeBox);

    const ScriptedControl* bar = d.Control(kProgress);
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(d.Visible(kProgress));
    EXPECT_EQ(bar->low, 0);
    EXPECT_EQ(bar->high, 10);

    // USB on the left, the card on the right, inside the group box.
    const Rect group = d.RectOf(CGenKeyDlg::kGroupId);
    const Rect usb = d.RectOf(CGenKeyDlg::kUsbTokenId), card = d.RectOf(CGenKeyDlg::kSmartCardId);
    EXPECT_LT(usb.Right(), card.x + 1);
    EXPECT_EQ(usb.y, card.y);
    for (const Rect& r : {usb, card}) {
      EXPECT_GE(r.x, group.x);
      EXPECT_LE(r.Right(), group.Right());
      EXPECT_LE(r.Bottom(), group.Bottom());
    }
    // The button row, with the progress bar, below the name row and inside
    // the window; the window ends below it.
    const Rect edit = d.RectOf(kEdit);
    const Rect ok = d.RectOf(kIdcOk), cancel = d.RectOf(kIdcCancel);
    const Rect progress = d.RectOf(kProgress);
    const Size client = d.ClientSize();
    EXPECT_GT(group.Bottom(), 0);
    EXPECT_LT(group.Bottom(), edit.y);
    for (const Rect& r : {ok, cancel, progress}) {
      EXPECT_GT(r.y, edit.Bottom());
      EXPECT_GE(r.x, 0);
      EXPECT_LE(r.Right(), client.width);
      EXPECT_LT(r.Bottom(), client.height);
    }
    EXPECT_LT(client.height - std::max(ok.Bottom(), progress.Bottom()), 20);
    EXPECT_LE(progress.Right(), ok.x);  // beside the buttons, not under them

    // Tab order: key name, Generate, Cancel, then the location group.
    std::vector<int> order;
    for (const ControlDef& c : d.Template().controls)
      if (c.id == kEdit || c.id == kIdcOk || c.id == kIdcCancel || c.id == CGenKeyDlg::kGroupId ||
          c.id == CGenKeyDlg::kUsbTokenId || c.id == CGenKeyDlg::kSmartCardId)
        order.push_back(c.id);
    EXPECT_EQ(order, (std::vector<int>{kEdit, kIdcOk, kIdcCancel, CGenKeyDlg::kGroupId,
                                       CGenKeyDlg::kUsbTokenId, CGenKeyDlg::kSmartCardId}));
    d.Click(kIdcCancel);
  });
  EXPECT_EQ(ui.dialogs.at(0).endValue, kIdCancel);
  EXPECT_FALSE(ui.dialogs.at(0).forced);
}

TEST_F(GenKeyDialogTest, LocationFollowsTheInstalledSupport) {
  struct Case {
    bool usb, card;
    int selected;
    bool usbEnabled, cardEnabled;
  };
  const Case cases[] = {
      {true, true, kUsb, true, true},
      {false, true, kCard, false, true},
      {true, false, kUsb, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.usb) + std::to_string(c.card));
    Configure(c.usb, c.card);
    CGenKeyDlg dialog;
    dialog.SetParameters(&engine, "|1|");
    Run(dialog, [&](ScriptedDialog& d) {
      EXPECT_EQ(dialog.Location(), c.selected);
      EXPECT_EQ(d.IsChecked(CGenKeyDlg::kUsbTokenId), c.selected == kUsb);
      EXPECT_EQ(d.IsChecked(CGenKeyDlg::kSmartCardId), c.selected == kCard);
      EXPECT_EQ(d.Enabled(CGenKeyDlg::kUsbTokenId), c.usbEnabled);
      EXPECT_EQ(d.Enabled(CGenKeyDlg::kSmartCardId), c.cardEnabled);
      d.PressEscape();
    });
  }
}

// Accepted names go on to the device; with no device there the dialog ends
// with the device's code and no PIN is asked.
TEST_F(GenKeyDialogTest, NameChecksInTheirOrder) {
  ASSERT_EQ(engine.SetKey("Main", "4D61696E", "ref", kKindUsbToken), 0);
  ASSERT_EQ(engine.SetKey("a:b", "613A62", "ref", kKindUsbToken), 0);
  struct Case {
    std::string name;
    int message;  // 0: accepted
  };
  std::vector<Case> cases = {
      {"", CGenKeyDlg::kTextNameEmpty},
      {std::string(35, 'k'), 0},
      {std::string(36, 'k'), CGenKeyDlg::kTextNameTooLong},
      {std::string(39, 'k') + ":", CGenKeyDlg::kTextNameTooLong},
      {"Main", CGenKeyDlg::kTextNameInUse},
      {"main", 0},
      {"a:b", CGenKeyDlg::kTextNameInUse},
      {"klucz firmowy", 0},
      {Win1250("Klucz łódź ĄŚŹąśź"), 0},
      {"a\x7F~!@#$^*()[]{}<>|;,./=+-_", 0},
  };
  for (char c : std::string("\"%&':?\\`")) cases.push_back({std::string("ab") + c + "cd", 531});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui.messages.clear();
    ui.dialogs.clear();
    CGenKeyDlg dialog;
    dialog.SetParameters(&engine, "|1|");
    bool stayed = false;
    std::string shown;
    const int end = Run(dialog, [&](ScriptedDialog& d) {
      d.Replace(kEdit, c.name);
      d.Click(kIdcOk);
      stayed = !d.Ended();
      shown = d.Text(kEdit);
      if (stayed) d.Click(kIdcCancel);
    });
    if (c.message == 0) {
      EXPECT_TRUE(ui.messages.empty());
      EXPECT_FALSE(stayed);
      EXPECT_EQ(end, kIdOk);
      EXPECT_EQ(dialog.Result(), kErrNoUsbToken);
      EXPECT_EQ(dialog.KeyName(), c.name);
    } else {
      ASSERT_EQ(ui.MessageIds(), std::vector<int>{c.message});
      EXPECT_EQ(ui.messages[0].icon, MsgIcon::kError);
      EXPECT_EQ(ui.messages[0].caption, LoadText(kTitleTextId));
      EXPECT_TRUE(stayed);
      EXPECT_EQ(shown, c.name);
      EXPECT_EQ(end, kIdCancel);
    }
    EXPECT_EQ(DialogIds(), std::vector<int>{CGenKeyDlg::kResourceId});
  }
}

// ---------------------------------------------------------------- device state

TEST_F(GenKeyDialogTest, DeviceStateBeforeThePinPrompt) {
  struct Case {
    const char* name;
    int userTries, soTries;
    int expected;
  };
  const Case cases[] = {
      {"UserPinLocked", 0, 3, kErrPinLocked},
      {"BothLocked", 0, 0, kErrBothPinsLocked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    pcsc.Reset();
    p11.Reset();
    AddDevice(kCard);
    p11.SetTries(kSlot, c.userTries, c.soTries);
    ui.dialogs.clear();
    CGenKeyDlg dialog;
    dialog.SetParameters(&engine, "|1|");
    EXPECT_EQ(Run(dialog, [&](ScriptedDialog& d) { Attempt(d, dialog, "Nowy", kCard); }), kIdOk);
    EXPECT_EQ(dialog.Result(), c.expected);
    EXPECT_EQ(dialog.StatusText(),
              c.expected == kErrBothPinsLocked ? "ProtectorCard|\"" + mainDigest + "\"" : "");
    EXPECT_EQ(DialogIds(), std::vector<int>{CGenKeyDlg::kResourceId});
    EXPECT_TRUE(ui.messages.empty());
    ExpectClosed();
  }
}

TEST_F(GenKeyDialogTest, FlagReadFailureEndsWithItsCode) {
  AddDevice(kUsb);
  // A second token makes the search ask for a choice; the device goes
  // away after it, so the state cannot be read.
  pcsc.AddReader("Other USB Key 00 01", kPlainAtr);
  p11.AddToken(kSlot + 1, "Other USB Key 00 01", "SN0002", kPin, kPuk);
  P11Double* module = &p11;
  ChoiceHookScope hook([module](CTokenAccess&, int, std::vector<TokenDevice>&, int* chosen) {
    *chosen = 0;
    module->Force("C_GetTokenInfo", CKR_DEVICE_REMOVED);
    return 1;
  });
  CGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  EXPECT_EQ(Run(dialog, [&](ScriptedDialog& d) { Attempt(d, dialog, "Nowy", kUsb); }), kIdOk);
  EXPECT_EQ(dialog.Result(), kErrTokenAbsent);
  EXPECT_EQ(DialogIds(), std::vector<int>{CGenKeyDlg::kResourceId});
  ExpectClosed();
}

// A fresh device is initialised first (PUK and PIN chosen in the PIN/PUK
// dialog), in the attempt's own session; then the new PIN is asked for and
// the pair generated.
TEST_F(GenKeyDialogTest, UninitialisedDeviceIsInitialisedThenTheKeyGenerated) {
  AddDevice(kUsb);
  p11.SetState(kSlot, 0, 0);
  ui.answers = {kIdOk, kIdNo};  // message 670, then "print the PUK?"
  CGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  EXPECT_EQ(Run(dialog, [&](ScriptedDialog& d) { Attempt(d, dialog, "Nowy", kUsb); },
                {PinPukEntry("87654321", "4321"), EnterPin("4321")}),
            kIdOk);
  ASSERT_FALSE(ui.messages.empty());
  EXPECT_EQ(ui.messages[0].textId, CGenKeyDlg::kTextInitRequired);
  EXPECT_EQ(ui.messages[0].caption, LoadText(CGenKeyDlg::kTextInitCaption));
  EXPECT_EQ(ui.messages[0].buttons, MsgButtons::kOk);
  EXPECT_EQ(DialogIds(), (std::vector<int>{CGenKeyDlg::kResourceId, CPinPukDlg::kResourceId,
                                           CPasswordDialog::kResourceId}));
  EXPECT_EQ(dialog.Result(), 0);
  EXPECT_EQ(p11.UserPin(kSlot), "4321");
  EXPECT_EQ(p11.ObjectCount(kSlot), 2);  // the old key went with the initialisation
  ExpectClosed();
}

TEST_F(GenKeyDialogTest, CancelledInitialisationEndsWithoutAPinPrompt) {
  AddDevice(kCard);
  p11.SetState(kSlot, 0, 0);
  CGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  EXPECT_EQ(Run(dialog, [&](ScriptedDialog& d) { Attempt(d, dialog, "Nowy", kCard); },
                {[](ScriptedDialog& d) { d.PressEscape(); }}),
            kIdOk);
  EXPECT_EQ(dialog.Result(), kErrCancelled);
  EXPECT_EQ(DialogIds(), (std::vector<int>{CGenKeyDlg::kResourceId, CPinPukDlg::kResourceId}));
  ExpectClosed();
}

TEST_F(GenKeyDialogTest, CancelledPinPromptEndsWith8AndClosesTheDevice) {
  AddDevice(kUsb);
  CGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  EXPECT_EQ(Run(dialog, [&](ScriptedDialog& d) { Attempt(d, dialog, "Nowy", kUsb); },
                {CancelPin()}),
            kIdOk);
  EXPECT_EQ(dialog.Result(), kErrCancelled);
  EXPECT_EQ(DialogIds(), (std::vector<int>{CGenKeyDlg::kResourceId, CPasswordDialog::kResourceId}));
  EXPECT_EQ(p11.ObjectCount(kSlot), 2);
  ExpectClosed();

  // The next operation finds no stale session: it searches and opens again.
  const int opens = p11.Calls("C_OpenSession"), inits = p11.Calls("C_Initialize");
  unsigned long slot = 0;
  ASSERT_EQ(engine.Token().OpenDevice(kDeviceUsbToken, &slot), 0);
  EXPECT_GT(p11.Calls("C_OpenSession"), opens);
  EXPECT_GT(p11.Calls("C_Initialize"), inits);
  EXPECT_EQ(p11.OpenSessions(), 1);
}

// ---------------------------------------------------------------- attempts

struct AttemptCase {
  const char* name;
  int location;
  std::function<void(P11Double&)> setup;
  const char* pin;
  int result;
  bool staysOpen;
  int message;  // 0: none
};

class GenKeyAttemptTest : public GenKeyDialogTest,
                          public ::testing::WithParamInterface<AttemptCase> {};

TEST_P(GenKeyAttemptTest, EndsOrStaysByTheDecisionTable) {
  const AttemptCase& c = GetParam();
  AddDevice(c.location);
  if (c.setup) c.setup(p11);
  CGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  bool stayed = false;
  const int end = Run(
      dialog,
      [&](ScriptedDialog& d) {
        Attempt(d, dialog, "Nowy", c.location);
        stayed = !d.Ended();
        if (!stayed) return;
        // Back to editing: the progress bar gone, everything usable again.
        EXPECT_FALSE(d.Visible(kProgress));
        EXPECT_FALSE(d.TimerRunning(kTimer));
        for (int id : {kIdcOk, kIdcCancel, kEdit, CGenKeyDlg::kUsbTokenId, CGenKeyDlg::kSmartCardId})
          EXPECT_TRUE(d.Enabled(id)) << id;
        EXPECT_EQ(d.Text(kEdit), "Nowy");
        d.Click(kIdcCancel);
      },
      {EnterPin(c.pin)});
  EXPECT_EQ(stayed, c.staysOpen);
  EXPECT_EQ(end, c.staysOpen ? kIdCancel : kIdOk);
  EXPECT_EQ(dialog.Result(), c.result);
  EXPECT_EQ(ui.MessageIds(), c.message ? std::vector<int>{c.message} : std::vector<int>{});
  EXPECT_EQ(dialog.KeyText(), c.result == 0 ? "NULL" : "");
  if (c.result == kErrBothPinsLocked) {
    EXPECT_EQ(dialog.StatusText(), "ProtectorCard|\"" + mainDigest + "\"");
  }
  ExpectClosed();
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, GenKeyAttemptTest,
    ::testing::Values(
        AttemptCase{"UsbGenerated", kUsb, nullptr, kPin, 0, false, 0},
        AttemptCase{"CardGenerated", kCard, nullptr, kPin, 0, false, 0},
        AttemptCase{"CardWrongPin", kCard, nullptr, "9999", kErrPinIncorrect, true,
                    CGenKeyDlg::kTextWrongPin},
        AttemptCase{"UsbWrongPin", kUsb, nullptr, "9999", kErrPinIncorrect, false, 0},
        AttemptCase{"CardWrongPinLocksIt", kCard, [](P11Double& p) { p.SetTries(kSlot, 1, 3); },
                    "9999", kErrPinLocked, false, 0},
        AttemptCase{"CardLastPinTryWithPukLocked", kCard,
                    [](P11Double& p) { p.SetTries(kSlot, 1, 0); }, "9999", kErrBothPinsLocked,
                    false, 0},
        AttemptCase{"CardGoneAtLogin", kCard,
                    [](P11Double& p) { p.Force("C_Login", CKR_TOKEN_NOT_PRESENT); }, kPin,
                    kErrTokenAbsent, true, CGenKeyDlg::kTextInsertCard},
        AttemptCase{"UsbGoneAtLogin", kUsb,
                    [](P11Double& p) { p.Force("C_Login", CKR_TOKEN_NOT_PRESENT); }, kPin,
                    kErrTokenAbsent, false, 0},
        AttemptCase{"CardLabelInUse", kCard,
                    [](P11Double& p) {
                      const unsigned char m[4] = {1, 2, 3, 4};
                      p.AddKey(kSlot, "Nowy", m, sizeof m, 1, 1);
                    },
                    kPin, kErrKeyNameInUse, true, CGenKeyDlg::kTextNameInUse},
        AttemptCase{"UsbLabelInUse", kUsb,
                    [](P11Double& p) {
                      const unsigned char m[4] = {1, 2, 3, 4};
                      p.AddKey(kSlot, "Nowy", m, sizeof m, 1, 1);
                    },
                    kPin, kErrKeyNameInUse, false, 0},
        AttemptCase{"CardRefusesGeneration", kCard,
                    [](P11Double& p) { p.Force("C_GenerateKeyPair", CKR_FUNCTION_FAILED); }, kPin,
                    kErrKeyGenRefusedCard, false, 0},
        AttemptCase{"UsbRefusesGeneration", kUsb,
                    [](P11Double& p) { p.Force("C_GenerateKeyPair", CKR_FUNCTION_FAILED); }, kPin,
                    kErrKeyGenRefusedUsb, false, 0},
        AttemptCase{"UsbOtherFailure", kUsb,
                    [](P11Double& p) { p.Force("C_GenerateKeyPair", CKR_DEVICE_ERROR); }, kPin,
                    kErrPkcs11Base + static_cast<int>(CKR_DEVICE_ERROR), false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GenKeyDialogTest, GeneratedPairIsNamedAndReported) {
  AddDevice(kUsb);
  CGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  dialog.SetKeySize(1024);
  ASSERT_EQ(Run(dialog, [&](ScriptedDialog& d) { Attempt(d, dialog, "Nowy", kUsb); },
                {EnterPin(kPin)}),
            kIdOk);
  ASSERT_EQ(dialog.Result(), 0);
  EXPECT_EQ(dialog.Location(), kUsb);
  EXPECT_EQ(dialog.KeyName(), "Nowy");
  EXPECT_EQ(p11.ObjectCount(kSlot), 4);
  // Record: modulus length (little-endian), modulus, exponent length, 01 00 01.
  const std::string record = Unhex(dialog.PublicKeyText());
  ASSERT_EQ(record.size(), 4u + 128 + 4 + 3);
  EXPECT_EQ(record.substr(0, 4), std::string("\x80\x00\x00\x00", 4));
  EXPECT_EQ(record.substr(132), std::string("\x03\x00\x00\x00\x01\x00\x01", 7));
  EXPECT_EQ(dialog.KeyIdText(), Sha1Hex(record.substr(4, 128) + std::string("\x01\x00\x01", 3)));
}

TEST_F(GenKeyDialogTest, WrongPinOnACardThenTheRightOne) {
  Configure(false, true);  // USB tokens not supported: that button stays disabled
  AddDevice(kCard);
  CGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  ASSERT_EQ(Run(dialog,
                [&](ScriptedDialog& d) {
                  Attempt(d, dialog, "Nowy", kCard);
                  ASSERT_FALSE(d.Ended());
                  EXPECT_EQ(dialog.Result(), kErrPinIncorrect);
                  EXPECT_FALSE(d.Enabled(CGenKeyDlg::kUsbTokenId));
                  EXPECT_TRUE(d.Enabled(CGenKeyDlg::kSmartCardId));
                  EXPECT_TRUE(d.Enabled(kIdcOk));
                  d.Click(kIdcOk);  // the whole procedure again, PIN included
                  ASSERT_TRUE(WaitUntil([&] { return dialog.WorkerDone(); }));
                  d.Tick(kTimer);
                },
                {EnterPin("9999"), EnterPin(kPin)}),
            kIdOk);
  EXPECT_EQ(dialog.Result(), 0);
  EXPECT_EQ(dialog.Location(), kCard);
  EXPECT_EQ(ui.MessageIds(), std::vector<int>{CGenKeyDlg::kTextWrongPin});
  EXPECT_EQ(DialogIds(), (std::vector<int>{CGenKeyDlg::kResourceId, CPasswordDialog::kResourceId,
                                           CPasswordDialog::kResourceId}));
  ExpectClosed();
}

// ---------------------------------------------------------------- while generating

TEST_F(GenKeyDialogTest, WhileGeneratingNothingEndsTheDialogAndTheBarCycles) {
  AddDevice(kUsb);
  GatedGenKeyDlg dialog;
  dialog.SetParameters(&engine, "|1|");
  std::vector<int> positions;
  ASSERT_EQ(Run(dialog,
                [&](ScriptedDialog& d) {
                  d.Replace(kEdit, "Nowy");
                  d.Click(kIdcOk);
                  ASSERT_TRUE(dialog.Generating());
                  ASSERT_TRUE(WaitUntil([&] { return dialog.Started(); }));
                  EXPECT_TRUE(d.Visible(kProgress));
                  EXPECT_EQ(d.TimerPeriod(kTimer), 100);
                  for (int id : {kIdcOk, kIdcCancel, kEdit, CGenKeyDlg::kUsbTokenId,
                                 CGenKeyDlg::kSmartCardId})
                    EXPECT_FALSE(d.Enabled(id)) << id;

                  // Escape, Enter, the buttons: all refused while the worker runs.
                  d.PressEscape();
                  d.PressEnter();
                  EXPECT_FALSE(d.Click(kIdcCancel));
                  EXPECT_FALSE(d.CloseBox());
                  EXPECT_FALSE(d.Ended());

                  for (int i = 0; i < 11; ++i) {
                    ASSERT_TRUE(d.Tick(kTimer));
                    positions.push_back(d.Control(kProgress)->pos);
                  }
                  EXPECT_FALSE(d.Ended());
                  dialog.Open();
                  ASSERT_TRUE(WaitUntil([&] { return dialog.WorkerDone(); }));
                  ASSERT_TRUE(d.Tick(kTimer));
                  EXPECT_EQ(d.Control(kProgress)->pos, 1);
                  EXPECT_FALSE(d.Visible(kProgress));
                  EXPECT_FALSE(d.TimerRunning(kTimer));
                },
                {EnterPin(kPin)}),
            kIdOk);
  EXPECT_EQ(positions, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
  EXPECT_EQ(dialog.Result(), 0);
  EXPECT_FALSE(ui.dialogs.at(0).forced);
}

TEST_F(GenKeyDialogTest, WindowTakenAwayWhileGeneratingWaitsForTheWorker) {
  AddDevice(kUsb);
  auto dialog = std::make_unique<GatedGenKeyDlg>();
  dialog->SetParameters(&engine, "|1|");
  std::thread opener;
  const int end = Run(
      *dialog,
      [&](ScriptedDialog& d) {
        d.Replace(kEdit, "Nowy");
        d.Click(kIdcOk);
        ASSERT_TRUE(dialog->Generating());
        // The script leaves with the worker still at its gate; the dialog
        // refuses to close, so it is ended from outside. Its window goes
        // only once the worker is through.
        opener = std::thread([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          dialog->Open();
        });
      },
      {EnterPin(kPin)});
  EXPECT_EQ(end, kIdCancel);
  EXPECT_TRUE(ui.dialogs.at(0).forced);
  EXPECT_TRUE(dialog->Finished());
  EXPECT_FALSE(dialog->Generating());
  opener.join();
  dialog.reset();
  ExpectClosed();
}
