#include "dialogs/dialog_logic.h"

#include "plugin/texts.h"

namespace quenta {

namespace {

int MulDivRound(int value, int mul, int div) {
  long long p = static_cast<long long>(value) * mul;
  return static_cast<int>(p >= 0 ? (p + div / 2) / div : -((-p + div / 2) / div));
}

constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;

// Stands in while no window is attached, so the logic never needs to check.
class NullView : public IDialogView {
 public:
  void SetCaption(std::string_view) override {}
  std::string Caption() const override { return {}; }
  Size ClientSize() const override { return {}; }
  void SetClientSize(Size) override {}
  Size WindowSize() const override { return {}; }
  void SetWindowSize(Size) override {}
  FrameMetrics Metrics() const override { return {}; }
  void SetTopmost(bool) override {}
  void EndDialog(int) override {}
  bool HasControl(int) const override { return false; }
  void SetText(int, std::string_view) override {}
  void ReadText(int, SecureText& out) const override { out.clear(); }
  void ShowControl(int, bool) override {}
  bool IsVisible(int) const override { return false; }
  void EnableControl(int, bool) override {}
  bool IsEnabled(int) const override { return false; }
  void MoveControl(int, const Rect&) override {}
  Rect ControlRect(int) const override { return {}; }
  Size ControlClientSize(int) const override { return {}; }
  void SetFocus(int) override {}
  int FocusedControl() const override { return kIdcStatic; }
  void SetIcon(int, int) override {}
  void SetTypingLimit(int, int) override {}
  void SetMasked(int, bool) override {}
  void SetCaretToEnd(int) override {}
  void SetCheck(int, bool) override {}
  bool IsChecked(int) const override { return false; }
  void ClearItems(int) override {}
  int AddItem(int, std::string_view) override { return -1; }
  int ItemCount(int) const override { return 0; }
  void SetCurSel(int, int) override {}
  int CurSel(int) const override { return -1; }
  void AddColumn(int, std::string_view, int) override {}
  void SetColumnWidth(int, int, int) override {}
  int ColumnWidth(int, int) const override { return 0; }
  void DeleteAllRows(int) override {}
  int InsertRow(int, int, std::string_view) override { return -1; }
  void SetCellText(int, int, int, std::string_view) override {}
  std::string CellText(int, int, int) const override { return {}; }
  int RowCount(int) const override { return 0; }
  void SetVirtualRowCount(int, int) override {}
  void SelectRow(int, int, bool) override {}
  std::vector<int> SelectedRows(int) const override { return {}; }
  void SetRange(int, int, int) override {}
  void SetPos(int, int) override {}
  int Pos(int) const override { return 0; }
  void ShowScrollBars(int, bool, bool) override {}
  Size MeasureText(int, std::string_view) const override { return {}; }
  int LineHeight(int) const override { return 0; }
  void SetTimer(int, int) override {}
  void KillTimer(int) override {}
  IDrawSurface* BackBuffer(Size) override { return nullptr; }
  void Repaint() override {}
};

NullView g_nullView;

}  // namespace

int DluToPixelsX(int dlu) { return MulDivRound(dlu, kBaseUnitX, 4); }
int DluToPixelsY(int dlu) { return MulDivRound(dlu, kBaseUnitY, 8); }

Rect DluRect(int x, int y, int width, int height) {
  return Rect{DluToPixelsX(x), DluToPixelsY(y), DluToPixelsX(width), DluToPixelsY(height)};
}

CDialogLogic::CDialogLogic(int resourceId) : resourceId_(resourceId) {}

CDialogLogic::~CDialogLogic() = default;

int CDialogLogic::DoModal() {
  ended_ = false;
  endValue_ = kIdCancel;
  endValue_ = CurrentUi().RunDialog(*this);
  return endValue_;
}

const DialogTemplate& CDialogLogic::PrepareTemplate() {
  template_ = CreateTemplate();
  if (template_.resourceId == 0) template_.resourceId = resourceId_;
  return template_;
}

void CDialogLogic::DispatchInit(IDialogView* view) {
  view_ = view;
  ended_ = false;
  endValue_ = kIdCancel;
  OnInitDialog();
}

void CDialogLogic::DispatchCommand(int id, Notify code) {
  if (ended_) return;
  if (code == Notify::kClicked && id == kIdcOk) {
    OnOK();
  } else if (code == Notify::kClicked && id == kIdcCancel) {
    OnCancel();
  } else {
    OnCommand(id, code);
  }
}

void CDialogLogic::DispatchEnter() {
  if (ended_) return;
  int defaultId = kIdcOk;
  for (const ControlDef& c : template_.controls) {
    if ((c.style & kStyleDefault) != 0) {
      defaultId = c.id;
      break;
    }
  }
  // A default button that exists must be usable; without one Enter means IDOK.
  if (View().HasControl(defaultId) &&
      (!View().IsEnabled(defaultId) || !View().IsVisible(defaultId)))
    return;
  DispatchCommand(defaultId, Notify::kClicked);
}

void CDialogLogic::DispatchEscape() { DispatchCommand(kIdcCancel, Notify::kClicked); }

void CDialogLogic::DispatchClose() {
  if (!ended_) OnClose();
}

void CDialogLogic::DispatchTimer(int timerId) {
  if (!ended_) OnTimer(timerId);
}

void CDialogLogic::DispatchPaint() { OnPaint(); }

void CDialogLogic::DispatchMouse(const MouseEvent& e) {
  if (!ended_) OnMouse(e);
}

std::string CDialogLogic::DispatchGetItemText(int id, int row, int column) {
  return OnGetItemText(id, row, column);
}

void CDialogLogic::DispatchDestroy() {
  OnDestroy();
  view_ = nullptr;
}

void CDialogLogic::OnOK() { EndDialog(kIdOk); }

void CDialogLogic::OnCancel() { EndDialog(kIdCancel); }

void CDialogLogic::OnClose() { OnCancel(); }

IDialogView& CDialogLogic::View() { return view_ ? *view_ : g_nullView; }

void CDialogLogic::EndDialog(int result) {
  if (ended_) return;
  ended_ = true;
  endValue_ = result;
  View().EndDialog(result);
}

int CDialogLogic::MessageBox(int textId, int captionId, MsgIcon icon, MsgButtons buttons) {
  MessageRequest r;
  r.textId = textId;
  r.text = LoadText(textId);
  if (captionId != 0) r.caption = LoadText(captionId);
  r.icon = icon;
  r.buttons = buttons;
  return CurrentUi().ShowMessage(r);
}

}  // namespace quenta
