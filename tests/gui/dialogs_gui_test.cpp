// The keyboard and the password dialog in real windows.
#include <gtest/gtest.h>

#include <string>

#include <wx/textctrl.h>

#include "dialogs/keyboard_dlg.h"
#include "dialogs/password_dlg.h"
#include "plugin/texts.h"
#include "tests/gui/gui_support.h"

namespace {

using namespace quenta;
using quenta_gui::GuiTest;
using quenta_gui::Pump;
using quenta_gui::Settle;

using Slot = CKeyboardDlg::SpecialSlot;

Point KeyCentre(const CKeyboardDlg& kb, char plain) {
  for (const auto& k : kb.Keys())
    if (CKeyboardDlg::CharacterFor(0, k->keyIndex) == plain)
      return {(k->left + k->right) / 2, (k->top + k->bottom) / 2};
  ADD_FAILURE() << "no key " << plain;
  return {0, 0};
}
Point SlotCentre(const CKeyboardDlg& kb, int slot) {
  const auto& s = kb.Special(slot);
  return {(s.left + s.right) / 2, (s.top + s.bottom) / 2};
}

wxColour PixelOf(const wxImage& image, int x, int y) {
  return wxColour(image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y));
}

class KeyboardWindow : public GuiTest {
 protected:
  void Click(WxDialogView& v, Point p) { ClickAt(v, p.x, p.y); }
};

TEST_F(KeyboardWindow, ClickedKeysTypePolishLettersAndEnterReturnsThem) {
  SelectLanguage(0);
  CKeyboardDlg kb;
  std::size_t editLength = 0;
  WhenOpen(CKeyboardDlg::kResourceId, [&](WxDialogView& v) {
    ASSERT_TRUE(Pump([&] { return v.BackBufferBitmap().IsOk() && kb.Keys().size() == 47; }));
    EXPECT_EQ(v.GetClientSize(), wxSize(382, 205));
    Click(v, KeyCentre(kb, 'a'));
    Click(v, SlotCentre(kb, Slot::kSlotShiftLeft));
    Click(v, KeyCentre(kb, 'b'));
    Click(v, SlotCentre(kb, Slot::kSlotAltLeft));
    EXPECT_TRUE(kb.Alt());
    Settle();
    // The back buffer shows the Alt characters now; the frame colours are
    // those of the drawing rules.
    const wxImage image = v.BackBufferBitmap().ConvertToImage();
    EXPECT_EQ(PixelOf(image, 3, 3), wxColour(160, 160, 160));
    const sKeyDesc& q = *kb.Keys()[13];
    EXPECT_EQ(PixelOf(image, q.left + 1, q.top + 12), *wxWHITE);   // released: light left edge
    EXPECT_EQ(PixelOf(image, q.right - 2, q.top + 12), *wxBLACK);  // dark right edge
    const auto& alt = kb.Special(Slot::kSlotAltLeft);
    EXPECT_EQ(PixelOf(image, alt.left + 1, alt.top + 12), *wxBLACK);  // pressed
    Screenshot(v, "keyboard_alt");
    image.SaveFile(std::string(QUENTA_BINARY_DIR) + "/screenshots/keyboard_alt_backbuffer.png",
                   wxBITMAP_TYPE_PNG);
    Click(v, KeyCentre(kb, 'z'));
    EXPECT_FALSE(kb.Alt());
    editLength = static_cast<wxTextCtrl*>(v.ControlWindow(CKeyboardDlg::kEditId))->GetValue().length();
    Click(v, SlotCentre(kb, Slot::kSlotEnter));
  });
  EXPECT_EQ(kb.DoModal(), kIdOk);
  EXPECT_STREQ(kb.Text().c_str(), "aB\xBF");
  EXPECT_EQ(editLength, 3u);
}

TEST_F(KeyboardWindow, PhysicalKeysDoNotTypeAndEscapeCancels) {
  CKeyboardDlg kb;
  kb.SetText("ab");
  WhenOpen(CKeyboardDlg::kResourceId, [&](WxDialogView& v) {
    TypeInto(v, CKeyboardDlg::kEditId, "xyz");
    auto* edit = static_cast<wxTextCtrl*>(v.ControlWindow(CKeyboardDlg::kEditId));
    EXPECT_EQ(edit->GetValue(), "ab");
    EXPECT_STREQ(kb.Text().c_str(), "ab");
    Key(WXK_ESCAPE);
  });
  EXPECT_EQ(kb.DoModal(), kIdCancel);
}

class PasswordWindow : public GuiTest {};

TEST_F(PasswordWindow, PinModeStopsTypingAtFourAndReturnAccepts) {
  SelectLanguage(1);
  CPasswordDialog dialog;
  dialog.SetMode(kPasswordModePin);
  WhenOpen(CPasswordDialog::kResourceId, [&](WxDialogView& v) {
    TypeInto(v, CPasswordDialog::kEditId, "123");
    ClickControl(v, kIdcOk);
    EXPECT_EQ(ui_.MessageIds(), std::vector<int>{CPasswordDialog::kTextPinTooShort});
    TypeInto(v, CPasswordDialog::kEditId, "45");
    auto* edit = static_cast<wxTextCtrl*>(v.ControlWindow(CPasswordDialog::kEditId));
    EXPECT_EQ(edit->GetValue(), "1234");
    Screenshot(v, "password_pin_english");
    Key(WXK_RETURN);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_STREQ(dialog.Entry().c_str(), "1234");
  SelectLanguage(0);
}

TEST_F(PasswordWindow, PolishKeyPromptAndTheKeyboardButton) {
  SelectLanguage(0);
  CPasswordDialog dialog;
  dialog.SetKeyName("Klucz \xB3\xF3" "d\xBF" "ki \xA3\xD3\xAF\x8C\x8F\xC6\xD1\xCA\xA5 do podpisywania zlece\xF1 bankowych");
  int promptHeight = 0;
  WhenOpen(CPasswordDialog::kResourceId, [&](WxDialogView& v) {
    promptHeight = v.ControlRect(CPasswordDialog::kPromptId).height;
    Screenshot(v, "password_key_polish");
    WhenOpen(CKeyboardDlg::kResourceId, [&](WxDialogView& k) {
      auto& kb = static_cast<CKeyboardDlg&>(k.Logic());
      ASSERT_TRUE(Pump([&] { return kb.Keys().size() == 47; }));
      ClickAt(k, KeyCentre(kb, 'p').x, KeyCentre(kb, 'p').y);
      ClickAt(k, SlotCentre(kb, Slot::kSlotAltRight).x, SlotCentre(kb, Slot::kSlotAltRight).y);
      ClickAt(k, KeyCentre(kb, 'l').x, KeyCentre(kb, 'l').y);
      Screenshot(k, "keyboard_from_password");
      ClickAt(k, SlotCentre(kb, Slot::kSlotEnter).x, SlotCentre(kb, Slot::kSlotEnter).y);
    });
    ClickControl(v, CPasswordDialog::kKeyboardButtonId);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_STREQ(dialog.Entry().c_str(), "p\xB3");
  EXPECT_TRUE(ui_.messages.empty());
  // The long prompt took two lines of the edit's font.
  EXPECT_GT(promptHeight, 20);
}

TEST_F(PasswordWindow, CallbackThroughTheRealDialog) {
  char buffer[16];
  WhenOpen(CPasswordDialog::kResourceId, [&](WxDialogView& v) {
    TypeInto(v, CPasswordDialog::kEditId, "secret");
    Key(WXK_RETURN);
  });
  EXPECT_EQ(CPasswordDialog::PasswordCallback(1, "k", buffer, sizeof buffer), kIdOk);
  EXPECT_STREQ(buffer, "secret");
}

TEST_F(PasswordWindow, RealMessageBoxShowsPolishTextAndIsAnswered) {
  SelectLanguage(0);
  ui_.realMessageBoxes = true;
  CPasswordDialog dialog;
  dialog.SetMode(kPasswordModeLogon);
  bool boxSeen = false;
  WhenOpen(CPasswordDialog::kResourceId, [&](WxDialogView& v) {
    // OK with an empty entry opens the real box; a timer answers it.
    wxTimer answer;
    answer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
      boxSeen = true;
      const wxSize screen = wxGetDisplaySize();
      sim_.MouseMove(screen.x / 2, screen.y / 2);
      Settle(50);
      quenta_test::RunCommand("mkdir -p '" QUENTA_BINARY_DIR "/screenshots' && import -window root '" QUENTA_BINARY_DIR
                              "/screenshots/message_box_polish.png'");
      sim_.Char(WXK_RETURN);
    });
    answer.StartOnce(500);
    ClickControl(v, kIdcOk);
    EXPECT_TRUE(Pump([&] { return boxSeen; }));
    Settle();
    v.EndDialog(kIdCancel);
  });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_TRUE(boxSeen);
  EXPECT_EQ(ui_.MessageIds(), std::vector<int>{CPasswordDialog::kTextPasswordTooShort});
}

}  // namespace
