#include "platform/wx/wx_ui.h"

#include <cstdio>

#include <wx/filedlg.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>

#include "dialogs/dialog_logic.h"
#include "dialogs/password_dlg.h"
#include "engine/system_cert_store.h"
#include "platform/wx/module_ui.h"
#include "platform/wx/wx_app.h"
#include "platform/wx/wx_dialog_view.h"
#include "platform/wx/wx_text.h"

namespace quenta {

namespace {

long MessageStyle(const MessageRequest& r) {
  long style = wxCENTRE;
  switch (r.buttons) {
    case MsgButtons::kOk: style |= wxOK; break;
    case MsgButtons::kOkCancel: style |= wxOK | wxCANCEL; break;
    case MsgButtons::kYesNo: style |= wxYES_NO; break;
  }
  switch (r.icon) {
    case MsgIcon::kNone: style |= wxICON_NONE; break;
    case MsgIcon::kError: style |= wxICON_ERROR; break;
    case MsgIcon::kWarning: style |= wxICON_WARNING; break;
    case MsgIcon::kQuestion: style |= wxICON_QUESTION; break;
    case MsgIcon::kInformation: style |= wxICON_INFORMATION; break;
  }
  return style;
}

int ConsoleAnswer(const MessageRequest& r) {
  std::fprintf(stderr, "[message %d] %s\n", r.textId, r.text.c_str());
  return r.buttons == MsgButtons::kYesNo ? kIdNo
         : r.buttons == MsgButtons::kOkCancel ? kIdCancel
                                              : kIdOk;
}

// "Desc (*.ext)|*.ext|All (*.*)|*.*||" as wx wants it: no trailing bars.
wxString Wildcard(const std::string& filter) {
  std::string f = filter;
  while (!f.empty() && f.back() == '|') f.pop_back();
  return f.empty() ? wxString(wxFileSelectorDefaultWildcardStr) : ToWx(f);
}

}  // namespace

int WxUserInterface::ShowMessage(const MessageRequest& r) {
  if (!EnsureWxApp()) return ConsoleAnswer(r);
  // The generic box: GTK's own no longer shows the error and warning icons.
  wxGenericMessageDialog box(WxDialogView::Innermost(), ToWx(r.text), ToWx(r.caption),
                             MessageStyle(r));
  switch (box.ShowModal()) {
    case wxID_OK: return kIdOk;
    case wxID_YES: return kIdYes;
    case wxID_NO: return kIdNo;
    default: return r.buttons == MsgButtons::kYesNo ? kIdNo : kIdCancel;
  }
}

bool WxUserInterface::ChooseFileToOpen(const OpenFileRequest& r, std::string& path) {
  if (!EnsureWxApp()) return false;
  wxFileDialog dialog(WxDialogView::Innermost(), wxFileSelectorPromptStr, wxEmptyString,
                      ToWx(r.initialName), Wildcard(r.filter), wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return false;
  // The path as the file system spells it.
  path = std::string(dialog.GetPath().fn_str());
  return !path.empty();
}

int WxUserInterface::RunDialog(CDialogLogic& logic) {
  if (!EnsureWxApp()) {
    std::fprintf(stderr, "[dialog %d] no display; cancelled\n", logic.ResourceId());
    return kIdCancel;
  }
  const DialogTemplate& t = logic.PrepareTemplate();
  WxDialogView view(WxDialogView::Innermost(), logic, t);
  return view.Run();
}

namespace {

WxUserInterface* g_moduleUi = nullptr;
IUserInterface* g_previousUi = nullptr;

}  // namespace

void InstallModuleUi() {
  if (g_moduleUi || InstalledUi()) return;
  static WxUserInterface ui;
  g_moduleUi = &ui;
  g_previousUi = SetCurrentUi(&ui);
  // A password-protected certificate database is unlocked through the
  // password dialog, like every other secret.
  if (!CSystemCertStore::PasswordPrompt())
    CSystemCertStore::SetPasswordPrompt(&CPasswordDialog::PasswordCallback);
}

void ShutdownModuleUi() {
  if (g_moduleUi) {
    if (InstalledUi() == g_moduleUi) SetCurrentUi(g_previousUi);
    g_moduleUi = nullptr;
    g_previousUi = nullptr;
  }
  ShutdownWxApp();
}

}  // namespace quenta
