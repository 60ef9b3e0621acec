// The key generation dialog in a real window: a name refused with a
// message, and a key pair generated on SoftHSM2 as a USB token (reached
// through the scripted PC/SC library) with the PIN typed into the real
// PIN prompt.
#include <gtest/gtest.h>

#include <string>

#include <wx/gauge.h>
#include <wx/radiobut.h>

#include "dialogs/gen_key_dlg.h"
#include "dialogs/password_dlg.h"
#include "engine/keys_storage_comp.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/gui/gui_support.h"

namespace {

using namespace quenta;
using quenta_gui::GuiTest;
using quenta_gui::Pump;
using quenta_gui::Settle;
using quenta_test::kTokenAtr;


class GenKeyWindow : public GuiTest {
 protected:
  GenKeyWindow() : home_("XDG_CONFIG_HOME", homeDir_.path()) {}

  quenta_test::TempDir homeDir_;
  quenta_test::ScopedEnv home_;
  quenta_test::MachineSettings settings_;
};

TEST_F(GenKeyWindow, RefusedNameKeepsTheDialogOpen) {
  SelectLanguage(0);
  settings_.Write({"GemPCKey USB=1", "GemPCTwin USB=1"});
  CKeysStorageComp engine;
  CGenKeyDlg dialog;
  ASSERT_EQ(dialog.SetParameters(&engine, "|1|"), 0);
  WhenOpen(CGenKeyDlg::kResourceId, [&](WxDialogView& v) {
    // Both kinds installed: the USB token is chosen, the bar is hidden and
    // everything lies inside the window.
    auto* usb = static_cast<wxRadioButton*>(v.ControlWindow(CGenKeyDlg::kUsbTokenId));
    ASSERT_NE(usb, nullptr);
    EXPECT_TRUE(usb->GetValue());
    EXPECT_FALSE(v.ControlWindow(CGenKeyDlg::kProgressId)->IsShown());
    const wxSize client = v.GetClientSize();
    for (int id : {kIdcOk, kIdcCancel, CGenKeyDlg::kProgressId, CGenKeyDlg::kNameEditId}) {
      const wxRect r = v.ControlWindow(id)->GetRect();
      EXPECT_LE(r.GetRight(), client.x) << id;
      EXPECT_LE(r.GetBottom(), client.y) << id;
    }
    TypeInto(v, CGenKeyDlg::kNameEditId, "klucz:firmowy");
    Screenshot(v, "gen_key_name");
    ClickControl(v, kIdcOk);
    EXPECT_EQ(ui_.MessageIds(), std::vector<int>{CGenKeyDlg::kTextNameCharacters});
    EXPECT_TRUE(v.IsShown());
    Key(WXK_ESCAPE);
  });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
}

TEST_F(GenKeyWindow, GeneratesOnAUsbToken) {
  quenta_test::SoftHsm hsm;
  const std::string reader = hsm.InitToken("quenta", "12345678", "1234");
  ASSERT_FALSE(reader.empty());
  quenta_test::PcscDouble pcsc(QUENTA_PCSC_DOUBLE);
  pcsc.AddReader(reader.c_str(), kTokenAtr);
  settings_.Write({"GemPCKey USB=1", "GemPCTwin USB=1",
                   std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                   std::string("PKCS11 Module=") + quenta_test::kSoftHsmModule,
                   std::string("Tokens[]=") + kTokenAtr});
  SelectLanguage(1);
  CKeysStorageComp engine;
  bool prompted = false;
  WhenOpen(CGenKeyDlg::kResourceId, [&](WxDialogView& v) {
    TypeInto(v, CGenKeyDlg::kNameEditId, "Company key");
    WhenOpen(CPasswordDialog::kResourceId, [&](WxDialogView& p) {
      prompted = true;
      TypeInto(p, CPasswordDialog::kEditId, "1234");
      Key(WXK_RETURN);
    });
    ClickControl(v, kIdcOk);
    // While the worker runs the bar shows and Generate is disabled; the
    // generation may be over before a picture is taken.
    auto* bar = static_cast<wxGauge*>(v.ControlWindow(CGenKeyDlg::kProgressId));
    if (Pump([&] { return bar->IsShown(); }, 300)) {
      EXPECT_FALSE(v.ControlWindow(kIdcOk)->IsEnabled());
      Screenshot(v, "gen_key_progress");
    }
  });
  int kind = 0;
  std::string software, pub, keyId, name, report;
  const int rc = engine.GenerateKey(1024, "|1|", &kind, &software, &pub, &keyId, &name, &report);
  SelectLanguage(0);
  EXPECT_TRUE(prompted);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(kind, 11);
  EXPECT_EQ(software, "NULL");
  EXPECT_EQ(name, quenta_test::ToHex("Company key"));
  EXPECT_EQ(keyId.size(), 40u);
  EXPECT_TRUE(ui_.messages.empty());
  std::string out;
  EXPECT_EQ(hsm.Tool("--list-objects", &out), 0) << out;
  EXPECT_NE(out.find("label:      Company key"), std::string::npos) << out;
}

}  // namespace
