// The seam between the engine and whatever shows things to the user.
// The engine and the dialog logic never talk to a toolkit directly: message
// boxes, the open-file dialog, modal dialogs and printing all go through the
// current IUserInterface. The toolkit adapter installs the real one; tests
// install a scripted one that records what was shown and answers it.
#pragma once

#include <string>
#include <vector>

namespace quenta {

class CDialogLogic;

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

// One printed page made of text blocks drawn from the top of the printable
// area (inset by the margin), one below the other.
struct PrintBlock {
  std::string text;          // Windows-1250
  bool centredLine = false;  // one line centred horizontally; otherwise word-wrapped
};

struct PrintRequest {
  std::string documentName;           // Windows-1250, the print job's name
  std::string fontFace = "Arial";     // requested face; the adapter falls back explicitly
  int pointSize = 12;
  int marginDeviceUnits = 50;         // inset of the printable area on every side
  std::vector<PrintBlock> blocks;
};

enum PrintOutcome { kPrintDone = 0, kPrintCancelled = 1, kPrintFailed = 2 };

class IUserInterface {
 public:
  virtual ~IUserInterface() = default;
  // Shows a modal message box and returns the MsgAnswer of the button pressed.
  virtual int ShowMessage(const MessageRequest& request) = 0;
  // Shows the file-open dialog. Returns true and the chosen path on OK.
  virtual bool ChooseFileToOpen(const OpenFileRequest& request, std::string& path) = 0;
  // Runs a dialog modally: builds a window from the dialog's template,
  // delivers its events to the dialog and returns the value the dialog
  // ended with. An interface that cannot show dialogs returns kIdCancel
  // without initialising the dialog.
  virtual int RunDialog(CDialogLogic& dialog);
  // Shows the print dialog and prints one page. kPrintCancelled when the
  // user declined (or printing is not available here).
  virtual int PrintPage(const PrintRequest& request);
};

// The interface in force. Never null: until a toolkit adapter or a test
// installs one, a console fallback writes messages to standard error and
// answers every question with its default (OK / Cancel for a file or dialog).
IUserInterface& CurrentUi();
// Installs ui (not owned) and returns the previous one; null restores the fallback.
IUserInterface* SetCurrentUi(IUserInterface* ui);
// The interface installed with SetCurrentUi, or null while the fallback is in force.
IUserInterface* InstalledUi();

}  // namespace quenta
