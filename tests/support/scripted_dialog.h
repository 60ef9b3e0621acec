// A headless dialog view for tests: holds the state of every control of a
// dialog template, lets a test act as the user would (type, click, choose,
// press keys, click the mouse, let timers fire) and read what is shown,
// visible, enabled and where. The dialog logic runs unchanged against it.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dialogs/dialog_logic.h"
#include "engine/secure.h"

namespace quenta_test {

// One drawing call on the off-screen surface.
struct DrawOp {
  enum Kind { kFill, kPolyline, kFont, kText };
  Kind kind = kFill;
  quenta::Rect rect;                 // kFill
  std::vector<quenta::Point> points; // kPolyline
  quenta::Rgb colour;                // kFill, kPolyline, kText
  int width = 0;                     // kPolyline
  quenta::FontDef font;             // kFont
  int x = 0;                         // kText
  int y = 0;                         // kText
  std::string text;                  // kText
};

class RecordingSurface : public quenta::IDrawSurface {
 public:
  explicit RecordingSurface(quenta::Size size) : size(size) {}
  void Fill(const quenta::Rect& r, quenta::Rgb colour) override {
    DrawOp op;
    op.kind = DrawOp::kFill;
    op.rect = r;
    op.colour = colour;
    ops.push_back(op);
  }
  void Polyline(const quenta::Point* points, std::size_t count, quenta::Rgb colour,
                int width) override {
    DrawOp op;
    op.kind = DrawOp::kPolyline;
    op.points.assign(points, points + count);
    op.colour = colour;
    op.width = width;
    ops.push_back(op);
  }
  void SetFont(const quenta::FontDef& font) override {
    DrawOp op;
    op.kind = DrawOp::kFont;
    op.font = font;
    ops.push_back(op);
  }
  void Text(int x, int y, std::string_view text, quenta::Rgb colour) override {
    DrawOp op;
    op.kind = DrawOp::kText;
    op.x = x;
    op.y = y;
    op.text.assign(text.data(), text.size());
    op.colour = colour;
    ops.push_back(op);
  }

  quenta::Size size;
  std::vector<DrawOp> ops;
};

struct ScriptedControl {
  quenta::ControlDef def;
  quenta::Rect rect;
  quenta::SecureText text;
  bool visible = true;
  bool enabled = true;
  bool masked = false;
  int limit = 0;
  bool checked = false;
  int icon = 0;
  std::vector<std::string> items;
  int curSel = -1;
  std::vector<std::pair<std::string, int>> columns;  // heading, width
  std::vector<std::vector<std::string>> rows;
  std::set<int> selected;
  int virtualRows = 0;
  int low = 0;
  int high = 100;
  int pos = 0;
  bool hScroll = false;
  bool vScroll = false;
};

class ScriptedDialog : public quenta::IDialogView {
 public:
  ScriptedDialog(quenta::CDialogLogic& logic, const quenta::DialogTemplate& t)
      : logic_(logic), template_(t), caption_(t.caption) {
    for (const quenta::ControlDef& def : t.controls) {
      ScriptedControl c;
      c.def = def;
      c.rect = def.rect;
      c.text.assign(def.text.c_str(), def.text.size());
      c.visible = (def.style & quenta::kStyleHidden) == 0;
      c.enabled = (def.style & quenta::kStyleDisabled) == 0;
      c.masked = (def.style & quenta::kStylePassword) != 0;
      c.icon = def.iconId;
      controls_.push_back(std::move(c));
    }
    client_ = t.clientSize;
  }

  // Sizes the view reports. Like a Windows dialog: a caption bar and a frame.
  int charWidth = 6;    // every byte of a text is this wide
  int lineHeight = 13;
  quenta::FrameMetrics metrics{19, 3, 3};

  // ---- the run (used by ScriptedUi) ----
  // Initialises the dialog and paints it once, as showing a window does.
  void Start() {
    logic_.DispatchInit(this);
    if (!ended_) Paint();
  }
  // The window goes: secret edits are wiped, the logic is told.
  void Finish() {
    for (ScriptedControl& c : controls_)
      if (c.masked) c.text.clear();
    timers_.clear();
    logic_.DispatchDestroy();
  }
  void ForceEnd(int result) {
    ended_ = true;
    endValue_ = result;
  }

  // ---- what the user does; false when the action could not reach the dialog ----
  bool Click(int id) {
    ScriptedControl* c = Usable(id);
    if (!c) return false;
    using quenta::ControlKind;
    switch (c->def.kind) {
      case ControlKind::kPushButton:
      case ControlKind::kIconButton:
        break;
      case ControlKind::kRadioButton:
        CheckRadio(id);
        break;
      case ControlKind::kCheckBox:
        c->checked = !c->checked;
        break;
      default:
        return false;
    }
    focus_ = id;
    logic_.DispatchCommand(id, quenta::Notify::kClicked);
    return true;
  }
  // Types at the end of an edit's text; stops at the typing limit. Read-only
  // edits take nothing.
  bool Type(int id, std::string_view text) {
    ScriptedControl* c = Usable(id);
    if (!c || c->def.kind != quenta::ControlKind::kEdit) return false;
    focus_ = id;
    if ((c->def.style & quenta::kStyleReadOnly) != 0) return false;
    std::string now(c->text.c_str(), c->text.size());
    std::size_t typed = 0;
    for (char ch : text) {
      if (c->limit > 0 && now.size() >= static_cast<std::size_t>(c->limit)) break;
      now.push_back(ch);
      ++typed;
    }
    c->text.assign(now.c_str(), now.size());
    quenta::SecureWipe(&now[0], now.size());
    if (typed > 0) logic_.DispatchCommand(id, quenta::Notify::kChanged);
    return true;
  }
  // Selects the whole text of an edit and types over it.
  bool Replace(int id, std::string_view text) {
    ScriptedControl* c = Usable(id);
    if (!c || c->def.kind != quenta::ControlKind::kEdit) return false;
    if ((c->def.style & quenta::kStyleReadOnly) != 0) return false;
    const bool hadText = !c->text.empty();
    c->text.clear();
    if (hadText && text.empty()) logic_.DispatchCommand(id, quenta::Notify::kChanged);
    return Type(id, text);
  }
  bool PressEnter() {
    if (ended_) return false;
    FlushPaint();
    logic_.DispatchEnter();
    return true;
  }
  bool PressEscape() {
    if (ended_) return false;
    FlushPaint();
    logic_.DispatchEscape();
    return true;
  }
  bool CloseBox() {
    if (ended_ || !template_.closeBox) return false;
    FlushPaint();
    logic_.DispatchClose();
    return true;
  }
  // Completes a choice in a drop-down list.
  bool Choose(int id, int index) {
    ScriptedControl* c = Usable(id);
    if (!c || c->def.kind != quenta::ControlKind::kDropDownList) return false;
    if (index < 0 || index >= static_cast<int>(c->items.size())) return false;
    c->curSel = index;
    focus_ = id;
    logic_.DispatchCommand(id, quenta::Notify::kSelChange);
    return true;
  }
  // Replaces the selection of a list view (a single row unless multi-select).
  bool SelectRows(int id, const std::vector<int>& rows) {
    ScriptedControl* c = Usable(id);
    if (!c || c->def.kind != quenta::ControlKind::kListView) return false;
    if (rows.size() > 1 && (c->def.style & quenta::kStyleMultiSelect) == 0) return false;
    const int count = RowCount(id);
    for (int r : rows)
      if (r < 0 || r >= count) return false;
    c->selected = std::set<int>(rows.begin(), rows.end());
    focus_ = id;
    logic_.DispatchCommand(id, quenta::Notify::kSelChange);
    return true;
  }
  bool Activate(int id, int row) {
    if (!SelectRows(id, {row})) return false;
    logic_.DispatchCommand(id, quenta::Notify::kDoubleClick);
    return true;
  }
  bool Mouse(quenta::MouseEvent::Kind kind, int x, int y) {
    if (ended_ || !template_.ownerDrawn) return false;
    FlushPaint();
    logic_.DispatchMouse(quenta::MouseEvent{kind, x, y});
    return true;
  }
  bool MouseDown(int x, int y) { return Mouse(quenta::MouseEvent::kDown, x, y); }
  bool MouseUp(int x, int y) { return Mouse(quenta::MouseEvent::kUp, x, y); }
  bool MouseLeave() { return Mouse(quenta::MouseEvent::kLeave, -1, -1); }
  // A full click: button down and up at the same point.
  bool Tap(int x, int y) { return MouseDown(x, y) && (ended_ || MouseUp(x, y)); }
  // Lets a running timer fire once.
  bool Tick(int timerId) {
    if (ended_ || timers_.count(timerId) == 0) return false;
    FlushPaint();
    logic_.DispatchTimer(timerId);
    return true;
  }
  bool Paint() {
    paintPending_ = false;
    ++paints_;
    logic_.DispatchPaint();
    return true;
  }

  // ---- what a test reads ----
  bool Ended() const { return ended_; }
  int EndValue() const { return endValue_; }
  int ResourceId() const { return template_.resourceId; }
  const quenta::DialogTemplate& Template() const { return template_; }
  std::string Text(int id) const {
    const ScriptedControl* c = Find(id);
    return c ? std::string(c->text.c_str(), c->text.size()) : std::string();
  }
  // What the screen shows: "*" for every character of a masked edit.
  std::string Shown(int id) const {
    const ScriptedControl* c = Find(id);
    if (!c) return {};
    return c->masked ? std::string(c->text.size(), '*') : Text(id);
  }
  bool Visible(int id) const { return IsVisible(id); }
  bool Checked(int id) const { return IsChecked(id); }
  bool Enabled(int id) const { return IsEnabled(id); }
  quenta::Rect RectOf(int id) const { return ControlRect(id); }
  int Limit(int id) const { const ScriptedControl* c = Find(id); return c ? c->limit : 0; }
  bool Masked(int id) const { const ScriptedControl* c = Find(id); return c && c->masked; }
  int Icon(int id) const { const ScriptedControl* c = Find(id); return c ? c->icon : 0; }
  std::vector<std::string> Items(int id) const {
    const ScriptedControl* c = Find(id);
    return c ? c->items : std::vector<std::string>();
  }
  std::vector<std::string> Headings(int id) const {
    std::vector<std::string> out;
    if (const ScriptedControl* c = Find(id))
      for (const auto& col : c->columns) out.push_back(col.first);
    return out;
  }
  bool TimerRunning(int timerId) const { return timers_.count(timerId) != 0; }
  int TimerPeriod(int timerId) const {
    auto it = timers_.find(timerId);
    return it == timers_.end() ? 0 : it->second;
  }
  bool Topmost() const { return topmost_; }
  int Paints() const { return paints_; }
  int Repaints() const { return repaints_; }
  RecordingSurface* Surface() { return surface_.get(); }
  const ScriptedControl* Control(int id) const { return Find(id); }

  // ---- IDialogView ----
  void SetCaption(std::string_view text) override { caption_.assign(text.data(), text.size()); }
  std::string Caption() const override { return caption_; }
  quenta::Size ClientSize() const override { return client_; }
  void SetClientSize(quenta::Size size) override { client_ = size; }
  quenta::Size WindowSize() const override {
    return {client_.width + 2 * metrics.frameWidth,
            client_.height + metrics.captionHeight + 2 * metrics.frameHeight};
  }
  void SetWindowSize(quenta::Size size) override {
    client_ = {size.width - 2 * metrics.frameWidth,
               size.height - metrics.captionHeight - 2 * metrics.frameHeight};
  }
  quenta::FrameMetrics Metrics() const override { return metrics; }
  void SetTopmost(bool topmost) override { topmost_ = topmost; }
  void EndDialog(int result) override {
    if (ended_) return;
    ended_ = true;
    endValue_ = result;
  }
  bool HasControl(int id) const override { return Find(id) != nullptr; }
  void SetText(int id, std::string_view text) override {
    if (ScriptedControl* c = Find(id)) c->text.assign(text.data(), text.size());
  }
  void ReadText(int id, quenta::SecureText& out) const override {
    if (const ScriptedControl* c = Find(id)) out = c->text;
    else out.clear();
  }
  void ShowControl(int id, bool show) override {
    if (ScriptedControl* c = Find(id)) c->visible = show;
  }
  bool IsVisible(int id) const override { const ScriptedControl* c = Find(id); return c && c->visible; }
  void EnableControl(int id, bool enable) override {
    if (ScriptedControl* c = Find(id)) c->enabled = enable;
  }
  bool IsEnabled(int id) const override { const ScriptedControl* c = Find(id); return c && c->enabled; }
  void MoveControl(int id, const quenta::Rect& r) override {
    if (ScriptedControl* c = Find(id)) c->rect = r;
  }
  quenta::Rect ControlRect(int id) const override {
    const ScriptedControl* c = Find(id);
    return c ? c->rect : quenta::Rect();
  }
  quenta::Size ControlClientSize(int id) const override {
    const ScriptedControl* c = Find(id);
    if (!c) return {};
    // A two-pixel border on every side.
    return {std::max(0, c->rect.width - 4), std::max(0, c->rect.height - 4)};
  }
  void SetFocus(int id) override {
    if (Find(id)) focus_ = id;
  }
  int FocusedControl() const override { return focus_; }
  void SetIcon(int id, int iconId) override {
    if (ScriptedControl* c = Find(id)) c->icon = iconId;
  }
  void SetTypingLimit(int id, int characters) override {
    if (ScriptedControl* c = Find(id)) c->limit = characters;
  }
  void SetMasked(int id, bool masked) override {
    if (ScriptedControl* c = Find(id)) c->masked = masked;
  }
  void SetCaretToEnd(int) override {}
  void SetCheck(int id, bool checked) override {
    if (ScriptedControl* c = Find(id)) c->checked = checked;
  }
  bool IsChecked(int id) const override { const ScriptedControl* c = Find(id); return c && c->checked; }
  void ClearItems(int id) override {
    if (ScriptedControl* c = Find(id)) {
      c->items.clear();
      c->curSel = -1;
    }
  }
  int AddItem(int id, std::string_view text) override {
    ScriptedControl* c = Find(id);
    if (!c) return -1;
    c->items.emplace_back(text.data(), text.size());
    return static_cast<int>(c->items.size()) - 1;
  }
  int ItemCount(int id) const override {
    const ScriptedControl* c = Find(id);
    return c ? static_cast<int>(c->items.size()) : 0;
  }
  void SetCurSel(int id, int index) override {
    if (ScriptedControl* c = Find(id))
      c->curSel = index >= 0 && index < static_cast<int>(c->items.size()) ? index : -1;
  }
  int CurSel(int id) const override { const ScriptedControl* c = Find(id); return c ? c->curSel : -1; }
  void AddColumn(int id, std::string_view heading, int width) override {
    if (ScriptedControl* c = Find(id)) c->columns.emplace_back(std::string(heading), width);
  }
  void SetColumnWidth(int id, int column, int width) override {
    ScriptedControl* c = Find(id);
    if (c && column >= 0 && column < static_cast<int>(c->columns.size()))
      c->columns[column].second = width;
  }
  int ColumnWidth(int id, int column) const override {
    const ScriptedControl* c = Find(id);
    if (!c || column < 0 || column >= static_cast<int>(c->columns.size())) return 0;
    return c->columns[column].second;
  }
  void DeleteAllRows(int id) override {
    if (ScriptedControl* c = Find(id)) {
      c->rows.clear();
      c->selected.clear();
    }
  }
  int InsertRow(int id, int row, std::string_view text) override {
    ScriptedControl* c = Find(id);
    if (!c) return -1;
    const int count = static_cast<int>(c->rows.size());
    if (row < 0 || row > count) row = count;
    std::vector<std::string> cells(std::max<std::size_t>(1, c->columns.size()));
    cells[0].assign(text.data(), text.size());
    c->rows.insert(c->rows.begin() + row, std::move(cells));
    std::set<int> moved;
    for (int s : c->selected) moved.insert(s >= row ? s + 1 : s);
    c->selected = moved;
    return row;
  }
  void SetCellText(int id, int row, int column, std::string_view text) override {
    ScriptedControl* c = Find(id);
    if (!c || row < 0 || row >= static_cast<int>(c->rows.size()) || column < 0) return;
    auto& cells = c->rows[row];
    if (column >= static_cast<int>(cells.size())) cells.resize(column + 1);
    cells[column].assign(text.data(), text.size());
  }
  std::string CellText(int id, int row, int column) const override {
    const ScriptedControl* c = Find(id);
    if (!c || row < 0 || column < 0) return {};
    if ((c->def.style & quenta::kStyleVirtual) != 0) {
      if (row >= c->virtualRows) return {};
      return logic_.DispatchGetItemText(id, row, column);
    }
    if (row >= static_cast<int>(c->rows.size())) return {};
    const auto& cells = c->rows[row];
    return column < static_cast<int>(cells.size()) ? cells[column] : std::string();
  }
  int RowCount(int id) const override {
    const ScriptedControl* c = Find(id);
    if (!c) return 0;
    return (c->def.style & quenta::kStyleVirtual) != 0 ? c->virtualRows
                                                        : static_cast<int>(c->rows.size());
  }
  void SetVirtualRowCount(int id, int rows) override {
    if (ScriptedControl* c = Find(id)) {
      c->virtualRows = std::max(0, rows);
      c->selected.clear();
    }
  }
  void SelectRow(int id, int row, bool selected) override {
    ScriptedControl* c = Find(id);
    if (!c || row < 0 || row >= RowCount(id)) return;
    if (!selected) {
      c->selected.erase(row);
      return;
    }
    if ((c->def.style & quenta::kStyleMultiSelect) == 0) c->selected.clear();
    c->selected.insert(row);
  }
  std::vector<int> SelectedRows(int id) const override {
    const ScriptedControl* c = Find(id);
    return c ? std::vector<int>(c->selected.begin(), c->selected.end()) : std::vector<int>();
  }
  void SetRange(int id, int low, int high) override {
    if (ScriptedControl* c = Find(id)) {
      c->low = low;
      c->high = high;
    }
  }
  void SetPos(int id, int pos) override {
    if (ScriptedControl* c = Find(id)) c->pos = pos;
  }
  int Pos(int id) const override { const ScriptedControl* c = Find(id); return c ? c->pos : 0; }
  void ShowScrollBars(int id, bool horizontal, bool vertical) override {
    if (ScriptedControl* c = Find(id)) {
      c->hScroll = horizontal;
      c->vScroll = vertical;
    }
  }
  quenta::Size MeasureText(int id, std::string_view text) const override {
    return {charWidth * static_cast<int>(text.size()), lineHeight};
  }
  int LineHeight(int) const override { return lineHeight; }
  void SetTimer(int timerId, int milliseconds) override { timers_[timerId] = milliseconds; }
  void KillTimer(int timerId) override { timers_.erase(timerId); }
  quenta::IDrawSurface* BackBuffer(quenta::Size size) override {
    if (!surface_) surface_ = std::make_unique<RecordingSurface>(size);
    return surface_.get();
  }
  void Repaint() override {
    paintPending_ = true;
    ++repaints_;
  }

 private:
  ScriptedControl* Find(int id) {
    for (ScriptedControl& c : controls_)
      if (c.def.id == id && id != quenta::kIdcStatic) return &c;
    return nullptr;
  }
  const ScriptedControl* Find(int id) const {
    return const_cast<ScriptedDialog*>(this)->Find(id);
  }
  // A control the user can reach: it exists, is visible and enabled.
  ScriptedControl* Usable(int id) {
    if (ended_) return nullptr;
    FlushPaint();
    ScriptedControl* c = Find(id);
    return c && c->visible && c->enabled ? c : nullptr;
  }
  void FlushPaint() {
    if (paintPending_) Paint();
  }
  void CheckRadio(int id) {
    // The group: from the nearest radio with kStyleGroup up to the next
    // control that starts a group or is not a radio button.
    std::size_t at = 0;
    while (at < controls_.size() && controls_[at].def.id != id) ++at;
    std::size_t first = at;
    while (first > 0 && (controls_[first].def.style & quenta::kStyleGroup) == 0 &&
           controls_[first - 1].def.kind == quenta::ControlKind::kRadioButton)
      --first;
    for (std::size_t i = first; i < controls_.size(); ++i) {
      if (i > first && ((controls_[i].def.style & quenta::kStyleGroup) != 0 ||
                        controls_[i].def.kind != quenta::ControlKind::kRadioButton))
        break;
      controls_[i].checked = i == at;
    }
  }

  quenta::CDialogLogic& logic_;
  quenta::DialogTemplate template_;
  std::vector<ScriptedControl> controls_;
  std::string caption_;
  quenta::Size client_;
  bool topmost_ = false;
  bool ended_ = false;
  int endValue_ = quenta::kIdCancel;
  int focus_ = quenta::kIdcStatic;
  std::map<int, int> timers_;
  std::unique_ptr<RecordingSurface> surface_;
  bool paintPending_ = false;
  int paints_ = 0;
  int repaints_ = 0;
};

}  // namespace quenta_test
