#include "engine/keys_storage_comp.h"

#include "engine/dialog_hooks.h"

#include <openssl/rand.h>

#include <cstring>

#include "dialogs/keyboard_dlg.h"
#include "dialogs/password_dlg.h"
#include "engine/encoding.h"
#include "engine/network_msg.h"
#include "engine/password_digest.h"
#include "engine/result_codes.h"
#include "engine/toolbox_utils.h"
#include "signing/sign_dlg.h"

namespace quenta {

// Signing and the login challenge. Key generation is in key_generation.cpp,
// token management in token_management.cpp.

namespace {

constexpr std::size_t kChallengeBytes = 32;
// The signed challenge data is the page's text, "-", the 64-character
// challenge text and a zero byte; one raw block of a 1024-bit key holds
// at most 117 bytes, so the page's text may have at most 51 characters.
constexpr std::size_t kMaxPageChallenge = 51;

bool Empty(const char* s) { return !s || !*s; }
bool OnlyBar(const char* s) { return s && std::strcmp(s, "|") == 0; }

// Signing needs a registered reader component: the USB token reader or
// the smart card reader.
bool ReaderComponentRegistered() {
  CToolboxUtils support;
  return support.UsbTokenSupport() || support.SmartCardSupport();
}

}  // namespace

CKeysStorageComp::CKeysStorageComp() {
  // The token layer asks the user to choose a reader or the keys to remove
  // through these dialogs.
  InstallTokenDialogs();
}

// A dialog that ended without a successful signature (cancelled, or an
// error that ended it) leaves its key selected. Release it at once, so the
// key material is wiped and a token session closed instead of lingering
// until the next request.
void CKeysStorageComp::ReleaseUnfinishedKey() {
  if (CurrentKey()) ReleaseKey();
}
CKeysStorageComp::~CKeysStorageComp() = default;

int CKeysStorageComp::Sign(const char* allowedKeys, const char* keyName, const char* orderHex,
                           int mode, std::string* signature, std::string* usedKeyName,
                           std::string* report) {
  if (!ReaderComponentRegistered()) return kErrNoReaderComponent;
  if (signingAllowed_ == 0) return kErrChallenge;
  if (keys_.empty()) return kErrNoKey;
  if (OnlyBar(allowedKeys)) return kErrAllowedKeysBar;
  if (mode != 1 && mode != 2) return kErrArgument;

  CSignDlg dialog;
  dialog.SetDataIsDirect(0);
  int rc = dialog.PrepareSignData(this, orderHex, allowedKeys, keyName);
  if (rc != kOk) return rc;

  if (mode == 1) {
    dialog.SetSilent(0);
    dialog.SetOperation(kOpSignSha256);
    const int end = dialog.DoModal();
    ReleaseUnfinishedKey();
    if (end != kIdOk) return kErrCancelled;
  } else {
    dialog.SetSilent(1);
    dialog.SetOperation(kOpSignSha1);
    dialog.SelectPreferredKey();
    dialog.PerformSigning();
    ReleaseUnfinishedKey();
  }

  rc = dialog.Result();
  if (rc == kOk && signature) {
    const SecureBytes out = dialog.TakeOutput();
    const int encoded = HexEncode(out.data(), out.size(), *signature);
    if (encoded != kOk) rc = encoded;
  }
  if (rc == kErrBothPinsLocked && report) {
    *report = dialog.TokenReport();
    NamesFromTokenReport(report);
  }
  if (usedKeyName) *usedKeyName = dialog.ChosenKeyName();
  return rc;
}

int CKeysStorageComp::EncryptRand(const char* allowedKeys, const char* keyName,
                                  const char* challenge, int mode, const char* extra,
                                  std::string* message, std::string* usedKeyName,
                                  std::string* report) {
  // Whatever happens below, signing waits for the answer to this challenge.
  signingAllowed_ = 0;
  if (Empty(challenge)) return kErrArgument;
  if (keys_.empty()) return kErrNoKey;
  if (OnlyBar(allowedKeys)) return kErrAllowedKeysBar;
  challengeMode_ = mode;

  if (mode == 2) {
    CPasswordDialog logon;
    logon.SetMode(kPasswordModeLogon);
    if (logon.DoModal() != kIdOk) return kErrCancelled;
    std::string digest = PasswordDigest(extra, logon.Entry().c_str());
    if (digest.empty()) return kErrNoMemory;
    passwordDigest_ = std::move(digest);
    hasPasswordDigest_ = true;
  }

  unsigned char random[kChallengeBytes];
  if (RAND_bytes(random, sizeof random) != 1) return kErrArgument;
  std::string text;
  int rc = HexEncode(random, sizeof random, text);
  SecureWipe(random, sizeof random);
  if (rc != kOk) return rc;
  challenge_ = std::move(text);
  hasChallenge_ = true;

  const std::size_t pageLength = std::strlen(challenge);
  if (pageLength > kMaxPageChallenge) return kErrArgument;
  // "%s-%s" and its terminating zero: page length + 66 bytes.
  SecureBytes data;
  data.reserve(pageLength + 1 + challenge_.size() + 1);
  data.insert(data.end(), challenge, challenge + pageLength);
  data.push_back('-');
  data.insert(data.end(), challenge_.begin(), challenge_.end());
  data.push_back('\0');

  CSignDlg dialog;  // the data is attached directly: nothing to decode
  rc = dialog.PrepareSignData(this, "", allowedKeys, keyName);
  if (rc != kOk) return rc;
  dialog.SetSignData(data.data(), data.size());
  dialog.SetSilent(0);
  dialog.SetOperation(kOpRawPrivate);

  // The password typed now is kept for the silent answer check.
  SetRememberFlag(1);
  ForgetPassword();
  const int end = dialog.DoModal();
  dialog.SetSignData(nullptr, 0);
  ReleaseUnfinishedKey();
  if (end != kIdOk) return kErrCancelled;

  rc = dialog.Result();
  if (rc == kOk && message) {
    CProofOfPossesion record;
    const SecureBytes out = dialog.TakeOutput();
    if (!record.SetKeyName(dialog.ChosenKeyName().c_str()) ||
        !record.SetResult(out.data(), out.size())) {
      rc = kErrNoMemory;
    } else {
      const unsigned char* packed = record.Pack();
      rc = packed ? HexEncode(packed, record.PackedLength(), *message) : kErrNoMemory;
    }
  }
  if (rc == kErrBothPinsLocked && report) {
    *report = dialog.TokenReport();
    NamesFromTokenReport(report);
  }
  if (usedKeyName) *usedKeyName = dialog.ChosenKeyName();
  return rc;
}

int CKeysStorageComp::DecryptRand(const char* allowedKeys, const char* messageHex, int mode,
                                  std::string* digest, bool* hasDigest, std::string* usedKeyName,
                                  std::string* report) {
  if (hasDigest) *hasDigest = false;
  if (mode != challengeMode_) return kErrArgument;
  if (keys_.empty()) return kErrNoKey;
  if (OnlyBar(allowedKeys)) return kErrAllowedKeysBar;
  // Without a challenge of ours there is nothing the answer could prove.
  if (!hasChallenge_) return kErrChallenge;

  SecureBytes bytes;
  int rc = HexDecode(messageHex, bytes);
  if (rc != kOk) return rc;
  CProofOfPossesion record;
  if (record.Unpack(bytes.data(), bytes.size()) != 1 || !record.keyName || !record.result)
    return kErrArgument;

  CSignDlg dialog;
  rc = dialog.PrepareSignData(this, "", allowedKeys, record.keyName);
  if (rc != kOk) return rc;
  dialog.SelectPreferredKey();
  dialog.SetSignData(record.result, static_cast<std::size_t>(record.resultLength));
  SetRememberFlag(0);
  dialog.SetSilent(1);
  dialog.SetOperation(kOpDecrypt);
  rc = dialog.PerformSigning();
  dialog.SetSignData(nullptr, 0);
  ReleaseUnfinishedKey();
  ForgetPassword();

  if (rc == kOk) {
    // The answer is the whole challenge text, nothing less: a shorter value
    // (down to an empty decryption) would prove nothing. One terminating
    // zero byte may follow it.
    const SecureBytes out = dialog.TakeOutput();
    const std::size_t n = challenge_.size();
    const bool whole = (out.size() == n || (out.size() == n + 1 && out[n] == 0)) &&
                       std::memcmp(out.data(), challenge_.data(), n) == 0;
    if (!whole) {
      rc = kErrChallenge;
    } else {
      signingAllowed_ = 1;
      if (mode == 2) {
        if (hasPasswordDigest_) {
          if (digest) *digest = passwordDigest_;
          if (hasDigest) *hasDigest = true;
        }
        SecureWipe(&passwordDigest_[0], passwordDigest_.size());
        passwordDigest_.clear();
        hasPasswordDigest_ = false;
      }
    }
  }
  if (rc == kErrBothPinsLocked && report) {
    *report = dialog.TokenReport();
    NamesFromTokenReport(report);
  }
  if (usedKeyName) *usedKeyName = dialog.ChosenKeyName();
  return rc;
}

int CKeysStorageComp::ShowKeyboard(std::string* text, int* endValue) {
  if (endValue) *endValue = 0;
  return RunKeyboard(text, endValue);
}

}  // namespace quenta
