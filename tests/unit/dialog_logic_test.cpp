// The dialog foundation: how a view's events reach the logic (OK, Cancel,
// Enter, Escape, the close box, commands after the end), message boxes
// through the user interface seam, and running without any display.
#include "dialogs/dialog_logic.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/texts.h"
#include "tests/support/scripted_ui.h"

namespace {

using namespace quenta;
using quenta_test::ScriptedDialog;
using quenta_test::ScriptedUi;

constexpr int kName = 210;
constexpr int kApply = 300;
constexpr int kRadioA = 217;
constexpr int kRadioB = 537;
constexpr int kList = 203;
constexpr int kChoice = 208;
constexpr int kTimer = 101;

// A dialog with one control of most kinds that records what reached it.
class SampleDlg : public CDialogLogic {
 public:
  SampleDlg() : CDialogLogic(999) {}

  std::vector<std::string> events;
  bool refuseCancel = false;
  bool defaultDisabled = false;
  int messageAnswer = 0;

 protected:
  DialogTemplate CreateTemplate() override {
    DialogTemplate t;
    t.caption = "Sample";
    t.clientSize = {300, 200};
    auto add = [&t](int id, ControlKind kind, unsigned style = kStyleNone) {
      ControlDef c;
      c.id = id;
      c.kind = kind;
      c.style = style;
      c.rect = {10, 10 + 20 * static_cast<int>(t.controls.size()), 100, 18};
      t.controls.push_back(c);
    };
    add(kName, ControlKind::kEdit);
    add(kRadioA, ControlKind::kRadioButton, kStyleGroup);
    add(kRadioB, ControlKind::kRadioButton);
    add(kChoice, ControlKind::kDropDownList);
    add(kList, ControlKind::kListView, kStyleMultiSelect);
    add(kApply, ControlKind::kPushButton);
    add(kIdcOk, ControlKind::kPushButton, kStyleDefault);
    add(kIdcCancel, ControlKind::kPushButton);
    return t;
  }
  void OnInitDialog() override {
    events.push_back("init");
    View().SetCheck(kRadioA, true);
    View().AddItem(kChoice, "one");
    View().AddItem(kChoice, "two");
    View().AddColumn(kList, "Name", 80);
    View().InsertRow(kList, 0, "r0");
    View().InsertRow(kList, 1, "r1");
    View().SetTimer(kTimer, 100);
    if (defaultDisabled) View().EnableControl(kIdcOk, false);
  }
  void OnOK() override {
    events.push_back("ok");
    CDialogLogic::OnOK();
  }
  void OnCancel() override {
    events.push_back("cancel");
    if (!refuseCancel) CDialogLogic::OnCancel();
  }
  void OnClose() override {
    events.push_back("close");
    CDialogLogic::OnClose();
  }
  void OnCommand(int id, Notify code) override {
    events.push_back("command " + std::to_string(id) + " " + std::to_string(static_cast<int>(code)));
    if (id == kApply) messageAnswer = MessageBox(246, kTitleTextId, MsgIcon::kQuestion, MsgButtons::kYesNo);
  }
  void OnTimer(int id) override {
    events.push_back("timer " + std::to_string(id));
    View().KillTimer(id);
  }
  void OnDestroy() override { events.push_back("destroy"); }
};

class DialogLogic : public ::testing::Test {
 protected:
  ScriptedUi ui_;
  SampleDlg dlg_;
};

TEST_F(DialogLogic, EventsReachTheLogicAsTheDialogManagerRoutesThem) {
  struct Case {
    const char* what;
    std::function<void(ScriptedDialog&)> act;
    int end;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"OK button", [](ScriptedDialog& d) { d.Click(kIdcOk); }, kIdOk, {"init", "ok", "destroy"}},
      {"Cancel button", [](ScriptedDialog& d) { d.Click(kIdcCancel); }, kIdCancel, {"init", "cancel", "destroy"}},
      {"Enter presses the default button", [](ScriptedDialog& d) { d.PressEnter(); }, kIdOk, {"init", "ok", "destroy"}},
      {"Escape is Cancel", [](ScriptedDialog& d) { d.PressEscape(); }, kIdCancel, {"init", "cancel", "destroy"}},
      {"close box", [](ScriptedDialog& d) { d.CloseBox(); }, kIdCancel, {"init", "close", "cancel", "destroy"}},
      {"nothing after the end", [](ScriptedDialog& d) {
         d.Click(kIdcOk);
         EXPECT_FALSE(d.Click(kApply));
         EXPECT_FALSE(d.Tick(kTimer));
       }, kIdOk, {"init", "ok", "destroy"}},
      {"a timer fires while it runs", [](ScriptedDialog& d) {
         EXPECT_EQ(d.TimerPeriod(kTimer), 100);
         d.Tick(kTimer);
         EXPECT_FALSE(d.Tick(kTimer));  // killed by the handler
         d.Click(kIdcOk);
       }, kIdOk, {"init", "timer 101", "ok", "destroy"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SampleDlg dlg;
    ui_.scripts.push_back(c.act);
    EXPECT_EQ(dlg.DoModal(), c.end);
    EXPECT_EQ(dlg.EndValue(), c.end);
    EXPECT_EQ(dlg.events, c.events);
  }
}

TEST_F(DialogLogic, DisabledOrHiddenControlsTakeNoInput) {
  dlg_.defaultDisabled = true;
  ui_.scripts.push_back([](ScriptedDialog& d) {
    EXPECT_FALSE(d.Click(kIdcOk));
    EXPECT_TRUE(d.PressEnter());  // reaches the dialog, which ignores it
    EXPECT_FALSE(d.Ended());
    d.ShowControl(kName, false);
    EXPECT_FALSE(d.Type(kName, "x"));
    d.Click(kIdcCancel);
  });
  EXPECT_EQ(dlg_.DoModal(), kIdCancel);
  EXPECT_EQ(dlg_.events, (std::vector<std::string>{"init", "cancel", "destroy"}));
}

TEST_F(DialogLogic, ControlsBehaveAsTheUserSeesThem) {
  ui_.scripts.push_back([](ScriptedDialog& d) {
    EXPECT_TRUE(d.Checked(kRadioA));
    d.Click(kRadioB);
    EXPECT_FALSE(d.Checked(kRadioA));
    EXPECT_TRUE(d.Checked(kRadioB));
    EXPECT_TRUE(d.Choose(kChoice, 1));
    EXPECT_FALSE(d.Choose(kChoice, 2));
    EXPECT_EQ(d.CurSel(kChoice), 1);
    EXPECT_TRUE(d.SelectRows(kList, {0, 1}));
    EXPECT_EQ(d.SelectedRows(kList), (std::vector<int>{0, 1}));
    EXPECT_FALSE(d.SelectRows(kList, {2}));
    d.Type(kName, "abc");
    d.Replace(kName, "d");
    EXPECT_EQ(d.Text(kName), "d");
    d.Click(kIdcOk);
  });
  dlg_.DoModal();
  const std::vector<std::string> expected = {
      "init", "command 537 0", "command 208 2", "command 203 2", "command 210 1",
      "command 210 1", "ok", "destroy"};
  EXPECT_EQ(dlg_.events, expected);
}

TEST_F(DialogLogic, MessageBoxesGoThroughTheUserInterface) {
  SelectLanguage(1);
  ui_.answers.push_back(kIdYes);
  ui_.scripts.push_back([](ScriptedDialog& d) {
    d.Click(kApply);
    d.Click(kIdcOk);
  });
  dlg_.DoModal();
  SelectLanguage(0);
  ASSERT_EQ(ui_.messages.size(), 1u);
  const MessageRequest& m = ui_.messages[0];
  EXPECT_EQ(m.textId, 246);
  EXPECT_EQ(m.text, "Password too short");
  EXPECT_FALSE(m.caption.empty());
  EXPECT_EQ(m.icon, MsgIcon::kQuestion);
  EXPECT_EQ(m.buttons, MsgButtons::kYesNo);
  EXPECT_EQ(dlg_.messageAnswer, kIdYes);
}

TEST_F(DialogLogic, UnscriptedAndStubbornDialogsAreClosedFromOutside) {
  EXPECT_EQ(dlg_.DoModal(), kIdCancel);
  EXPECT_FALSE(ui_.dialogs.back().scripted);
  EXPECT_FALSE(ui_.dialogs.back().forced);

  SampleDlg stubborn;
  stubborn.refuseCancel = true;
  EXPECT_EQ(stubborn.DoModal(), kIdCancel);
  EXPECT_TRUE(ui_.dialogs.back().forced);
  EXPECT_EQ(stubborn.events.back(), "destroy");
}

TEST(DialogWithoutDisplay, ConsoleFallbackCancelsWithoutInitialising) {
  ASSERT_EQ(InstalledUi(), nullptr);
  SampleDlg dlg;
  EXPECT_EQ(dlg.DoModal(), kIdCancel);
  EXPECT_TRUE(dlg.events.empty());
  EXPECT_EQ(CurrentUi().PrintPage(PrintRequest()), kPrintCancelled);
}

TEST(DialogUnits, MapLikeTheDialogManager) {
  EXPECT_EQ(DluRect(0, 0, 200, 63), (Rect{0, 0, 300, 102}));
  EXPECT_EQ(DluRect(7, 7, 186, 8), (Rect{11, 11, 279, 13}));
}

}  // namespace
