// The on-screen keyboard: a modal dialog that draws its own US-style keys
// and lets the user type a secret with the mouse only. Alt gives the Polish
// letters (Windows-1250 bytes). The typed text is kept in a read-only,
// masked edit and handed back when the drawn Enter key is clicked.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "dialogs/dialog_logic.h"
#include "engine/secure.h"

namespace quenta {

// Hexadecimal digits: a run of that many character keys; '@': the next
// special slot; ' ': the next special slot as an empty gap; '|': next row.
extern const char KeyboardLayoutString[];

// One character key, in layout order.
struct sKeyDesc {
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
  int keyIndex = 0;  // 0..46
};

class CKeyboardDlg : public CDialogLogic {
 public:
  static constexpr int kResourceId = 202;
  static constexpr int kEditId = 202;
  static constexpr int kCaptionTextId = 315;
  static constexpr int kCharacterKeys = 47;
  static constexpr int kSpecialSlots = 10;

  enum SpecialSlot {
    kSlotBackspace = 0,
    kSlotTab = 1,
    kSlotLock = 2,
    kSlotEnter = 3,
    kSlotShiftLeft = 4,
    kSlotShiftRight = 5,
    kSlotGap = 6,
    kSlotAltLeft = 7,
    kSlotSpace = 8,
    kSlotAltRight = 9,
  };

  struct SpecialKey {
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;
    bool pressed = false;
  };

  static const Rgb kBackground;  // RGB(160, 160, 160)
  static const Rgb kWhite;
  static const Rgb kBlack;

  // The parent is not used: the keyboard is always centred on the screen.
  explicit CKeyboardDlg(void* parent = nullptr);
  ~CKeyboardDlg() override;

  // The text to start with (shown masked); the caller may preset it.
  void SetText(const char* text);
  const SecureText& Text() const { return text_; }

  bool Shift() const { return shift_; }
  bool Alt() const { return alt_; }
  bool CapsLock() const { return caps_; }
  // Shift + 2 x Alt + 4 x Caps Lock.
  int Mode() const { return mode_; }

  // The character (Windows-1250 byte) a key gives in a mode.
  static char CharacterFor(int mode, int keyIndex);
  // The labels and width factors of the special slots.
  static const char* SpecialLabel(int slot);
  static double SpecialWidthFactor(int slot);

  // Filled at the first drawing.
  const std::vector<std::unique_ptr<sKeyDesc>>& Keys() const { return keys_; }
  const SpecialKey& Special(int slot) const { return special_[slot]; }
  Size ComputedWindowSize() const { return {windowWidth_, windowHeight_}; }

  // The pointer handling, also reached through OnMouse.
  void Press(int x, int y);
  void Release();

 protected:
  DialogTemplate CreateTemplate() override;
  void OnInitDialog() override;
  void OnPaint() override;
  void OnMouse(const MouseEvent& e) override;
  void OnDestroy() override;

 private:
  // Walks the layout: records the rectangles (character keys only when
  // recordKeys) and, with a surface, draws every key.
  void WalkLayout(IDrawSurface* surface, bool recordKeys);
  void DrawKeyboard();
  void DrawFrame(int left, int top, int right, int bottom, bool pressed);
  void DrawSpecial(int slot);
  void ShowText();
  void UpdateMode();
  void ToggleShift();
  void ToggleAlt();
  void ToggleCaps();
  IDrawSurface* Surface();

  SecureText text_;
  int keyWidth_ = 25;
  int keyHeight_ = 25;
  int leftMargin_ = 10;
  int topMargin_ = 10;
  bool shift_ = false;
  bool alt_ = false;
  bool caps_ = false;
  int mode_ = 0;
  std::vector<std::unique_ptr<sKeyDesc>> keys_;
  SpecialKey special_[kSpecialSlots];
  const sKeyDesc* pressedKey_ = nullptr;
  bool pendingKey_ = false;
  bool pendingEnter_ = false;
  bool pendingSpace_ = false;
  bool pendingBackspace_ = false;
  int windowWidth_ = 0;
  int windowHeight_ = 0;
  bool drawn_ = false;
};

// Shows the keyboard on its own (the page's ShowKeyboard): 0 and the typed
// text on OK, otherwise 8 and the dialog's end value.
int RunKeyboard(std::string* text, int* endValue);

}  // namespace quenta
