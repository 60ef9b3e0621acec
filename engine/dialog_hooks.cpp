#include "engine/dialog_hooks.h"

#include "dialogs/remove_dlg.h"
#include "dialogs/select_reader_dlg.h"

namespace quenta {

int RunReaderChoiceDialog(CTokenAccess& token, int mode, std::vector<TokenDevice>& devices,
                          int* chosen) {
  CSelectReaderDlg dialog;
  dialog.SetDeviceKind(mode);
  dialog.SetDevices(&devices);
  dialog.SetTokenAccess(&token);
  const int answer = dialog.DoModal();
  if (answer == kIdOk && chosen) *chosen = dialog.SelectedIndex();
  return answer;
}

int RunKeyRemovalDialog(std::vector<KeyRemovalRow>& rows) {
  CRemoveDlg dialog;
  std::size_t offered = 0;
  for (const KeyRemovalRow& row : rows) {
    // The dialog holds a fixed number of entries; objects beyond them are
    // not offered and never deleted.
    if (!dialog.AddKeyEntry(row.label.c_str(), row.digest.c_str(), row.isPrivate ? 1 : 0,
                            row.handle))
      break;
    ++offered;
  }
  for (KeyRemovalRow& row : rows) row.selected = false;
  const int answer = dialog.DoModal();
  if (answer != kIdOk) return answer;
  for (std::size_t i = 0; i < offered; ++i) rows[i].selected = dialog.EntryAt(i).selected != 0;
  return answer;
}

void InstallTokenDialogs() {
  CTokenAccess::SetReaderChoiceHook(RunReaderChoiceDialog);
  CTokenAccess::SetKeyRemovalHook(RunKeyRemovalDialog);
}

}  // namespace quenta
