#include "dialogs/gen_key_dlg.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <system_error>

#include "dialogs/password_dlg.h"
#include "engine/keys_storage_comp.h"
#include "engine/result_codes.h"
#include "engine/token_access.h"
#include "engine/toolbox_utils.h"
#include "plugin/texts.h"

namespace quenta {

namespace {

// The controls an attempt disables while its worker runs.
constexpr int kAttemptControls[] = {kIdcOk, kIdcCancel, CGenKeyDlg::kUsbTokenId,
                                    CGenKeyDlg::kSmartCardId, CGenKeyDlg::kNameEditId};

// Results of the worker that, on a card, the user can put right with the
// dialog still open: no card in the reader, or the reader went away.
bool IsNoCardResult(int rc) {
  return rc == kErrNoSmartCard || rc == kErrTokenAbsent || rc == kErrNoReader ||
         rc == kErrPcscLocate || rc == kErrNoCard;
}

// Exactly "|<decimal integer>|": a bar, an optional sign, at least one
// digit (the value fitting an int), a bar, and nothing else.
bool ScanBarredInteger(const char* text, int* value) {
  if (!text || text[0] != '|') return false;
  const char* p = text + 1;
  const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
  const char* q = digits;
  while (*q >= '0' && *q <= '9') ++q;
  if (q == digits || q[0] != '|' || q[1] != '\0') return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(p, &end, 10);
  if (end != q || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

int GenerateKeyWorker(CGenKeyDlg* dialog) {
  dialog->result_ = dialog->GenerateOnDevice();
  // Everything the worker wrote becomes visible to the thread that sees
  // the flag set.
  dialog->done_.store(1, std::memory_order_release);
  return 1;
}

CGenKeyDlg::CGenKeyDlg(void*) : CDialogLogic(kResourceId) {}

CGenKeyDlg::~CGenKeyDlg() { JoinWorker(); }

int CGenKeyDlg::SetParameters(CKeysStorageComp* engine, const char* parameters) {
  if (engine) engine_ = engine;
  int value = 0;
  if (!ScanBarredInteger(parameters, &value)) return 1;
  parameter_ = value;
  return 0;
}

bool CGenKeyDlg::IsForbiddenNameCharacter(unsigned char c) {
  return c != '\0' && std::strchr("\"%&':?\\`", c) != nullptr;
}

int CGenKeyDlg::DeviceMode() const { return OnCard() ? kDeviceSmartCard : kDeviceUsbToken; }

DialogTemplate CGenKeyDlg::CreateTemplate() {
  DialogTemplate t;
  t.resourceId = kResourceId;
  t.caption = LoadText(kTextCaption);
  const Rect frame = DluRect(0, 0, 250, 84);
  t.clientSize = {frame.width, frame.height};
  // No system menu: while a worker runs nothing may end the dialog, and
  // otherwise Cancel and Escape are there.
  t.closeBox = false;

  auto add = [&t](int id, ControlKind kind, Rect rect, std::string text, unsigned style = kStyleNone,
                  int icon = 0) {
    ControlDef c;
    c.id = id;
    c.kind = kind;
    c.rect = rect;
    c.text = std::move(text);
    c.style = style;
    c.iconId = icon;
    t.controls.push_back(std::move(c));
  };

  // In tab order: the key name, Generate, Cancel, then the location group.
  add(kNameLabelId, ControlKind::kStatic, DluRect(7, 46, 80, 8), LoadText(kTextNameLabel));
  add(kNameEditId, ControlKind::kEdit, DluRect(90, 44, 153, 12), "");
  add(kIdcOk, ControlKind::kPushButton, DluRect(139, 64, 50, 14), LoadText(kTextGenerate),
      kStyleDefault);
  add(kIdcCancel, ControlKind::kPushButton, DluRect(193, 64, 50, 14), LoadText(kTextCancel));
  add(kGroupId, ControlKind::kGroupBox, DluRect(7, 5, 210, 31), LoadText(kTextGroup));
  add(kUsbTokenId, ControlKind::kRadioButton, DluRect(14, 17, 110, 12), LoadText(kTextUsbToken),
      kStyleGroup);
  add(kSmartCardId, ControlKind::kRadioButton, DluRect(128, 17, 85, 12), LoadText(kTextSmartCard));
  add(kProgressId, ControlKind::kProgressBar, DluRect(7, 66, 126, 10), "", kStyleHidden);
  add(kIconId, ControlKind::kIcon, DluRect(223, 10, 20, 20), "", kStyleNone, kIconSign);
  return t;
}

void CGenKeyDlg::OnInitDialog() {
  IDialogView& v = View();
  v.SetText(kGroupId, LoadText(kTextGroup));
  v.SetText(kNameLabelId, LoadText(kTextNameLabel));
  v.SetCaption(LoadText(kTextCaption));
  v.SetText(kIdcCancel, LoadText(kTextCancel));
  v.SetText(kIdcOk, LoadText(kTextGenerate));
  v.SetText(kSmartCardId, LoadText(kTextSmartCard));
  v.SetText(kUsbTokenId, LoadText(kTextUsbToken));
  v.SetRange(kProgressId, 0, kProgressSteps);
  v.SetIcon(kIconId, kIconSign);

  CToolboxUtils toolbox;
  const bool usb = toolbox.UsbTokenSupport();
  const bool card = toolbox.SmartCardSupport();
  if (usb && card) location_ = kLocationUsbToken;
  if (!usb) {
    v.EnableControl(kUsbTokenId, false);
    location_ = kLocationSmartCard;
  }
  if (!card) {
    v.EnableControl(kSmartCardId, false);
    location_ = kLocationUsbToken;
  }
  v.SetCheck(kUsbTokenId, location_ == kLocationUsbToken);
  v.SetCheck(kSmartCardId, location_ == kLocationSmartCard);

  Arrange();
  v.SetText(kNameEditId, keyName_);
  v.SetFocus(kNameEditId);
}

// The button row, with the progress bar, directly below the key-name row;
// the window ends below the button row.
void CGenKeyDlg::Arrange() {
  IDialogView& v = View();
  const Rect edit = v.ControlRect(kNameEditId);
  const int rowTop = edit.Bottom() + DluToPixelsY(8);
  int rowBottom = rowTop;
  for (int id : {kIdcOk, kIdcCancel}) {
    Rect r = v.ControlRect(id);
    r.y = rowTop;
    v.MoveControl(id, r);
    if (r.Bottom() > rowBottom) rowBottom = r.Bottom();
  }
  Rect bar = v.ControlRect(kProgressId);
  bar.y = rowTop + (rowBottom - rowTop - bar.height) / 2;
  v.MoveControl(kProgressId, bar);
  v.SetClientSize({v.ClientSize().width, rowBottom + DluToPixelsY(7)});
}

bool CGenKeyDlg::ValidateName() {
  int message = 0;
  if (keyName_.empty()) {
    message = kTextNameEmpty;
  } else if (keyName_.size() > kMaxNameLength) {
    message = kTextNameTooLong;
  } else {
    if (engine_) {
      for (const auto& key : engine_->Keys()) {
        if (key && key->name == keyName_) {
          message = kTextNameInUse;
          break;
        }
      }
    }
    if (message == 0) {
      for (unsigned char c : keyName_) {
        if (IsForbiddenNameCharacter(c)) {
          message = kTextNameCharacters;
          break;
        }
      }
    }
  }
  if (message == 0) return true;
  MessageBox(message, kTitleTextId);
  return false;
}

void CGenKeyDlg::OnOK() {
  if (Generating()) return;
  IDialogView& v = View();
  SecureText name;
  v.ReadText(kNameEditId, name);
  keyName_.assign(name.c_str(), name.size());
  if (v.IsChecked(kUsbTokenId)) location_ = kLocationUsbToken;
  else if (v.IsChecked(kSmartCardId)) location_ = kLocationSmartCard;

  if (!ValidateName()) return;
  progressStep_ = 0;
  keyText_.clear();
  publicKeyText_.clear();
  keyIdText_.clear();
  statusText_.clear();

  if (!engine_) {
    result_ = kErrArgument;
    EndDialog(kIdOk);
    return;
  }
  CTokenAccess& token = engine_->Token();
  unsigned long slot = 0;
  int rc = token.OpenDevice(DeviceMode(), &slot);
  if (rc == kOk) rc = CheckDeviceState();
  if (rc != kOk) {
    CloseDevice();
    result_ = rc;
    EndDialog(kIdOk);
    return;
  }

  CPasswordDialog pinDialog;
  pinDialog.SetMode(kPasswordModePin);
  if (pinDialog.DoModal() != kIdOk) {
    // The session of this attempt must not outlive it: the next operation
    // would find it open and work on it without choosing a device.
    CloseDevice();
    result_ = kErrCancelled;
    EndDialog(kIdOk);
    return;
  }
  pin_ = pinDialog.Entry();

  // The worker relies on the open session (it must never have to ask the
  // user for a device). Whatever closed it, open it again here.
  if (!token.HasSession()) {
    rc = token.OpenDevice(DeviceMode(), &slot);
    if (rc != kOk) {
      pin_.clear();
      CloseDevice();
      result_ = rc;
      EndDialog(kIdOk);
      return;
    }
  }

  SetEditing(false);
  v.ShowControl(kProgressId, true);
  StartWorker();
}

// The device's PIN state decides whether an attempt may go on (0), or
// gives its result.
int CGenKeyDlg::CheckDeviceState() {
  CTokenAccess& token = engine_->Token();
  int rc = token.ReadTokenFlags();
  if (rc != kOk) return rc;
  if (!token.TokenInitialised() || !token.UserPinInitialised()) {
    MessageBox(kTextInitRequired, kTextInitCaption, MsgIcon::kError, MsgButtons::kOk);
    std::string names;
    bool hasNames = false;
    // In this attempt's session: the device stays open for what follows.
    return engine_->InitializeCard(false, &names, &hasNames);
  }
  if (token.UserPinLocked() && token.SoPinLocked()) {
    statusText_.clear();
    token.ListKeyDigests(statusText_);
    return kErrBothPinsLocked;
  }
  if (token.UserPinLocked()) return kErrPinLocked;
  return kOk;
}

void CGenKeyDlg::CloseDevice() {
  if (!engine_) return;
  engine_->Token().CloseSession();
  engine_->Token().ReleaseModule();
}

void CGenKeyDlg::StartWorker() {
  done_.store(0, std::memory_order_relaxed);
  View().SetTimer(kTimerId, kTimerPeriodMs);
  timerId_ = kTimerId;
  try {
    worker_ = std::thread(GenerateKeyWorker, this);
  } catch (const std::system_error&) {
    View().KillTimer(kTimerId);
    timerId_ = 0;
    View().ShowControl(kProgressId, false);
    SetEditing(true);
    pin_.clear();
    CloseDevice();
    result_ = kErrNoMemory;
    EndDialog(kIdOk);
  }
}

int CGenKeyDlg::GenerateOnDevice() {
  CTokenAccess& token = engine_->Token();
  unsigned long slot = 0;
  int rc = token.OpenDevice(DeviceMode(), &slot);
  if (rc == kOk) {
    rc = token.LoginUser(pin_.c_str());
    pin_.clear();
    if (rc == kOk) {
      rc = token.GenerateTokenKeyPair(keyName_.c_str(), keySize_, publicKeyText_, keyIdText_);
      if (rc == kErrKeyGenRefused) rc = OnCard() ? kErrKeyGenRefusedCard : kErrKeyGenRefusedUsb;
    } else {
      const int loginRc = rc;
      rc = token.ReadTokenFlags();
      if (rc == kOk) {
        const bool userLocked = token.UserPinLocked() || loginRc == kErrPinLocked;
        if (token.SoPinLocked() && userLocked) {
          statusText_.clear();
          token.ListKeyDigests(statusText_);
          rc = kErrBothPinsLocked;
        } else if (userLocked) {
          rc = kErrPinLocked;
        } else {
          rc = loginRc;
        }
      }
    }
    if (rc == kOk) keyText_ = "NULL";
  }
  pin_.clear();
  // Whatever happened, no session of this attempt stays behind.
  token.CloseSession();
  token.ReleaseModule();
  return rc;
}

void CGenKeyDlg::SetEditing(bool editing) {
  IDialogView& v = View();
  if (!editing) {
    for (std::size_t i = 0; i < std::size(kAttemptControls); ++i) {
      saved_[i] = {kAttemptControls[i], v.IsEnabled(kAttemptControls[i])};
      v.EnableControl(kAttemptControls[i], false);
    }
    return;
  }
  for (const Saved& s : saved_)
    if (s.id != 0) v.EnableControl(s.id, s.enabled);
}

void CGenKeyDlg::OnTimer(int timerId) {
  if (timerId != kTimerId || timerId_ != kTimerId) return;
  View().SetPos(kProgressId, progressStep_);
  progressStep_ = (progressStep_ + 1) % kProgressSteps;
  if (done_.load(std::memory_order_acquire) != 1) return;
  EndOfWorker();
}

void CGenKeyDlg::EndOfWorker() {
  IDialogView& v = View();
  v.KillTimer(kTimerId);
  timerId_ = 0;
  v.ShowControl(kProgressId, false);
  done_.store(0, std::memory_order_relaxed);
  JoinWorker();  // it has set the flag and only returns now
  SetEditing(true);

  const int rc = result_;
  if (rc == kOk) {
    EndDialog(kIdOk);
  } else if (OnCard() && rc == kErrPinIncorrect) {
    MessageBox(kTextWrongPin, kTitleTextId);
  } else if (OnCard() && IsNoCardResult(rc)) {
    MessageBox(kTextInsertCard, kTitleTextId);
  } else if (OnCard() && rc == kErrKeyNameInUse) {
    MessageBox(kTextNameInUse, kTitleTextId);
  } else if (rc == kErrCancelled) {
    // stays open without a word
  } else {
    EndDialog(kIdOk);
  }
  if (!Ended()) v.SetFocus(kNameEditId);
}

void CGenKeyDlg::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

void CGenKeyDlg::OnCancel() {
  if (Generating()) return;
  EndDialog(kIdCancel);
}

void CGenKeyDlg::OnClose() { OnCancel(); }

void CGenKeyDlg::OnDestroy() {
  // The window can only go early when it is ended from outside; the worker
  // still writes into this object, so wait for it.
  JoinWorker();
  if (timerId_ != 0) {
    View().KillTimer(kTimerId);
    timerId_ = 0;
  }
  done_.store(0, std::memory_order_relaxed);
  pin_.clear();
}

}  // namespace quenta
