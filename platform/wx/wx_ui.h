// The user interface of the module on wxWidgets: message boxes, the
// file-open dialog, modal dialogs built from the dialog logic, printing.
// Without a display everything falls back to the console answers.
#pragma once

#include <string>

#include "dialogs/ui.h"

namespace quenta {

class WxUserInterface : public IUserInterface {
 public:
  int ShowMessage(const MessageRequest& request) override;
  bool ChooseFileToOpen(const OpenFileRequest& request, std::string& path) override;
  int RunDialog(CDialogLogic& dialog) override;
  int PrintPage(const PrintRequest& request) override;

  // Test hook: PrintPage then offers the print dialog preset to write a PDF
  // to this file (empty: the user's own choice).
  void SetPrintToFile(const std::string& pdfPath) { printToFile_ = pdfPath; }

 private:
  std::string printToFile_;
};

}  // namespace quenta
