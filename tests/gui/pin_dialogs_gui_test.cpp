// The PIN dialogs, the reader choice and the key removal dialog in real
// windows, and the PUK sheet printed through the system print dialog into
// a PDF file whose text is read back with pdftotext.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <wx/button.h>
#include <wx/listctrl.h>
#include <wx/textctrl.h>

#include "dialogs/pin_dlg.h"
#include "dialogs/remove_dlg.h"
#include "dialogs/select_reader_dlg.h"
#include "engine/keys_storage.h"
#include "platform/wx/gtk_glue.h"
#include "plugin/texts.h"
#include "tests/gui/gui_support.h"

// The few GTK calls that find the print dialog, which is GTK's own window.
extern "C" {
struct QuentaGList {
  void* data;
  QuentaGList* next;
  QuentaGList* prev;
};
QuentaGList* gtk_window_list_toplevels(void);
QuentaGType gtk_print_unix_dialog_get_type(void);
int gtk_widget_get_mapped(void* widget);
void gtk_window_get_position(void* window, int* x, int* y);
void gtk_window_get_size(void* window, int* width, int* height);
}

namespace {

using namespace quenta;
using quenta_gui::GuiTest;
using quenta_gui::Pump;
using quenta_gui::Settle;

// The GTK print dialog while it is on screen, else null.
void* OpenPrintDialog() {
  void* found = nullptr;
  QuentaGList* all = gtk_window_list_toplevels();
  for (QuentaGList* l = all; l; l = l->next)
    if (gtk::IsA(l->data, gtk_print_unix_dialog_get_type()) && gtk_widget_get_mapped(l->data))
      found = l->data;
  // GLib comes with GTK; the tests are not linked against it by name.
  using FreeList = void (*)(QuentaGList*);
  if (auto freeList = reinterpret_cast<FreeList>(::dlsym(RTLD_DEFAULT, "g_list_free"))) freeList(all);
  return found;
}

std::string Collapse(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f';
    if (space) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

// The real interface answering message boxes from a queue (OK when empty).
class AnsweringUi : public quenta_gui::RecordingWxUi {
 public:
  int ShowMessage(const MessageRequest& r) override {
    messages.push_back(r);
    if (answers.empty()) return kIdOk;
    const int a = answers.front();
    answers.pop_front();
    return a;
  }
  std::deque<int> answers;
};

class PinWindow : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    if (IsSkipped()) return;
    previous_ = SetCurrentUi(&answering_);
  }
  void TearDown() override {
    if (previous_) SetCurrentUi(previous_);
    SelectLanguage(0);
    GuiTest::TearDown();
  }
  static wxString Value(WxDialogView& v, int id) {
    auto* edit = dynamic_cast<wxTextCtrl*>(v.ControlWindow(id));
    return edit ? edit->GetValue() : wxString();
  }

  AnsweringUi answering_;
  IUserInterface* previous_ = nullptr;
};

TEST_F(PinWindow, ChangePinStopsAtTheLimitsAndReturnAccepts) {
  CPinDlg dialog;
  dialog.SetMode(kPinModeChangePin);
  WhenOpen(CPinDlg::kResourceId, [&](WxDialogView& v) {
    EXPECT_EQ(v.GetTitle(), wxString::FromUTF8("Zmień PIN"));
    TypeInto(v, CPinDlg::kFirstEditId, "12345");
    EXPECT_EQ(Value(v, CPinDlg::kFirstEditId), "1234");
    TypeInto(v, CPinDlg::kNewEditId, "ab");
    TypeInto(v, CPinDlg::kRepeatEditId, "ab");
    ClickControl(v, kIdcOk);
    EXPECT_EQ(answering_.MessageIds(), std::vector<int>{CPinDlg::kTextPinTooShort});
    TypeInto(v, CPinDlg::kNewEditId, "cd");
    TypeInto(v, CPinDlg::kRepeatEditId, "cd");
    Screenshot(v, "pin_change_polish");
    Key(WXK_RETURN);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_STREQ(dialog.FirstCode().c_str(), "1234");
  EXPECT_STREQ(dialog.NewCode().c_str(), "abcd");
}

TEST_F(PinWindow, UnblockThroughTheCallback) {
  SelectLanguage(1);
  char puk[kPinBufferSize], pin[kPinBufferSize];
  WhenOpen(CPinDlg::kResourceId, [&](WxDialogView& v) {
    EXPECT_EQ(v.GetTitle(), "Unblock USB device");
    TypeInto(v, CPinDlg::kFirstEditId, "123456789");
    EXPECT_EQ(Value(v, CPinDlg::kFirstEditId), "12345678");
    TypeInto(v, CPinDlg::kNewEditId, "4321");
    TypeInto(v, CPinDlg::kRepeatEditId, "4321");
    Screenshot(v, "pin_unblock_token_english");
    Key(WXK_RETURN);
  });
  EXPECT_EQ(CPinDlg::PinPukCallback(kPinModeUnblockToken, puk, pin), kIdOk);
  EXPECT_STREQ(puk, "12345678");
  EXPECT_STREQ(pin, "4321");
}

// The whole way of the PUK sheet: the initialisation dialog, Yes to the
// question, the system print dialog confirmed with Return, one PDF page.
TEST_F(PinWindow, PukSheetPrintsToAPdfPage) {
  quenta_test::TempDir out;
  const std::string pdf = out.File("puk.pdf");
  answering_.SetPrintToFile(pdf);
  answering_.answers.push_back(kIdYes);

  bool printDialogSeen = false;
  wxTimer confirm;
  confirm.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    void* print = OpenPrintDialog();
    if (!print || printDialogSeen) return;
    printDialogSeen = true;
    Settle(300);
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(print, &x, &y);
    gtk_window_get_size(print, &w, &h);
    sim_.MouseMove(x + w / 2, y + h / 2);  // keys go to the window under the pointer
    Settle(50);
    quenta_test::RunCommand("mkdir -p '" QUENTA_BINARY_DIR "/screenshots' && import -window root '" QUENTA_BINARY_DIR
                            "/screenshots/puk_print_dialog.png'");
    sim_.Char(WXK_RETURN);
  });
  confirm.Start(100);

  CPinPukDlg dialog;
  WhenOpen(CPinPukDlg::kResourceId, [&](WxDialogView& v) {
    EXPECT_EQ(v.GetTitle(), wxString::FromUTF8("Inicjalizacja karty / nośnika USB"));
    TypeInto(v, CPinPukDlg::kPukEditId, "12345678");
    TypeInto(v, CPinPukDlg::kPukRepeatEditId, "12345678");
    TypeInto(v, CPinPukDlg::kPinEditId, "12345");
    EXPECT_EQ(Value(v, CPinPukDlg::kPinEditId), "1234");
    TypeInto(v, CPinPukDlg::kPinRepeatEditId, "1234");
    Screenshot(v, "pin_puk_initialisation_polish");
    ClickControl(v, kIdcOk);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  confirm.Stop();
  EXPECT_TRUE(printDialogSeen);
  EXPECT_EQ(answering_.MessageIds(), std::vector<int>{CPinPukDlg::kTextPrintQuestion});
  EXPECT_EQ(dialog.LastPrintOutcome(), kPrintDone);
  ASSERT_TRUE(Pump([&] { return quenta_test::ReadFile(pdf).size() > 100; }, 10000)) << pdf;
  Settle(300);

  std::string info;
  ASSERT_EQ(quenta_test::RunCommand("pdfinfo '" + pdf + "'", &info), 0);
  const std::size_t pages = info.find("Pages:");
  ASSERT_NE(pages, std::string::npos) << info;
  EXPECT_EQ(std::stoi(info.substr(pages + 6)), 1) << info;

  std::string text;
  ASSERT_EQ(quenta_test::RunCommand("pdftotext '" + pdf + "' -", &text), 0);
  text = Collapse(text);
  const std::vector<std::string> expected = {
      "Poniżej znajduje się Twój kod PUK. Przechowuj go w bezpiecznym miejscu: kod PUK służy do "
      "odblokowania kodu PIN po pięciokrotnym z rzędu wprowadzeniu błędnego kodu PIN.",
      "TWÓJ KOD PUK: 12345678",
      "Nie przechowuj kodów PIN i PUK razem z kartą ani z nośnikiem USB. Ten wydruk przechowuj w "
      "bezpiecznym miejscu, z dala od urządzenia."};
  std::size_t at = 0;
  for (const std::string& part : expected) {
    const std::size_t found = text.find(part, at);
    EXPECT_NE(found, std::string::npos) << "missing or out of order: " << part << "\nin: " << text;
    if (found != std::string::npos) at = found + part.size();
  }

  // The PUK line is centred: its words' box lies evenly between the edges.
  std::string boxes;
  ASSERT_EQ(quenta_test::RunCommand("pdftotext -bbox '" + pdf + "' -", &boxes), 0);
  auto attribute = [&](std::size_t from, const char* name) {
    const std::size_t p = boxes.find(std::string(name) + "=\"", from);
    return p == std::string::npos ? -1.0 : std::stod(boxes.substr(p + std::strlen(name) + 2));
  };
  const double pageWidth = attribute(boxes.find("<page"), "width");
  const std::size_t first = boxes.find(">TWÓJ<");
  const std::size_t last = boxes.find(">12345678<");
  ASSERT_NE(first, std::string::npos) << boxes;
  ASSERT_NE(last, std::string::npos) << boxes;
  const double left = attribute(boxes.rfind("<word", first), "xMin");
  const double right = attribute(boxes.rfind("<word", last), "xMax");
  EXPECT_NEAR((left + right) / 2, pageWidth / 2, 3.0) << left << " " << right << " " << pageWidth;
}

TEST_F(PinWindow, PrintDialogCancelledStillClosesWithOk) {
  quenta_test::TempDir out;
  const std::string pdf = out.File("none.pdf");
  answering_.SetPrintToFile(pdf);
  answering_.answers.push_back(kIdYes);
  bool printDialogSeen = false;
  wxTimer cancel;
  cancel.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    void* print = OpenPrintDialog();
    if (!print || printDialogSeen) return;
    printDialogSeen = true;
    Settle(300);
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(print, &x, &y);
    gtk_window_get_size(print, &w, &h);
    sim_.MouseMove(x + w / 2, y + h / 2);
    Settle(50);
    sim_.Char(WXK_ESCAPE);
  });
  cancel.Start(100);
  CPinPukDlg dialog;
  WhenOpen(CPinPukDlg::kResourceId, [&](WxDialogView& v) {
    TypeInto(v, CPinPukDlg::kPukEditId, "abcdefgh");
    TypeInto(v, CPinPukDlg::kPukRepeatEditId, "abcdefgh");
    TypeInto(v, CPinPukDlg::kPinEditId, "wxyz");
    TypeInto(v, CPinPukDlg::kPinRepeatEditId, "wxyz");
    Key(WXK_RETURN);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  cancel.Stop();
  EXPECT_TRUE(printDialogSeen);
  EXPECT_EQ(dialog.LastPrintOutcome(), kPrintCancelled);
  Settle(300);
  EXPECT_TRUE(quenta_test::ReadFile(pdf).empty());
  EXPECT_STREQ(dialog.Puk().c_str(), "abcdefgh");
}

// ---------------------------------------------------------------- lists

class ListWindow : public PinWindow {
 protected:
  void ClickRow(WxDialogView& v, int id, int row) {
    auto* list = dynamic_cast<wxListCtrl*>(v.ControlWindow(id));
    ASSERT_NE(list, nullptr);
    wxRect r;
    ASSERT_TRUE(list->GetItemRect(row, r));
    // Item rectangles are in the list's client area, header included.
    ClickAt(*list, r.x + 20, r.y + r.height / 2);
  }
};

TEST_F(ListWindow, ReaderChoiceButtonsListAndAccept) {
  std::vector<TokenDevice> devices(2);
  devices[0].serial = "SN-0001";
  devices[1].serial = "SN-0002";
  CSelectReaderDlg dialog;
  dialog.SetDeviceKind(kDeviceUsbToken);
  dialog.SetDevices(&devices);
  WhenOpen(CSelectReaderDlg::kResourceId, [&](WxDialogView& v) {
    EXPECT_EQ(v.GetTitle(), "Wybierz czytnik");
    wxWindow* refresh = v.ControlWindow(CSelectReaderDlg::kRefreshId);
    ASSERT_NE(refresh, nullptr);
    EXPECT_EQ(refresh->GetPosition(), wxPoint(62, 182));
    EXPECT_EQ(v.ControlWindow(kIdcCancel)->GetPosition(), wxPoint(164, 182));
    EXPECT_EQ(v.ControlWindow(kIdcOk)->GetPosition(), wxPoint(262, 182));
    EXPECT_EQ(v.RowCount(CSelectReaderDlg::kListId), 2);
    EXPECT_EQ(v.SelectedRows(CSelectReaderDlg::kListId), std::vector<int>{0});
    EXPECT_EQ(v.CellText(CSelectReaderDlg::kListId, 1, 1), "SN-0002");
    ClickRow(v, CSelectReaderDlg::kListId, 1);
    EXPECT_EQ(v.SelectedRows(CSelectReaderDlg::kListId), std::vector<int>{1});
    Screenshot(v, "select_reader_polish");
    ClickControl(v, kIdcOk);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_EQ(dialog.SelectedIndex(), 1);
}

TEST_F(ListWindow, KeyRemovalMarksThePickedPair) {
  CRemoveDlg dialog;
  const std::string a(40, 'A'), b(40, 'B');
  dialog.AddKeyEntry("Klucz \xB3\xF3" "d\xBF", b.c_str(), 0, 21);
  dialog.AddKeyEntry("Klucz \xB3\xF3" "d\xBF", b.c_str(), 1, 22);
  dialog.AddKeyEntry("zapasowy", a.c_str(), 0, 23);
  WhenOpen(CRemoveDlg::kResourceId, [&](WxDialogView& v) {
    EXPECT_EQ(v.GetTitle(), "Usuwanie kluczy");
    ASSERT_EQ(v.RowCount(CRemoveDlg::kListId), 2);
    EXPECT_EQ(v.CellText(CRemoveDlg::kListId, 1, 2), "Para kluczy");
    ClickControl(v, kIdcOk);
    EXPECT_EQ(answering_.MessageIds(), std::vector<int>{CRemoveDlg::kTextSelectKeys});
    ClickRow(v, CRemoveDlg::kListId, 1);
    Screenshot(v, "remove_keys_polish");
    ClickControl(v, kIdcOk);
  });
  EXPECT_EQ(dialog.DoModal(), kIdOk);
  EXPECT_FALSE(dialog.EntryAt(2).selected);
  EXPECT_TRUE(dialog.EntryAt(0).selected);
  EXPECT_TRUE(dialog.EntryAt(1).selected);
}

}  // namespace
