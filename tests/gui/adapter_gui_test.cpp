// The wx adapter's controls, as the dialogs use them through IDialogView,
// in a real window: texts (Polish letters included) round-trip, lists,
// drop-downs, progress bars, radio buttons, timers, typing limits, and the
// events the user's clicks send to the logic. Then printing to a PDF.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <wx/listctrl.h>
#include <wx/textctrl.h>

#include "dialogs/dialog_logic.h"
#include "tests/gui/gui_support.h"
#include "tests/support/test_support.h"

namespace {

using namespace quenta;
using quenta_gui::GuiTest;
using quenta_gui::Pump;
using quenta_gui::Settle;

enum {
  kLabel = 235, kGroup = 225, kRadioA = 205, kRadioB = 206, kChoice = 208, kEdit = 213,
  kTextBox = 207, kList = 204, kVirtual = 203, kProgress = 216, kIcon = 228, kLine = 234,
  kIconButton = 232,
};
constexpr int kTimer = 101;

const char kPolish[] = "Za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1 \xAF\xD3\xA3\xC6 \xCA\x8C\xA5\x8F\xD1";

class ControlsDlg : public CDialogLogic {
 public:
  ControlsDlg() : CDialogLogic(998) {}
  std::vector<std::pair<int, Notify>> commands;
  int ticks = 0;

 protected:
  DialogTemplate CreateTemplate() override {
    DialogTemplate t;
    t.caption = kPolish;
    t.clientSize = {420, 330};
    auto add = [&t](int id, ControlKind kind, Rect r, std::string text = {}, unsigned style = 0,
                    int icon = 0) {
      ControlDef c;
      c.id = id;
      c.kind = kind;
      c.rect = r;
      c.text = std::move(text);
      c.style = style;
      c.iconId = icon;
      t.controls.push_back(c);
    };
    add(kLabel, ControlKind::kStatic, {10, 8, 400, 16}, "label");
    add(kGroup, ControlKind::kGroupBox, {10, 28, 200, 44}, "Tre\x9C\xE6 dyspozycji:");
    add(kRadioA, ControlKind::kRadioButton, {20, 46, 90, 20}, "Sformatowana", kStyleGroup);
    add(kRadioB, ControlKind::kRadioButton, {112, 46, 90, 20}, "Podpisywana");
    add(kChoice, ControlKind::kDropDownList, {220, 34, 190, 26});
    add(kEdit, ControlKind::kEdit, {220, 66, 120, 22}, "", kStylePassword);
    add(kIconButton, ControlKind::kIconButton, {346, 64, 64, 26}, "Rozwi\xF1", 0, kIconExpand);
    add(kList, ControlKind::kListView, {10, 96, 195, 110});
    add(kVirtual, ControlKind::kListView, {215, 96, 195, 110}, "", kStyleVirtual | kStyleMultiSelect);
    add(kTextBox, ControlKind::kTextBox, {10, 212, 195, 50});
    add(kProgress, ControlKind::kProgressBar, {215, 212, 195, 16});
    add(kIcon, ControlKind::kIcon, {215, 234, 24, 24}, "", 0, kIconSign);
    add(kLine, ControlKind::kBevelLine, {10, 268, 400, 8});
    add(kIdcOk, ControlKind::kPushButton, {230, 290, 80, 28}, "OK", kStyleDefault);
    add(kIdcCancel, ControlKind::kPushButton, {320, 290, 80, 28}, "&Anuluj");
    return t;
  }
  void OnCommand(int id, Notify code) override { commands.emplace_back(id, code); }
  void OnTimer(int id) override {
    if (id == kTimer && ++ticks == 3) View().KillTimer(id);
  }
  std::string OnGetItemText(int id, int row, int column) override {
    return id == kVirtual ? "w" + std::to_string(row) + "/" + std::to_string(column) : std::string();
  }
};

class AdapterWindow : public GuiTest {};

TEST_F(AdapterWindow, ControlsDoWhatTheLogicAsks) {
  ControlsDlg dlg;
  WhenOpen(998, [&](WxDialogView& v) {
    IDialogView& view = v;
    SecureText read;
    EXPECT_EQ(view.Caption(), kPolish);
    view.SetText(kLabel, kPolish);
    view.ReadText(kLabel, read);
    EXPECT_STREQ(read.c_str(), kPolish);

    EXPECT_TRUE(view.IsChecked(kRadioA));
    view.SetCheck(kRadioB, true);
    EXPECT_FALSE(view.IsChecked(kRadioA));

    EXPECT_EQ(view.AddItem(kChoice, "pierwszy"), 0);
    EXPECT_EQ(view.AddItem(kChoice, kPolish), 1);
    view.SetCurSel(kChoice, 1);
    EXPECT_EQ(view.CurSel(kChoice), 1);
    EXPECT_EQ(view.ItemCount(kChoice), 2);

    view.AddColumn(kList, "parametr dyspozycji:", 95);
    view.AddColumn(kList, "warto\x9C\xE6", 95);
    EXPECT_EQ(view.ColumnWidth(kList, 1), 95);
    for (int row = 0; row < 3; ++row) {
      EXPECT_EQ(view.InsertRow(kList, row, "wiersz " + std::to_string(row)), row);
      view.SetCellText(kList, row, 1, kPolish);
    }
    EXPECT_EQ(view.RowCount(kList), 3);
    EXPECT_EQ(view.CellText(kList, 2, 1), kPolish);
    view.SelectRow(kList, 1, true);
    EXPECT_EQ(view.SelectedRows(kList), std::vector<int>{1});

    view.AddColumn(kVirtual, "a", 90);
    view.AddColumn(kVirtual, "b", 90);
    view.SetVirtualRowCount(kVirtual, 500);
    EXPECT_EQ(view.RowCount(kVirtual), 500);
    EXPECT_EQ(view.CellText(kVirtual, 499, 1), "w499/1");
    view.SelectRow(kVirtual, 3, true);
    view.SelectRow(kVirtual, 7, true);
    EXPECT_EQ(view.SelectedRows(kVirtual), (std::vector<int>{3, 7}));

    view.SetText(kTextBox, "MULTILINE|\nline two\nline three that is a good deal longer than the box");
    view.ShowScrollBars(kTextBox, true, true);
    view.SetRange(kProgress, 0, 10);
    view.SetPos(kProgress, 7);
    EXPECT_EQ(view.Pos(kProgress), 7);

    const Size w = view.MeasureText(kEdit, "W");
    EXPECT_GT(w.width, 0);
    EXPECT_GT(view.MeasureText(kEdit, "WWWWWWWWWW").width, 5 * w.width);
    EXPECT_GT(view.LineHeight(kEdit), 5);

    view.MoveControl(kIcon, {250, 234, 24, 24});
    EXPECT_EQ(view.ControlRect(kIcon), (Rect{250, 234, 24, 24}));
    view.ShowControl(kLine, false);
    EXPECT_FALSE(view.IsVisible(kLine));
    view.EnableControl(kIconButton, false);
    EXPECT_FALSE(view.IsEnabled(kIconButton));
    view.EnableControl(kIconButton, true);
    view.SetIcon(kIconButton, kIconCollapse);
    view.SetTopmost(true);
    EXPECT_TRUE(v.HasFlag(wxSTAY_ON_TOP));
    Settle();
    // Changes the logic made send it no events.
    EXPECT_TRUE(dlg.commands.empty());

    view.SetTimer(kTimer, 30);
    EXPECT_TRUE(Pump([&] { return dlg.ticks == 3; }));
    Settle(150);
    EXPECT_EQ(dlg.ticks, 3);

    // What the user does reaches the logic.
    view.SetTypingLimit(kEdit, 3);
    TypeInto(v, kEdit, "abcdef");
    view.ReadText(kEdit, read);
    EXPECT_STREQ(read.c_str(), "abc");
    // The program may set a longer text; the user can still delete.
    view.SetText(kEdit, "123456");
    view.ReadText(kEdit, read);
    EXPECT_STREQ(read.c_str(), "123456");
    ClickControl(v, kRadioA);
    ClickControl(v, kIconButton);
    wxListCtrl* list = static_cast<wxListCtrl*>(v.ControlWindow(kList));
    wxRect row;
    list->GetItemRect(2, row);
    ClickAt(*list, row.x + 20, row.y + row.height / 2);
    EXPECT_EQ(view.SelectedRows(kList), std::vector<int>{2});
    Screenshot(v, "adapter_controls");

    const std::vector<std::pair<int, Notify>> expected = {
        {kEdit, Notify::kChanged}, {kEdit, Notify::kChanged}, {kEdit, Notify::kChanged},
        {kRadioA, Notify::kClicked}, {kIconButton, Notify::kClicked}};
    ASSERT_GE(dlg.commands.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dlg.commands.begin()));
    bool listChanged = false;
    for (std::size_t i = expected.size(); i < dlg.commands.size(); ++i)
      listChanged |= dlg.commands[i] == std::make_pair(static_cast<int>(kList), Notify::kSelChange);
    EXPECT_TRUE(listChanged);

    // Enter in the edit presses the default button.
    TypeInto(v, kEdit, "");
    Key(WXK_RETURN);
  });
  EXPECT_EQ(dlg.DoModal(), kIdOk);
}

TEST_F(AdapterWindow, EscapeAndTheCloseBoxCancel) {
  for (int way = 0; way < 2; ++way) {
    ControlsDlg dlg;
    WhenOpen(998, [&](WxDialogView& v) {
      if (way == 0) {
        ClickControl(v, kEdit);
        Key(WXK_ESCAPE);
      } else {
        v.Close();  // what the close box does
      }
    });
    EXPECT_EQ(dlg.DoModal(), kIdCancel) << way;
  }
}

TEST_F(AdapterWindow, PrintsOnePageToPdf) {
  quenta_test::TempDir dir;
  const std::string pdf = dir.File("page.pdf");
  ui_.SetPrintToFile(pdf);
  PrintRequest request;
  request.documentName = "Kod PUK";
  request.blocks.push_back({std::string("Poni\xBF" "ej znajduje si\xEA Tw\xF3j kod PUK. ") +
                                "Przechowuj go w bezpiecznym miejscu, kod odblokowuje PIN.",
                            false});
  request.blocks.push_back({"TW\xD3J KOD PUK: 12345678", true});
  request.blocks.push_back({"Nie przechowuj kodu PIN razem z kart\xB9.", false});
  // The print dialog is GTK's own: confirm it with Return once it is up.
  wxTimer confirm;
  int tries = 0;
  confirm.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    const wxSize screen = wxGetDisplaySize();
    sim_.MouseMove(screen.x / 2, screen.y / 2);
    sim_.Char(WXK_RETURN);
    if (++tries < 10) confirm.StartOnce(700);
  });
  confirm.StartOnce(1500);
  EXPECT_EQ(ui_.PrintPage(request), kPrintDone);
  confirm.Stop();
  ASSERT_TRUE(Pump([&] { return quenta_test::ReadFile(pdf).size() > 100; }, 5000));
  std::string text;
  ASSERT_EQ(quenta_test::RunCommand("pdftotext -layout '" + pdf + "' -", &text), 0);
  EXPECT_NE(text.find("TWÓJ KOD PUK: 12345678"), std::string::npos) << text;
  EXPECT_NE(text.find("Poniżej znajduje się"), std::string::npos) << text;
  EXPECT_NE(text.find("kartą."), std::string::npos) << text;
}

}  // namespace
