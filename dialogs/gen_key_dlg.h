// The key generation dialog: the user names a new key and chooses the
// device (processor card or USB token) it is generated on. The dialog
// checks the name, the device's PIN state (offering the initialisation of
// a fresh device), asks for the PIN and runs the generation on a worker
// thread while a progress bar moves. It ends by itself when the attempt is
// over, except for the mistakes the user can put right on the spot (wrong
// PIN, no card in the reader, name already used on the card).
//
// Threads: the user interface thread runs the dialog; one worker thread per
// attempt talks to the device. The worker writes the result and the output
// texts, then publishes them by setting the done flag (release); the user
// interface thread reads them only after seeing the flag set (acquire) on a
// timer tick. While a worker runs the dialog cannot end: Generate and
// Cancel are disabled and Escape is ignored. The worker thread is always
// joined before the dialog object goes.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "dialogs/dialog_logic.h"
#include "engine/secure.h"

namespace quenta {

class CKeysStorageComp;
class CGenKeyDlg;

// Body of the worker thread of one attempt: opens the device again (the
// session of the attempt is still open, so this never asks the user),
// logs in with the PIN, generates the pair and closes the device, then sets
// the dialog's done flag. Returns 1.
int GenerateKeyWorker(CGenKeyDlg* dialog);

class CGenKeyDlg : public CDialogLogic {
 public:
  static constexpr int kResourceId = 211;

  // Control ids.
  static constexpr int kGroupId = 235;
  static constexpr int kSmartCardId = 217;
  static constexpr int kUsbTokenId = 537;
  static constexpr int kNameLabelId = 227;
  static constexpr int kNameEditId = 210;
  static constexpr int kProgressId = 216;
  static constexpr int kIconId = 1000;

  static constexpr int kTimerId = 101;
  static constexpr int kTimerPeriodMs = 100;
  static constexpr int kProgressSteps = 10;  // positions 0..9 of the range 0..10
  static constexpr std::size_t kMaxNameLength = 35;

  // The location choices, as the page's key kind mapping numbers them.
  enum Location { kLocationNone = -1, kLocationSmartCard = 2, kLocationUsbToken = 3 };

  // Text ids.
  static constexpr int kTextCaption = 703;
  static constexpr int kTextGroup = 267;
  static constexpr int kTextNameLabel = 270;
  static constexpr int kTextSmartCard = 674;
  static constexpr int kTextUsbToken = 701;
  static constexpr int kTextGenerate = 345;
  static constexpr int kTextCancel = 294;
  static constexpr int kTextNameEmpty = 240;
  static constexpr int kTextNameTooLong = 237;
  static constexpr int kTextNameInUse = 222;
  static constexpr int kTextNameCharacters = 531;
  static constexpr int kTextInitCaption = 668;
  static constexpr int kTextInitRequired = 670;
  static constexpr int kTextWrongPin = 249;
  static constexpr int kTextInsertCard = 255;

  // The parent is not used (callers give none).
  explicit CGenKeyDlg(void* parent = nullptr);
  ~CGenKeyDlg() override;

  // Keeps the engine (when not null) and reads the parameter text, which
  // must be exactly one decimal integer between two bars ("|5|"). 0 when it
  // is, else 1.
  int SetParameters(CKeysStorageComp* engine, const char* parameters);
  void SetKeySize(int bits) { keySize_ = bits; }
  int KeySize() const { return keySize_; }
  int Parameter() const { return parameter_; }

  // ---- outputs, valid after DoModal ended with IDOK ----
  int Result() const { return result_; }
  int Location() const { return location_; }
  const std::string& KeyName() const { return keyName_; }  // Windows-1250
  const std::string& KeyText() const { return keyText_; }
  const std::string& PublicKeyText() const { return publicKeyText_; }
  const std::string& KeyIdText() const { return keyIdText_; }
  const std::string& StatusText() const { return statusText_; }

  // ---- progress of an attempt ----
  // A worker has been started and its end has not been handled yet.
  bool Generating() const { return worker_.joinable(); }
  // The worker has finished and the next tick will handle its end.
  bool WorkerDone() const { return done_.load(std::memory_order_acquire) != 0; }
  int ProgressStep() const { return progressStep_; }

  // True for the bytes a key name may not contain.
  static bool IsForbiddenNameCharacter(unsigned char c);

 protected:
  DialogTemplate CreateTemplate() override;
  void OnInitDialog() override;
  void OnOK() override;
  void OnCancel() override;
  void OnClose() override;
  void OnTimer(int timerId) override;
  void OnDestroy() override;

  // The device part of an attempt, on the worker thread: open, log in,
  // generate, close. Fills the output texts and returns the result.
  virtual int GenerateOnDevice();

 private:
  friend int GenerateKeyWorker(CGenKeyDlg* dialog);

  bool ValidateName();
  int CheckDeviceState();
  void CloseDevice();
  void StartWorker();
  void EndOfWorker();
  void JoinWorker();
  void SetEditing(bool editing);
  void Arrange();
  int DeviceMode() const;
  bool OnCard() const { return location_ == kLocationSmartCard; }

  CKeysStorageComp* engine_ = nullptr;
  int keySize_ = 1024;
  int parameter_ = 0;
  std::string keyName_;
  int location_ = kLocationNone;
  SecureText pin_;
  std::atomic<int> done_{0};
  int result_ = 0;
  int timerId_ = 0;
  int progressStep_ = 0;
  std::string keyText_;
  std::string publicKeyText_;
  std::string keyIdText_;
  std::string statusText_;
  std::thread worker_;

  // Enabled states of the controls the attempt disables, to give back.
  struct Saved {
    int id;
    bool enabled;
  };
  Saved saved_[5] = {};
};

}  // namespace quenta
