#include "dialogs/keyboard_dlg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/keys_storage_comp.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"
#include "tests/support/scripted_ui.h"

namespace {

using namespace quenta;
using quenta_test::DrawOp;
using quenta_test::ScriptedDialog;
using quenta_test::ScriptedUi;

using Slot = CKeyboardDlg::SpecialSlot;

// Where to click: a character key (by what it shows without modifiers) or a
// special slot.
struct Target {
  char key = 0;
  int slot = -1;
};
Target K(char c) { return Target{c, -1}; }
Target S(int slot) { return Target{0, slot}; }

int KeyIndexOf(char plain) {
  for (int i = 0; i < CKeyboardDlg::kCharacterKeys; ++i)
    if (CKeyboardDlg::CharacterFor(0, i) == plain) return i;
  return -1;
}

Point CentreOf(const CKeyboardDlg& kb, Target t) {
  if (t.slot >= 0) {
    const auto& s = kb.Special(t.slot);
    return {(s.left + s.right) / 2, (s.top + s.bottom) / 2};
  }
  const int index = KeyIndexOf(t.key);
  for (const auto& k : kb.Keys())
    if (k->keyIndex == index) return {(k->left + k->right) / 2, (k->top + k->bottom) / 2};
  ADD_FAILURE() << "no key " << t.key;
  return {-1, -1};
}

class Keyboard : public ::testing::Test {
 protected:
  ~Keyboard() override { SelectLanguage(0); }

  // Runs the keyboard with a script and returns its end value.
  int Run(const std::function<void(ScriptedDialog&)>& script) {
    ui_.scripts.push_back(script);
    return kb_.DoModal();
  }
  void Click(ScriptedDialog& d, Target t) {
    const Point p = CentreOf(kb_, t);
    d.Tap(p.x, p.y);
  }

  ScriptedUi ui_;
  CKeyboardDlg kb_;
};

TEST_F(Keyboard, LayoutGivesTheSpecialKeysAndWindowSize) {
  struct Expected { int slot, left, right, top; };
  const Expected expected[] = {
      {Slot::kSlotBackspace, 335, 372, 45}, {Slot::kSlotTab, 10, 47, 70},
      {Slot::kSlotLock, 10, 55, 95},        {Slot::kSlotEnter, 330, 372, 95},
      {Slot::kSlotShiftLeft, 10, 65, 120},  {Slot::kSlotShiftRight, 315, 370, 120},
      {Slot::kSlotGap, 10, 72, 145},        {Slot::kSlotAltLeft, 72, 109, 145},
      {Slot::kSlotSpace, 109, 277, 145},    {Slot::kSlotAltRight, 277, 314, 145},
  };
  Run([&](ScriptedDialog& d) {
    for (const Expected& e : expected) {
      SCOPED_TRACE(e.slot);
      const auto& s = kb_.Special(e.slot);
      EXPECT_EQ(s.left, e.left);
      EXPECT_EQ(s.right, e.right);
      EXPECT_EQ(s.top, e.top);
      EXPECT_EQ(s.bottom, e.top + 25);
    }
    EXPECT_EQ(kb_.ComputedWindowSize(), (Size{382, 205}));
    EXPECT_EQ(d.WindowSize(), (Size{382, 205}));
    EXPECT_EQ(d.RectOf(CKeyboardDlg::kEditId), (Rect{10, 10, 362, 25}));
    EXPECT_TRUE(d.Masked(CKeyboardDlg::kEditId));
    EXPECT_EQ(d.Caption(), "Klawiatura");
  });
}

TEST_F(Keyboard, FirstPaintRecordsTheCharacterKeysRowByRow) {
  Run([&](ScriptedDialog&) {
    const auto& keys = kb_.Keys();
    ASSERT_EQ(keys.size(), 47u);
    struct Row { int first, count, left, top; };
    const Row rows[] = {{0, 13, 10, 45}, {13, 13, 47, 70}, {26, 11, 55, 95}, {37, 10, 65, 120}};
    for (const Row& r : rows) {
      for (int i = 0; i < r.count; ++i) {
        const sKeyDesc& k = *keys[r.first + i];
        EXPECT_EQ(k.keyIndex, r.first + i);
        EXPECT_EQ(k.left, r.left + 25 * i);
        EXPECT_EQ(k.right, k.left + 25);
        EXPECT_EQ(k.top, r.top);
      }
    }
  });
  // A second run of the same object does not add the keys again.
  Run([](ScriptedDialog&) {});
  EXPECT_EQ(kb_.Keys().size(), 47u);
}

TEST(KeyboardCharacters, EightSetsWithPolishLettersUnderAlt) {
  const std::string plain = "`1234567890-=qwertyuiop[]\\asdfghjkl;'zxcvbnm,./";
  const std::string shifted = "~!@#$%^&*()_+QWERTYUIOP{}|ASDFGHJKL:\"ZXCVBNM<>?";
  auto set = [](int mode) {
    std::string s;
    for (int i = 0; i < CKeyboardDlg::kCharacterKeys; ++i) s += CKeyboardDlg::CharacterFor(mode, i);
    return s;
  };
  EXPECT_EQ(set(0), plain);
  EXPECT_EQ(set(1), shifted);
  EXPECT_EQ(set(4), "`1234567890-=QWERTYUIOP[]\\ASDFGHJKL;'ZXCVBNM,./");
  EXPECT_EQ(set(5), "~!@#$%^&*()_+qwertyuiop{}|asdfghjkl:\"zxcvbnm<>?");

  // Alt changes exactly the nine letter keys, to the letter in the case of
  // the set it is based on.
  const std::string latin = "acelnosxz";
  const std::string lower = "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF";
  const std::string upper = "\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF";
  struct AltMode { int mode, base; const std::string* letters; };
  const AltMode alt[] = {{2, 0, &lower}, {3, 1, &upper}, {6, 4, &upper}, {7, 5, &lower}};
  for (const AltMode& a : alt) {
    SCOPED_TRACE(a.mode);
    std::string expected = set(a.base);
    for (std::size_t i = 0; i < latin.size(); ++i)
      expected[plain.find(latin[i])] = (*a.letters)[i];
    EXPECT_EQ(set(a.mode), expected);
  }
  EXPECT_EQ(CKeyboardDlg::CharacterFor(8, 0), '\0');
  EXPECT_EQ(CKeyboardDlg::CharacterFor(0, 47), '\0');
}

TEST_F(Keyboard, ClickSequencesTypeTheExpectedBytes) {
  struct Case {
    const char* what;
    std::vector<Target> clicks;
    std::string text;
    int mode;  // afterwards
  };
  const Case cases[] = {
      {"plain key", {K('a')}, "a", 0},
      {"Shift acts on one character", {S(Slot::kSlotShiftLeft), K('a'), K('a')}, "Aa", 0},
      {"either Shift key", {S(Slot::kSlotShiftRight), K('1')}, "!", 0},
      {"Shift twice is off again", {S(Slot::kSlotShiftLeft), S(Slot::kSlotShiftRight), K('q')}, "q", 0},
      {"Caps Lock stays on", {S(Slot::kSlotLock), K('a'), K('b'), K('1')}, "AB1", 4},
      {"Caps Lock then Shift", {S(Slot::kSlotLock), S(Slot::kSlotShiftLeft), K('a'), K('a')}, "aA", 4},
      {"Alt z", {S(Slot::kSlotAltLeft), K('z'), K('z')}, "\xBFz", 0},
      {"Alt and Shift x", {S(Slot::kSlotAltRight), S(Slot::kSlotShiftLeft), K('x')}, "\x8F", 0},
      {"Caps Lock and Alt", {S(Slot::kSlotLock), S(Slot::kSlotAltLeft), K('a')}, "\xA5", 4},
      {"Caps Lock, Alt and Shift", {S(Slot::kSlotLock), S(Slot::kSlotAltLeft), S(Slot::kSlotShiftLeft), K('s')}, "\x9C", 4},
      {"Alt on a key without a Polish letter", {S(Slot::kSlotAltLeft), K('q')}, "q", 0},
      {"Space", {K('a'), S(Slot::kSlotSpace), K('b')}, "a b", 0},
      {"Backspace", {K('a'), K('b'), S(Slot::kSlotBackspace)}, "a", 0},
      {"Backspace on empty text", {S(Slot::kSlotBackspace)}, "", 0},
      {"Tab and the gap do nothing", {S(Slot::kSlotTab), S(Slot::kSlotGap)}, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CKeyboardDlg kb;
    ui_.scripts.push_back([&](ScriptedDialog& d) {
      for (const Target& t : c.clicks) {
        const Point p = CentreOf(kb, t);
        d.Tap(p.x, p.y);
      }
      EXPECT_EQ(std::string(kb.Text().c_str()), c.text);
      EXPECT_EQ(kb.Mode(), c.mode);
      EXPECT_EQ(d.Shown(CKeyboardDlg::kEditId), std::string(c.text.size(), '*'));
    });
    EXPECT_EQ(kb.DoModal(), kIdCancel);  // closed by the close box
  }
}

TEST_F(Keyboard, OnlyPointsStrictlyInsideAKeyHit) {
  Run([&](ScriptedDialog& d) {
    const sKeyDesc& q = *kb_.Keys()[KeyIndexOf('q')];
    const Point misses[] = {{q.left, q.top + 10},  {q.right, q.top + 10}, {q.left + 10, q.top},
                            {q.left + 10, q.bottom}, {5, 5}, {200, 180}};
    for (const Point& p : misses) d.Tap(p.x, p.y);
    EXPECT_STREQ(kb_.Text().c_str(), "");
    d.Tap(q.left + 1, q.top + 1);
    d.Tap(q.right - 1, q.bottom - 1);
    EXPECT_STREQ(kb_.Text().c_str(), "qq");
  });
}

TEST_F(Keyboard, ModifiersAndCharactersWaitForTheRelease) {
  Run([&](ScriptedDialog& d) {
    Click(d, S(Slot::kSlotShiftLeft));
    const Point a = CentreOf(kb_, K('a'));
    d.MouseDown(a.x, a.y);
    EXPECT_STREQ(kb_.Text().c_str(), "A");
    EXPECT_TRUE(kb_.Shift());  // still on until the button comes up
    d.MouseLeave();            // leaving the window releases as well
    EXPECT_FALSE(kb_.Shift());
    const Point b = CentreOf(kb_, K('b'));
    d.Mouse(MouseEvent::kDoubleClick, b.x, b.y);
    d.MouseUp(b.x, b.y);
    EXPECT_STREQ(kb_.Text().c_str(), "Ab");
  });
}

TEST_F(Keyboard, EnterEndsWithOkAfterTheRelease) {
  ui_.scripts.push_back([&](ScriptedDialog& d) {
    Click(d, K('x'));
    const Point enter = CentreOf(kb_, S(Slot::kSlotEnter));
    d.MouseDown(enter.x, enter.y);
    EXPECT_FALSE(d.Ended());
    d.MouseUp(enter.x, enter.y);
    EXPECT_TRUE(d.Ended());
  });
  EXPECT_EQ(kb_.DoModal(), kIdOk);
  EXPECT_STREQ(kb_.Text().c_str(), "x");
}

TEST_F(Keyboard, KeysOfTheWindowEndIt) {
  struct Case { const char* what; std::function<void(ScriptedDialog&)> act; int end; };
  const Case cases[] = {
      {"close box", [](ScriptedDialog& d) { d.CloseBox(); }, kIdCancel},
      {"Escape", [](ScriptedDialog& d) { d.PressEscape(); }, kIdCancel},
      {"physical Enter", [](ScriptedDialog& d) { d.PressEnter(); }, kIdOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CKeyboardDlg kb;
    kb.SetText("pre");
    ui_.scripts.push_back(c.act);
    EXPECT_EQ(kb.DoModal(), c.end);
    EXPECT_FALSE(ui_.dialogs.back().forced);
  }
}

TEST_F(Keyboard, PresetTextIsShownMaskedAndBackspaceShortensIt) {
  kb_.SetText("abc");
  Run([&](ScriptedDialog& d) {
    EXPECT_EQ(d.Shown(CKeyboardDlg::kEditId), "***");
    EXPECT_EQ(d.Text(CKeyboardDlg::kEditId), "abc");
    Click(d, S(Slot::kSlotBackspace));
    EXPECT_EQ(d.Text(CKeyboardDlg::kEditId), "ab");
    // The edit takes nothing from the physical keyboard.
    d.Type(CKeyboardDlg::kEditId, "zz");
    EXPECT_EQ(d.Text(CKeyboardDlg::kEditId), "ab");
    EXPECT_STREQ(kb_.Text().c_str(), "ab");
  });
}

// Drawing: the whole keyboard into the off-screen surface at the first
// paint, a key's frame only when it is pressed and released, the whole
// keyboard again on a modifier change.
class KeyboardDrawing : public Keyboard {
 protected:
  static std::vector<Point> LightEdge(int l, int t, int r, int b) {
    return {{l + 1, b - 4}, {l + 1, t + 3}, {l + 2, t + 1}, {r - 4, t + 1}};
  }
  static std::vector<Point> DarkEdge(int l, int t, int r, int b) {
    return {{r - 4, t + 1}, {r - 2, t + 3}, {r - 2, b - 5}, {r - 5, b - 2}, {l + 4, b - 2}, {l + 1, b - 4}};
  }
  static bool Same(const std::vector<Point>& a, const std::vector<Point>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (a[i].x != b[i].x || a[i].y != b[i].y) return false;
    return true;
  }
  // The frame a pair of polylines at `at` draws: 1 released, 2 pressed, 0 neither.
  static int FrameAt(const std::vector<DrawOp>& ops, std::size_t at, int l, int t, int r, int b) {
    if (at + 1 >= ops.size() || ops[at].kind != DrawOp::kPolyline) return 0;
    if (!Same(ops[at].points, LightEdge(l, t, r, b)) || !Same(ops[at + 1].points, DarkEdge(l, t, r, b)))
      return 0;
    if (ops[at].width != 2 || ops[at + 1].width != 2) return 0;
    if (ops[at].colour == CKeyboardDlg::kWhite && ops[at + 1].colour == CKeyboardDlg::kBlack) return 1;
    if (ops[at].colour == CKeyboardDlg::kBlack && ops[at + 1].colour == CKeyboardDlg::kWhite) return 2;
    return 0;
  }
  static std::vector<std::string> TextsAt(const std::vector<DrawOp>& ops, int x, int y) {
    std::vector<std::string> out;
    for (const DrawOp& op : ops)
      if (op.kind == DrawOp::kText && op.x == x && op.y == y) out.push_back(op.text);
    return out;
  }
};

TEST_F(KeyboardDrawing, FirstPaintDrawsEveryKeyReleased) {
  Run([&](ScriptedDialog& d) {
    auto* s = d.Surface();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->size, d.ClientSize());
    const auto& ops = s->ops;
    ASSERT_GE(ops.size(), 2u);
    EXPECT_EQ(ops[0].kind, DrawOp::kFill);
    EXPECT_EQ(ops[0].colour, CKeyboardDlg::kBackground);
    EXPECT_EQ(ops[0].rect, (Rect{0, 0, d.ClientSize().width, d.ClientSize().height}));
    EXPECT_EQ(ops[1].kind, DrawOp::kFont);
    EXPECT_EQ(ops[1].font.face, "Arial CE");
    EXPECT_EQ(ops[1].font.pixelHeight, 12);
    EXPECT_FALSE(ops[1].font.bold);
    // Each character key: its frame released and its character at (+3, +2).
    std::size_t at = 2;
    int frames = 0;
    for (; at + 2 < ops.size(); ++at) {
      for (const auto& k : kb_.Keys()) {
        if (FrameAt(ops, at, k->left, k->top, k->right, k->bottom) == 1) {
          ++frames;
          EXPECT_EQ(ops[at + 2].kind, DrawOp::kText);
          EXPECT_EQ(ops[at + 2].x, k->left + 3);
          EXPECT_EQ(ops[at + 2].y, k->top + 2);
          EXPECT_EQ(ops[at + 2].text, std::string(1, CKeyboardDlg::CharacterFor(0, k->keyIndex)));
        }
      }
    }
    EXPECT_EQ(frames, 47);
    // Nine labelled special keys; the gap draws nothing.
    for (int slot = 0; slot < CKeyboardDlg::kSpecialSlots; ++slot) {
      const auto& k = kb_.Special(slot);
      EXPECT_EQ(TextsAt(ops, k.left + 3, k.top),
                slot == Slot::kSlotGap ? std::vector<std::string>{}
                                       : std::vector<std::string>{CKeyboardDlg::SpecialLabel(slot)})
          << slot;
    }
    EXPECT_EQ(d.Paints(), 1);
  });
}

TEST_F(KeyboardDrawing, PressDrawsOneFramePressedAndReleaseRestoresIt) {
  Run([&](ScriptedDialog& d) {
    auto& ops = d.Surface()->ops;
    const sKeyDesc& k = *kb_.Keys()[KeyIndexOf('m')];
    ops.clear();
    d.MouseDown(k.left + 5, k.top + 5);
    ASSERT_EQ(ops.size(), 2u);  // only that key's frame
    EXPECT_EQ(FrameAt(ops, 0, k.left, k.top, k.right, k.bottom), 2);
    ops.clear();
    d.MouseUp(k.left + 5, k.top + 5);
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(FrameAt(ops, 0, k.left, k.top, k.right, k.bottom), 1);
    EXPECT_GT(d.Repaints(), 0);
  });
}

TEST_F(KeyboardDrawing, ModifierRedrawsTheKeyboardWithTheNewCharacters) {
  Run([&](ScriptedDialog& d) {
    auto& ops = d.Surface()->ops;
    ops.clear();
    Click(d, S(Slot::kSlotAltLeft));
    const sKeyDesc& e = *kb_.Keys()[KeyIndexOf('e')];
    EXPECT_EQ(TextsAt(ops, e.left + 3, e.top + 2), std::vector<std::string>{"\xEA"});
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops[0].kind, DrawOp::kFill);
    // Both Alt keys are drawn pressed, the Shift keys released.
    int altPressed = 0, shiftReleased = 0;
    for (std::size_t i = 0; i + 1 < ops.size(); ++i) {
      for (int slot : {Slot::kSlotAltLeft, Slot::kSlotAltRight}) {
        const auto& s = kb_.Special(slot);
        altPressed += FrameAt(ops, i, s.left, s.top, s.right, s.bottom) == 2;
      }
      for (int slot : {Slot::kSlotShiftLeft, Slot::kSlotShiftRight}) {
        const auto& s = kb_.Special(slot);
        shiftReleased += FrameAt(ops, i, s.left, s.top, s.right, s.bottom) == 1;
      }
    }
    EXPECT_EQ(altPressed, 2);
    EXPECT_EQ(shiftReleased, 2);
    EXPECT_TRUE(kb_.Special(Slot::kSlotAltRight).pressed);
  });
}

TEST(KeyboardEntry, RunKeyboardAndShowKeyboardReturnTextOrEndValue) {
  ScriptedUi ui;
  // Enter at once (the physical key): an empty text.
  ui.scripts.push_back([](ScriptedDialog& d) { d.PressEnter(); });
  std::string text = "old";
  int endValue = -1;
  EXPECT_EQ(RunKeyboard(&text, &endValue), kOk);
  EXPECT_EQ(text, "");
  EXPECT_EQ(endValue, -1);

  ui.scripts.push_back([](ScriptedDialog& d) { d.PressEscape(); });
  EXPECT_EQ(RunKeyboard(&text, &endValue), kErrCancelled);
  EXPECT_EQ(endValue, kIdCancel);

  CKeysStorageComp engine;
  ui.scripts.push_back([](ScriptedDialog& d) {
    d.Tap(72, 57);  // the key "2" of the first row
    d.PressEnter();
  });
  EXPECT_EQ(engine.ShowKeyboard(&text, &endValue), kOk);
  EXPECT_EQ(text, "2");
  ui.scripts.push_back([](ScriptedDialog& d) { d.CloseBox(); });
  EXPECT_EQ(engine.ShowKeyboard(&text, &endValue), kErrCancelled);
  EXPECT_EQ(endValue, kIdCancel);
  ASSERT_EQ(ui.dialogs.size(), 4u);
  for (const auto& r : ui.dialogs) EXPECT_EQ(r.resourceId, CKeyboardDlg::kResourceId);
}

TEST(KeyboardTexts, CaptionFollowsTheLanguage) {
  ScriptedUi ui;
  const char* expected[] = {"Klawiatura", "Keyboard", "Tatstatur"};
  for (int language = 0; language < 3; ++language) {
    SelectLanguage(language);
    CKeyboardDlg kb;
    kb.DoModal();
    EXPECT_EQ(ui.dialogs.back().caption, expected[language]);
  }
  SelectLanguage(0);
}

}  // namespace
