// Printing one page of text blocks through the system print dialog.
#include <algorithm>
#include <vector>

#include <wx/gtk/print.h>
#include <wx/print.h>
#include <wx/printdlg.h>
#include <wx/filename.h>

#include "dialogs/puk_print.h"
#include "platform/wx/gtk_glue.h"
#include "platform/wx/wx_app.h"
#include "platform/wx/wx_dialog_view.h"
#include "platform/wx/wx_text.h"
#include "platform/wx/wx_ui.h"

namespace quenta {

namespace {

// Breaks a text into lines no wider than width at spaces (a word wider than
// the line stands alone); line breaks in the text are kept.
std::vector<wxString> WrapLines(wxDC& dc, const wxString& text, int width) {
  std::vector<wxString> lines;
  wxString paragraph;
  auto flush = [&](const wxString& p) {
    wxString line;
    wxString word;
    auto place = [&]() {
      if (word.empty()) return;
      const wxString candidate = line.empty() ? word : line + wxT(" ") + word;
      if (!line.empty() && dc.GetTextExtent(candidate).x > width) {
        lines.push_back(line);
        line = word;
      } else {
        line = candidate;
      }
      word.clear();
    };
    for (wxUniChar c : p) {
      if (c == ' ') place();
      else word += c;
    }
    place();
    lines.push_back(line);
  };
  for (wxUniChar c : text) {
    if (c == '\n') {
      flush(paragraph);
      paragraph.clear();
    } else if (c != '\r') {
      paragraph += c;
    }
  }
  flush(paragraph);
  return lines;
}

class PagePrintout : public wxPrintout {
 public:
  explicit PagePrintout(const PrintRequest& r) : wxPrintout(ToWx(r.documentName)), request_(r) {}
  // The page may carry a secret (the PUK sheet): our copy is wiped.
  ~PagePrintout() override { WipePrintRequest(request_); }

  bool HasPage(int page) override { return page == 1; }
  void GetPageInfo(int* minPage, int* maxPage, int* from, int* to) override {
    *minPage = *maxPage = *from = *to = 1;
  }

  bool OnPrintPage(int) override {
    wxDC* dc = GetDC();
    if (!dc || !dc->IsOk()) return false;
    const wxSize page = dc->GetSize();
    const int m = request_.marginDeviceUnits;
    const wxRect area(m, m, std::max(1, page.x - 2 * m), std::max(1, page.y - 2 * m));
    dc->SetFont(FontFor(request_.fontFace, request_.pointSize));
    dc->SetTextForeground(*wxBLACK);
    dc->SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    const int lineHeight = dc->GetCharHeight();
    int y = area.y;
    for (const PrintBlock& block : request_.blocks) {
      const wxString text = ToWx(block.text);
      if (block.centredLine) {
        const int w = dc->GetTextExtent(text).x;
        dc->DrawText(text, area.x + std::max(0, (area.width - w) / 2), y);
        y += lineHeight;
        continue;
      }
      for (const wxString& line : WrapLines(*dc, text, area.width)) {
        dc->DrawText(line, area.x, y);
        y += lineHeight;
      }
    }
    return true;
  }

 private:
  PrintRequest request_;
};

}  // namespace

int WxUserInterface::PrintPage(const PrintRequest& r) {
  if (!EnsureWxApp()) return kPrintCancelled;
  wxPrintDialogData data;
  data.SetAllPages(true);
  data.SetMinPage(1);
  data.SetMaxPage(1);
  data.SetFromPage(1);
  data.SetToPage(1);
  data.EnablePageNumbers(false);
  data.EnableSelection(false);
  data.EnablePrintToFile(false);
  if (!printToFile_.empty()) {
    wxPrintData& print = data.GetPrintData();
    print.SetPrinterName(wxT("Print to File"));
    print.ConvertToNative();
    if (auto* native = dynamic_cast<wxGtkPrintNativeData*>(print.GetNativeData())) {
      const wxString uri = wxFileName::FileNameToURL(wxFileName(wxString::FromUTF8(printToFile_)));
      gtk_print_settings_set(native->GetPrintConfig(), "output-uri", uri.utf8_str());
      gtk_print_settings_set(native->GetPrintConfig(), "output-file-format", "pdf");
    }
  }
  wxPrinter printer(&data);
  PagePrintout printout(r);
  if (printer.Print(WxDialogView::Innermost(), &printout, true)) return kPrintDone;
  return wxPrinter::GetLastError() == wxPRINTER_CANCELLED ? kPrintCancelled : kPrintFailed;
}

}  // namespace quenta
