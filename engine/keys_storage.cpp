#include "engine/keys_storage.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "dialogs/ui.h"
#include "engine/encoding.h"
#include "engine/result_codes.h"
#include "plugin/texts.h"

namespace quenta {

const char kUserKeysSubkey[] = "Software\\Norvale\\Quenta\\Keys";

namespace {

constexpr int kTextMessageTitle = 228;
constexpr int kTextKeyBlocked = 556;
constexpr int kTextBadPassword = 571;
constexpr int kTextKeyFileNotFound = 553;
constexpr int kTextKeys = 339;
constexpr int kTextAll = 342;
constexpr int kTextLegalConsent = 351;
constexpr std::size_t kLocationBufferSize = 260;

int ShowMessage(int textId, const std::string& text, const std::string& caption, MsgIcon icon,
                MsgButtons buttons) {
  MessageRequest r;
  r.textId = textId;
  r.text = text;
  r.caption = caption;
  r.icon = icon;
  r.buttons = buttons;
  return CurrentUi().ShowMessage(r);
}

int ShowError(int textId) {
  return ShowMessage(textId, LoadText(textId), LoadText(kTextMessageTitle), MsgIcon::kError,
                     MsgButtons::kOk);
}

bool Empty(const char* s) { return !s || !*s; }

}  // namespace

CKeysStorage::CKeysStorage() : settings_(kHkeyCurrentUser, kUserKeysSubkey) {}

CKeysStorage::~CKeysStorage() {
  current_ = nullptr;
  WipeKeyMaterial();
  ForgetPassword();
}

// ---------------------------------------------------------------- key list

CKeyStorage* CKeysStorage::FindKey(const char* name) {
  if (!name) return nullptr;
  for (auto& k : keys_)
    if (k->name == name) return k.get();
  return nullptr;
}

int CKeysStorage::SetKey(const char* name, const char* labelHex, const char* data, uint8_t kind) {
  if (!name || !labelHex || !data) return kErrArgument;
  SecureBytes labelBytes;
  int rc = HexDecode(labelHex, labelBytes);
  if (rc != kOk) return rc;
  std::string label = IsoToWin1250(labelBytes.data(), labelBytes.size());
  // A label is a text: it ends at its first zero byte, as it would in C.
  label.resize(std::strlen(label.c_str()));
  // Filling an entry needs all three texts; check before touching anything.
  if (!*name || label.empty() || !*data) return kErrArgument;

  if (CKeyStorage* existing = FindKey(name)) {
    existing->label = label;
    existing->reference.assign(data);
    existing->kind = kind;
    return kOk;
  }
  auto entry = std::make_unique<CKeyStorage>();
  entry->name = name;
  entry->label = label;
  entry->reference.assign(data);
  entry->kind = kind;
  keys_.push_back(std::move(entry));
  return kOk;
}

int CKeysStorage::RemoveKey(const char* name) {
  if (!name) return kErrArgument;
  for (auto it = keys_.begin(); it != keys_.end(); ++it) {
    if ((*it)->name == name) {
      // Never leave the current key pointing at a freed entry.
      if (current_ == it->get()) current_ = nullptr;
      keys_.erase(it);
      return kOk;
    }
  }
  return kErrArgument;
}

int CKeysStorage::AddCardModel(const char* model) { return model ? kOk : kErrArgument; }

std::string CKeysStorage::DescribeKey(const CKeyStorage& entry) const {
  int textId = 0;
  switch (entry.kind) {
    case 0: textId = 324; break;
    case 1: case 8: textId = 699; break;
    case 2: textId = 674; break;
    case 11: textId = 676; break;
    default: break;
  }
  std::string kindText = textId ? LoadText(textId) : std::to_string(entry.kind);
  return entry.label + " (" + kindText + ")";
}

// ---------------------------------------------------------------- key material

void CKeysStorage::WipeKeyMaterial() {
  keyMaterial_.clear();
  hasKeyMaterial_ = false;
  materialOwner_.clear();
}

bool CKeysStorage::KeepsMaterialFor(const CKeyStorage& key) const {
  // A kept password keeps the material it unlocked, but only for the key it
  // came from: another key must never be used with this key's material.
  return hasKeyMaterial_ && keep_ == 1 && materialOwner_ == key.name;
}

void CKeysStorage::TakeReferenceText(const CKeyStorage& key) {
  if (KeepsMaterialFor(key)) return;
  WipeKeyMaterial();
  keyMaterial_.assign(key.reference.c_str(), key.reference.size());
  hasKeyMaterial_ = true;
  materialOwner_ = key.name;
}

int CKeysStorage::ReadKeyFile(const char* path, SecureText& hex) {
  if (Empty(path)) return kErrArgument;
  FILE* f = std::fopen(path, "rb");
  if (!f) return kErrKeyFileOpen;
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fclose(f);
    return kErrKeyFileOpen;
  }
  SecureBytes content(static_cast<std::size_t>(st.st_size));
  std::size_t got = content.empty() ? 0 : std::fread(content.data(), 1, content.size(), f);
  std::fclose(f);
  if (got < content.size()) return kErrKeyFileRead;
  return HexEncode(content.data(), content.size(), hex);
}

int CKeysStorage::LoadKeyFile(CKeyStorage& key, const char* extension, void* parent) {
  std::string path;
  if (settings_.GetText(key.name.c_str(), path) == kOk) {
    SecureText hex;
    if (ReadKeyFile(path.c_str(), hex) == kOk) {
      WipeKeyMaterial();
      keyMaterial_ = std::move(hex);
      hasKeyMaterial_ = true;
      materialOwner_ = key.name;
      return kOk;
    }
  }

  std::string text = LoadText(kTextKeyFileNotFound);
  if (key.kind == kKindFile) text += "\n(plik " + key.label + ".prv)";
  else if (key.kind == kKindPkcs8File) text += "\n(plik private_key.der lub priv.der)";
  ShowMessage(kTextKeyFileNotFound, text, "", MsgIcon::kWarning, MsgButtons::kOk);

  OpenFileRequest request;
  request.defaultExtension = extension ? extension : "";
  request.initialName = key.label;
  std::string keys = LoadText(kTextKeys), all = LoadText(kTextAll);
  request.filter = keys + " (*." + request.defaultExtension + ")|*." + request.defaultExtension +
                   "|" + all + " (*.*)|*.*||";
  std::string chosen;
  if (!CurrentUi().ChooseFileToOpen(request, chosen)) return kErrCancelled;

  SecureText hex;
  int rc = ReadKeyFile(chosen.c_str(), hex);
  WipeKeyMaterial();
  if (rc == kOk) {
    keyMaterial_ = std::move(hex);
    hasKeyMaterial_ = true;
    materialOwner_ = key.name;
  }
  pathChanged_ = 1;
  pendingPath_ = chosen;
  return rc;
}

int CKeysStorage::ChangeKeyLocation(const char* name, std::string& pathHex) {
  if (!name) return kErrArgument;
  std::string path;
  if (!CurrentUi().ChooseFileToOpen(OpenFileRequest(), path)) return kErrCancelled;
  if (!settings_.SetParam(name, path.c_str())) return kErrArgument;
  return HexEncode(reinterpret_cast<const unsigned char*>(path.data()), path.size(), pathHex);
}

int CKeysStorage::GetKeyLocation(const char* name, std::string& locationHex) {
  if (!name) return kErrRegistryRead;
  unsigned char buffer[kLocationBufferSize];
  unsigned long size = sizeof buffer;
  if (!settings_.GetParam(name, buffer, &size)) return kErrRegistryRead;
  return HexEncode(buffer, size, locationHex) == kOk ? kOk : kErrRegistryRead;
}

int CKeysStorage::SetKeyLocation(const char* name, const char* path) {
  if (!name || !path) return kErrArgument;
  return settings_.SetParam(name, path) ? kOk : kErrArgument;
}

// ---------------------------------------------------------------- select / use / release

int CKeysStorage::SelectKey(const char* name, int mayUnblock, int* outCode,
                            std::string* outText, void* parent, PinPukCallback pinPuk) {
  CKeyStorage* key = keys_.empty() ? nullptr : FindKey(name);
  if (!key) return kErrNoKey;
  current_ = key;

  int rc = kOk;
  switch (key->kind) {
    case 0: case 4: case 6: case 7:
      TakeReferenceText(*key);
      break;
    case 1: case 5: case 8:
      if (!KeepsMaterialFor(*key)) {
        WipeKeyMaterial();
        rc = LoadKeyFile(*key, key->kind == 1 ? "prv" : key->kind == 5 ? "pgp" : "der", parent);
      }
      break;
    case 2: case 10: case 11: case 13: {
      TakeReferenceText(*key);
      int mode = key->kind == 2 ? kDeviceSmartCard : key->kind == 11 ? kDeviceUsbToken : kDeviceAny;
      unsigned long slot = 0;
      rc = token_.OpenDevice(mode, &slot);
      if (rc != kOk) {
        if (key->kind == 2 || key->kind == 11) {
          token_.CloseSession();
          token_.ReleaseModule();
        }
      } else {
        rc = TokenStateCheck(mayUnblock, outCode, outText, pinPuk, nullptr);
      }
      break;
    }
    case 3:
      break;
    default:
      rc = kErrKeyKindUnusable;
      break;
  }
  ReportError(rc, 0, parent);
  return rc;
}

int CKeysStorage::UseKey(int operation, int ask, const char* password, const unsigned char* data,
                         std::size_t length, SecureBytes& result, int mayUnblock, int* outCode,
                         std::string* outText, void* parent, PasswordCallback passwordCb,
                         PinPukCallback pinPuk, int* deviceOpen) {
  result.clear();
  if (!current_) return kErrNoKey;  // nothing selected: refuse rather than guess
  if (operation != kOpRawPrivate && operation != kOpDecrypt && operation != kOpSignSha1 &&
      operation != kOpSignSha256)
    return kErrArgument;
  CKeyStorage& key = *current_;

  if (key.Blocked()) {
    ShowError(kTextKeyBlocked);
    return kErrKeyBlocked;
  }

  if (key.kind == kKindSmartCard || key.kind == kKindUsbToken) {
    int rc = TokenStateCheck(mayUnblock, outCode, outText, pinPuk, deviceOpen);
    if (rc != kOk) {
      ReportError(rc, 0, parent);
      return rc;
    }
  }

  // The password: the kept one, else ask, else the one given.
  SecureText asked;
  const char* secret = password ? password : "";
  if (keep_ == 1) {
    secret = keptPassword_.c_str();
  } else if (ask == 1 && key.kind != kKindCertStore) {
    char buffer[kPasswordBufferSize] = {0};
    int answer = passwordCb ? passwordCb(key.kind, key.label.c_str(), buffer, sizeof buffer) : 0;
    buffer[sizeof buffer - 1] = '\0';
    asked.assign(buffer);
    SecureWipe(buffer, sizeof buffer);
    if (answer != 1) return kErrCancelled;
    secret = asked.c_str();
  }

  if (key.kind > 13) return kErrArgument;

  int rc;
  switch (key.kind) {
    case 0: case 6:
      rc = rsa_.SoftwareOperation(keyMaterial_.c_str(), CBaseRSA::kFormatOwn, nullptr, secret,
                                  data, length, operation, result);
      break;
    case 1:
      rc = rsa_.SoftwareOperation(keyMaterial_.c_str(), CBaseRSA::kFormatOwn,
                                  key.reference.c_str(), secret, data, length, operation, result);
      break;
    case 8:
      rc = rsa_.SoftwareOperation(keyMaterial_.c_str(), CBaseRSA::kFormatPkcs8,
                                  key.reference.c_str(), secret, data, length, operation, result);
      break;
    case 2: case 10: case 11:
      rc = token_.TokenOperation(key.label.c_str(), key.reference.c_str(), secret, data, length,
                                 operation, result);
      break;
    case 3:
      if (operation == kOpSignSha1) {
        int answer = ShowMessage(kTextLegalConsent, LoadText(kTextLegalConsent),
                                 LoadText(kTextMessageTitle), MsgIcon::kQuestion,
                                 MsgButtons::kOkCancel);
        if (answer != kIdOk) return kErrCancelled;
      }
      rc = certStore_.CertStoreOperation(operation, key.reference.c_str(), data, length, result);
      break;
    default:  // 4, 5, 7, 9, 12, 13
      rc = kErrArgument;
      break;
  }

  if (rc == kErrNoKeyOnCard && key.kind == kKindUsbToken) rc = kErrNoKeyOnUsbToken;
  if (rc == kErrPinLocked) {
    int check = TokenStateCheck(mayUnblock, outCode, outText, pinPuk, deviceOpen);
    return check == kErrBothPinsLocked ? kErrBothPinsLocked : kErrPinLocked;
  }
  if (rc != kOk) result.clear();
  ReportError(rc, 1, parent);
  if (rc == kOk && remember_ == 1) {
    SecureText used(secret);
    RememberPassword(used.c_str());
  }
  return rc;
}

int CKeysStorage::ReleaseKey() {
  if (!current_) return kErrNoKey;
  int rc = kOk;
  if (pathChanged_ == 1) {
    settings_.SetParam(current_->name.c_str(), pendingPath_.c_str());
    pathChanged_ = 0;
    pendingPath_.clear();
  }
  switch (current_->kind) {
    case 0: case 1: case 4: case 5: case 6: case 7: case 8:
      if (remember_ != 1) WipeKeyMaterial();
      break;
    case 2: case 10: case 11: case 13:
      // An any-device key (13) opens a device at selection too; close it
      // here like the others, so the next open never reuses a stale session.
      if (remember_ != 1) WipeKeyMaterial();
      token_.CloseSession();
      token_.ReleaseModule();
      break;
    case 3:
      break;
    default:
      rc = kErrKeyKindUnusable;
      break;
  }
  current_ = nullptr;
  return rc;
}

// ---------------------------------------------------------------- kept password

int CKeysStorage::RememberPassword(const char* password) {
  if (password) keptPassword_.assign(password);
  else keptPassword_.clear();
  keep_ = 1;
  return kOk;
}

int CKeysStorage::ForgetPassword() {
  keptPassword_.clear();
  keep_ = 0;
  return kOk;
}

// ---------------------------------------------------------------- errors

void CKeysStorage::ReportError(int code, int successResets, void* parent) {
  switch (code) {
    case kOk:
      if (successResets == 1 && current_) current_->failures = 0;
      break;
    case kErrBadPassword:
      if (current_) {
        ++current_->failures;
        callJs_.FireWKPEvent("", current_->name.c_str(), current_->label.c_str(),
                             current_->failures);
      }
      ShowError(kTextBadPassword);
      break;
    case kErrKeyDigestMismatch:
    case kErrHexData:
    case kErrPkcs8Parse:
      if (current_) settings_.SetParam(current_->name.c_str(), "");
      // A file the user has just chosen that turned out wrong is not
      // remembered at release either.
      pathChanged_ = 0;
      pendingPath_.clear();
      break;
    case kErrNoSmartCard: case kErrNoReader: case kErrPcscLocate: case kErrNoCard:
      ShowError(678);
      break;
    case kErrNoKeyOnCard: ShowError(680); break;
    case kErrPinLength: ShowError(258); break;
    case kErrPinIncorrect: ShowError(249); break;
    case kErrTokenAbsent: ShowError(255); break;
    case kErrNoUsbToken: ShowError(682); break;
    case kErrNoKeyOnUsbToken: ShowError(684); break;
    default: break;
  }
}

}  // namespace quenta
