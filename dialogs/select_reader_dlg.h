// The reader choice dialog: shown by the token layer when more than one
// device of the wanted kind is connected. Lists the devices by type and
// serial number, refreshes the list through the token layer after devices
// were plugged in or out, and returns the chosen row.
#pragma once

#include <vector>

#include "dialogs/dialog_logic.h"
#include "engine/token_access.h"

namespace quenta {

class CSelectReaderDlg : public CDialogLogic {
 public:
  static constexpr int kResourceId = 421;
  static constexpr int kInfoId = 253;
  static constexpr int kListId = 203;
  static constexpr int kRefreshId = 692;
  static constexpr int kMaxDevices = CTokenAccess::kMaxReaders;

  // Button row, in pixels of the client area.
  static constexpr int kButtonTop = 182;
  static constexpr int kRefreshLeft = 62;
  static constexpr int kCancelLeft = 164;
  static constexpr int kAcceptLeft = 262;
  static constexpr int kRefreshWidth = 80;
  static constexpr int kRefreshHeight = 23;

  // Text ids.
  static constexpr int kTextCaption = 510;  // also the message without a choice
  static constexpr int kTextInfo = 660;
  static constexpr int kTextTypeHeading = 662;
  static constexpr int kTextSerialHeading = 664;
  static constexpr int kTextAccept = 666;
  static constexpr int kTextCancel = 294;
  static constexpr int kTextRefresh = 693;
  static constexpr int kTextSmartCard = 674;
  static constexpr int kTextUsbDevice = 676;

  // The parent is not used (callers give none).
  explicit CSelectReaderDlg(void* parent = nullptr);
  ~CSelectReaderDlg() override;

  // Set before DoModal: the OpenDevice mode (1 USB token, else processor
  // card), the token layer's device list (refreshed in place; at most
  // kMaxDevices rows are shown) and the token object that refreshes it.
  void SetDeviceKind(int kind) { kind_ = kind; }
  void SetDevices(std::vector<TokenDevice>* devices) { devices_ = devices; }
  void SetTokenAccess(CTokenAccess* token) { token_ = token; }

  int DeviceCount() const { return count_; }
  // The chosen row after IDOK, -1 before.
  int SelectedIndex() const { return selected_; }

  // Button 692: lists the devices again and refills the list.
  void Refresh();

 protected:
  DialogTemplate CreateTemplate() override;
  void OnInitDialog() override;
  void OnOK() override;
  void OnCommand(int id, Notify code) override;

 private:
  void FillList();

  int kind_ = kDeviceSmartCard;
  int count_ = 0;
  std::vector<TokenDevice>* devices_ = nullptr;
  CTokenAccess* token_ = nullptr;
  int selected_ = -1;
};

}  // namespace quenta
