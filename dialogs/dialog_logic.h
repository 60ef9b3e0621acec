// The dialog foundation: every dialog is a logic class (state, control ids,
// texts, validation, layout rules, button handlers, end value) that talks to
// a thin view through IDialogView. Running a dialog goes through the current
// IUserInterface: the toolkit adapter builds a real window from the dialog's
// template and forwards its events; the scripted interface of the tests runs
// the same logic headlessly.
//
// All texts crossing this interface are Windows-1250 byte strings; a view
// converts them only where it draws. Geometry is in pixels of the dialog's
// client area.
//
// Writing a dialog: derive from CDialogLogic with the resource id, describe
// the controls in CreateTemplate (ids, kinds, rectangles, styles; DluRect
// converts dialog units), set texts, limits and layout in OnInitDialog
// through View(), and handle OnOK / OnCancel / OnCommand / OnTimer. End with
// EndDialog(value); show messages with MessageBox (they reach the current
// IUserInterface, so a test sees the text id and answers it). Callers run
// the dialog with DoModal and read its outputs afterwards. Secret edits
// (kStylePassword) are emptied by every view when the window goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dialogs/ui.h"
#include "engine/secure.h"

namespace quenta {

struct Point {
  int x = 0;
  int y = 0;
};

struct Size {
  int width = 0;
  int height = 0;
};

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int Right() const { return x + width; }
  int Bottom() const { return y + height; }
};

inline bool operator==(const Size& a, const Size& b) {
  return a.width == b.width && a.height == b.height;
}
inline bool operator==(const Rect& a, const Rect& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// Dialog templates are laid out in dialog units of an 8-point dialog font,
// whose base units are 6 x 13 pixels; this maps them to pixels the way the
// dialog manager does (rounded).
Rect DluRect(int x, int y, int width, int height);
int DluToPixelsX(int dlu);
int DluToPixelsY(int dlu);

// Standard command ids.
constexpr int kIdcOk = 1;
constexpr int kIdcCancel = 2;
constexpr int kIdcStatic = -1;  // controls nobody addresses

enum class ControlKind {
  kStatic,        // text label, wraps at its width
  kGroupBox,      // frame with a caption
  kPushButton,
  kIconButton,    // push button showing an icon (and the text, when not empty)
  kRadioButton,
  kCheckBox,
  kEdit,          // single-line edit
  kTextBox,       // read-only multi-line text
  kDropDownList,  // non-editable drop-down list
  kListView,      // report-style list with full-row selection
  kProgressBar,
  kIcon,          // static icon
  kBevelLine,     // horizontal separator line
};

enum ControlStyle : unsigned {
  kStyleNone = 0,
  kStyleDefault = 1u << 0,      // the default push button (Enter presses it)
  kStylePassword = 1u << 1,     // edit: every character shown as "*"
  kStyleReadOnly = 1u << 2,     // edit: the user cannot change the text
  kStyleGroup = 1u << 3,        // radio button: first of a group
  kStyleHidden = 1u << 4,       // not visible at creation
  kStyleDisabled = 1u << 5,     // disabled at creation
  kStyleMultiSelect = 1u << 6,  // list view: several rows may be selected
  kStyleVirtual = 1u << 7,      // list view: rows come from OnGetItemText
  kStyleNoSortHeader = 1u << 8, // list view: headers are not buttons
};

struct ControlDef {
  int id = kIdcStatic;
  ControlKind kind = ControlKind::kStatic;
  Rect rect;
  std::string text;  // Windows-1250
  unsigned style = kStyleNone;
  int iconId = 0;    // icon buttons and static icons
};

struct DialogTemplate {
  int resourceId = 0;
  std::string caption;            // Windows-1250
  Size clientSize;
  std::string fontFace = "Tahoma";
  int fontPoints = 8;
  bool closeBox = true;           // a close box (system menu) in the caption
  bool ownerDrawn = false;        // the logic paints the client area and gets the mouse
  std::vector<ControlDef> controls;  // in tab order
};

// Icons the dialogs show (ids of the icon resources).
enum IconId {
  kIconKeyboard = 224,
  kIconSign = 226,
  kIconExpand = 229,
  kIconCollapse = 230,
};

enum class Notify {
  kClicked,      // button, radio button, check box
  kChanged,      // the user changed an edit's text
  kSelChange,    // a drop-down list or list view selection was completed
  kDoubleClick,  // a list view row was activated
};

struct MouseEvent {
  enum Kind { kDown, kUp, kDoubleClick, kMove, kLeave };
  Kind kind = kDown;
  int x = 0;
  int y = 0;
};

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
};
inline bool operator==(const Rgb& a, const Rgb& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

struct FontDef {
  std::string face;       // requested face; a view falls back explicitly when missing
  int pixelHeight = 12;   // character height in pixels
  bool bold = false;
};

// An off-screen drawing surface. Texts are drawn with a transparent background.
class IDrawSurface {
 public:
  virtual ~IDrawSurface() = default;
  virtual void Fill(const Rect& r, Rgb colour) = 0;
  virtual void Polyline(const Point* points, std::size_t count, Rgb colour, int width) = 0;
  virtual void SetFont(const FontDef& font) = 0;
  virtual void Text(int x, int y, std::string_view text, Rgb colour) = 0;
};

// Sizes a view reports about its window system.
struct FrameMetrics {
  int captionHeight = 0;
  int frameWidth = 0;   // dialog frame, each side
  int frameHeight = 0;  // dialog frame, top and bottom
};

// What a dialog's logic can do to its window. Calls naming a control that
// does not exist are ignored (queries answer empty values).
class IDialogView {
 public:
  virtual ~IDialogView() = default;

  // ---- the window ----
  virtual void SetCaption(std::string_view text) = 0;
  virtual std::string Caption() const = 0;
  virtual Size ClientSize() const = 0;
  virtual void SetClientSize(Size size) = 0;
  virtual Size WindowSize() const = 0;        // outer size
  virtual void SetWindowSize(Size size) = 0;  // outer size
  virtual FrameMetrics Metrics() const = 0;
  virtual void SetTopmost(bool topmost) = 0;
  // Ends the modal run once the current event has been handled.
  virtual void EndDialog(int result) = 0;

  // ---- any control ----
  virtual bool HasControl(int id) const = 0;
  virtual void SetText(int id, std::string_view text) = 0;
  virtual void ReadText(int id, SecureText& out) const = 0;
  virtual void ShowControl(int id, bool show) = 0;
  virtual bool IsVisible(int id) const = 0;
  virtual void EnableControl(int id, bool enable) = 0;
  virtual bool IsEnabled(int id) const = 0;
  virtual void MoveControl(int id, const Rect& r) = 0;
  virtual Rect ControlRect(int id) const = 0;
  virtual Size ControlClientSize(int id) const = 0;
  virtual void SetFocus(int id) = 0;
  virtual int FocusedControl() const = 0;  // kIdcStatic when none of ours
  virtual void SetIcon(int id, int iconId) = 0;

  // ---- edits ----
  // Limits what the user can type (0: no limit). Text set by the program is
  // not cut, as with the Windows edit control.
  virtual void SetTypingLimit(int id, int characters) = 0;
  virtual void SetMasked(int id, bool masked) = 0;  // "*" for every character
  virtual void SetCaretToEnd(int id) = 0;

  // ---- buttons ----
  virtual void SetCheck(int id, bool checked) = 0;
  virtual bool IsChecked(int id) const = 0;

  // ---- drop-down lists ----
  virtual void ClearItems(int id) = 0;
  virtual int AddItem(int id, std::string_view text) = 0;  // index of the new item
  virtual int ItemCount(int id) const = 0;
  virtual void SetCurSel(int id, int index) = 0;  // -1: none
  virtual int CurSel(int id) const = 0;

  // ---- list views ----
  virtual void AddColumn(int id, std::string_view heading, int width) = 0;
  virtual void SetColumnWidth(int id, int column, int width) = 0;
  virtual int ColumnWidth(int id, int column) const = 0;
  virtual void DeleteAllRows(int id) = 0;
  virtual int InsertRow(int id, int row, std::string_view text) = 0;  // index of the row
  virtual void SetCellText(int id, int row, int column, std::string_view text) = 0;
  virtual std::string CellText(int id, int row, int column) const = 0;
  virtual int RowCount(int id) const = 0;
  virtual void SetVirtualRowCount(int id, int rows) = 0;  // kStyleVirtual lists
  virtual void SelectRow(int id, int row, bool selected) = 0;
  virtual std::vector<int> SelectedRows(int id) const = 0;

  // ---- progress bars ----
  virtual void SetRange(int id, int low, int high) = 0;
  virtual void SetPos(int id, int pos) = 0;
  virtual int Pos(int id) const = 0;

  // ---- text boxes ----
  virtual void ShowScrollBars(int id, bool horizontal, bool vertical) = 0;

  // ---- measuring, in the control's font ----
  virtual Size MeasureText(int id, std::string_view text) const = 0;  // one line
  virtual int LineHeight(int id) const = 0;

  // ---- timers (OnTimer) ----
  virtual void SetTimer(int timerId, int milliseconds) = 0;
  virtual void KillTimer(int timerId) = 0;

  // ---- owner drawing (templates with ownerDrawn) ----
  // The off-screen surface of the client area, created at the first call
  // with the given size and kept until the dialog ends.
  virtual IDrawSurface* BackBuffer(Size size) = 0;
  // Copies the back buffer to the window (soon, not necessarily at once).
  virtual void Repaint() = 0;
};

class CDialogLogic {
 public:
  explicit CDialogLogic(int resourceId);
  virtual ~CDialogLogic();
  CDialogLogic(const CDialogLogic&) = delete;
  CDialogLogic& operator=(const CDialogLogic&) = delete;

  // Runs the dialog modally through the current user interface and returns
  // the value it ended with.
  int DoModal();

  int ResourceId() const { return resourceId_; }
  bool Ended() const { return ended_; }
  int EndValue() const { return endValue_; }

  // ---- called by the views ----
  // Builds the template the view creates its window from (texts in the
  // current language) and keeps a copy for the dispatch below.
  const DialogTemplate& PrepareTemplate();
  const DialogTemplate& Template() const { return template_; }
  void DispatchInit(IDialogView* view);
  void DispatchCommand(int id, Notify code);
  void DispatchEnter();   // the Enter key: the default button, or IDOK without one
  void DispatchEscape();  // the Escape key: IDCANCEL
  void DispatchClose();   // the close box
  void DispatchTimer(int timerId);
  void DispatchPaint();
  void DispatchMouse(const MouseEvent& e);
  std::string DispatchGetItemText(int id, int row, int column);
  // The window has gone: OnDestroy, then the view is detached.
  void DispatchDestroy();

 protected:
  virtual DialogTemplate CreateTemplate() = 0;
  virtual void OnInitDialog() {}
  virtual void OnOK();      // IDOK: EndDialog(kIdOk)
  virtual void OnCancel();  // IDCANCEL: EndDialog(kIdCancel)
  virtual void OnClose();   // the close box: OnCancel()
  virtual void OnCommand(int id, Notify code) {}
  virtual void OnTimer(int timerId) {}
  virtual void OnPaint() {}
  virtual void OnMouse(const MouseEvent& e) {}
  virtual std::string OnGetItemText(int id, int row, int column) { return {}; }
  virtual void OnDestroy() {}

  // The view while the dialog runs; a view that ignores everything otherwise.
  IDialogView& View();
  bool HasView() const { return view_ != nullptr; }
  void EndDialog(int result);

  // A modal message box through the current user interface, texts from the
  // table. captionId 0 gives an empty caption; kTitleTextId the title.
  int MessageBox(int textId, int captionId, MsgIcon icon = MsgIcon::kError,
                 MsgButtons buttons = MsgButtons::kOk);

 private:
  int resourceId_;
  IDialogView* view_ = nullptr;
  bool ended_ = false;
  int endValue_ = kIdCancel;
  DialogTemplate template_;
};

}  // namespace quenta
