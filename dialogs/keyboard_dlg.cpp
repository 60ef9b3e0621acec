#include "dialogs/keyboard_dlg.h"

#include <vector>

#include "engine/result_codes.h"
#include "plugin/texts.h"

namespace quenta {

const char KeyboardLayoutString[] = "d@|@d|@b@|@a@| @@@";

const Rgb CKeyboardDlg::kBackground{160, 160, 160};
const Rgb CKeyboardDlg::kWhite{255, 255, 255};
const Rgb CKeyboardDlg::kBlack{0, 0, 0};

namespace {

// The four sets without Alt, row by row (13, 13, 11 and 10 keys).
const char kPlain[] = "`1234567890-=" "qwertyuiop[]\\" "asdfghjkl;'" "zxcvbnm,./";
const char kShifted[] = "~!@#$%^&*()_+" "QWERTYUIOP{}|" "ASDFGHJKL:\"" "ZXCVBNM<>?";
const char kCaps[] = "`1234567890-=" "QWERTYUIOP[]\\" "ASDFGHJKL;'" "ZXCVBNM,./";
const char kCapsShifted[] = "~!@#$%^&*()_+" "qwertyuiop{}|" "asdfghjkl:\"" "zxcvbnm<>?";

static_assert(sizeof kPlain - 1 == CKeyboardDlg::kCharacterKeys, "47 keys");
static_assert(sizeof kShifted - 1 == CKeyboardDlg::kCharacterKeys, "47 keys");
static_assert(sizeof kCaps - 1 == CKeyboardDlg::kCharacterKeys, "47 keys");
static_assert(sizeof kCapsShifted - 1 == CKeyboardDlg::kCharacterKeys, "47 keys");

// Alt puts the Polish letter on nine letter keys, in the case the key has
// in the set without Alt. Windows-1250 bytes.
struct PolishLetter {
  char latin;
  unsigned char lower;
  unsigned char upper;
};
const PolishLetter kPolish[] = {
    {'a', 0xB9, 0xA5},  // ą Ą
    {'c', 0xE6, 0xC6},  // ć Ć
    {'e', 0xEA, 0xCA},  // ę Ę
    {'l', 0xB3, 0xA3},  // ł Ł
    {'n', 0xF1, 0xD1},  // ń Ń
    {'o', 0xF3, 0xD3},  // ó Ó
    {'s', 0x9C, 0x8C},  // ś Ś
    {'x', 0x9F, 0x8F},  // ź Ź
    {'z', 0xBF, 0xAF},  // ż Ż
};

struct CharacterSets {
  char set[8][CKeyboardDlg::kCharacterKeys];
  CharacterSets() {
    const char* base[8] = {kPlain, kShifted, kPlain, kShifted,
                           kCaps,  kCapsShifted, kCaps, kCapsShifted};
    for (int mode = 0; mode < 8; ++mode) {
      for (int i = 0; i < CKeyboardDlg::kCharacterKeys; ++i) {
        char c = base[mode][i];
        if (mode & 2) {
          for (const PolishLetter& p : kPolish) {
            if (c == p.latin) c = static_cast<char>(p.lower);
            else if (c == p.latin - 'a' + 'A') c = static_cast<char>(p.upper);
          }
        }
        set[mode][i] = c;
      }
    }
  }
};

const CharacterSets& Sets() {
  static const CharacterSets sets;
  return sets;
}

const char* const kSpecialLabels[CKeyboardDlg::kSpecialSlots] = {
    "BSp", "Tab", "Lock", "Enter", "Shift", "Shift", "", "Alt", " ", "Alt"};
const double kSpecialFactors[CKeyboardDlg::kSpecialSlots] = {1.5, 1.5, 1.8, 1.7, 2.2,
                                                              2.2, 2.5, 1.5, 6.75, 1.5};

template <class R>
bool Inside(const R& r, int x, int y) {
  return r.left < x && x < r.right && r.top < y && y < r.bottom;
}

void AppendSecret(SecureText& text, char c) {
  std::vector<char, WipingAllocator<char>> buf(text.c_str(), text.c_str() + text.size());
  buf.push_back(c);
  text.assign(buf.data(), buf.size());
}

}  // namespace

CKeyboardDlg::CKeyboardDlg(void*) : CDialogLogic(kResourceId) {}

CKeyboardDlg::~CKeyboardDlg() = default;

void CKeyboardDlg::SetText(const char* text) { text_.assign(text); }

char CKeyboardDlg::CharacterFor(int mode, int keyIndex) {
  if (mode < 0 || mode > 7 || keyIndex < 0 || keyIndex >= kCharacterKeys) return '\0';
  return Sets().set[mode][keyIndex];
}

const char* CKeyboardDlg::SpecialLabel(int slot) {
  return slot >= 0 && slot < kSpecialSlots ? kSpecialLabels[slot] : "";
}

double CKeyboardDlg::SpecialWidthFactor(int slot) {
  return slot >= 0 && slot < kSpecialSlots ? kSpecialFactors[slot] : 0.0;
}

DialogTemplate CKeyboardDlg::CreateTemplate() {
  WalkLayout(nullptr, false);
  DialogTemplate t;
  t.resourceId = kResourceId;
  t.caption = LoadText(kCaptionTextId);
  t.clientSize = {windowWidth_, windowHeight_};
  t.closeBox = true;
  t.ownerDrawn = true;
  ControlDef edit;
  edit.id = kEditId;
  edit.kind = ControlKind::kEdit;
  edit.rect = {leftMargin_, topMargin_, windowWidth_ - 2 * leftMargin_, keyHeight_};
  edit.style = kStylePassword | kStyleReadOnly;
  t.controls.push_back(edit);
  return t;
}

void CKeyboardDlg::OnInitDialog() {
  // The layout once without drawing: the special keys and the window size.
  WalkLayout(nullptr, false);
  View().SetWindowSize({windowWidth_, windowHeight_});
  View().SetCaption(LoadText(kCaptionTextId));
  View().SetMasked(kEditId, true);
  View().MoveControl(kEditId, {leftMargin_, topMargin_, windowWidth_ - 2 * leftMargin_, keyHeight_});
  ShowText();
}

void CKeyboardDlg::OnPaint() {
  if (drawn_) return;  // the view copies the back buffer
  View().SetWindowSize({windowWidth_, windowHeight_});
  View().MoveControl(kEditId, {leftMargin_, topMargin_, windowWidth_ - 2 * leftMargin_, keyHeight_});
  if (!Surface()) return;
  DrawKeyboard();
  drawn_ = true;
}

void CKeyboardDlg::OnMouse(const MouseEvent& e) {
  switch (e.kind) {
    case MouseEvent::kDown:
    case MouseEvent::kDoubleClick:
      Press(e.x, e.y);
      break;
    case MouseEvent::kUp:
    case MouseEvent::kLeave:
      Release();
      break;
    case MouseEvent::kMove:
      break;
  }
}

void CKeyboardDlg::OnDestroy() {
  pressedKey_ = nullptr;
  pendingKey_ = pendingEnter_ = pendingSpace_ = pendingBackspace_ = false;
}

IDrawSurface* CKeyboardDlg::Surface() { return View().BackBuffer(View().ClientSize()); }

void CKeyboardDlg::WalkLayout(IDrawSurface* surface, bool recordKeys) {
  int x = leftMargin_;
  int y = keyHeight_ + 2 * topMargin_;
  int keyIndex = 0;
  int slot = 0;
  int maxRight = 0;
  int maxBottom = 0;
  for (const char* p = KeyboardLayoutString; *p; ++p) {
    const char c = *p;
    if (c == '|') {
      y += keyHeight_;
      x = leftMargin_;
    } else if (c == '@' || c == ' ') {
      if (slot >= kSpecialSlots) continue;
      const int width = static_cast<int>(keyWidth_ * kSpecialFactors[slot]);
      SpecialKey& k = special_[slot];
      k.left = x;
      k.right = x + width;
      k.top = y;
      k.bottom = y + keyHeight_;
      if (c == '@') {
        if (k.right > maxRight) maxRight = k.right;
        if (k.bottom > maxBottom) maxBottom = k.bottom;
        if (surface) DrawSpecial(slot);
      }
      x += width;
      ++slot;
    } else {
      int run = 0;
      if (c >= '0' && c <= '9') run = c - '0';
      else if (c >= 'a' && c <= 'f') run = c - 'a' + 10;
      for (int i = 0; i < run && keyIndex < kCharacterKeys; ++i, ++keyIndex) {
        if (surface) {
          DrawFrame(x, y, x + keyWidth_, y + keyHeight_, false);
          const char ch = CharacterFor(mode_, keyIndex);
          surface->Text(x + 3, y + 2, std::string_view(&ch, 1), kBlack);
        }
        if (recordKeys) {
          auto key = std::make_unique<sKeyDesc>();
          key->left = x;
          key->right = x + keyWidth_;
          key->top = y;
          key->bottom = y + keyHeight_;
          key->keyIndex = keyIndex;
          keys_.push_back(std::move(key));
        }
        x += keyWidth_;
      }
    }
  }
  windowWidth_ = maxRight + leftMargin_;
  windowHeight_ = maxBottom + keyHeight_ + topMargin_;
}

void CKeyboardDlg::DrawKeyboard() {
  IDrawSurface* s = Surface();
  if (!s) return;
  const Size client = View().ClientSize();
  s->Fill({0, 0, client.width, client.height}, kBackground);
  s->SetFont(FontDef{"Arial CE", 12, false});
  WalkLayout(s, keys_.empty());
}

void CKeyboardDlg::DrawFrame(int left, int top, int right, int bottom, bool pressed) {
  IDrawSurface* s = Surface();
  if (!s) return;
  const Rgb first = pressed ? kBlack : kWhite;
  const Rgb second = pressed ? kWhite : kBlack;
  const Point light[] = {{left + 1, bottom - 4}, {left + 1, top + 3}, {left + 2, top + 1},
                         {right - 4, top + 1}};
  const Point dark[] = {{right - 4, top + 1},    {right - 2, top + 3}, {right - 2, bottom - 5},
                        {right - 5, bottom - 2}, {left + 4, bottom - 2}, {left + 1, bottom - 4}};
  s->Polyline(light, sizeof light / sizeof light[0], first, 2);
  s->Polyline(dark, sizeof dark / sizeof dark[0], second, 2);
}

void CKeyboardDlg::DrawSpecial(int slot) {
  if (slot == kSlotGap) return;
  IDrawSurface* s = Surface();
  if (!s) return;
  const SpecialKey& k = special_[slot];
  DrawFrame(k.left, k.top, k.right, k.bottom, k.pressed);
  s->Text(k.left + 3, k.top, kSpecialLabels[slot], kBlack);
}

void CKeyboardDlg::ShowText() {
  View().SetText(kEditId, std::string_view(text_.c_str(), text_.size()));
  View().SetCaretToEnd(kEditId);
}

void CKeyboardDlg::UpdateMode() {
  mode_ = (shift_ ? 1 : 0) + (alt_ ? 2 : 0) + (caps_ ? 4 : 0);
}

void CKeyboardDlg::ToggleShift() {
  shift_ = !shift_;
  special_[kSlotShiftLeft].pressed = special_[kSlotShiftRight].pressed = shift_;
  UpdateMode();
  DrawKeyboard();
  View().Repaint();
}

void CKeyboardDlg::ToggleAlt() {
  alt_ = !alt_;
  special_[kSlotAltLeft].pressed = special_[kSlotAltRight].pressed = alt_;
  UpdateMode();
  DrawKeyboard();
  View().Repaint();
}

void CKeyboardDlg::ToggleCaps() {
  caps_ = !caps_;
  special_[kSlotLock].pressed = caps_;
  UpdateMode();
  DrawKeyboard();
  View().Repaint();
}

void CKeyboardDlg::Press(int x, int y) {
  for (const auto& key : keys_) {
    if (!Inside(*key, x, y)) continue;
    pressedKey_ = key.get();
    DrawFrame(key->left, key->top, key->right, key->bottom, true);
    pendingKey_ = true;
    AppendSecret(text_, CharacterFor(mode_, key->keyIndex));
    ShowText();
    View().Repaint();
    break;
  }

  auto hit = [&](int slot) { return Inside(special_[slot], x, y); };
  if (hit(kSlotShiftLeft) || hit(kSlotShiftRight)) {
    ToggleShift();
  } else if (hit(kSlotAltLeft) || hit(kSlotAltRight)) {
    ToggleAlt();
  } else if (hit(kSlotLock)) {
    ToggleCaps();
  } else if (hit(kSlotEnter)) {
    special_[kSlotEnter].pressed = true;
    DrawSpecial(kSlotEnter);
    pendingEnter_ = true;
    View().Repaint();
  } else if (hit(kSlotSpace)) {
    special_[kSlotSpace].pressed = true;
    DrawSpecial(kSlotSpace);
    AppendSecret(text_, ' ');
    ShowText();
    pendingSpace_ = true;
    View().Repaint();
  } else if (hit(kSlotBackspace)) {
    special_[kSlotBackspace].pressed = true;
    DrawSpecial(kSlotBackspace);
    pendingBackspace_ = true;
    if (!text_.empty()) text_.assign(text_.c_str(), text_.size() - 1);
    ShowText();
    View().Repaint();
  }
  // Tab and the gap do nothing.
}

void CKeyboardDlg::Release() {
  if (pendingKey_) {
    if (pressedKey_)
      DrawFrame(pressedKey_->left, pressedKey_->top, pressedKey_->right, pressedKey_->bottom, false);
    // Shift and Alt act on one character.
    if (shift_) ToggleShift();
    if (alt_) ToggleAlt();
    pendingKey_ = false;
    pressedKey_ = nullptr;
    View().Repaint();
  }
  if (pendingEnter_) {
    pendingEnter_ = false;
    special_[kSlotEnter].pressed = false;
    EndDialog(kIdOk);
    return;
  }
  for (bool* pending : {&pendingSpace_, &pendingBackspace_}) {
    if (!*pending) continue;
    const int slot = pending == &pendingSpace_ ? kSlotSpace : kSlotBackspace;
    special_[slot].pressed = false;
    DrawSpecial(slot);
    *pending = false;
    View().Repaint();
  }
}

int RunKeyboard(std::string* text, int* endValue) {
  CKeyboardDlg dialog;
  const int result = dialog.DoModal();
  if (result == kIdOk) {
    if (text) text->assign(dialog.Text().c_str(), dialog.Text().size());
    return kOk;
  }
  if (endValue) *endValue = result;
  return kErrCancelled;
}

}  // namespace quenta
