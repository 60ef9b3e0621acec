// The PIN dialog in its four modes, the PIN/PUK callback of the token
// layer, the initialisation dialog and the PUK sheet it prints.
#include "dialogs/pin_dlg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dialogs/puk_print.h"
#include "engine/encoding.h"
#include "engine/keys_storage.h"
#include "plugin/texts.h"
#include "tests/support/scripted_ui.h"

namespace {

using namespace quenta;
using quenta_test::ScriptedDialog;
using quenta_test::ScriptedUi;

constexpr int kFirst = CPinDlg::kFirstEditId;
constexpr int kNew = CPinDlg::kNewEditId;
constexpr int kRepeat = CPinDlg::kRepeatEditId;

std::string W(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToWin1250(utf8, out)) << utf8;
  return out;
}

class PinDialogs : public ::testing::Test {
 protected:
  ~PinDialogs() override { SelectLanguage(0); }
  ScriptedUi ui_;
};

// ---------------------------------------------------------------- CPinDlg

TEST_F(PinDialogs, ModeAndWordingSetLabelsCaptionAndLimits) {
  struct Case {
    int mode, wording, language;
    const char* first;
    const char* second;
    const char* third;
    const char* caption;
    int limits[3];
  };
  const Case cases[] = {
      {0, 0, 0, "Podaj aktualny PIN do karty", "Podaj nowy PIN", "Powtórz nowy PIN", "Zmień PIN", {4, 4, 4}},
      {0, 1, 0, "Podaj aktualny PIN", "Podaj nowy PIN", "Powtórz nowy PIN", "Zmień PIN", {4, 4, 4}},
      {0, 1, 1, "Enter current PIN code", "New PIN", "Repeat new PIN", "Change PIN", {4, 4, 4}},
      {1, 0, 0, "Podaj aktualny PUK do karty", "Podaj nowy PUK", "Powtórz nowy PUK", "Zmień PUK", {8, 8, 8}},
      {1, 0, 1, "PUK", "New PUK", "Retry new PUK", "Change PUK", {8, 8, 8}},
      {1, 1, 1, "Enter PUK (unblocking code)", "New PUK", "Repeat new PUK", "Change PUK", {8, 8, 8}},
      {1, 0, 2, "PUK eingeben", "Neue PUK eingeben", "Neue PUK bestätigen", "PUK ändern", {8, 8, 8}},
      // The unblocking modes ignore the wording flag.
      {2, 1, 0, "Podaj aktualny PUK do karty", "Podaj nowy PIN", "Powtórz nowy PIN", "Odblokuj kartę", {8, 4, 4}},
      {2, 0, 2, "PUK eingeben", "", "", "Karte entsperren", {8, 4, 4}},
      {5, 0, 0, "Podaj PUK (kod odblokowujący)", "Podaj nowy PIN", "Powtórz nowy PIN", "Odblokowanie nośnika USB", {8, 4, 4}},
      {5, 0, 1, "Enter PUK (unblocking code)", "New PIN", "Repeat new PIN", "Unblock USB device", {8, 4, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.caption) + " / " + c.first);
    SelectLanguage(c.language);
    CPinDlg dialog;
    dialog.SetMode(c.mode);
    dialog.SetWording(c.wording);
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      EXPECT_EQ(d.Text(CPinDlg::kFirstLabelId), W(c.first));
      if (*c.second) {
        EXPECT_EQ(d.Text(CPinDlg::kNewLabelId), W(c.second));
      }
      if (*c.third) {
        EXPECT_EQ(d.Text(CPinDlg::kRepeatLabelId), W(c.third));
      }
      EXPECT_EQ(d.Caption(), W(c.caption));
      const int edits[3] = {kFirst, kNew, kRepeat};
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(d.Limit(edits[i]), c.limits[i]) << edits[i];
        EXPECT_TRUE(d.Masked(edits[i])) << edits[i];
      }
      EXPECT_EQ(d.Text(kIdcCancel), LoadText(CPinDlg::kTextCancel));
      // Any character is accepted, up to the limit.
      d.Type(kFirst, "a1b2c3d4e5");
      EXPECT_EQ(d.Text(kFirst), std::string("a1b2c3d4e5").substr(0, c.limits[0]));
      EXPECT_EQ(d.Shown(kFirst), std::string(c.limits[0], '*'));
      d.PressEscape();
    });
    EXPECT_EQ(dialog.DoModal(), kIdCancel);
    EXPECT_EQ(dialog.FirstLabel(), W(c.first));
  }
}

TEST_F(PinDialogs, AnUnknownModeSetsNoLabelsCaptionOrLimits) {
  CPinDlg dialog;
  dialog.SetMode(3);
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    EXPECT_EQ(d.Text(CPinDlg::kFirstLabelId), "");
    EXPECT_EQ(d.Caption(), "");
    EXPECT_EQ(d.Limit(kFirst), 0);
    EXPECT_TRUE(d.Masked(kFirst));
  });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
}

struct CheckCase {
  const char* name;
  int mode;
  const char* first;
  const char* code;
  const char* repeated;
  int message;  // 0: closes with IDOK
};

class PinDlgChecks : public PinDialogs, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(PinDlgChecks, RefuseWithTheirMessageAndStayOpen) {
  const CheckCase& c = GetParam();
  CPinDlg dialog;
  dialog.SetMode(c.mode);
  bool openAfterOk = false;
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    d.Type(kFirst, c.first);
    d.Type(kNew, c.code);
    d.Type(kRepeat, c.repeated);
    d.Click(kIdcOk);
    openAfterOk = !d.Ended();
    if (openAfterOk) {
      // Every entry is kept for the next try.
      EXPECT_EQ(d.Text(kFirst), c.first);
      EXPECT_EQ(d.Text(kRepeat), c.repeated);
    }
  });
  const int result = dialog.DoModal();
  if (c.message == 0) {
    EXPECT_EQ(result, kIdOk);
    EXPECT_TRUE(ui_.messages.empty());
    EXPECT_STREQ(dialog.FirstCode().c_str(), c.first);
    EXPECT_STREQ(dialog.NewCode().c_str(), c.code);
  } else {
    EXPECT_TRUE(openAfterOk);
    EXPECT_EQ(result, kIdCancel);
    ASSERT_EQ(ui_.MessageIds(), std::vector<int>{c.message});
    EXPECT_EQ(ui_.messages[0].caption, LoadText(kTitleTextId));
    EXPECT_EQ(ui_.messages[0].icon, MsgIcon::kError);
    // Cancelled: nothing is handed back.
    EXPECT_TRUE(dialog.FirstCode().empty());
    EXPECT_TRUE(dialog.NewCode().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PinDlgChecks,
    ::testing::Values(
        // Mode 0: the current PIN is looked at first.
        CheckCase{"ShortCurrentPin", 0, "123", "56", "78", 713},
        CheckCase{"ShortNewPin", 0, "1234", "567", "5678", 713},
        CheckCase{"ShortRepetition", 0, "1234", "5678", "567", 713},
        CheckCase{"PinsDiffer", 0, "1234", "5678", "5679", 411},
        CheckCase{"NewPinMayEqualCurrent", 0, "1234", "1234", "1234", 0},
        CheckCase{"PinsCompareCaseSensitively", 0, "abcd", "wxyz", "WXYZ", 411},
        // Mode 1.
        CheckCase{"ShortCurrentPuk", 1, "1234567", "12345678", "12345678", 640},
        CheckCase{"ShortNewPuk", 1, "12345678", "1234567", "1234567", 640},
        CheckCase{"PuksDiffer", 1, "12345678", "87654321", "87654322", 450},
        CheckCase{"PukChanged", 1, "12345678", "87654321", "87654321", 0},
        // Mode 2: the PUK before the new PIN.
        CheckCase{"CardShortPuk", 2, "1234567", "12", "12", 640},
        CheckCase{"CardShortNewPin", 2, "12345678", "123", "123", 713},
        CheckCase{"CardPinsDiffer", 2, "12345678", "1234", "1235", 411},
        CheckCase{"CardUnblocked", 2, "12345678", "1234", "1234", 0},
        // Mode 5: no length rule at all, but the repetition must agree.
        CheckCase{"TokenEmptyCodes", 5, "", "", "", 0},
        CheckCase{"TokenShortCodes", 5, "1", "12", "12", 0},
        CheckCase{"TokenPinsDiffer", 5, "12345678", "1234", "4321", 411}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PinDialogs, ACorrectedEntryIsAcceptedOnTheNextTry) {
  CPinDlg dialog;
  dialog.SetMode(kPinModeChangePin);
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    d.Type(kFirst, "1234");
    d.Type(kNew, "5678");
    d.Type(kRepeat, "5679");
    d.PressEnter();
    ASSERT_FALSE(d.Ended());
    d.Replace(kRepeat, "5678");
    d.PressEnter();
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{411});
  EXPECT_STREQ(dialog.FirstCode().c_str(), "1234");
  EXPECT_STREQ(dialog.NewCode().c_str(), "5678");
  dialog.Wipe();
  EXPECT_TRUE(dialog.FirstCode().empty());
  EXPECT_TRUE(dialog.NewCode().empty());
  EXPECT_TRUE(dialog.RepeatedCode().empty());
}

// ---------------------------------------------------------------- PinPukCallback

struct Buffers {
  // Guard bytes after each 128-byte buffer catch a write past its end.
  char puk[kPinBufferSize + 16];
  char pin[kPinBufferSize + 16];
  Buffers() {
    std::memset(puk, 'G', sizeof puk);
    std::memset(pin, 'G', sizeof pin);
  }
  char* Puk() { return puk; }
  bool GuardsIntact() const {
    for (std::size_t i = kPinBufferSize; i < sizeof pin; ++i)
      if (pin[i] != 'G' || puk[i] != 'G') return false;
    return true;
  }
};

TEST_F(PinDialogs, CallbackHandsBackBothCodes) {
  for (int mode : {kPinModeUnblockCard, kPinModeUnblockToken}) {
    Buffers b;
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      EXPECT_EQ(d.Limit(kFirst), 8);
      d.Type(kFirst, "12345678");
      d.Type(kNew, "4321");
      d.Type(kRepeat, "4321");
      d.PressEnter();
    });
    EXPECT_EQ(CPinDlg::PinPukCallback(mode, b.Puk(), b.pin), kIdOk);
    EXPECT_STREQ(b.Puk(), "12345678");
    EXPECT_STREQ(b.pin, "4321");
    EXPECT_TRUE(b.GuardsIntact());
  }
  EXPECT_EQ(LoadText(CPinDlg::kTextUnblockCardCaption), ui_.dialogs[0].caption);
  EXPECT_EQ(LoadText(CPinDlg::kTextUnblockTokenCaption), ui_.dialogs[1].caption);
}

TEST_F(PinDialogs, CallbackCancelledLeavesEmptyTexts) {
  Buffers b;
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    d.Type(kFirst, "12345678");
    d.PressEscape();
  });
  EXPECT_EQ(CPinDlg::PinPukCallback(kPinModeUnblockToken, b.Puk(), b.pin), kIdCancel);
  EXPECT_STREQ(b.Puk(), "");
  EXPECT_STREQ(b.pin, "");
  EXPECT_TRUE(b.GuardsIntact());
}

TEST_F(PinDialogs, CallbackWithoutBuffersShowsNothing) {
  char buffer[kPinBufferSize];
  EXPECT_EQ(CPinDlg::PinPukCallback(kPinModeUnblockCard, nullptr, buffer), kIdCancel);
  EXPECT_EQ(CPinDlg::PinPukCallback(kPinModeUnblockCard, buffer, nullptr), kIdCancel);
  EXPECT_TRUE(ui_.dialogs.empty());
}

// A mode without typing limits lets any length reach the dialog: a code
// that would not fit the 128-byte buffers is refused there, one that just
// fits is handed back whole.
TEST_F(PinDialogs, CallbackNeverWritesPastItsBuffers) {
  const std::string fits(kPinBufferSize - 1, 'x');
  const std::string tooLong(kPinBufferSize, 'y');
  Buffers b;
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    d.Type(kFirst, tooLong);
    d.Type(kNew, "1");
    d.Type(kRepeat, "1");
    d.PressEnter();
    ASSERT_FALSE(d.Ended());
    d.Replace(kFirst, "1");
    d.Replace(kNew, tooLong);
    d.Replace(kRepeat, tooLong);
    d.PressEnter();
    ASSERT_FALSE(d.Ended());
    d.Replace(kFirst, fits);
    d.Replace(kNew, fits);
    d.Replace(kRepeat, fits);
    d.PressEnter();
  });
  EXPECT_EQ(CPinDlg::PinPukCallback(7, b.Puk(), b.pin), kIdOk);
  EXPECT_EQ(ui_.MessageIds(), (std::vector<int>{1100, 1100}));
  EXPECT_EQ(std::string(b.Puk()), fits);
  EXPECT_EQ(std::string(b.pin), fits);
  EXPECT_TRUE(b.GuardsIntact());
}

// ---------------------------------------------------------------- CPinPukDlg

constexpr int kPuk = CPinPukDlg::kPukEditId;
constexpr int kPukAgain = CPinPukDlg::kPukRepeatEditId;
constexpr int kPin = CPinPukDlg::kPinEditId;
constexpr int kPinAgain = CPinPukDlg::kPinRepeatEditId;

TEST_F(PinDialogs, InitialisationDialogTextsAndLimits) {
  for (int language : {0, 1}) {
    SelectLanguage(language);
    CPinPukDlg dialog;
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      EXPECT_EQ(d.Caption(), LoadText(CPinPukDlg::kTextCaption));
      EXPECT_EQ(d.Text(CPinPukDlg::kInfoId), LoadText(672));
      EXPECT_EQ(d.Text(CPinPukDlg::kPinGroupId), "PIN");
      EXPECT_EQ(d.Text(CPinPukDlg::kPukGroupId), "PUK");
      EXPECT_EQ(d.Text(CPinPukDlg::kPinLabelId), LoadText(717));
      EXPECT_EQ(d.Text(CPinPukDlg::kPinRepeatLabelId), LoadText(719));
      EXPECT_EQ(d.Text(CPinPukDlg::kPukLabelId), LoadText(426));
      EXPECT_EQ(d.Text(CPinPukDlg::kPukRepeatLabelId), LoadText(715));
      EXPECT_EQ(d.Text(kIdcCancel), LoadText(294));
      for (int id : {kPin, kPinAgain}) EXPECT_EQ(d.Limit(id), 4);
      for (int id : {kPuk, kPukAgain}) EXPECT_EQ(d.Limit(id), 8);
      for (int id : {kPin, kPinAgain, kPuk, kPukAgain}) EXPECT_TRUE(d.Masked(id));
    });
    EXPECT_EQ(dialog.DoModal(), kIdCancel);
  }
  EXPECT_EQ(ui_.dialogs[0].caption, W("Inicjalizacja karty / nośnika USB"));
  EXPECT_EQ(ui_.dialogs[1].caption, "Initialization of cryptographic device");
}

struct InitCheckCase {
  const char* name;
  const char* puk;
  const char* pukAgain;
  const char* pin;
  const char* pinAgain;
  int message;
};

class PinPukChecks : public PinDialogs, public ::testing::WithParamInterface<InitCheckCase> {};

TEST_P(PinPukChecks, InOrder) {
  const InitCheckCase& c = GetParam();
  CPinPukDlg dialog;
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    d.Type(kPuk, c.puk);
    d.Type(kPukAgain, c.pukAgain);
    d.Type(kPin, c.pin);
    d.Type(kPinAgain, c.pinAgain);
    d.Click(kIdcOk);
    EXPECT_FALSE(d.Ended());
  });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{c.message});
  EXPECT_EQ(ui_.messages[0].caption, LoadText(kTitleTextId));
  EXPECT_TRUE(dialog.Puk().empty());
  EXPECT_TRUE(ui_.printRequests.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PinPukChecks,
    ::testing::Values(
        InitCheckCase{"ShortPukEvenWithAWrongPin", "1234567", "1234567", "12", "34", 607},
        InitCheckCase{"ShortRepeatedPuk", "12345678", "1234567", "1234", "1234", 607},
        InitCheckCase{"PuksDiffer", "12345678", "12345679", "1234", "1234", 450},
        InitCheckCase{"ShortPin", "12345678", "12345678", "123", "123", 711},
        InitCheckCase{"ShortRepeatedPin", "12345678", "12345678", "1234", "123", 711},
        InitCheckCase{"PinsDiffer", "abcdefgh", "abcdefgh", "wxyz", "wxyZ", 411}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PinDialogs, PrintQuestionAnsweredNoClosesWithoutPrinting) {
  CPinPukDlg dialog;
  ui_.answers.push_back(kIdNo);
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    d.Type(kPuk, "abcdefgh");  // letters are accepted in all four fields
    d.Type(kPukAgain, "abcdefgh");
    d.Type(kPin, "wxyz");
    d.Type(kPinAgain, "wxyz");
    d.PressEnter();
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  ASSERT_EQ(ui_.MessageIds(), std::vector<int>{465});
  EXPECT_EQ(ui_.messages[0].caption, LoadText(465));
  EXPECT_EQ(ui_.messages[0].buttons, MsgButtons::kYesNo);
  EXPECT_TRUE(ui_.printRequests.empty());
  EXPECT_EQ(dialog.LastPrintOutcome(), -1);
  EXPECT_STREQ(dialog.Puk().c_str(), "abcdefgh");
  EXPECT_STREQ(dialog.Pin().c_str(), "wxyz");
}

// Whatever the printing did, the dialog closes with IDOK.
TEST_F(PinDialogs, PrintQuestionAnsweredYesPrintsTheSheet) {
  for (int outcome : {kPrintDone, kPrintCancelled, kPrintFailed}) {
    SCOPED_TRACE(outcome);
    ui_.printRequests.clear();
    CPinPukDlg dialog;
    ui_.answers.push_back(kIdYes);
    ui_.printAnswers.push_back(outcome);
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      d.Type(kPuk, "12345678");
      d.Type(kPukAgain, "12345678");
      d.Type(kPin, "1234");
      d.Type(kPinAgain, "1234");
      d.PressEnter();
    });
    EXPECT_EQ(dialog.DoModal(), kIdOk);
    EXPECT_EQ(dialog.LastPrintOutcome(), outcome);
    ASSERT_EQ(ui_.printRequests.size(), 1u);
    EXPECT_EQ(ui_.printRequests[0].blocks[1].text, W("TWÓJ KOD PUK: 12345678"));
  }
}

TEST_F(PinDialogs, PukSheetDescribesTheOnePage) {
  PrintRequest r = PukSheet("87654321");
  EXPECT_EQ(r.fontFace, "Arial");
  EXPECT_EQ(r.pointSize, 12);
  EXPECT_EQ(r.marginDeviceUnits, 50);
  ASSERT_EQ(r.blocks.size(), 3u);
  EXPECT_EQ(r.blocks[0].text, LoadText(kTextPukSheetIntro));
  EXPECT_NE(r.blocks[0].text.find(W("Przechowuj go w bezpiecznym miejscu")), std::string::npos);
  EXPECT_FALSE(r.blocks[0].centredLine);
  EXPECT_EQ(r.blocks[1].text, W("TWÓJ KOD PUK: 87654321"));
  EXPECT_TRUE(r.blocks[1].centredLine);
  EXPECT_EQ(r.blocks[2].text, LoadText(kTextPukSheetWarning));
  EXPECT_FALSE(r.blocks[2].centredLine);
  WipePrintRequest(r);
  EXPECT_TRUE(r.blocks.empty());

  SelectLanguage(1);
  EXPECT_EQ(PukSheet("%s%n").blocks[1].text, "PUK Code: %s%n");
  SelectLanguage(2);
  EXPECT_EQ(PukSheet("11112222").blocks[1].text, "PUK-Code: 11112222");
}

}  // namespace
