// Token PIN and key management: changing the PIN and the PUK, initialising
// a device, deleting its keys, unblocking it, and turning a token report
// into the names of the listed keys it concerns.
#include <cstring>
#include <string>

#include "dialogs/password_dlg.h"
#include "dialogs/pin_dlg.h"
#include "dialogs/ui.h"
#include "engine/dialog_hooks.h"
#include "engine/keys_storage_comp.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"

namespace quenta {

namespace {

constexpr int kTextReinitialiseQuestion = 709;
constexpr int kTextReinitialiseTitle = 707;
constexpr int kTextPukRefused = 1007;
constexpr int kTextBadPin = 441;
constexpr int kTextBadNewPin = 444;
constexpr int kTextWrongPin = 249;
// Reference texts and digests are compared over this many characters when
// removed keys are matched to the list.
constexpr std::size_t kRemovedDigestPrefix = 20;

// The token layer asks through these dialogs from the first engine on.
[[maybe_unused]] const bool g_tokenDialogsInstalled = (InstallTokenDialogs(), true);

int ShowMessage(int textId, const std::string& caption, MsgIcon icon, MsgButtons buttons) {
  MessageRequest r;
  r.textId = textId;
  r.text = LoadText(textId);
  r.caption = caption;
  r.icon = icon;
  r.buttons = buttons;
  return CurrentUi().ShowMessage(r);
}

// Closes the device at the end of an operation, if it was opened.
class DeviceScope {
 public:
  explicit DeviceScope(CTokenAccess& token) : token_(token) {}
  ~DeviceScope() {
    if (open_) {
      token_.CloseSession();
      token_.ReleaseModule();
    }
  }
  DeviceScope(const DeviceScope&) = delete;
  DeviceScope& operator=(const DeviceScope&) = delete;
  int Open(int mode) {
    unsigned long slot = 0;
    const int rc = token_.OpenDevice(mode, &slot);
    open_ = rc == kOk;
    return rc;
  }
  void Adopt() { open_ = true; }

 private:
  CTokenAccess& token_;
  bool open_ = false;
};

bool BothLocked(const CTokenAccess& token) { return token.SoPinLocked() && token.UserPinLocked(); }

// 91, with the names of the listed keys the token's report gives.
int BothLockedReport(const CKeysStorageComp& engine, CTokenAccess& token, std::string* names) {
  std::string text;
  token.ListKeyDigests(text);
  engine.NamesFromTokenReport(&text);
  if (names) *names = text;
  return kErrBothPinsLocked;
}

}  // namespace

int CKeysStorageComp::NamesFromTokenReport(std::string* text) const {
  if (!text) return kOk;
  const std::size_t bar = text->find_last_of('|');
  const std::string digests = bar == std::string::npos ? *text : text->substr(bar + 1);
  std::string names;
  bool any = false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = digests.find('-', start);
    const std::string piece =
        digests.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // Without its quotes a piece must still hold something: an empty
    // remainder names no key, not every key without a reference.
    if (piece.size() > 2) {
      const std::string digest = piece.substr(1, piece.size() - 2);
      for (const auto& key : keys_) {
        if (key->reference.size() != digest.size() ||
            std::memcmp(key->reference.c_str(), digest.data(), digest.size()) != 0)
          continue;
        if (any) names += '|';
        names += key->name;
        any = true;
      }
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  *text = names;
  return kOk;
}

// ChangePIN and ChangePUK: the same frame for the user's code (the PIN) and
// the security officer's (the PUK). The old code is checked by logging in
// with it; after a refused login the flags are read again, and when both
// codes are then locked the listed keys on the device are reported.
int CKeysStorageComp::ChangeCode(bool userCode, std::string* names) {
  CPinDlg dialog;
  dialog.SetMode(userCode ? kPinModeChangePin : kPinModeChangePuk);
  DeviceScope device(token_);
  int rc = device.Open(kDeviceAny);
  if (rc != kOk) return rc;
  rc = token_.ReadTokenFlags();
  if (rc != kOk) return rc;

  auto ownLocked = [&] { return userCode ? token_.UserPinLocked() : token_.SoPinLocked(); };
  auto otherLocked = [&] { return userCode ? token_.SoPinLocked() : token_.UserPinLocked(); };
  if (!token_.TokenInitialised() || !token_.UserPinInitialised()) return kErrTokenNotInitialised;
  if (BothLocked(token_)) return BothLockedReport(*this, token_, names);
  if (ownLocked()) return userCode ? kErrPinLocked : kErrSoPinLocked;

  dialog.SetWording(token_.DeviceKind());
  if (dialog.DoModal() != kIdOk) return kErrCancelled;
  const char* old = dialog.FirstCode().c_str();
  const int login = userCode ? token_.LoginUser(old) : token_.LoginSecurityOfficer(old);
  if (login == kOk) {
    rc = token_.ChangePin(old, dialog.NewCode().c_str(), userCode ? 1 : 0);
    dialog.Wipe();
    return rc;
  }
  dialog.Wipe();
  rc = token_.ReadTokenFlags();
  if (rc != kOk) return rc;
  // The security officer's mapping reports a locked PUK as 131.
  const bool gone = ownLocked() || login == kErrPinLocked || (!userCode && login == kErrSoPinLocked);
  if (gone && otherLocked()) return BothLockedReport(*this, token_, names);
  return login;
}

int CKeysStorageComp::ChangePIN(std::string* names) { return ChangeCode(true, names); }

int CKeysStorageComp::ChangePUK(std::string* names) { return ChangeCode(false, names); }

int CKeysStorageComp::InitializeCard(bool ownSession, std::string* names, bool* hasNames) {
  if (hasNames) *hasNames = false;
  CPinPukDlg dialog;
  const std::string title = LoadText(kTitleTextId);
  DeviceScope device(token_);
  if (ownSession) {
    const int rc = device.Open(kDeviceAny);
    if (rc != kOk) return rc;
  }
  int rc = token_.ReadTokenFlags();
  if (rc != kOk) return rc;

  if (token_.TokenInitialised() || token_.UserPinInitialised()) {
    const int answer = ShowMessage(kTextReinitialiseQuestion, LoadText(kTextReinitialiseTitle),
                                   MsgIcon::kWarning, MsgButtons::kYesNo);
    if (answer != kIdYes) return kErrCancelled;
  }

  // GPK devices (family 0) are not initialised by this operation.
  if (token_.ModuleFamily() != kFamilyPkcs11) return kErrArgument;

  // The listed keys that are on the device now, and go with it.
  std::string text;
  token_.ListKeyDigests(text);
  NamesFromTokenReport(&text);
  if (names) *names = text;
  if (hasNames) *hasNames = true;

  if (dialog.DoModal() != kIdOk) return kErrCancelled;
  auto fail = [&](int code, int textId) {
    dialog.Wipe();
    ShowMessage(textId, title, MsgIcon::kError, MsgButtons::kOk);
    return code;
  };
  rc = token_.InitToken(dialog.Puk().c_str());
  if (rc != kOk) return fail(rc, kTextPukRefused);
  rc = token_.LoginSecurityOfficer(dialog.Puk().c_str());
  if (rc != kOk) return fail(rc, kTextBadPin);
  rc = token_.InitUserPin(dialog.Pin().c_str());
  if (rc != kOk) return fail(rc, kTextBadNewPin);
  dialog.Wipe();
  return kOk;
}

int CKeysStorageComp::DeleteTokenKeys(int deviceMode, std::string* names) {
  const std::string title = LoadText(kTitleTextId);
  DeviceScope device(token_);
  int rc = device.Open(deviceMode);
  if (rc != kOk) return rc;
  rc = token_.ReadTokenFlags();
  if (rc != kOk) return rc;

  if (!token_.TokenInitialised() || !token_.UserPinInitialised()) return kErrTokenNotInitialised;
  if (BothLocked(token_)) return BothLockedReport(*this, token_, names);

  do {
    CPasswordDialog dialog;
    dialog.SetMode(kPasswordModePin);
    const int answer = dialog.DoModal();
    if (answer == kIdOk) {
      rc = token_.LoginUser(dialog.Entry().c_str());
      if (rc == kOk) {
        std::string removed;
        rc = token_.RemoveTokenKeys(removed);
        // Each removed key's digest follows a "|"; the listed keys whose
        // reference agrees with one in its first characters were removed.
        std::string found;
        bool any = false;
        std::size_t at = removed.find('|');
        while (at != std::string::npos) {
          const std::size_t next = removed.find('|', at + 1);
          const std::string digest = removed.substr(
              at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
          for (const auto& key : keys_) {
            if (std::strncmp(key->reference.c_str(), digest.c_str(), kRemovedDigestPrefix) != 0)
              continue;
            if (any) found += '|';
            found += key->name;
            any = true;
          }
          at = next;
        }
        if (any && names) *names = found;
      }
    } else {
      rc = answer;  // the dialog's own end value: a cancel is 2
    }
    if (rc == kErrPinIncorrect)
      ShowMessage(kTextWrongPin, title, MsgIcon::kError, MsgButtons::kOk);
  } while (rc == kErrPinIncorrect || rc == kErrPinLength);

  if (token_.ReadTokenFlags() == kOk && BothLocked(token_))
    rc = BothLockedReport(*this, token_, names);
  return rc;
}

int CKeysStorageComp::UnblockCard(std::string* names) {
  int code = 0;
  std::string text;
  const int rc = UnblockWithPuk(1, &code, &text, CPinDlg::PinPukCallback);
  if (rc == kErrBothPinsLocked) {
    NamesFromTokenReport(&text);
    if (names) *names = text;
  }
  return rc;
}

}  // namespace quenta
