// The dialogs that collect the codes protecting a card or USB token:
//
//   CPinDlg     a current code and a new code typed twice: changing the
//               user PIN, changing the PUK, unblocking a card or a token
//               with the PUK while setting a new PIN;
//   CPinPukDlg  a new PUK and a new PIN, each typed twice, when a device is
//               initialised; offers to print the PUK sheet.
//
// Neither talks to the device. The codes stay in wiped storage and are
// wiped when the dialog goes (or earlier, with Wipe()).
#pragma once

#include <cstddef>
#include <string>

#include "dialogs/dialog_logic.h"
#include "engine/secure.h"

namespace quenta {

enum PinDlgMode : int {
  kPinModeChangePin = 0,     // current PIN, new PIN
  kPinModeChangePuk = 1,     // current PUK, new PUK
  kPinModeUnblockCard = 2,   // PUK, new PIN (processor card)
  kPinModeUnblockToken = 5,  // PUK, new PIN (USB token)
};

class CPinDlg : public CDialogLogic {
 public:
  static constexpr int kResourceId = 417;
  static constexpr int kFirstLabelId = 226;
  static constexpr int kFirstEditId = 202;
  static constexpr int kNewLabelId = 227;
  static constexpr int kNewEditId = 203;
  static constexpr int kRepeatLabelId = 228;
  static constexpr int kRepeatEditId = 204;

  static constexpr int kPinLength = 4;
  static constexpr int kPukLength = 8;

  // Text ids.
  static constexpr int kTextCardPin = 402;
  static constexpr int kTextCurrentPin = 686;
  static constexpr int kTextNewPin = 717;
  static constexpr int kTextRepeatPin = 719;
  static constexpr int kTextChangePinCaption = 414;
  static constexpr int kTextCardPuk = 423;
  static constexpr int kTextTokenPuk = 688;
  static constexpr int kTextNewPuk = 426;
  static constexpr int kTextRetryPuk = 429;
  static constexpr int kTextRepeatPuk = 715;
  static constexpr int kTextChangePukCaption = 432;
  static constexpr int kTextUnblockCardCaption = 456;
  static constexpr int kTextUnblockTokenCaption = 690;
  static constexpr int kTextPinTooShort = 713;
  static constexpr int kTextPukTooShort = 640;
  static constexpr int kTextPuksDiffer = 450;
  static constexpr int kTextPinsDiffer = 411;
  static constexpr int kTextCodeTooLong = 1100;
  static constexpr int kTextCancel = 294;

  // The parent is not used (callers give none).
  explicit CPinDlg(void* parent = nullptr);
  ~CPinDlg() override;

  void SetMode(int mode) { mode_ = mode; }
  int Mode() const { return mode_; }
  // Modes 0 and 1: 1 when the open device is a USB token (other wording).
  void SetWording(int wording) { wording_ = wording; }
  int Wording() const { return wording_; }
  // A code longer than this many bytes is refused with a message and the
  // dialog stays open. Without a call any length is accepted.
  void SetMaxCodeLength(std::size_t length) { maxCode_ = length; }

  // Valid for the caller after IDOK; the repetition equals the new code.
  const SecureText& FirstCode() const { return first_; }
  const SecureText& NewCode() const { return new_; }
  const SecureText& RepeatedCode() const { return repeated_; }
  void Wipe();

  // The label texts, set at initialisation.
  const std::string& FirstLabel() const { return firstLabel_; }
  const std::string& NewLabel() const { return newLabel_; }
  const std::string& RepeatLabel() const { return repeatLabel_; }

  // The token layer's PIN/PUK callback: shows the dialog in the given mode
  // and on IDOK copies the first code and the new code, each with its
  // terminating zero, into the two buffers of kPinBufferSize bytes (codes
  // that would not fit are refused by the dialog). On any other answer both
  // buffers hold empty texts. Null buffers give IDCANCEL without a dialog.
  static int PinPukCallback(int mode, char* puk, char* newPin);

 protected:
  DialogTemplate CreateTemplate() override;
  void OnInitDialog() override;
  void OnOK() override;
  void OnDestroy() override;

 private:
  int Message(int textId);

  int mode_ = kPinModeChangePin;
  int wording_ = 0;
  std::size_t maxCode_ = static_cast<std::size_t>(-1);
  SecureText first_;
  SecureText new_;
  SecureText repeated_;
  std::string firstLabel_;
  std::string newLabel_;
  std::string repeatLabel_;
};

class CPinPukDlg : public CDialogLogic {
 public:
  static constexpr int kResourceId = 418;
  static constexpr int kInfoId = 247;
  static constexpr int kPinGroupId = 262;
  static constexpr int kPukGroupId = 261;
  static constexpr int kPinLabelId = 228;
  static constexpr int kPinEditId = 204;
  static constexpr int kPinRepeatLabelId = 229;
  static constexpr int kPinRepeatEditId = 205;
  static constexpr int kPukLabelId = 226;
  static constexpr int kPukEditId = 202;
  static constexpr int kPukRepeatLabelId = 227;
  static constexpr int kPukRepeatEditId = 203;

  static constexpr int kPinLength = 4;
  static constexpr int kPukLength = 8;

  // Text ids.
  static constexpr int kTextInfo = 672;
  static constexpr int kTextNewPin = 717;
  static constexpr int kTextRepeatPin = 719;
  static constexpr int kTextNewPuk = 426;
  static constexpr int kTextRepeatPuk = 715;
  static constexpr int kTextCaption = 668;
  static constexpr int kTextCancel = 294;
  static constexpr int kTextPukLength = 607;
  static constexpr int kTextPuksDiffer = 450;
  static constexpr int kTextPinLength = 711;
  static constexpr int kTextPinsDiffer = 411;
  static constexpr int kTextPrintQuestion = 465;

  // The parent is not used (callers give none).
  explicit CPinPukDlg(void* parent = nullptr);
  ~CPinPukDlg() override;

  // Valid for the caller after IDOK.
  const SecureText& Puk() const { return puk_; }
  const SecureText& Pin() const { return pin_; }
  void Wipe();

  // Prints the PUK sheet for the PUK entered; a PrintOutcome.
  int PrintPuk();
  // What the last printing gave (a PrintOutcome), -1 when nothing was printed.
  int LastPrintOutcome() const { return printOutcome_; }

 protected:
  DialogTemplate CreateTemplate() override;
  void OnInitDialog() override;
  void OnOK() override;
  void OnDestroy() override;

 private:
  int Message(int textId, int captionId, MsgIcon icon, MsgButtons buttons);

  SecureText puk_;
  SecureText pukRepeated_;
  SecureText pin_;
  SecureText pinRepeated_;
  int printOutcome_ = -1;
};

}  // namespace quenta
