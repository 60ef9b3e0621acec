// The password entry dialog: asks for one secret (a device PIN, the logon
// password of the Ventro system or the password of a named key), masks it,
// offers the on-screen keyboard and applies the minimal length rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dialogs/dialog_logic.h"
#include "engine/secure.h"

namespace quenta {

enum PasswordDialogMode : int {
  kPasswordModeKey = -1,   // password of a named key
  kPasswordModePin = 1,    // device PIN, 4 characters
  kPasswordModeLogon = 3,  // logon password of the Ventro system
};

class CPasswordDialog : public CDialogLogic {
 public:
  static constexpr int kResourceId = 201;
  static constexpr int kPromptId = 235;
  static constexpr int kEditId = 201;
  static constexpr int kKeyboardButtonId = 3;
  static constexpr int kPinLength = 4;

  // Text ids.
  static constexpr int kTextPinPrompt = 399;
  static constexpr int kTextLogonPrompt = 538;
  static constexpr int kTextKeyPrompt = 550;
  static constexpr int kTextPinCaption = 252;
  static constexpr int kTextPasswordCaption = 312;
  static constexpr int kTextPinTooShort = 258;
  static constexpr int kTextPasswordTooShort = 246;
  static constexpr int kTextEntryTooLong = 1100;
  static constexpr int kTextOk = 309;
  static constexpr int kTextCancel = 294;

  // The parent is not used (callers give none).
  explicit CPasswordDialog(void* parent = nullptr);
  ~CPasswordDialog() override;

  void SetMode(int mode) { mode_ = mode; }
  int Mode() const { return mode_; }
  // Shown after the prompt in the key-password mode (Windows-1250).
  void SetKeyName(const char* name) { keyName_ = name ? name : ""; }
  const std::string& KeyName() const { return keyName_; }
  // An entry longer than this many bytes is refused with a message and the
  // dialog stays open. Without a call any length is accepted.
  void SetMaxEntryLength(std::size_t length) { maxEntry_ = length; }

  // Valid for the caller after IDOK.
  const SecureText& Entry() const { return entry_; }
  // The text of the prompt control, set at initialisation.
  const std::string& Prompt() const { return prompt_; }

  // The token layer's password callback: the dialog in PIN mode for card
  // and USB-token keys, in key-password mode with the label otherwise.
  // On IDOK the entry and its terminating zero are in buffer (the dialog
  // refuses entries that would not fit in size bytes); on any other answer
  // buffer holds an empty text. A null buffer or size 0 gives kIdCancel
  // without a dialog.
  static int PasswordCallback(int kind, const char* label, char* buffer, std::size_t size);

 protected:
  DialogTemplate CreateTemplate() override;
  void OnInitDialog() override;
  void OnOK() override;
  void OnCommand(int id, Notify code) override;

 private:
  bool PinMode() const { return mode_ == kPasswordModePin; }
  int CaptionId() const;
  void FitPrompt();
  void UseKeyboard();

  int mode_ = kPasswordModeKey;
  std::string keyName_;
  std::size_t maxEntry_ = SIZE_MAX;
  SecureText entry_;
  std::string prompt_;
};

}  // namespace quenta
