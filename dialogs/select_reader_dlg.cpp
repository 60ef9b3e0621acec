#include "dialogs/select_reader_dlg.h"

#include <algorithm>

#include "plugin/texts.h"

namespace quenta {

namespace {

constexpr int kButtonWidthDlu = 50;
constexpr int kButtonHeightDlu = 14;

}  // namespace

CSelectReaderDlg::CSelectReaderDlg(void*) : CDialogLogic(kResourceId) {}

CSelectReaderDlg::~CSelectReaderDlg() = default;

DialogTemplate CSelectReaderDlg::CreateTemplate() {
  DialogTemplate t;
  t.resourceId = kResourceId;
  const Rect frame = DluRect(0, 0, 266, 133);
  t.clientSize = {frame.width, frame.height};

  ControlDef info;
  info.id = kInfoId;
  info.kind = ControlKind::kStatic;
  info.rect = DluRect(7, 7, 252, 18);
  t.controls.push_back(info);

  ControlDef list;
  list.id = kListId;
  list.kind = ControlKind::kListView;
  list.rect = DluRect(7, 29, 252, 78);
  list.style = kStyleNoSortHeader;
  t.controls.push_back(list);

  // The three buttons are placed at initialisation.
  ControlDef refresh;
  refresh.id = kRefreshId;
  refresh.kind = ControlKind::kPushButton;
  refresh.rect = Rect{kRefreshLeft, kButtonTop, kRefreshWidth, kRefreshHeight};
  refresh.text = LoadText(kTextRefresh);
  t.controls.push_back(refresh);

  ControlDef cancel;
  cancel.id = kIdcCancel;
  cancel.kind = ControlKind::kPushButton;
  cancel.rect = Rect{kCancelLeft, kButtonTop, DluToPixelsX(kButtonWidthDlu),
                     DluToPixelsY(kButtonHeightDlu)};
  cancel.text = LoadText(kTextCancel);
  t.controls.push_back(cancel);

  ControlDef ok;
  ok.id = kIdcOk;
  ok.kind = ControlKind::kPushButton;
  ok.rect = Rect{kAcceptLeft, kButtonTop, DluToPixelsX(kButtonWidthDlu),
                 DluToPixelsY(kButtonHeightDlu)};
  ok.style = kStyleDefault;
  ok.text = LoadText(kTextAccept);
  t.controls.push_back(ok);
  return t;
}

void CSelectReaderDlg::OnInitDialog() {
  IDialogView& v = View();
  v.SetText(kInfoId, LoadText(kTextInfo));
  v.SetText(kIdcCancel, LoadText(kTextCancel));
  v.SetText(kIdcOk, LoadText(kTextAccept));
  v.SetText(kRefreshId, LoadText(kTextRefresh));
  for (int id : {kRefreshId, kIdcCancel, kIdcOk}) {
    Rect r = v.ControlRect(id);
    r.y = kButtonTop;
    r.x = id == kRefreshId ? kRefreshLeft : id == kIdcCancel ? kCancelLeft : kAcceptLeft;
    if (id == kRefreshId) {
      r.width = kRefreshWidth;
      r.height = kRefreshHeight;
    }
    v.MoveControl(id, r);
  }
  v.SetCaption(LoadText(kTextCaption));

  const int w = v.ControlClientSize(kListId).width;
  v.AddColumn(kListId, LoadText(kTextTypeHeading), (w / 10) * 6);
  v.AddColumn(kListId, LoadText(kTextSerialHeading), (w / 10) * 4);
  FillList();
  v.SetTopmost(true);
}

void CSelectReaderDlg::FillList() {
  IDialogView& v = View();
  v.DeleteAllRows(kListId);
  const int available = devices_ ? static_cast<int>(devices_->size()) : 0;
  count_ = std::min(available, kMaxDevices);
  const std::string type = LoadText(kind_ == kDeviceUsbToken ? kTextUsbDevice : kTextSmartCard);
  for (int i = 0; i < count_; ++i) {
    const int row = v.InsertRow(kListId, i, type);
    v.SetCellText(kListId, row, 1, (*devices_)[i].serial);
  }
  const int w = v.ControlClientSize(kListId).width;
  v.SetColumnWidth(kListId, 0, (w / 10) * 6);
  v.SetColumnWidth(kListId, 1, (w / 10) * 4);
  if (v.RowCount(kListId) > 0) v.SelectRow(kListId, 0, true);
}

void CSelectReaderDlg::Refresh() {
  View().DeleteAllRows(kListId);
  // A search that fails leaves nothing to choose from.
  if (devices_ && token_ && token_->ListDevices(kind_, *devices_) != 0) devices_->clear();
  FillList();
}

void CSelectReaderDlg::OnCommand(int id, Notify code) {
  if (id == kRefreshId && code == Notify::kClicked) Refresh();
}

void CSelectReaderDlg::OnOK() {
  const std::vector<int> rows = View().SelectedRows(kListId);
  if (rows.empty() || rows.front() < 0 || rows.front() >= count_) {
    MessageBox(kTextCaption, kTitleTextId);
    return;
  }
  selected_ = rows.front();
  EndDialog(kIdOk);
}

}  // namespace quenta
