#include "dialogs/ui.h"

#include <cstdio>

#include "dialogs/dialog_logic.h"

namespace quenta {

int IUserInterface::RunDialog(CDialogLogic&) { return kIdCancel; }

int IUserInterface::PrintPage(const PrintRequest&) { return kPrintCancelled; }

namespace {

class ConsoleUi : public IUserInterface {
 public:
  int ShowMessage(const MessageRequest& r) override {
    std::fprintf(stderr, "[message %d] %s\n", r.textId, r.text.c_str());
    return r.buttons == MsgButtons::kYesNo ? kIdNo
           : r.buttons == MsgButtons::kOkCancel ? kIdCancel
                                                : kIdOk;
  }
  bool ChooseFileToOpen(const OpenFileRequest&, std::string&) override { return false; }
  int RunDialog(CDialogLogic& dialog) override {
    std::fprintf(stderr, "[dialog %d] no display; cancelled\n", dialog.ResourceId());
    return kIdCancel;
  }
};

ConsoleUi g_console;
IUserInterface* g_current = nullptr;

}  // namespace

IUserInterface& CurrentUi() { return g_current ? *g_current : g_console; }

IUserInterface* SetCurrentUi(IUserInterface* ui) {
  IUserInterface* old = g_current;
  g_current = ui;
  return old;
}

IUserInterface* InstalledUi() { return g_current; }

}  // namespace quenta
