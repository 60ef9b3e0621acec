#include "dialogs/pin_dlg.h"

#include <cstring>

#include "dialogs/puk_print.h"
#include "engine/keys_storage.h"
#include "plugin/texts.h"

namespace quenta {

namespace {

constexpr int kTextOk = 309;

ControlDef Control(int id, ControlKind kind, const Rect& r, unsigned style = kStyleNone,
                    std::string text = std::string()) {
  ControlDef c;
  c.id = id;
  c.kind = kind;
  c.rect = r;
  c.style = style;
  c.text = std::move(text);
  return c;
}

}  // namespace

// ---------------------------------------------------------------- CPinDlg

CPinDlg::CPinDlg(void*) : CDialogLogic(kResourceId) {}

CPinDlg::~CPinDlg() = default;

void CPinDlg::Wipe() {
  first_.clear();
  new_.clear();
  repeated_.clear();
}

DialogTemplate CPinDlg::CreateTemplate() {
  DialogTemplate t;
  t.resourceId = kResourceId;
  const Rect frame = DluRect(0, 0, 118, 135);
  t.clientSize = {frame.width, frame.height};
  // Three rows of a label above its edit, then OK and Cancel side by side.
  const int rows[3][2] = {{kFirstLabelId, kFirstEditId},
                          {kNewLabelId, kNewEditId},
                          {kRepeatLabelId, kRepeatEditId}};
  for (int i = 0; i < 3; ++i) {
    const int y = 7 + i * 32;
    t.controls.push_back(Control(rows[i][0], ControlKind::kStatic, DluRect(7, y, 104, 8)));
    t.controls.push_back(
        Control(rows[i][1], ControlKind::kEdit, DluRect(7, y + 11, 104, 12), kStylePassword));
  }
  t.controls.push_back(Control(kIdcOk, ControlKind::kPushButton, DluRect(7, 114, 50, 14),
                               kStyleDefault, LoadText(kTextOk)));
  t.controls.push_back(Control(kIdcCancel, ControlKind::kPushButton, DluRect(61, 114, 50, 14),
                               kStyleNone, LoadText(kTextCancel)));
  return t;
}

void CPinDlg::OnInitDialog() {
  IDialogView& v = View();
  for (int id : {kFirstEditId, kNewEditId, kRepeatEditId}) v.SetMasked(id, true);

  int first = 0, second = 0, third = 0, caption = 0;
  int limits[3] = {0, 0, 0};
  switch (mode_) {
    case kPinModeChangePin:
      first = wording_ == 1 ? kTextCurrentPin : kTextCardPin;
      second = kTextNewPin;
      third = kTextRepeatPin;
      caption = kTextChangePinCaption;
      limits[0] = limits[1] = limits[2] = kPinLength;
      break;
    case kPinModeChangePuk:
      first = wording_ == 1 ? kTextTokenPuk : kTextCardPuk;
      second = kTextNewPuk;
      third = wording_ == 1 ? kTextRepeatPuk : kTextRetryPuk;
      caption = kTextChangePukCaption;
      limits[0] = limits[1] = limits[2] = kPukLength;
      break;
    case kPinModeUnblockCard:
    case kPinModeUnblockToken:
      first = mode_ == kPinModeUnblockCard ? kTextCardPuk : kTextTokenPuk;
      second = kTextNewPin;
      third = kTextRepeatPin;
      caption = mode_ == kPinModeUnblockCard ? kTextUnblockCardCaption : kTextUnblockTokenCaption;
      limits[0] = kPukLength;
      limits[1] = limits[2] = kPinLength;
      break;
    default:
      break;
  }
  firstLabel_ = first ? LoadText(first) : std::string();
  newLabel_ = second ? LoadText(second) : std::string();
  repeatLabel_ = third ? LoadText(third) : std::string();
  if (first) {
    v.SetText(kFirstLabelId, firstLabel_);
    v.SetText(kNewLabelId, newLabel_);
    v.SetText(kRepeatLabelId, repeatLabel_);
  }
  const int edits[3] = {kFirstEditId, kNewEditId, kRepeatEditId};
  for (int i = 0; i < 3; ++i)
    if (limits[i] > 0) v.SetTypingLimit(edits[i], limits[i]);
  if (caption) v.SetCaption(LoadText(caption));
  v.SetText(kIdcCancel, LoadText(kTextCancel));
  v.SetFocus(kFirstEditId);
}

int CPinDlg::Message(int textId) { return MessageBox(textId, kTitleTextId); }

void CPinDlg::OnOK() {
  IDialogView& v = View();
  v.ReadText(kFirstEditId, first_);
  v.ReadText(kNewEditId, new_);
  v.ReadText(kRepeatEditId, repeated_);

  auto shorter = [](const SecureText& s, int n) { return s.size() < static_cast<std::size_t>(n); };
  int refusal = 0;
  switch (mode_) {
    case kPinModeChangePin:
      if (shorter(first_, kPinLength) || shorter(new_, kPinLength) || shorter(repeated_, kPinLength))
        refusal = kTextPinTooShort;
      break;
    case kPinModeChangePuk:
      if (shorter(first_, kPukLength) || shorter(new_, kPukLength) || shorter(repeated_, kPukLength))
        refusal = kTextPukTooShort;
      break;
    case kPinModeUnblockCard:
      if (shorter(first_, kPukLength)) refusal = kTextPukTooShort;
      else if (shorter(new_, kPinLength) || shorter(repeated_, kPinLength))
        refusal = kTextPinTooShort;
      break;
    default:  // the USB token's unblocking leaves the lengths to the token
      break;
  }
  if (!refusal && std::strcmp(new_.c_str(), repeated_.c_str()) != 0)
    refusal = mode_ == kPinModeChangePuk ? kTextPuksDiffer : kTextPinsDiffer;
  // Codes go to fixed buffers of the token layer; the typing limits keep
  // them far shorter, text that reached the edits otherwise is refused.
  if (!refusal && (first_.size() > maxCode_ || new_.size() > maxCode_))
    refusal = kTextCodeTooLong;
  if (refusal) {
    Wipe();  // the entries stay in the edits
    Message(refusal);
    return;
  }
  EndDialog(kIdOk);
}

void CPinDlg::OnDestroy() {
  if (EndValue() != kIdOk) Wipe();
}

int CPinDlg::PinPukCallback(int mode, char* puk, char* newPin) {
  if (!puk || !newPin) return kIdCancel;
  puk[0] = '\0';
  newPin[0] = '\0';
  CPinDlg dialog;
  dialog.SetMode(mode);
  dialog.SetMaxCodeLength(kPinBufferSize - 1);
  const int result = dialog.DoModal();
  if (result != kIdOk) return result;
  const SecureText& first = dialog.FirstCode();
  const SecureText& second = dialog.NewCode();
  if (first.size() >= kPinBufferSize || second.size() >= kPinBufferSize) {
    dialog.Wipe();
    return kIdCancel;  // refused by the dialog already
  }
  std::memcpy(puk, first.c_str(), first.size() + 1);
  std::memcpy(newPin, second.c_str(), second.size() + 1);
  dialog.Wipe();
  return result;
}

// ---------------------------------------------------------------- CPinPukDlg

CPinPukDlg::CPinPukDlg(void*) : CDialogLogic(kResourceId) {}

CPinPukDlg::~CPinPukDlg() = default;

void CPinPukDlg::Wipe() {
  puk_.clear();
  pukRepeated_.clear();
  pin_.clear();
  pinRepeated_.clear();
}

DialogTemplate CPinPukDlg::CreateTemplate() {
  DialogTemplate t;
  t.resourceId = kResourceId;
  const Rect frame = DluRect(0, 0, 258, 277);
  t.clientSize = {frame.width, frame.height};

  t.controls.push_back(Control(kInfoId, ControlKind::kStatic, DluRect(7, 7, 244, 120)));
  // PIN on the left, PUK on the right; in each a label above its edit, twice.
  struct Group {
    int groupId;
    const char* caption;
    int x;
    int rows[2][2];
  } groups[2] = {
      {kPinGroupId, "PIN", 7, {{kPinLabelId, kPinEditId}, {kPinRepeatLabelId, kPinRepeatEditId}}},
      {kPukGroupId, "PUK", 133, {{kPukLabelId, kPukEditId}, {kPukRepeatLabelId, kPukRepeatEditId}}},
  };
  for (const Group& g : groups) {
    t.controls.push_back(
        Control(g.groupId, ControlKind::kGroupBox, DluRect(g.x, 134, 118, 88), kStyleNone, g.caption));
    for (int i = 0; i < 2; ++i) {
      const int y = 148 + i * 32;
      t.controls.push_back(Control(g.rows[i][0], ControlKind::kStatic, DluRect(g.x + 7, y, 104, 8)));
      t.controls.push_back(Control(g.rows[i][1], ControlKind::kEdit,
                                   DluRect(g.x + 7, y + 11, 104, 12), kStylePassword));
    }
  }
  t.controls.push_back(Control(kIdcOk, ControlKind::kPushButton, DluRect(74, 240, 50, 14),
                               kStyleDefault, LoadText(kTextOk)));
  t.controls.push_back(Control(kIdcCancel, ControlKind::kPushButton, DluRect(134, 240, 50, 14),
                               kStyleNone, LoadText(kTextCancel)));
  return t;
}

void CPinPukDlg::OnInitDialog() {
  IDialogView& v = View();
  v.SetText(kInfoId, LoadText(kTextInfo));
  v.SetText(kPinLabelId, LoadText(kTextNewPin));
  v.SetText(kPinRepeatLabelId, LoadText(kTextRepeatPin));
  v.SetText(kPukLabelId, LoadText(kTextNewPuk));
  v.SetText(kPukRepeatLabelId, LoadText(kTextRepeatPuk));
  for (int id : {kPinEditId, kPinRepeatEditId}) {
    v.SetMasked(id, true);
    v.SetTypingLimit(id, kPinLength);
  }
  for (int id : {kPukEditId, kPukRepeatEditId}) {
    v.SetMasked(id, true);
    v.SetTypingLimit(id, kPukLength);
  }
  v.SetCaption(LoadText(kTextCaption));
  v.SetText(kIdcCancel, LoadText(kTextCancel));
  v.SetFocus(kPinEditId);
}

int CPinPukDlg::Message(int textId, int captionId, MsgIcon icon, MsgButtons buttons) {
  return MessageBox(textId, captionId, icon, buttons);
}

void CPinPukDlg::OnOK() {
  IDialogView& v = View();
  v.ReadText(kPukEditId, puk_);
  v.ReadText(kPukRepeatEditId, pukRepeated_);
  v.ReadText(kPinEditId, pin_);
  v.ReadText(kPinRepeatEditId, pinRepeated_);

  const std::size_t pukLength = kPukLength, pinLength = kPinLength;
  int refusal = 0;
  if (puk_.size() != pukLength || pukRepeated_.size() != pukLength) refusal = kTextPukLength;
  else if (std::strcmp(puk_.c_str(), pukRepeated_.c_str()) != 0) refusal = kTextPuksDiffer;
  else if (pin_.size() != pinLength || pinRepeated_.size() != pinLength) refusal = kTextPinLength;
  else if (std::strcmp(pin_.c_str(), pinRepeated_.c_str()) != 0) refusal = kTextPinsDiffer;
  if (refusal) {
    Wipe();  // the entries stay in the edits
    Message(refusal, kTitleTextId, MsgIcon::kError, MsgButtons::kOk);
    return;
  }
  pukRepeated_.clear();
  pinRepeated_.clear();
  if (Message(kTextPrintQuestion, kTextPrintQuestion, MsgIcon::kQuestion, MsgButtons::kYesNo) ==
      kIdYes)
    PrintPuk();
  // A printer that failed does not stop the initialisation.
  EndDialog(kIdOk);
}

int CPinPukDlg::PrintPuk() {
  printOutcome_ = PrintPukSheet(puk_.c_str());
  return printOutcome_;
}

void CPinPukDlg::OnDestroy() {
  if (EndValue() != kIdOk) Wipe();
}

}  // namespace quenta
