// The sign dialog in a real window: a small order signed with a typed
// password, and a very long order opening.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include <wx/choice.h>
#include <wx/listctrl.h>
#include <wx/textctrl.h>

#include "engine/keys_storage_comp.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "signing/sign_dlg.h"
#include "tests/gui/gui_support.h"
#include "tests/unit/sign_test_support.h"

namespace {

using namespace quenta;
using quenta_gui::GuiTest;
using quenta_gui::Pump;
using quenta_gui::Settle;
using quenta_test::ToHex;

using D = CSignDlg;

class SignWindow : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(key_.Make(keys_.path(), "a", 1024));
    components_.Set(true, true);
    ASSERT_EQ(engine_.SetKey("K1", ToHex("Klucz firmowy").c_str(), key_.RepositoryData().c_str(), 0),
              kOk);
  }
  void TearDown() override {
    SelectLanguage(0);
    GuiTest::TearDown();
  }

  quenta_test::TempDir home_, keys_, work_;
  quenta_test::ScopedEnv config_{"XDG_CONFIG_HOME", home_.path()};
  quenta_test::MachineComponents components_;
  quenta_test::SignKey key_;
  CKeysStorageComp engine_;
};

TEST_F(SignWindow, TypedPasswordAndTheSignButtonGiveAVerifyingSignature) {
  SelectLanguage(0);
  engine_.SetSignDialogType(1);
  const std::string order =
      "_ZLECENIE_|1:Rachunek:12 1020 3040 0000 5602 0123 4567|2:Kwota:1 250,00|"
      "3:Waluta:PLN|4:Tytu\xB3:Faktura 17/2024 \xB1\xB6|";
  bool grew = false;
  WhenOpen(D::kResourceId, [&](WxDialogView& v) {
    const int collapsedHeight = v.GetClientSize().y;
    Screenshot(v, "sign_dialog_collapsed");
    ClickControl(v, D::kIdExpand);
    Settle();
    grew = v.GetClientSize().y > collapsedHeight;
    EXPECT_TRUE(v.ControlWindow(D::kIdOrderList)->IsShown());
    auto* list = static_cast<wxListCtrl*>(v.ControlWindow(D::kIdOrderList));
    EXPECT_EQ(list->GetItemCount(), 5);
    TypeInto(v, D::kIdPassword, quenta_test::kSignKeyPassword);
    auto* edit = static_cast<wxTextCtrl*>(v.ControlWindow(D::kIdPassword));
    EXPECT_EQ(edit->GetValue(), wxString(quenta_test::kSignKeyPassword));
    Screenshot(v, "sign_dialog_order");
    ClickControl(v, kIdcOk);
  });
  std::string signature, used, names;
  const int rc = engine_.Sign("|K1|", "K1", ToHex(order).c_str(), 1, &signature, &used, &names);
  ASSERT_EQ(rc, kOk);
  EXPECT_TRUE(grew);
  EXPECT_EQ(used, "K1");
  EXPECT_TRUE(quenta_test::VerifiesWith(key_.pub, "sha256", order, quenta_test::Unhex(signature),
                                        work_.path()));
  EXPECT_TRUE(ui_.messages.empty());
}

TEST_F(SignWindow, OrderOfFiftyThousandRowsOpens) {
  SelectLanguage(1);
  engine_.SetSignDialogType(0);
  std::string order;
  for (int i = 1; i <= 50000; ++i) {
    char field[64];
    std::snprintf(field, sizeof field, "%d:Parameter %d:value %d|", i, i, i * 7);
    order += field;
  }
  const auto started = std::chrono::steady_clock::now();
  double openedAfter = 0;
  int rows = 0;
  std::string lastRow;
  WhenOpen(D::kResourceId, [&](WxDialogView& v) {
    openedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    auto* list = static_cast<wxListCtrl*>(v.ControlWindow(D::kIdOrderList));
    rows = list->GetItemCount();
    lastRow = v.CellText(D::kIdOrderList, rows - 1, 0) + "=" + v.CellText(D::kIdOrderList, rows - 1, 1);
    list->EnsureVisible(rows - 1);
    Settle();
    Screenshot(v, "sign_dialog_50000_rows");
    ClickControl(v, kIdcCancel);
  });
  std::string signature, used, names;
  EXPECT_EQ(engine_.Sign("|K1|", "K1", ToHex(order).c_str(), 1, &signature, &used, &names),
            kErrCancelled);
  EXPECT_EQ(rows, 50000);
  EXPECT_EQ(lastRow, "Parameter 50000=value 350000");
  std::printf("[ info ] a 50000-row order (%zu bytes) was on screen after %.2f s\n", order.size(),
              openedAfter);
}

}  // namespace
