#include "dialogs/password_dlg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dialogs/keyboard_dlg.h"
#include "engine/encoding.h"
#include "engine/keys_storage.h"
#include "plugin/texts.h"
#include "tests/support/scripted_ui.h"

namespace {

using namespace quenta;
using quenta_test::ScriptedDialog;
using quenta_test::ScriptedUi;

constexpr int kEdit = CPasswordDialog::kEditId;
constexpr int kPrompt = CPasswordDialog::kPromptId;
constexpr int kKeyboard = CPasswordDialog::kKeyboardButtonId;

// Clicks keys of the on-screen keyboard by their plain character.
void TypeOnKeyboard(ScriptedDialog& d, const char* plain) {
  for (const char* p = plain; *p; ++p) {
    for (int i = 0; i < CKeyboardDlg::kCharacterKeys; ++i) {
      if (CKeyboardDlg::CharacterFor(0, i) != *p) continue;
      // Rows of 13, 13, 11 and 10 keys, 25 pixels, starting at these points.
      const int rowFirst[] = {0, 13, 26, 37, 47};
      const int rowLeft[] = {10, 47, 55, 65};
      int row = 0;
      while (i >= rowFirst[row + 1]) ++row;
      const int x = rowLeft[row] + 25 * (i - rowFirst[row]) + 12;
      const int y = 45 + 25 * row + 12;
      d.Tap(x, y);
    }
  }
}
void ClickKeyboardEnter(ScriptedDialog& d) { d.Tap(350, 107); }

class PasswordDialog : public ::testing::Test {
 protected:
  ~PasswordDialog() override { SelectLanguage(0); }
  ScriptedUi ui_;
};

TEST_F(PasswordDialog, ModeSetsPromptCaptionAndTypingLimit) {
  struct Case {
    int mode;
    int language;
    const char* keyName;
    std::string prompt;
    std::string caption;
    int limit;
  };
  const Case cases[] = {
      {kPasswordModePin, 0, "ignored", "Podaj kod PIN.", "Podaj PIN", 4},
      {kPasswordModePin, 1, nullptr, "Please type the PIN code.", "Enter PIN", 4},
      {kPasswordModeLogon, 0, nullptr, "Proszę podać hasło logowania do systemu Ventro", "Hasło", 0},
      {kPasswordModeLogon, 2, nullptr, "Passwort", "Passwort", 0},
      {kPasswordModeKey, 0, "Klucz \xB3\xF3" "d\xBF", "Proszę podać hasło do klucza Klucz łódż", "Hasło", 0},
      {kPasswordModeKey, 1, "main", "Enter password for the key main", "Password", 0},
      {kPasswordModeKey, 1, nullptr, "Enter password for the key ", "Password", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prompt);
    SelectLanguage(c.language);
    CPasswordDialog dialog;
    dialog.SetMode(c.mode);
    dialog.SetKeyName(c.keyName);
    std::string prompt, caption;
    std::string expectedPrompt, expectedCaption;
    ASSERT_TRUE(Utf8ToWin1250(c.prompt, expectedPrompt));
    ASSERT_TRUE(Utf8ToWin1250(c.caption, expectedCaption));
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      EXPECT_EQ(d.Text(kPrompt), expectedPrompt);
      EXPECT_EQ(d.Caption(), expectedCaption);
      EXPECT_EQ(d.Limit(kEdit), c.limit);
      EXPECT_TRUE(d.Masked(kEdit));
      EXPECT_EQ(d.Icon(kKeyboard), kIconKeyboard);
      EXPECT_EQ(d.Text(kIdcOk), "OK");
      EXPECT_EQ(d.Text(kIdcCancel), LoadText(294));
      EXPECT_EQ(d.FocusedControl(), kEdit);
    });
    EXPECT_EQ(dialog.DoModal(), kIdCancel);
    EXPECT_EQ(dialog.Prompt(), expectedPrompt);
  }
}

TEST_F(PasswordDialog, OkAppliesTheLengthRule) {
  struct Case {
    const char* what;
    int mode;
    const char* typed;
    int message;  // 0: the dialog closes with IDOK
    int caption;
    const char* entry;
  };
  const Case cases[] = {
      {"PIN of 3", kPasswordModePin, "123", 258, 252, "123"},
      {"PIN of 4", kPasswordModePin, "1234", 0, 0, "1234"},
      {"fifth PIN digit cannot be typed", kPasswordModePin, "12345", 0, 0, "1234"},
      {"empty PIN", kPasswordModePin, "", 258, 252, ""},
      {"empty logon password", kPasswordModeLogon, "", 246, 312, ""},
      {"logon password of 1", kPasswordModeLogon, "x", 0, 0, "x"},
      {"empty key password", kPasswordModeKey, "", 246, 312, ""},
      {"key password with Polish letters", kPasswordModeKey, "\xB9\x9C", 0, 0, "\xB9\x9C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ui_.messages.clear();
    CPasswordDialog dialog;
    dialog.SetMode(c.mode);
    bool stayedOpen = false;
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      d.Type(kEdit, c.typed);
      d.Click(kIdcOk);
      stayedOpen = !d.Ended();
    });
    const int end = dialog.DoModal();
    EXPECT_STREQ(dialog.Entry().c_str(), c.entry);
    if (c.message == 0) {
      EXPECT_EQ(end, kIdOk);
      EXPECT_TRUE(ui_.messages.empty());
    } else {
      EXPECT_TRUE(stayedOpen);
      EXPECT_EQ(end, kIdCancel);
      ASSERT_EQ(ui_.MessageIds(), std::vector<int>{c.message});
      EXPECT_EQ(ui_.messages[0].caption, LoadText(c.caption));
      EXPECT_EQ(ui_.messages[0].icon, MsgIcon::kError);
      EXPECT_EQ(ui_.messages[0].buttons, MsgButtons::kOk);
    }
  }
}

TEST_F(PasswordDialog, EnterPressesOkAndEscapeCancels) {
  CPasswordDialog dialog;
  dialog.SetMode(kPasswordModeLogon);
  ui_.scripts.push_back([](ScriptedDialog& d) {
    d.PressEnter();  // empty: message, stays
    EXPECT_FALSE(d.Ended());
    d.Type(kEdit, "pw");
    d.PressEnter();
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{246});
  EXPECT_STREQ(dialog.Entry().c_str(), "pw");

  ui_.scripts.push_back([](ScriptedDialog& d) {
    d.Type(kEdit, "pw2");
    d.PressEscape();
  });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_FALSE(ui_.dialogs.back().forced);
}

TEST_F(PasswordDialog, PromptTakesOneOrTwoLinesAndTheRestFollows) {
  struct Case { const char* what; std::string keyName; int lines; };
  const Case cases[] = {
      {"short", "k", 1},
      {"long key name", std::string(60, 'n'), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CPasswordDialog dialog;
    dialog.SetKeyName(c.keyName.c_str());
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      const Rect prompt = d.RectOf(kPrompt);
      EXPECT_EQ(prompt.height, c.lines * d.lineHeight + 4);
      const Rect edit = d.RectOf(kEdit);
      EXPECT_EQ(edit.y, prompt.Bottom() + 5);
      EXPECT_EQ(d.RectOf(kKeyboard).y, edit.y);
      EXPECT_GT(d.RectOf(kKeyboard).x, edit.Right());
      for (int id : {kIdcOk, kIdcCancel}) EXPECT_EQ(d.RectOf(id).y, edit.Bottom() + 10);
      EXPECT_EQ(d.ClientSize().height, d.RectOf(kIdcOk).Bottom() + 10);
      EXPECT_LT(d.RectOf(kIdcOk).Right(), d.RectOf(kIdcCancel).x);
    });
    dialog.DoModal();
  }
}

TEST_F(PasswordDialog, KeyboardTextIsTakenAndOkRunsAtOnce) {
  struct Case {
    const char* what;
    int mode;
    const char* typedFirst;    // in the edit, before the keyboard
    const char* onKeyboard;    // clicked on the keyboard, then its Enter
    bool keyboardOk;
    std::string presetSeen;    // what the keyboard started with
    int end;                   // of the password dialog
    std::vector<int> messages;
    const char* entry;
  };
  const Case cases[] = {
      {"PIN longer than 4 from the keyboard", kPasswordModePin, "12", "345", true, "12", kIdOk, {}, "12345"},
      {"too short PIN from the keyboard", kPasswordModePin, "", "1", true, "", kIdCancel, {258}, "1"},
      {"key password from the keyboard", kPasswordModeKey, "", "abc", true, "", kIdOk, {}, "abc"},
      {"keyboard cancelled", kPasswordModeKey, "pw", "x", false, "pw", kIdCancel, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ui_.messages.clear();
    CPasswordDialog dialog;
    dialog.SetMode(c.mode);
    std::string presetSeen;
    std::string shownAfter;
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      d.Type(kEdit, c.typedFirst);
      ui_.scripts.push_front([&](ScriptedDialog& kb) {
        presetSeen = kb.Text(CKeyboardDlg::kEditId);
        TypeOnKeyboard(kb, c.onKeyboard);
        if (c.keyboardOk) ClickKeyboardEnter(kb);
        else kb.CloseBox();
      });
      d.Click(kKeyboard);
      shownAfter = d.Text(kEdit);
    });
    EXPECT_EQ(dialog.DoModal(), c.end);
    EXPECT_EQ(presetSeen, c.presetSeen);
    EXPECT_EQ(ui_.MessageIds(), c.messages);
    EXPECT_STREQ(dialog.Entry().c_str(), c.entry);
    if (c.keyboardOk) EXPECT_EQ(shownAfter, std::string(c.typedFirst) + c.onKeyboard);
    else EXPECT_EQ(shownAfter, c.typedFirst);
    ASSERT_GE(ui_.dialogs.size(), 2u);
    EXPECT_EQ(ui_.dialogs[ui_.dialogs.size() - 1].resourceId, CKeyboardDlg::kResourceId);
  }
}

TEST_F(PasswordDialog, CallbackChoosesTheModeByKeyKind) {
  struct Case { int kind; int mode; const char* captionText; bool keyNameShown; };
  const Case cases[] = {
      {kKindSmartCard, kPasswordModePin, "Podaj PIN", false},
      {kKindUsbToken, kPasswordModePin, "Podaj PIN", false},
      {kKindFile, kPasswordModeKey, "Has\xB3o", true},
      {kKindBankRepository, kPasswordModeKey, "Has\xB3o", true},
      {kKindPkcs8File, kPasswordModeKey, "Has\xB3o", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::string prompt;
    int limit = -1;
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      prompt = d.Text(kPrompt);
      limit = d.Limit(kEdit);
      EXPECT_EQ(d.Caption(), c.captionText);
      d.Type(kEdit, "4321");
      d.Click(kIdcOk);
    });
    char buffer[kPasswordBufferSize];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(CPasswordDialog::PasswordCallback(c.kind, "Label", buffer, sizeof buffer), kIdOk);
    EXPECT_STREQ(buffer, "4321");
    EXPECT_EQ(prompt.find("Label") != std::string::npos, c.keyNameShown);
    EXPECT_EQ(limit, c.mode == kPasswordModePin ? 4 : 0);
  }
}

TEST_F(PasswordDialog, CallbackNeverWritesPastTheBuffer) {
  // A buffer of 8 takes entries of up to 7 bytes.
  char buffer[16];
  std::memset(buffer, 'z', sizeof buffer);
  ui_.scripts.push_back([](ScriptedDialog& d) {
    d.Type(kEdit, "12345678");  // one too many: refused, the dialog stays
    d.Click(kIdcOk);
    EXPECT_FALSE(d.Ended());
    d.Replace(kEdit, "1234567");
    d.Click(kIdcOk);
  });
  EXPECT_EQ(CPasswordDialog::PasswordCallback(kKindFile, "k", buffer, 8), kIdOk);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{CPasswordDialog::kTextEntryTooLong});
  EXPECT_EQ(std::string(buffer, 8), std::string("1234567\0", 8));
  EXPECT_EQ(std::string(buffer + 8, 8), std::string(8, 'z'));

  // The same through the on-screen keyboard, which has no limit: refused,
  // and a cancel afterwards leaves an empty text, not the refused one.
  ui_.messages.clear();
  std::memset(buffer, 'z', sizeof buffer);
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    ui_.scripts.push_front([](ScriptedDialog& kb) {
      TypeOnKeyboard(kb, "qwertyuiop");
      ClickKeyboardEnter(kb);
    });
    d.Click(kKeyboard);
    EXPECT_FALSE(d.Ended());
    d.Click(kIdcCancel);
  });
  EXPECT_EQ(CPasswordDialog::PasswordCallback(kKindFile, "k", buffer, 8), kIdCancel);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{CPasswordDialog::kTextEntryTooLong});
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(std::string(buffer + 1, 15), std::string(15, 'z'));

  // The message exists in every language.
  for (int language = 0; language < 3; ++language) {
    SelectLanguage(language);
    EXPECT_FALSE(LoadText(CPasswordDialog::kTextEntryTooLong).empty());
  }
  SelectLanguage(0);
}

TEST_F(PasswordDialog, CallbackWithoutUsableBufferShowsNothing) {
  char one[1] = {'z'};
  EXPECT_EQ(CPasswordDialog::PasswordCallback(kKindFile, "k", nullptr, 10), kIdCancel);
  EXPECT_EQ(CPasswordDialog::PasswordCallback(kKindFile, "k", one, 0), kIdCancel);
  EXPECT_EQ(one[0], 'z');
  EXPECT_TRUE(ui_.dialogs.empty());
  // A one-byte buffer takes only the empty text, which no mode accepts.
  ui_.scripts.push_back([](ScriptedDialog& d) {
    d.Type(kEdit, "a");
    d.Click(kIdcOk);
    EXPECT_FALSE(d.Ended());
  });
  EXPECT_EQ(CPasswordDialog::PasswordCallback(kKindFile, "k", one, 1), kIdCancel);
  EXPECT_EQ(one[0], '\0');
}

TEST_F(PasswordDialog, CancelledCallbackLeavesAnEmptyText) {
  char buffer[kPasswordBufferSize];
  ui_.scripts.push_back([](ScriptedDialog& d) {
    d.Type(kEdit, "12");
    d.Click(kIdcOk);  // too short, stays
    d.Click(kIdcCancel);
  });
  EXPECT_EQ(CPasswordDialog::PasswordCallback(kKindSmartCard, "", buffer, sizeof buffer), kIdCancel);
  EXPECT_STREQ(buffer, "");
}

}  // namespace
