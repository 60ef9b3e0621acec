// A real dialog window mirroring a dialog logic: built from the logic's
// template, it forwards clicks, typing, selections, keys, timers, paints and
// the mouse to the logic and carries out what the logic asks of its view.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/dialog.h>
#include <wx/timer.h>

#include "dialogs/dialog_logic.h"

class wxFont;

namespace quenta {

class WxDialogView : public wxDialog, public IDialogView {
 public:
  WxDialogView(wxWindow* parent, CDialogLogic& logic, const DialogTemplate& t);
  ~WxDialogView() override;

  // Initialises the logic, shows the window modally until the logic ends
  // it, wipes the secret edits and tells the logic the window has gone.
  int Run();

  // The innermost dialog being run, the parent for what opens from it.
  static WxDialogView* Innermost();
  int ResourceId() const { return resourceId_; }
  CDialogLogic& Logic() { return logic_; }
  // The window of a control, for tests; null for an unknown id.
  wxWindow* ControlWindow(int id) const;
  // The off-screen bitmap of an owner-drawn dialog (invalid before the first paint).
  const wxBitmap& BackBufferBitmap() const { return bitmap_; }

  // ---- IDialogView ----
  void SetCaption(std::string_view text) override;
  std::string Caption() const override;
  Size ClientSize() const override;
  void SetClientSize(Size size) override;
  Size WindowSize() const override;
  void SetWindowSize(Size size) override;
  FrameMetrics Metrics() const override;
  void SetTopmost(bool topmost) override;
  void EndDialog(int result) override;
  bool HasControl(int id) const override;
  void SetText(int id, std::string_view text) override;
  void ReadText(int id, SecureText& out) const override;
  void ShowControl(int id, bool show) override;
  bool IsVisible(int id) const override;
  void EnableControl(int id, bool enable) override;
  bool IsEnabled(int id) const override;
  void MoveControl(int id, const Rect& r) override;
  Rect ControlRect(int id) const override;
  Size ControlClientSize(int id) const override;
  void SetFocus(int id) override;
  int FocusedControl() const override;
  void SetIcon(int id, int iconId) override;
  void SetTypingLimit(int id, int characters) override;
  void SetMasked(int id, bool masked) override;
  void SetCaretToEnd(int id) override;
  void SetCheck(int id, bool checked) override;
  bool IsChecked(int id) const override;
  void ClearItems(int id) override;
  int AddItem(int id, std::string_view text) override;
  int ItemCount(int id) const override;
  void SetCurSel(int id, int index) override;
  int CurSel(int id) const override;
  void AddColumn(int id, std::string_view heading, int width) override;
  void SetColumnWidth(int id, int column, int width) override;
  int ColumnWidth(int id, int column) const override;
  void DeleteAllRows(int id) override;
  int InsertRow(int id, int row, std::string_view text) override;
  void SetCellText(int id, int row, int column, std::string_view text) override;
  std::string CellText(int id, int row, int column) const override;
  int RowCount(int id) const override;
  void SetVirtualRowCount(int id, int rows) override;
  void SelectRow(int id, int row, bool selected) override;
  std::vector<int> SelectedRows(int id) const override;
  void SetRange(int id, int low, int high) override;
  void SetPos(int id, int pos) override;
  int Pos(int id) const override;
  void ShowScrollBars(int id, bool horizontal, bool vertical) override;
  Size MeasureText(int id, std::string_view text) const override;
  int LineHeight(int id) const override;
  void SetTimer(int timerId, int milliseconds) override;
  void KillTimer(int timerId) override;
  IDrawSurface* BackBuffer(Size size) override;
  void Repaint() override;

 private:
  struct Control {
    int id = kIdcStatic;
    ControlKind kind = ControlKind::kStatic;
    unsigned style = 0;
    wxWindow* window = nullptr;
    int limit = 0;
    bool masked = false;
    int low = 0;  // progress bars
  };

  void CreateControls(const DialogTemplate& t);
  wxWindow* CreateControl(const ControlDef& def, Control& c);
  void BindEvents(Control& c);
  Control* Find(int id);
  const Control* Find(int id) const;
  int IdOf(const wxWindow* w) const;
  void OnCharHook(wxKeyEvent& e);
  void OnEditChar(int id, wxKeyEvent& e);
  void OnEditPaste(int id, wxClipboardTextEvent& e);
  void OnPaint(wxPaintEvent& e);
  void OnMouse(wxMouseEvent& e);
  void Finish();

  CDialogLogic& logic_;
  int resourceId_ = 0;
  bool ownerDrawn_ = false;
  std::vector<Control> controls_;
  std::map<int, std::unique_ptr<wxTimer>> timers_;
  bool ended_ = false;
  bool running_ = false;
  int endValue_ = kIdCancel;
  bool quiet_ = false;  // selection changes made by the logic send no events
  wxBitmap bitmap_;
  wxMemoryDC memoryDc_;
  std::unique_ptr<IDrawSurface> surface_;
};

// The font for a face, falling back explicitly when it is not installed:
// the face without a " CE" suffix, then Liberation Sans, then DejaVu Sans.
wxFont FontFor(const std::string& face, double points, bool bold = false);

}  // namespace quenta
