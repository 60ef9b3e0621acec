#include "dialogs/password_dlg.h"

#include <cstring>

#include "dialogs/keyboard_dlg.h"
#include "engine/keys_storage.h"
#include "plugin/texts.h"

namespace quenta {

CPasswordDialog::CPasswordDialog(void*) : CDialogLogic(kResourceId) {}

CPasswordDialog::~CPasswordDialog() = default;

int CPasswordDialog::CaptionId() const {
  return PinMode() ? kTextPinCaption : kTextPasswordCaption;
}

DialogTemplate CPasswordDialog::CreateTemplate() {
  DialogTemplate t;
  t.resourceId = kResourceId;
  const Rect frame = DluRect(0, 0, 200, 63);
  t.clientSize = {frame.width, frame.height};
  t.closeBox = true;

  ControlDef prompt;
  prompt.id = kPromptId;
  prompt.kind = ControlKind::kStatic;
  prompt.rect = DluRect(7, 7, 186, 8);
  t.controls.push_back(prompt);

  ControlDef edit;
  edit.id = kEditId;
  edit.kind = ControlKind::kEdit;
  edit.rect = DluRect(7, 19, 164, 12);
  edit.style = kStylePassword;
  t.controls.push_back(edit);

  ControlDef keyboard;
  keyboard.id = kKeyboardButtonId;
  keyboard.kind = ControlKind::kIconButton;
  keyboard.rect = DluRect(175, 18, 18, 14);
  keyboard.iconId = kIconKeyboard;
  t.controls.push_back(keyboard);

  ControlDef ok;
  ok.id = kIdcOk;
  ok.kind = ControlKind::kPushButton;
  ok.rect = DluRect(45, 40, 50, 14);
  ok.style = kStyleDefault;
  ok.text = LoadText(kTextOk);
  t.controls.push_back(ok);

  ControlDef cancel;
  cancel.id = kIdcCancel;
  cancel.kind = ControlKind::kPushButton;
  cancel.rect = DluRect(105, 40, 50, 14);
  cancel.text = LoadText(kTextCancel);
  t.controls.push_back(cancel);
  return t;
}

void CPasswordDialog::OnInitDialog() {
  IDialogView& v = View();
  if (PinMode()) prompt_ = LoadText(kTextPinPrompt);
  else if (mode_ == kPasswordModeLogon) prompt_ = LoadText(kTextLogonPrompt);
  else prompt_ = LoadText(kTextKeyPrompt) + " " + keyName_;
  v.SetText(kPromptId, prompt_);

  if (PinMode()) v.SetTypingLimit(kEditId, kPinLength);

  v.SetCaption(LoadText(CaptionId()));
  v.SetIcon(kKeyboardButtonId, kIconKeyboard);
  v.SetText(kIdcCancel, LoadText(kTextCancel));
  v.SetText(kIdcOk, LoadText(kTextOk));

  FitPrompt();
  v.SetMasked(kEditId, true);
  v.SetFocus(kEditId);
}

// The prompt gets one or two lines as its text needs; the edit, the keyboard
// button and the buttons follow below it, and the window ends below those.
void CPasswordDialog::FitPrompt() {
  IDialogView& v = View();
  const int line = v.LineHeight(kEditId);
  Rect prompt = v.ControlRect(kPromptId);
  const bool twoLines = v.MeasureText(kEditId, prompt_).width > prompt.width;
  prompt.height = (twoLines ? 2 * line : line) + 4;
  v.MoveControl(kPromptId, prompt);

  Rect edit = v.ControlRect(kEditId);
  edit.y = prompt.Bottom() + 5;
  v.MoveControl(kEditId, edit);

  Rect keyboard = v.ControlRect(kKeyboardButtonId);
  keyboard.y = edit.y;
  v.MoveControl(kKeyboardButtonId, keyboard);

  int bottom = 0;
  for (int id : {kIdcOk, kIdcCancel}) {
    Rect button = v.ControlRect(id);
    button.y = edit.Bottom() + 10;
    v.MoveControl(id, button);
    if (button.Bottom() > bottom) bottom = button.Bottom();
  }
  v.SetClientSize({v.ClientSize().width, bottom + 10});
}

void CPasswordDialog::OnOK() {
  View().ReadText(kEditId, entry_);
  if (entry_.size() > maxEntry_) {
    entry_.clear();
    MessageBox(kTextEntryTooLong, CaptionId());
    return;
  }
  if (PinMode()) {
    if (entry_.size() < static_cast<std::size_t>(kPinLength)) {
      MessageBox(kTextPinTooShort, kTextPinCaption);
      return;
    }
  } else if (entry_.empty()) {
    MessageBox(kTextPasswordTooShort, kTextPasswordCaption);
    return;
  }
  EndDialog(kIdOk);
}

void CPasswordDialog::OnCommand(int id, Notify code) {
  if (id == kKeyboardButtonId && code == Notify::kClicked) UseKeyboard();
}

void CPasswordDialog::UseKeyboard() {
  SecureText current;
  View().ReadText(kEditId, current);
  CKeyboardDlg keyboard;
  if (!current.empty()) keyboard.SetText(current.c_str());
  if (keyboard.DoModal() != kIdOk) return;
  entry_ = keyboard.Text();
  View().SetText(kEditId, std::string_view(entry_.c_str(), entry_.size()));
  OnOK();
}

int CPasswordDialog::PasswordCallback(int kind, const char* label, char* buffer,
                                      std::size_t size) {
  if (!buffer || size == 0) return kIdCancel;
  buffer[0] = '\0';
  CPasswordDialog dialog;
  dialog.SetMode(kind == kKindSmartCard || kind == kKindUsbToken ? kPasswordModePin
                                                                 : kPasswordModeKey);
  dialog.SetKeyName(label);
  dialog.SetMaxEntryLength(size - 1);
  const int result = dialog.DoModal();
  const SecureText& entry = dialog.Entry();
  if (result != kIdOk) return result;
  if (entry.size() >= size) return kIdCancel;  // refused by the dialog already
  std::memcpy(buffer, entry.c_str(), entry.size() + 1);
  return result;
}

}  // namespace quenta
