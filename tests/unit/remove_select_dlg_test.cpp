// The key removal dialog and the reader choice dialog, alone and as the
// token layer's dialogs (PC/SC double and scripted PKCS#11 module).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dialogs/remove_dlg.h"
#include "dialogs/select_reader_dlg.h"
#include "engine/dialog_hooks.h"
#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "engine/token_access.h"
#include "plugin/texts.h"
#include "tests/doubles/double_control.h"
#include "tests/doubles/token_test_env.h"
#include "tests/support/scripted_ui.h"

namespace {

using namespace quenta;
using namespace quenta_test;

constexpr int kList = CRemoveDlg::kListId;

std::string W(const std::string& utf8) {
  std::string out;
  EXPECT_TRUE(Utf8ToWin1250(utf8, out)) << utf8;
  return out;
}

std::string Id(char c) { return std::string(40, c); }

std::vector<std::vector<std::string>> Rows(const ScriptedDialog& d, int list) {
  std::vector<std::vector<std::string>> rows;
  for (int r = 0; r < d.RowCount(list); ++r)
    rows.push_back({d.CellText(list, r, 0), d.CellText(list, r, 1), d.CellText(list, r, 2)});
  return rows;
}

class DialogTest : public ::testing::Test {
 protected:
  ~DialogTest() override { SelectLanguage(0); }
  ScriptedUi ui;
};

// ---------------------------------------------------------------- CRemoveDlg

using RemoveDialog = DialogTest;

TEST_F(RemoveDialog, PairsByIdentifierInByteOrder) {
  CRemoveDlg dialog;
  // Added out of order; "\xE9" sorts after ASCII as an unsigned byte.
  dialog.AddKeyEntry("signing", (Id('B')).c_str(), 0, 11);
  dialog.AddKeyEntry("high", ("\xE9" + Id('0')).c_str(), 1, 12);
  dialog.AddKeyEntry("signing", (Id('B')).c_str(), 1, 13);
  dialog.AddKeyEntry("signing", (Id('A')).c_str(), 1, 14);  // same label, another key
  dialog.AddKeyEntry("public only", (Id('C')).c_str(), 0, 15);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    EXPECT_EQ(Rows(d, kList),
              (std::vector<std::vector<std::string>>{
                  {"signing", Id('A'), W("Klucz prywatny")},
                  {"signing", Id('B'), "Para kluczy"},
                  {"public only", Id('C'), "Klucz publiczny"},
                  {"high", "\xE9" + Id('0'), W("Klucz prywatny")}}));
    EXPECT_EQ(d.Headings(kList), (std::vector<std::string>{"Nazwa klucza", W("Skrót"), "Typ klucza"}));
    EXPECT_EQ(d.Caption(), "Usuwanie kluczy");
    EXPECT_EQ(d.Text(kIdcOk), W("Usuń"));
    EXPECT_EQ(d.Text(kIdcCancel), "Zamknij");
    d.SelectRows(kList, {1, 3});
    d.Click(kIdcOk);
  });
  ASSERT_EQ(dialog.DoModal(), kIdOk);
  ASSERT_EQ(dialog.EntryCount(), 5u);
  std::vector<unsigned long> marked;
  for (std::size_t i = 0; i < dialog.EntryCount(); ++i)
    if (dialog.EntryAt(i).selected) marked.push_back(dialog.EntryAt(i).handle);
  EXPECT_EQ(marked, (std::vector<unsigned long>{11, 12, 13}));  // both objects of the pair
}

TEST_F(RemoveDialog, ColumnWidthsComeFromTheListWidth) {
  CRemoveDlg dialog;
  dialog.AddKeyEntry("k", (Id('A')).c_str(), 1, 1);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    const int w = d.RectOf(kList).width;
    ASSERT_GT(w, 100);
    EXPECT_EQ(d.ColumnWidth(kList, 0), (w / 10) * 2);
    EXPECT_EQ(d.ColumnWidth(kList, 1), (w / 10) * 6);
    EXPECT_EQ(d.ColumnWidth(kList, 2), (w / 10) * 2 - 1);
  });
  dialog.DoModal();
}

TEST_F(RemoveDialog, RemoveWithoutASelectionComplainsAndMarksNothing) {
  CRemoveDlg dialog;
  dialog.AddKeyEntry("k", (Id('A')).c_str(), 1, 1);
  dialog.AddKeyEntry("k", (Id('A')).c_str(), 0, 2);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    d.Click(kIdcOk);
    EXPECT_FALSE(d.Ended());
    d.SelectRows(kList, {0});
    d.Click(kIdcCancel);  // "Close"
  });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  ASSERT_EQ(ui.MessageIds(), std::vector<int>{634});
  EXPECT_EQ(ui.messages[0].caption, "");
  EXPECT_EQ(ui.messages[0].icon, MsgIcon::kError);
  for (std::size_t i = 0; i < dialog.EntryCount(); ++i) EXPECT_FALSE(dialog.EntryAt(i).selected);
}

TEST_F(RemoveDialog, HoldsTwentyEntriesAndALaterObjectOfTheSameKindReplaces) {
  CRemoveDlg dialog;
  for (int i = 0; i < 20; ++i)
    EXPECT_TRUE(dialog.AddKeyEntry("k", (std::string(39, 'A') + static_cast<char>('a' + i)).c_str(), 1, i));
  EXPECT_FALSE(dialog.AddKeyEntry("k21", (Id('Z')).c_str(), 1, 21));
  EXPECT_EQ(dialog.EntryCount(), 20u);
  EXPECT_EQ(dialog.Pairs().count(Id('Z')), 0u);

  CRemoveDlg twice;
  twice.AddKeyEntry("first", (Id('A')).c_str(), 1, 1);
  twice.AddKeyEntry("second", (Id('A')).c_str(), 1, 2);
  EXPECT_EQ(twice.Pairs().at(Id('A')).privateIndex, 1);
  EXPECT_EQ(twice.Pairs().at(Id('A')).publicIndex, -1);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    ASSERT_EQ(d.RowCount(kList), 1);
    EXPECT_EQ(d.CellText(kList, 0, 0), "second");
    d.SelectRows(kList, {0});
    d.Click(kIdcOk);
  });
  ASSERT_EQ(twice.DoModal(), kIdOk);
  EXPECT_FALSE(twice.EntryAt(0).selected);
  EXPECT_TRUE(twice.EntryAt(1).selected);
}

// The token layer's rows beyond the dialog's twenty are never marked.
TEST_F(RemoveDialog, HookOffersAtMostTwentyRows) {
  std::vector<KeyRemovalRow> rows(25);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].label = "key " + std::to_string(i);
    rows[i].digest = std::string(38, 'D') + static_cast<char>('A' + i / 10) +
                     static_cast<char>('0' + i % 10);
    rows[i].handle = 100 + i;
    rows[i].selected = true;  // stale marks are cleared
  }
  ui.scripts.push_back([&](ScriptedDialog& d) {
    ASSERT_EQ(d.RowCount(kList), 20);
    std::vector<int> all;
    for (int r = 0; r < 20; ++r) all.push_back(r);
    d.SelectRows(kList, all);
    d.Click(kIdcOk);
  });
  EXPECT_EQ(RunKeyRemovalDialog(rows), kIdOk);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].selected, i < 20) << i;

  ui.scripts.push_back([&](ScriptedDialog& d) { d.PressEscape(); });
  EXPECT_EQ(RunKeyRemovalDialog(rows), kIdCancel);
  for (const auto& r : rows) EXPECT_FALSE(r.selected);
}

// ---------------------------------------------------------------- CSelectReaderDlg

constexpr int kReaders = CSelectReaderDlg::kListId;

std::vector<TokenDevice> Devices(std::initializer_list<const char*> serials) {
  std::vector<TokenDevice> out;
  for (const char* s : serials) {
    TokenDevice d;
    d.serial = s;
    d.readerName = std::string("Reader ") + s;
    out.push_back(d);
  }
  return out;
}

using ReaderDialog = DialogTest;

TEST_F(ReaderDialog, ListsTheDevicesOfItsKindAndPreselectsTheFirst) {
  struct Case {
    int kind;
    const char* type;
  } cases[] = {{kDeviceUsbToken, "Nośnik USB"}, {kDeviceSmartCard, "Karta procesorowa"},
               {kDeviceAny, "Karta procesorowa"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::vector<TokenDevice> devices = Devices({"SN-1", "SN-2"});
    CSelectReaderDlg dialog;
    dialog.SetDeviceKind(c.kind);
    dialog.SetDevices(&devices);
    ui.scripts.push_back([&](ScriptedDialog& d) {
      ASSERT_EQ(d.RowCount(kReaders), 2);
      EXPECT_EQ(d.CellText(kReaders, 0, 0), W(c.type));
      EXPECT_EQ(d.CellText(kReaders, 1, 0), W(c.type));
      EXPECT_EQ(d.CellText(kReaders, 0, 1), "SN-1");
      EXPECT_EQ(d.CellText(kReaders, 1, 1), "SN-2");
      EXPECT_EQ(d.SelectedRows(kReaders), std::vector<int>{0});
      d.PressEnter();  // Accept without a click
    });
    EXPECT_EQ(dialog.DoModal(), kIdOk);
    EXPECT_EQ(dialog.SelectedIndex(), 0);
  }
}

TEST_F(ReaderDialog, LayoutTextsAndColumns) {
  std::vector<TokenDevice> devices = Devices({"A", "B"});
  CSelectReaderDlg dialog;
  dialog.SetDevices(&devices);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    EXPECT_EQ(d.Caption(), "Wybierz czytnik");
    EXPECT_EQ(d.Text(CSelectReaderDlg::kInfoId), W("Proszę wybrać właściwy nośnik lub odłączyć niewykorzystywane urządzenia"));
    EXPECT_EQ(d.Text(CSelectReaderDlg::kRefreshId), W("Odśwież"));
    EXPECT_EQ(d.Text(kIdcOk), W("Zatwierdź"));
    EXPECT_EQ(d.Text(kIdcCancel), "&Anuluj");
    EXPECT_EQ(d.Headings(kReaders), (std::vector<std::string>{W("Typ urządzenia"), "Numer seryjny"}));
    EXPECT_EQ(d.RectOf(CSelectReaderDlg::kRefreshId), (Rect{62, 182, 80, 23}));
    EXPECT_EQ(d.RectOf(kIdcCancel).x, 164);
    EXPECT_EQ(d.RectOf(kIdcCancel).y, 182);
    EXPECT_EQ(d.RectOf(kIdcOk).x, 262);
    EXPECT_EQ(d.RectOf(kIdcOk).y, 182);
    const int w = d.ControlClientSize(kReaders).width;
    EXPECT_EQ(d.ColumnWidth(kReaders, 0), (w / 10) * 6);
    EXPECT_EQ(d.ColumnWidth(kReaders, 1), (w / 10) * 4);
    EXPECT_TRUE(d.Topmost());
    d.SelectRows(kReaders, {1});
    d.Click(kIdcOk);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.SelectedIndex(), 1);
  EXPECT_EQ(ui.dialogs[0].caption, "Wybierz czytnik");
}

TEST_F(ReaderDialog, AcceptWithoutARowComplainsAndCancelGivesNoIndex) {
  std::vector<TokenDevice> devices;
  CSelectReaderDlg dialog;
  dialog.SetDevices(&devices);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    EXPECT_EQ(d.RowCount(kReaders), 0);
    d.Click(kIdcOk);
    EXPECT_FALSE(d.Ended());
    d.Click(kIdcCancel);
  });
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_EQ(dialog.SelectedIndex(), -1);
  ASSERT_EQ(ui.MessageIds(), std::vector<int>{510});
  EXPECT_EQ(ui.messages[0].caption, LoadText(kTitleTextId));
  EXPECT_EQ(ui.messages[0].icon, MsgIcon::kError);
}

TEST_F(ReaderDialog, ShowsAtMostTenDevices) {
  std::vector<TokenDevice> devices =
      Devices({"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"});
  CSelectReaderDlg dialog;
  dialog.SetDevices(&devices);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    EXPECT_EQ(d.RowCount(kReaders), 10);
    d.PressEscape();
  });
  dialog.DoModal();
  EXPECT_EQ(dialog.DeviceCount(), 10);
}

// ---------------------------------------------------------------- through the token layer


class TokenDialogs : public DialogTest {
 protected:
  void SetUp() override {
    settings.Write({std::string("PCSC Library=") + QUENTA_PCSC_DOUBLE,
                    std::string("PKCS11 Module=") + QUENTA_PKCS11_DOUBLE});
    InstallTokenDialogs();
  }
  void TearDown() override {
    CTokenAccess::SetReaderChoiceHook(nullptr);
    CTokenAccess::SetKeyRemovalHook(nullptr);
  }
  void Plug(const char* reader, unsigned long slot) {
    pcsc.AddReader(reader, kPlainAtr);
    p11.AddToken(slot, reader, ("SN" + std::to_string(slot)).c_str(), "1234", "12345678");
  }

  PcscDouble pcsc{QUENTA_PCSC_DOUBLE};
  P11Double p11{QUENTA_PKCS11_DOUBLE};
  MachineSettings settings;
  CTokenAccess token;
};

TEST_F(TokenDialogs, OpenDeviceAsksWhichDeviceAndOpensTheChosenOne) {
  Plug("Gemalto USB Key 00 00", 0x101);
  Plug("Gemalto USB Key 00 01", 0x102);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    EXPECT_EQ(d.ResourceId(), CSelectReaderDlg::kResourceId);
    ASSERT_EQ(d.RowCount(kReaders), 2);
    EXPECT_EQ(d.CellText(kReaders, 1, 1).substr(0, 5), "SN258");
    EXPECT_EQ(d.CellText(kReaders, 0, 0), W("Nośnik USB"));
    d.SelectRows(kReaders, {1});
    d.Click(kIdcOk);
  });
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), 0);
  EXPECT_EQ(slot, 0x102u);
  EXPECT_EQ(ui.dialogs.size(), 1u);
}

TEST_F(TokenDialogs, RefreshListsAgainInTheDialogsMode) {
  Plug("Gemalto USB Key 00 00", 0x101);
  Plug("Gemalto USB Key 00 01", 0x102);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    ASSERT_EQ(d.RowCount(kReaders), 2);
    // The first device unplugged, a smart card plugged in: USB tokens only.
    pcsc.Reset();
    pcsc.AddReader("Gemalto USB Key 00 01", kPlainAtr);
    pcsc.AddReader("Card Reader 00 00", kPlainAtr);
    p11.AddToken(0x103, "Card Reader 00 00", "SN259", "1234", "12345678");
    d.Click(CSelectReaderDlg::kRefreshId);
    ASSERT_EQ(d.RowCount(kReaders), 1);
    EXPECT_EQ(d.CellText(kReaders, 0, 1).substr(0, 5), "SN258");
    EXPECT_EQ(d.SelectedRows(kReaders), std::vector<int>{0});
    d.Click(kIdcOk);
  });
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), 0);
  EXPECT_EQ(slot, 0x102u);  // row 0 of the refreshed list
  EXPECT_EQ(pcsc.OpenContexts(), 0);
}

TEST_F(TokenDialogs, RefreshWithEverythingUnpluggedLeavesNothingToAccept) {
  Plug("Gemalto USB Key 00 00", 0x101);
  Plug("Gemalto USB Key 00 01", 0x102);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    pcsc.Reset();
    d.Click(CSelectReaderDlg::kRefreshId);
    EXPECT_EQ(d.RowCount(kReaders), 0);
    d.Click(kIdcOk);
    EXPECT_FALSE(d.Ended());
    d.Click(kIdcCancel);
  });
  unsigned long slot = 0;
  EXPECT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), kErrCancelled);
  EXPECT_EQ(ui.MessageIds(), std::vector<int>{510});
  EXPECT_EQ(p11.OpenSessions(), 0);
}

TEST_F(TokenDialogs, RemoveTokenKeysDeletesWhatTheDialogMarks) {
  Plug("Gemalto USB Key 00 00", 0x101);
  std::vector<unsigned char> m1(128, 0x11), m2(128, 0x22);
  p11.AddKey(0x101, "pair", m1.data(), m1.size(), 1, 1);
  p11.AddKey(0x101, "other", m2.data(), m2.size(), 1, 0);
  unsigned long slot = 0;
  ASSERT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), 0);
  ASSERT_EQ(token.LoginUser("1234"), 0);
  ui.scripts.push_back([&](ScriptedDialog& d) {
    EXPECT_EQ(d.ResourceId(), CRemoveDlg::kResourceId);
    ASSERT_EQ(d.RowCount(kList), 2);
    for (int r = 0; r < 2; ++r)
      if (d.CellText(kList, r, 0) == "pair") {
        EXPECT_EQ(d.CellText(kList, r, 2), "Para kluczy");
        d.SelectRows(kList, {r});
      }
    d.Click(kIdcOk);
  });
  std::string text;
  ASSERT_EQ(token.RemoveTokenKeys(text), 0);
  EXPECT_EQ(text.size(), 41u);
  EXPECT_EQ(p11.ObjectCount(0x101), 1);
}

}  // namespace
