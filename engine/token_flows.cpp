// The key store's flows on top of the token: the token state check and the
// unblock flow.
#include <cstring>

#include "engine/keys_storage.h"
#include "engine/result_codes.h"
#include "engine/secure.h"

namespace quenta {

namespace {

// The token report that accompanies 91: the status text into *outText and
// the listing's own result into *outCode.
void TakeTokenReport(CTokenAccess& token, int* outCode, std::string* outText) {
  std::string text;
  int code = token.ListKeyDigests(text);
  if (outText) *outText = text;
  if (outCode) *outCode = code;
}

void CloseDevice(CTokenAccess& token) {
  token.CloseSession();
  token.ReleaseModule();
}

}  // namespace

int CKeysStorage::TokenStateCheck(int mayUnblock, int* outCode, std::string* outText,
                                  PinPukCallback pinPuk, int* deviceOpen) {
  if (deviceOpen) *deviceOpen = 1;
  int rc = token_.ReadTokenFlags();
  if (rc != kOk) return rc;  // the session stays open

  bool close = false;
  const bool userLocked = token_.UserPinLocked();
  const bool soLocked = token_.SoPinLocked();
  if (soLocked && userLocked) {
    rc = kErrBothPinsLocked;
    TakeTokenReport(token_, outCode, outText);
    close = true;
  } else if (userLocked) {
    if (mayUnblock == 1) {
      int unblocked = UnblockWithPuk(0, outCode, outText, pinPuk);
      rc = unblocked == kOk || unblocked == kErrBothPinsLocked ? unblocked : kErrPinLocked;
    } else {
      rc = kErrPinLocked;
      close = true;
    }
  } else {
    rc = kOk;  // nothing locked, or only the PUK
  }

  if (!token_.TokenInitialised() || !token_.UserPinInitialised()) {
    rc = kErrTokenNotInitialised;
    close = true;
  }
  if (close) {
    CloseDevice(token_);
    if (deviceOpen) *deviceOpen = 0;
  }
  return rc;
}

int CKeysStorage::UnblockWithPuk(int openFirst, int* outCode, std::string* outText,
                                 PinPukCallback pinPuk) {
  struct CloseAtEnd {
    CTokenAccess& token;
    bool active;
    ~CloseAtEnd() {
      if (active) CloseDevice(token);
    }
  } closeAtEnd{token_, openFirst != 0};

  if (openFirst) {
    unsigned long slot = 0;
    int rc = token_.OpenDevice(kDeviceAny, &slot);
    if (rc != kOk) return rc;
  }
  int rc = token_.ReadTokenFlags();
  if (rc != kOk) return rc;
  if (!token_.TokenInitialised() || !token_.UserPinInitialised()) return kErrTokenNotInitialised;
  if (token_.SoPinLocked() && token_.UserPinLocked()) {
    TakeTokenReport(token_, outCode, outText);
    return kErrBothPinsLocked;
  }

  // Both buffers are wiped when they go, on every path.
  SecureBytes puk(kPinBufferSize, 0);
  SecureBytes newPin(kPinBufferSize, 0);
  const int mode = token_.DeviceKind() == 1 ? 5 : 2;
  int answer = pinPuk ? pinPuk(mode, reinterpret_cast<char*>(puk.data()),
                               reinterpret_cast<char*>(newPin.data()))
                      : 0;
  // Whatever the dialog wrote, the texts end inside their buffers.
  puk[kPinBufferSize - 1] = 0;
  newPin[kPinBufferSize - 1] = 0;
  if (answer != 1) return kErrCancelled;

  int login = token_.LoginSecurityOfficer(reinterpret_cast<const char*>(puk.data()));
  SecureWipe(puk.data(), puk.size());
  if (login == kOk) {
    rc = token_.InitUserPin(reinterpret_cast<const char*>(newPin.data()));
    SecureWipe(newPin.data(), newPin.size());
    return rc;
  }
  SecureWipe(newPin.data(), newPin.size());

  rc = token_.ReadTokenFlags();
  if (rc != kOk) return rc;
  // The PUK is used up when the flags say so or the login said it is
  // locked (the security officer's mapping gives 131 for a locked PIN).
  const bool pukLocked = token_.SoPinLocked() || login == kErrPinLocked || login == kErrSoPinLocked;
  if (pukLocked && token_.UserPinLocked()) {
    TakeTokenReport(token_, outCode, outText);
    return kErrBothPinsLocked;
  }
  if (pukLocked) return kErrSoPinLocked;
  return login;
}

}  // namespace quenta
