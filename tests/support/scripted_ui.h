// A user interface for tests: records every message box and file dialog the
// code under test opens and answers them from scripted queues.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/ui.h"

namespace quenta_test {

class ScriptedUi : public quenta::IUserInterface {
 public:
  ScriptedUi() { previous_ = quenta::SetCurrentUi(this); }
  ~ScriptedUi() override { quenta::SetCurrentUi(previous_); }

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

  std::vector<int> MessageIds() const {
    std::vector<int> ids;
    for (const auto& m : messages) ids.push_back(m.textId);
    return ids;
  }

  std::vector<quenta::MessageRequest> messages;
  std::deque<int> answers;                         // empty: OK
  std::vector<quenta::OpenFileRequest> fileRequests;
  std::deque<std::optional<std::string>> files;    // nullopt or empty queue: Cancel

 private:
  quenta::IUserInterface* previous_ = nullptr;
};

}  // namespace quenta_test
