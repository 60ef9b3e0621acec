// A user interface for tests: records every message box, file dialog,
// modal dialog and printed page the code under test opens, answers message
// boxes and file dialogs from scripted queues, and runs each dialog against
// the next scripted sequence of user actions.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/dialog_logic.h"
#include "dialogs/ui.h"
#include "tests/support/scripted_dialog.h"

namespace quenta_test {

// What a test does with one dialog while it is open. When the script
// returns and the dialog is still open, it is closed with its close box
// (and, if it refuses, ended with IDCANCEL and marked forced).
using DialogScript = std::function<void(ScriptedDialog&)>;

struct DialogRecord {
  int resourceId = 0;
  std::string caption;    // when the dialog ended
  int endValue = 0;
  bool scripted = false;  // a script ran for it
  bool forced = false;    // it would not close and was ended from outside
};

class ScriptedUi : public quenta::IUserInterface {
 public:
  ScriptedUi() { previous_ = quenta::SetCurrentUi(this); }
  ~ScriptedUi() override { quenta::SetCurrentUi(previous_); }
  ScriptedUi(const ScriptedUi&) = delete;
  ScriptedUi& operator=(const ScriptedUi&) = delete;

  int ShowMessage(const quenta::MessageRequest& r) override {
    messages.push_back(r);
    if (answers.empty()) return quenta::kIdOk;
    int a = answers.front();
    answers.pop_front();
    return a;
  }

  bool ChooseFileToOpen(const quenta::OpenFileRequest& r, std::string& path) override {
    fileRequests.push_back(r);
    if (files.empty() || !files.front()) {
      if (!files.empty()) files.pop_front();
      return false;
    }
    path = *files.front();
    files.pop_front();
    return true;
  }

  int RunDialog(quenta::CDialogLogic& logic) override {
    const quenta::DialogTemplate& t = logic.PrepareTemplate();
    ScriptedDialog dialog(logic, t);
    const std::size_t at = dialogs.size();
    dialogs.push_back(DialogRecord{t.resourceId, t.caption, 0, false, false});
    dialog.Start();
    if (!dialog.Ended()) {
      DialogScript script;
      if (!scripts.empty()) {
        script = std::move(scripts.front());
        scripts.pop_front();
      }
      if (script) {
        dialogs[at].scripted = true;
        script(dialog);
      }
      if (!dialog.Ended()) dialog.CloseBox();
      if (!dialog.Ended()) {
        dialog.ForceEnd(quenta::kIdCancel);
        dialogs[at].forced = true;
      }
    }
    dialogs[at].caption = dialog.Caption();
    dialogs[at].endValue = dialog.EndValue();
    dialog.Finish();
    return dialog.EndValue();
  }

  int PrintPage(const quenta::PrintRequest& r) override {
    printRequests.push_back(r);
    if (printAnswers.empty()) return quenta::kPrintCancelled;
    int a = printAnswers.front();
    printAnswers.pop_front();
    return a;
  }

  std::vector<int> MessageIds() const {
    std::vector<int> ids;
    for (const auto& m : messages) ids.push_back(m.textId);
    return ids;
  }

  std::vector<quenta::MessageRequest> messages;
  std::deque<int> answers;                         // empty: OK
  std::vector<quenta::OpenFileRequest> fileRequests;
  std::deque<std::optional<std::string>> files;    // nullopt or empty queue: Cancel
  std::deque<DialogScript> scripts;                // one per dialog, in the order they open
  std::vector<DialogRecord> dialogs;               // in the order they opened
  std::vector<quenta::PrintRequest> printRequests;
  std::deque<int> printAnswers;                    // empty: cancelled

 private:
  quenta::IUserInterface* previous_ = nullptr;
};

}  // namespace quenta_test
