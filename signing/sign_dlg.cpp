#include "signing/sign_dlg.h"

#include <algorithm>
#include <cstring>

#include "dialogs/keyboard_dlg.h"
#include "dialogs/password_dlg.h"
#include "engine/result_codes.h"
#include "engine/toolbox_utils.h"
#include "plugin/texts.h"

namespace quenta {

namespace {

constexpr char kMultiLinePrefix[] = "MULTILINE|";

// Rounds of UseKey within one attempt that are answered by trying again
// (a wrong PIN asked for anew, a refused initialisation). Each round asks
// the user, so this only stops a device that answers the same forever.
constexpr int kMaxUseKeyRounds = 16;
// Immediate repeats of an attempt after the key file turned out wrong;
// each repeat asks for the file again.
constexpr int kMaxFileRetries = 32;

ControlDef Control(int id, ControlKind kind, Rect rect, std::string text = {},
                    unsigned style = kStyleNone, int icon = 0) {
  ControlDef c;
  c.id = id;
  c.kind = kind;
  c.rect = rect;
  c.text = std::move(text);
  c.style = style;
  c.iconId = icon;
  return c;
}

bool OneOf(int value, std::initializer_list<int> list) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

CSignDlg::CSignDlg() : CDialogLogic(kResourceId), passwordCb_(&CPasswordDialog::PasswordCallback) {}

CSignDlg::~CSignDlg() = default;

// ---------------------------------------------------------------- inputs

int CSignDlg::PrepareSignData(CKeysStorage* engine, const char* orderText,
                              const char* allowedKeys, const char* preferredKey) {
  if (engine) engine_ = engine;
  allowedKeys_ = allowedKeys ? allowedKeys : "";
  preferredKey_ = preferredKey ? preferredKey : "";
  if (engine_) dialogType_ = engine_->SignDialogType();
  if (dataIsDirect_ != 0) return kOk;

  data_ = nullptr;
  length_ = 0;
  const int rc = order_.SetHex(orderText);
  if (rc != kOk) return rc;
  data_ = order_.Bytes();
  length_ = order_.Length();
  return kOk;
}

void CSignDlg::SetSignData(const unsigned char* bytes, std::size_t length) {
  data_ = bytes;
  length_ = bytes ? length : 0;
}

SecureBytes CSignDlg::TakeOutput() {
  SecureBytes out;
  out.swap(signature_);
  return out;
}

// ---------------------------------------------------------------- the key list

CKeyStorage* CSignDlg::EntryAt(int index) const {
  if (!engine_ || index < 0) return nullptr;
  const auto& keys = engine_->Keys();
  return static_cast<std::size_t>(index) < keys.size() ? keys[index].get() : nullptr;
}

CKeyStorage* CSignDlg::EntryListedAt(int position, int* index) const {
  if (!engine_ || position < 0) return nullptr;
  const auto& keys = engine_->Keys();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i]->listPosition == position) {
      if (index) *index = static_cast<int>(i);
      return keys[i].get();
    }
  }
  return nullptr;
}

void CSignDlg::SelectPreferredKey() {
  if (!engine_) return;
  const auto& keys = engine_->Keys();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i]->name == preferredKey_) {
      selectedKey_ = static_cast<int>(i);
      chosenName_ = keys[i]->name;
    }
  }
}

void CSignDlg::FillKeyList() {
  IDialogView& v = View();
  v.ClearItems(kIdKeyList);
  selectedKey_ = -1;
  if (!engine_) return;
  int selectItem = -1;
  bool offered = false;
  const auto& keys = engine_->Keys();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    CKeyStorage& entry = *keys[i];
    // Positions left by an earlier dialog must never match a selection here.
    entry.listPosition = -1;
    const std::string piece = "|" + entry.name + "|";
    if (allowedKeys_.find(piece) == std::string::npos) continue;
    const int item = v.AddItem(kIdKeyList, engine_->DescribeKey(entry));
    entry.listPosition = item;
    if (!offered || entry.name == preferredKey_) {
      selectedKey_ = static_cast<int>(i);
      selectItem = item;
    }
    offered = true;
  }
  v.SetCurSel(kIdKeyList, selectItem);
}

void CSignDlg::UpdateKeyFields() {
  const int s = View().CurSel(kIdKeyList);
  if (s < 0) return;
  int index = -1;
  CKeyStorage* entry = EntryListedAt(s, &index);
  if (!entry) return;
  if (index != selectedKey_) keyPrepared_ = 0;
  selectedKey_ = index;
  const bool pin = entry->kind == kKindSmartCard || entry->kind == kKindUsbToken;
  passwordLabel_ = LoadText(pin ? kTextPinLabel : kTextPasswordLabel);
  View().SetTypingLimit(kIdPassword, pin ? kPinLimit : kPasswordLimit);
}

// ---------------------------------------------------------------- the window

DialogTemplate CSignDlg::CreateTemplate() {
  DialogTemplate t;
  t.resourceId = kResourceId;
  t.caption = LoadText(SigningOperation() ? kTextCaptionSign : kTextCaptionLogin);
  const Rect frame = DluRect(0, 0, 279, 258);
  t.clientSize = {frame.width, frame.height};
  t.fontFace = "Tahoma";
  t.fontPoints = 8;
  t.closeBox = false;  // a caption, but no system menu and no close box

  // In tab order: the key list, the password, the keyboard, the two
  // buttons, then everything else.
  // The drop-down list is given its closed height; the toolkit sizes the
  // opened list itself.
  t.controls.push_back(Control(kIdKeyList, ControlKind::kDropDownList, DluRect(143, 183, 129, 13)));
  t.controls.push_back(
      Control(kIdPassword, ControlKind::kEdit, DluRect(143, 202, 101, 12), {}, kStylePassword));
  t.controls.push_back(Control(kIdKeyboard, ControlKind::kIconButton, DluRect(246, 198, 26, 16),
                               {}, kStyleNone, kIconKeyboard));
  t.controls.push_back(Control(kIdcOk, ControlKind::kPushButton, DluRect(96, 237, 44, 14),
                               SigningOperation() ? LoadText(kTextSignButton) : "OK",
                               kStyleDefault));
  t.controls.push_back(Control(kIdcCancel, ControlKind::kPushButton, DluRect(143, 237, 44, 14),
                               LoadText(kTextCancelButton)));
  t.controls.push_back(Control(kIdExpand, ControlKind::kIconButton, DluRect(221, 0, 51, 12),
                               LoadText(kTextExpand), kStyleNone, kIconExpand));
  t.controls.push_back(Control(kIdTopLine, ControlKind::kBevelLine, DluRect(7, 3, 186, 8)));
  t.controls.push_back(Control(kIdOrderGroup, ControlKind::kGroupBox, DluRect(7, 15, 265, 28),
                               LoadText(kTextOrderGroup)));
  // One radio group: the toolkit keeps exactly one of the two checked.
  t.controls.push_back(Control(kIdFormattedView, ControlKind::kRadioButton,
                               DluRect(65, 25, 71, 12), LoadText(kTextFormatted), kStyleGroup));
  t.controls.push_back(Control(kIdSignedView, ControlKind::kRadioButton, DluRect(143, 25, 79, 12),
                               LoadText(kTextSigned)));
  t.controls.push_back(Control(kIdOrderList, ControlKind::kListView, DluRect(7, 47, 265, 126), {},
                               kStyleVirtual | kStyleNoSortHeader));
  t.controls.push_back(
      Control(kIdOrderText, ControlKind::kTextBox, DluRect(7, 47, 265, 12), {}, kStyleHidden));
  t.controls.push_back(Control(kIdOrderLine, ControlKind::kBevelLine, DluRect(7, 173, 265, 8)));
  t.controls.push_back(
      Control(kIdLoginNote, ControlKind::kStatic, DluRect(7, 5, 260, 22), {}, kStyleHidden));
  t.controls.push_back(Control(kIdKeyLabel, ControlKind::kStatic, DluRect(7, 184, 129, 11)));
  t.controls.push_back(Control(kIdPasswordLabel, ControlKind::kStatic, DluRect(7, 204, 110, 10)));
  // The icon stands in the button row and is as high as the buttons, so
  // that the window's lower edge, which follows the buttons, never cuts it.
  t.controls.push_back(Control(kIdSignIcon, ControlKind::kIcon, DluRect(7, 237, 21, 14), {},
                               kStyleNone, kIconSign));
  return t;
}

void CSignDlg::DoDataExchange(bool readControls) {
  IDialogView& v = View();
  if (readControls) {
    v.ReadText(kIdPassword, password_);
    SecureText text;
    v.ReadText(kIdKeyLabel, text);
    keyLabel_.assign(text.c_str(), text.size());
    v.ReadText(kIdPasswordLabel, text);
    passwordLabel_.assign(text.c_str(), text.size());
    v.ReadText(kIdLoginNote, text);
    loginNote_.assign(text.c_str(), text.size());
    formattedView_ = v.IsChecked(kIdFormattedView) ? 0 : -1;
    signedView_ = v.IsChecked(kIdSignedView) ? 0 : -1;
  } else {
    v.SetText(kIdPassword, std::string_view(password_.c_str(), password_.size()));
    v.SetText(kIdKeyLabel, keyLabel_);
    v.SetText(kIdPasswordLabel, passwordLabel_);
    v.SetText(kIdLoginNote, loginNote_);
    v.SetCheck(kIdFormattedView, formattedView_ == 0);
    v.SetCheck(kIdSignedView, signedView_ == 0);
  }
}

void CSignDlg::OnInitDialog() {
  IDialogView& v = View();
  boxContent_ = kBoxNothing;
  keyLabel_ = LoadText(SigningOperation() ? kTextKeyLabelSign : kTextKeyLabelLogin);
  loginNote_ = LoadText(kTextLoginNote);

  DoDataExchange(false);

  v.SetCaption(LoadText(SigningOperation() ? kTextCaptionSign : kTextCaptionLogin));
  v.SetText(kIdcOk, SigningOperation() ? LoadText(kTextSignButton) : std::string("OK"));
  v.SetText(kIdcCancel, LoadText(kTextCancelButton));
  v.SetText(kIdOrderGroup, LoadText(kTextOrderGroup));
  v.SetText(kIdFormattedView, LoadText(kTextFormatted));
  v.SetText(kIdSignedView, LoadText(kTextSigned));
  v.SetIcon(kIdKeyboard, kIconKeyboard);
  v.SetIcon(kIdExpand, kIconExpand);

  if (OrderLayout()) PrepareOrderView();

  FillKeyList();
  UpdateKeyFields();

  if (dialogType_ != 0) collapsed_ = 1;

  if (OrderLayout()) DoDataExchange(false);

  ArrangeControls();
  if (!OrderLayout()) DoDataExchange(false);

  v.SetTopmost(true);
  v.SetMasked(kIdPassword, true);
}

// The order part of the initialisation: the view radios, the display copy
// and its parse, the list's columns and rows, and the text box's size and
// scroll bars.
void CSignDlg::PrepareOrderView() {
  IDialogView& v = View();
  formattedView_ = 0;
  signedView_ = -1;
  v.SetCheck(kIdFormattedView, true);
  v.SetCheck(kIdSignedView, false);

  boxHeight_ = v.ControlRect(kIdOrderList).height;
  const Rect box = v.ControlRect(kIdOrderText);
  const Size clientWithBars = v.ControlClientSize(kIdOrderText);
  v.ShowScrollBars(kIdOrderText, false, false);
  const Size client = v.ControlClientSize(kIdOrderText);

  order_.BuildDisplay();
  const std::string_view shown = order_.VisibleText();
  const int lines = 1 + static_cast<int>(std::count(shown.begin(), shown.end(), '\n'));
  const int h = v.LineHeight(kIdOrderText);

  multiLine_ = shown.substr(0, std::strlen(kMultiLinePrefix)) == kMultiLinePrefix ? 1 : 0;
  if (multiLine_) v.ShowControl(kIdOrderList, false);

  const Rect list = v.ControlRect(kIdOrderList);
  const int columnWidth = list.width / 2 - 2;
  v.AddColumn(kIdOrderList, LoadText(kTextParameterColumn), columnWidth);
  v.AddColumn(kIdOrderList, LoadText(kTextValueColumn), columnWidth);
  // The rows stay in the parse; the list asks for the ones it shows.
  v.SetVirtualRowCount(kIdOrderList, multiLine_ ? 0 : static_cast<int>(order_.RowCount()));

  const int border = box.height - client.height;
  vScroll_ = static_cast<long long>(lines) * h + border > boxHeight_ ? 1 : 0;
  const int width = vScroll_ ? clientWithBars.width : client.width;
  hScroll_ = AnyLineWiderThan(shown, width) ? 1 : 0;

  if (!multiLine_ && lines == 1) boxHeight_ = box.height + (hScroll_ ? h : 0);

  v.ShowScrollBars(kIdOrderText, hScroll_ != 0, vScroll_ != 0);
  Rect sized = v.ControlRect(kIdOrderText);
  sized.height = boxHeight_;
  v.MoveControl(kIdOrderText, sized);
  v.ShowControl(kIdOrderText, multiLine_ != 0);
}

// Whether the widest line of the text is wider than `width` in the text
// box's font. A line's width is estimated from the widths of its characters
// measured one by one; only a line whose estimate is near `width` is
// measured as a whole, so a long order costs few measurements however its
// lines are cut.
bool CSignDlg::AnyLineWiderThan(std::string_view text, int width) {
  IDialogView& v = View();
  int glyphWidth[256] = {0};
  char glyph = 0;
  for (int c = 0x20; c <= 0xFF; ++c) {
    glyph = static_cast<char>(c);
    glyphWidth[c] = std::max(0, v.MeasureText(kIdOrderText, std::string_view(&glyph, 1)).width);
  }
  constexpr int kTabColumns = 8;
  glyphWidth[static_cast<unsigned char>('\t')] = kTabColumns * glyphWidth[static_cast<unsigned char>(' ')];
  const long long limit = width;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    long long estimate = 0;
    for (char ch : line) {
      estimate += glyphWidth[static_cast<unsigned char>(ch)];
      if (estimate > 2 * limit) return true;  // far too wide, kerning or not
    }
    if (2 * estimate >= limit && v.MeasureText(kIdOrderText, line).width > width) return true;
    start = end + 1;
  }
  return false;
}

// The text box shows the formatted text while the formatted view of a
// multi-line order is selected, and the text exactly as signed otherwise.
// It receives its text only while it is visible: the texts never change
// while the dialog is open, and an order can be megabytes long.
void CSignDlg::UpdateBoxText() {
  if (!OrderLayout() || !View().IsVisible(kIdOrderText)) return;
  const BoxContent content = multiLine_ && formattedView_ == 0 ? kBoxFormatted : kBoxSigned;
  if (boxContent_ == content) return;
  boxContent_ = content;
  if (content == kBoxFormatted) View().SetText(kIdOrderText, order_.FormattedText());
  else View().SetText(kIdOrderText, order_.VisibleText());
}

std::string CSignDlg::OnGetItemText(int id, int row, int column) {
  if (id != kIdOrderList || row < 0) return {};
  const auto r = static_cast<std::size_t>(row);
  if (column == 0) return order_.Parameter(r);
  if (column == 1) return std::string(order_.Value(r));
  return {};
}

void CSignDlg::ArrangeControls() {
  IDialogView& v = View();
  auto place = [&v](int id, int top) {
    Rect r = v.ControlRect(id);
    r.y = top;
    v.MoveControl(id, r);
  };
  auto height = [&v](int id) { return v.ControlRect(id).height; };
  auto showOrderSection = [&v](bool show) {
    for (int id : {kIdOrderGroup, kIdFormattedView, kIdSignedView, kIdOrderList, kIdOrderText})
      v.ShowControl(id, show);
  };

  int y = 0;
  if (OrderLayout()) {
    if (dialogType_ != 0) {
      y = 0;
      v.ShowControl(kIdTopLine, true);
      v.ShowControl(kIdExpand, true);
      place(kIdExpand, y);
      v.SetIcon(kIdExpand, collapsed_ ? kIconExpand : kIconCollapse);
      v.SetText(kIdExpand, LoadText(collapsed_ ? kTextExpand : kTextCollapse));
      y += collapsed_ ? height(kIdExpand) + 2 : height(kIdExpand) - 2;
    } else {
      y = 12;
      v.ShowControl(kIdTopLine, false);
      v.ShowControl(kIdExpand, false);
    }

    if (collapsed_) {
      showOrderSection(false);
    } else {
      place(kIdOrderGroup, y + 2);
      v.ShowControl(kIdOrderGroup, true);
      y += 20;
      place(kIdFormattedView, y);
      place(kIdSignedView, y);
      v.ShowControl(kIdFormattedView, true);
      v.ShowControl(kIdSignedView, true);
      y += height(kIdFormattedView) + 15;
      place(kIdOrderList, y);
      place(kIdOrderText, y);
      const bool listShown = formattedView_ == 0 && !multiLine_;
      v.ShowControl(kIdOrderList, listShown);
      v.ShowControl(kIdOrderText, !listShown);
    }

    // The order area takes the list's height while it is unfolded; folded
    // away it takes no room.
    const int area = collapsed_ ? 0 : height(kIdOrderList);
    if (dialogType_ != 0) {
      y += area + 2;
      place(kIdOrderLine, y);
      v.ShowControl(kIdOrderLine, true);
      y += height(kIdOrderLine) + 2;
    } else {
      v.ShowControl(kIdOrderLine, false);
      y += area + 10;
    }
  } else {
    y = 12;
    showOrderSection(false);
    v.ShowControl(kIdOrderLine, false);
    v.ShowControl(kIdTopLine, false);
    v.ShowControl(kIdExpand, false);
    if (!loginNote_.empty()) {
      place(kIdLoginNote, y + 3);
      v.ShowControl(kIdLoginNote, true);
      y += height(kIdLoginNote) + 10;
    } else {
      v.ShowControl(kIdLoginNote, false);
    }
  }

  y += 5;
  place(kIdKeyLabel, y + 3);
  place(kIdKeyList, y);
  y += height(kIdKeyList) + 10;

  const CKeyStorage* key = EntryAt(selectedKey_);
  const bool passwordRow = dialogType_ != 0 && key && key->kind != kKindCertStore;
  if (passwordRow) {
    place(kIdPasswordLabel, y + 3);
    place(kIdPassword, y + 6);
    place(kIdKeyboard, y);
    y += height(kIdKeyboard) + 10;
  }
  for (int id : {kIdPasswordLabel, kIdPassword, kIdKeyboard}) v.ShowControl(id, passwordRow);

  for (int id : {kIdSignIcon, kIdcCancel, kIdcOk}) place(id, y);
  y += height(kIdcOk);

  // The window keeps its place and width; its lower edge comes to y, in
  // client coordinates, below a margin of twice the dialog frame.
  const FrameMetrics m = v.Metrics();
  y += 2 * m.frameHeight;
  v.SetClientSize({v.ClientSize().width, y - m.frameHeight});
  UpdateBoxText();

  if (dialogType_ != 0 && passwordRow) v.SetFocus(kIdPassword);
}

// ---------------------------------------------------------------- user actions

void CSignDlg::OnCommand(int id, Notify code) {
  if (code == Notify::kClicked) {
    if (id == kIdFormattedView || id == kIdSignedView) ShowOrderView(id);
    else if (id == kIdExpand) ToggleExpand();
    else if (id == kIdKeyboard) UseKeyboard();
  } else if (code == Notify::kSelChange && id == kIdKeyList) {
    OnKeyChosen();
  }
}

void CSignDlg::ShowOrderView(int id) {
  IDialogView& v = View();
  DoDataExchange(true);
  if (id == kIdFormattedView && formattedView_ == 0) {
    signedView_ = -1;
    DoDataExchange(false);
  } else if (id == kIdSignedView && signedView_ == 0) {
    formattedView_ = -1;
    DoDataExchange(false);
  }
  if (!OrderLayout() || collapsed_) return;
  if (formattedView_ == 0) {
    if (!multiLine_) {
      v.ShowControl(kIdOrderList, true);
      v.ShowControl(kIdOrderText, false);
    }
  } else if (signedView_ == 0) {
    if (!multiLine_) {
      v.ShowControl(kIdOrderText, true);
      v.ShowControl(kIdOrderList, false);
    }
  }
  UpdateBoxText();
}

void CSignDlg::ToggleExpand() {
  collapsed_ = collapsed_ ? 0 : 1;
  DoDataExchange(true);
  ArrangeControls();
  DoDataExchange(false);
}

void CSignDlg::UseKeyboard() {
  CKeyboardDlg keyboard;
  if (keyboard.DoModal() != kIdOk) return;
  password_ = keyboard.Text();
  DoDataExchange(false);
}

void CSignDlg::OnKeyChosen() {
  DoDataExchange(true);
  UpdateKeyFields();
  ArrangeControls();
  DoDataExchange(false);
}

void CSignDlg::OnOK() {
  DoDataExchange(true);
  const int s = View().CurSel(kIdKeyList);
  if (s < 0) return;
  int index = -1;
  CKeyStorage* entry = EntryListedAt(s, &index);
  if (!entry) return;

  CToolboxUtils support;
  if (entry->kind == kKindSmartCard && !support.SmartCardSupport()) {
    MessageBox(kTextNoCardDriver, kTitleTextId);
    return;
  }
  if (entry->kind == kKindUsbToken && !support.UsbTokenSupport()) {
    MessageBox(kTextNoUsbDriver, kTitleTextId);
    return;
  }
  if (index != selectedKey_) keyPrepared_ = 0;
  selectedKey_ = index;
  chosenName_ = entry->name;

  int rc = PerformSigning();
  // A key file holding another key (36) or an unreadable PKCS#8 file (98):
  // the store has forgotten the file's place, so the attempt repeats at
  // once and asks for the file again.
  for (int retry = 0; (rc == kErrKeyDigestMismatch || rc == kErrPkcs8Parse) && retry < kMaxFileRetries;
       ++retry)
    rc = PerformSigning();

  if (OneOf(rc, {kOk, kErrHexData, kErrPinLocked, kErrKeyBlocked, kErrBothPinsLocked})) {
    EndDialog(kIdOk);
  } else if (rc == kErrTokenNotInitialised) {
    MessageBox(kTextCardNotInitialised, 0);
  } else if (OneOf(rc, {kErrCancelled, kErrBadPassword, kErrNoSmartCard, kErrPinLength,
                        kErrPinIncorrect, kErrTokenAbsent, kErrNoReader, kErrPcscLocate, kErrNoCard,
                        kErrNoUsbToken, kErrNoKeyOnUsbToken, kErrKeyDigestMismatch,
                        kErrPkcs8Parse})) {
    // The store has told the user; the dialog stays open for another try.
  } else {
    EndDialog(kIdOk);
  }
}

void CSignDlg::OnDestroy() { password_.clear(); }

// ---------------------------------------------------------------- signing

int CSignDlg::PerformSigning() {
  result_ = RunSigning();
  return result_;
}

int CSignDlg::RunSigning() {
  if (length_ == 0 || !data_) return kErrArgument;
  CKeyStorage* entry = EntryAt(selectedKey_);
  if (!entry) return kErrKeyKindUnusable;

  if (keyPrepared_ != 1) {
    const int rc = engine_->SelectKey(entry->name.c_str(), silent_, &tokenCode_, &tokenReport_,
                                      nullptr, pinPukCb_);
    if (rc != kOk) return rc;
    keyPrepared_ = 1;
  }

  const bool typed = dialogType_ != 0 && silent_ == 0;
  const int ask = typed ? 0 : 1;
  SecureText password;
  if (typed) password = password_;

  int rc = kErrBadPassword;
  int proceed = 1;
  for (int round = 0; proceed == 1 && round < kMaxUseKeyRounds &&
                      OneOf(rc, {kErrBadPassword, kErrPinIncorrect, kErrPinLocked,
                                 kErrBothPinsLocked, kErrInitTokenRefused});
       ++round) {
    rc = engine_->UseKey(operation_, ask, typed ? password.c_str() : nullptr, data_, length_,
                         signature_, silent_, &tokenCode_, &tokenReport_, nullptr, passwordCb_,
                         pinPukCb_, &proceed);
    const bool refused = OneOf(rc, {kErrBadPassword, kErrPinLocked, kErrBothPinsLocked});
    if (silent_ == 0 && (refused || (rc == kErrPinIncorrect && dialogType_ != 0))) {
      password_.clear();
      DoDataExchange(false);
      View().SetFocus(kIdPassword);
      return rc;
    }
    if (silent_ != 0 && refused) return rc;
  }

  if (rc != kOk) {
    keyPrepared_ = 0;
    return rc;
  }
  return engine_->ReleaseKey();
}

}  // namespace quenta
