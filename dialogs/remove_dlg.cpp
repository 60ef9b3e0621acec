#include "dialogs/remove_dlg.h"

#include "plugin/texts.h"

namespace quenta {

CRemoveDlg::CRemoveDlg(void*) : CDialogLogic(kResourceId) {}

CRemoveDlg::~CRemoveDlg() = default;

bool CRemoveDlg::AddKeyEntry(const char* label, const char* identifier, int isPrivate,
                             unsigned long handle) {
  if (count_ >= kMaxEntries) return false;
  const int index = static_cast<int>(count_);
  Entry& e = entries_[count_++];
  e.label = label ? label : "";
  e.identifier = identifier ? identifier : "";
  e.handle = handle;
  e.isPrivate = isPrivate ? 1 : 0;
  e.selected = 0;
  Pair& p = pairs_[e.identifier];
  (e.isPrivate ? p.privateIndex : p.publicIndex) = index;
  return true;
}

DialogTemplate CRemoveDlg::CreateTemplate() {
  DialogTemplate t;
  t.resourceId = kResourceId;
  const Rect frame = DluRect(0, 0, 336, 150);
  t.clientSize = {frame.width, frame.height};

  ControlDef list;
  list.id = kListId;
  list.kind = ControlKind::kListView;
  list.rect = DluRect(7, 7, 322, 114);
  list.style = kStyleMultiSelect;
  t.controls.push_back(list);

  ControlDef ok;
  ok.id = kIdcOk;
  ok.kind = ControlKind::kPushButton;
  ok.rect = DluRect(223, 129, 50, 14);
  ok.style = kStyleDefault;
  ok.text = LoadText(kTextRemove);
  t.controls.push_back(ok);

  ControlDef cancel;
  cancel.id = kIdcCancel;
  cancel.kind = ControlKind::kPushButton;
  cancel.rect = DluRect(279, 129, 50, 14);
  cancel.text = LoadText(kTextClose);
  t.controls.push_back(cancel);
  return t;
}

void CRemoveDlg::OnInitDialog() {
  IDialogView& v = View();
  v.SetCaption(LoadText(kTextCaption));
  v.SetText(kIdcOk, LoadText(kTextRemove));
  v.SetText(kIdcCancel, LoadText(kTextClose));

  const int w = v.ControlRect(kListId).width;
  v.AddColumn(kListId, LoadText(kTextNameHeading), (w / 10) * 2);
  v.AddColumn(kListId, LoadText(kTextDigestHeading), (w / 10) * 6);
  v.AddColumn(kListId, LoadText(kTextTypeHeading), (w / 10) * 2 - 1);

  int row = 0;
  for (const auto& [identifier, pair] : pairs_) {
    const bool hasPrivate = pair.privateIndex >= 0;
    const bool hasPublic = pair.publicIndex >= 0;
    if (!hasPrivate && !hasPublic) continue;
    const Entry& shown = entries_[hasPrivate ? pair.privateIndex : pair.publicIndex];
    const int type = hasPrivate && hasPublic ? kTextKeyPair : hasPrivate ? kTextPrivateKey
                                                                         : kTextPublicKey;
    const int at = v.InsertRow(kListId, row, shown.label);
    v.SetCellText(kListId, at, 1, shown.identifier);
    v.SetCellText(kListId, at, 2, LoadText(type));
    ++row;
  }
}

void CRemoveDlg::OnOK() {
  IDialogView& v = View();
  const std::vector<int> rows = v.SelectedRows(kListId);
  if (rows.empty()) {
    MessageBox(kTextSelectKeys, 0);
    return;
  }
  for (int row : rows) {
    auto it = pairs_.find(v.CellText(kListId, row, 1));
    if (it == pairs_.end()) continue;
    if (it->second.privateIndex >= 0) entries_[it->second.privateIndex].selected = 1;
    if (it->second.publicIndex >= 0) entries_[it->second.publicIndex].selected = 1;
  }
  EndDialog(kIdOk);
}

}  // namespace quenta
