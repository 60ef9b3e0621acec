// The sign dialog's login layout in a real window: EncryptRand with a
// software key, the password typed with simulated keys and OK pressed;
// the record's raw block is checked with the openssl tool.
#include <gtest/gtest.h>

#include <string>

#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "engine/keys_storage_comp.h"
#include "engine/network_msg.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "signing/sign_dlg.h"
#include "tests/gui/gui_support.h"
#include "tests/unit/sign_test_support.h"

namespace {

using namespace quenta;
using quenta_gui::GuiTest;
using quenta_gui::Settle;
using quenta_test::ToHex;

using D = CSignDlg;

class SignLoginWindow : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(key_.Make(keys_.path(), "a", 1024));
    components_.Set(true, false);
    ASSERT_EQ(engine_.SetKey("K1", ToHex("Klucz firmowy").c_str(), key_.RepositoryData().c_str(), 0),
              kOk);
  }
  void TearDown() override {
    SelectLanguage(0);
    GuiTest::TearDown();
  }

  static bool Shown(WxDialogView& v, int id) {
    wxWindow* w = v.ControlWindow(id);
    return w && w->IsShown();
  }

  quenta_test::TempDir home_, keys_, work_;
  quenta_test::ScopedEnv config_{"XDG_CONFIG_HOME", home_.path()};
  quenta_test::MachineComponents components_;
  quenta_test::SignKey key_;
  CKeysStorageComp engine_;
};

TEST_F(SignLoginWindow, LoginLayoutTakesTheTypedPasswordAndSignsTheChallenge) {
  SelectLanguage(0);
  engine_.SetSignDialogType(1);
  const std::string page = "bank-nonce";
  wxString title, okLabel, note;
  bool noteShown = false, orderHidden = false, passwordTyped = false;
  WhenOpen(D::kResourceId, [&](WxDialogView& v) {
    title = v.GetTitle();
    if (auto* ok = dynamic_cast<wxButton*>(v.ControlWindow(kIdcOk))) okLabel = ok->GetLabel();
    noteShown = Shown(v, D::kIdLoginNote);
    if (wxWindow* w = v.ControlWindow(D::kIdLoginNote)) note = w->GetLabel();
    orderHidden = !Shown(v, D::kIdOrderList) && !Shown(v, D::kIdOrderText) &&
                  !Shown(v, D::kIdOrderGroup) && !Shown(v, D::kIdFormattedView) &&
                  !Shown(v, D::kIdSignedView);
    TypeInto(v, D::kIdPassword, quenta_test::kSignKeyPassword);
    auto* edit = dynamic_cast<wxTextCtrl*>(v.ControlWindow(D::kIdPassword));
    passwordTyped = edit && edit->GetValue() == wxString(quenta_test::kSignKeyPassword);
    Screenshot(v, "sign_login");
    ClickControl(v, kIdcOk);
  });
  std::string message, used, names;
  const int rc = engine_.EncryptRand("|K1|", "K1", page.c_str(), 1, "", &message, &used, &names);
  ASSERT_EQ(rc, kOk);
  EXPECT_EQ(title, wxString::FromUTF8("Wybór klucza"));
  EXPECT_EQ(okLabel, "OK");
  EXPECT_TRUE(noteShown);
  note.Replace("\n", " ");
  EXPECT_EQ(note, wxString::FromUTF8("Do zakończenia operacji logowania, wymagane jest "
                                     "wygenerowanie podpisu elektronicznego."));
  EXPECT_TRUE(orderHidden);
  EXPECT_TRUE(passwordTyped);
  EXPECT_EQ(used, "K1");
  EXPECT_TRUE(ui_.messages.empty());

  // The record: the key name and the raw block over "<page>-<64 hex>\0".
  const std::string bytes = quenta_test::Unhex(message);
  CProofOfPossesion record;
  ASSERT_EQ(record.Unpack(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), 1);
  ASSERT_NE(record.keyName, nullptr);
  ASSERT_NE(record.result, nullptr);
  EXPECT_STREQ(record.keyName, "K1");
  const std::string data = quenta_test::RecoverRaw(
      key_.pub, std::string(reinterpret_cast<const char*>(record.result), record.resultLength),
      work_.path());
  ASSERT_EQ(data.size(), page.size() + 66) << ToHex(data);
  EXPECT_EQ(data.substr(0, page.size() + 1), page + "-");
  const std::string challenge = data.substr(page.size() + 1, 64);
  EXPECT_EQ(challenge, ToHex(quenta_test::Unhex(challenge)));
  EXPECT_EQ(data.back(), '\0');
}

}  // namespace
