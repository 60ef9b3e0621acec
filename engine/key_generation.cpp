#include "engine/keys_storage_comp.h"

#include "dialogs/gen_key_dlg.h"
#include "dialogs/ui.h"
#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "engine/toolbox_utils.h"

namespace quenta {

namespace {

// The dialog's location choice as the page's key kind.
int KindOfLocation(int location) {
  switch (location) {
    case 0: return kKindBankRepository;
    case 1: return kKindFile;
    case 2: return kKindSmartCard;
    case 3: return kKindUsbToken;
    default: return kKindUnset;
  }
}

}  // namespace

// Key generation on a card or token, through the key generation dialog.
int CKeysStorageComp::GenerateKey(int keySize, const char* options, int* kind,
                                  std::string* software, std::string* publicKey,
                                  std::string* keyId, std::string* name, std::string* report) {
  CToolboxUtils toolbox;
  if (!toolbox.UsbTokenSupport() && !toolbox.SmartCardSupport()) return kErrNoReaderComponent;

  CGenKeyDlg dialog;
  if (dialog.SetParameters(this, options) != 0) return kErrArgument;
  dialog.SetKeySize(keySize);
  if (dialog.DoModal() != kIdOk) return kErrCancelled;

  const std::string& entered = dialog.KeyName();
  const std::string iso =
      Win1250ToIso(reinterpret_cast<const unsigned char*>(entered.data()), entered.size());
  if (name) {
    name->clear();
    HexEncode(reinterpret_cast<const unsigned char*>(iso.data()), iso.size(), *name);
  }
  if (software) *software = dialog.KeyText();
  if (publicKey) *publicKey = dialog.PublicKeyText();
  if (keyId) *keyId = dialog.KeyIdText();
  if (kind) *kind = KindOfLocation(dialog.Location());

  const int rc = dialog.Result();
  if (rc == kErrBothPinsLocked && report) {
    *report = dialog.StatusText();
    NamesFromTokenReport(report);
  }
  return rc;
}

}  // namespace quenta
