// The seam between the engine and whatever shows things to the user.
// The engine never talks to a toolkit directly: message boxes, the open-file
// dialog and the secret prompts all go through the current IUserInterface.
// The toolkit adapter installs the real one; tests install a scripted one
// that records what was shown and answers it.
#pragma once

#include <string>

namespace quenta {

enum class MsgIcon { kNone, kError, kWarning, kQuestion, kInformation };
enum class MsgButtons { kOk, kOkCancel, kYesNo };

// Answers as the Windows message box gives them, which the logic compares to.
enum MsgAnswer { kIdOk = 1, kIdCancel = 2, kIdYes = 6, kIdNo = 7 };

struct MessageRequest {
  int textId = 0;          // text table id of the main text, 0 when composed
  std::string text;        // Windows-1250 text as shown
  std::string caption;     // Windows-1250 caption
  MsgIcon icon = MsgIcon::kError;
  MsgButtons buttons = MsgButtons::kOk;
};

struct OpenFileRequest {
  std::string defaultExtension;  // without the dot, may be empty
  std::string initialName;       // Windows-1250
  std::string filter;            // "Desc (*.ext)|*.ext|All (*.*)|*.*||", may be empty
};

class IUserInterface {
 public:
  virtual ~IUserInterface() = default;
  // Shows a modal message box and returns the MsgAnswer of the button pressed.
  virtual int ShowMessage(const MessageRequest& request) = 0;
  // Shows the file-open dialog. Returns true and the chosen path on OK.
  virtual bool ChooseFileToOpen(const OpenFileRequest& request, std::string& path) = 0;
};

// The interface in force. Never null: until a toolkit adapter or a test
// installs one, a console fallback writes messages to standard error and
// answers every question with its default (OK / Cancel for a file).
IUserInterface& CurrentUi();
// Installs ui (not owned) and returns the previous one; null restores the fallback.
IUserInterface* SetCurrentUi(IUserInterface* ui);

}  // namespace quenta
