// The key store: the page's list of keys, the current key, its material,
// failed-attempt counting and blocking, remembered key file locations, and
// the dispatch of a private-key operation to where the key lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base_rsa.h"
#include "engine/cfg_reg.h"
#include "engine/secure.h"
#include "engine/system_cert_store.h"
#include "engine/token_access.h"
#include "plugin/call_js.h"

namespace quenta {

// Where a key lives.
enum KeyKind : uint8_t {
  kKindBankRepository = 0,
  kKindFile = 1,
  kKindSmartCard = 2,
  kKindCertStore = 3,
  kKindPkcs8File = 8,
  kKindAnyDevice = 10,
  kKindUsbToken = 11,
  kKindAnyDeviceNoUse = 13,
  kKindUnset = 255,
};

// Private-key operations.
enum KeyOperation {
  kOpRawPrivate = 0,  // raw private-key operation (login challenge)
  kOpDecrypt = 1,
  kOpSignSha1 = 3,
  kOpSignSha256 = 4,
};

// Asks for a key password or PIN. buffer receives the zero-terminated text
// (at most size - 1 bytes). Returns the dialog's answer: 1 = OK.
using PasswordCallback = int (*)(int kind, const char* label, char* buffer, std::size_t size);
// Asks for the PUK and a new PIN in the given dialog mode; both buffers are
// kPinBufferSize bytes. Returns the dialog's answer: 1 = OK.
using PinPukCallback = int (*)(int mode, char* puk, char* newPin);

constexpr std::size_t kPasswordBufferSize = 1024;
constexpr std::size_t kPinBufferSize = 128;

// One entry of the page's key list.
struct CKeyStorage {
  std::string name;       // the list key, compared exactly
  std::string label;      // Windows-1250: token key label or key file base name
  SecureText reference;   // key material, expected key digest or certificate
  uint8_t kind = kKindUnset;
  int32_t listPosition = -1;  // the sign dialog's row for this entry
  int32_t failures = 0;       // failed password attempts since the last success

  bool Blocked() const { return kind != kKindSmartCard && failures >= 3; }
};

class CKeysStorage {
 public:
  CKeysStorage();
  virtual ~CKeysStorage();
  CKeysStorage(const CKeysStorage&) = delete;
  CKeysStorage& operator=(const CKeysStorage&) = delete;

  // ---- the key list ----
  int SetKey(const char* name, const char* labelHex, const char* data, uint8_t kind);
  int RemoveKey(const char* name);
  int AddCardModel(const char* model);
  CKeyStorage* FindKey(const char* name);
  const std::vector<std::unique_ptr<CKeyStorage>>& Keys() const { return keys_; }
  std::string DescribeKey(const CKeyStorage& entry) const;

  // ---- using a key ----
  int SelectKey(const char* name, int mayUnblock, int* outCode, std::string* outText,
                void* parent, PinPukCallback pinPuk);
  int UseKey(int operation, int ask, const char* password, const unsigned char* data,
             std::size_t length, SecureBytes& result, int mayUnblock, int* outCode,
             std::string* outText, void* parent, PasswordCallback passwordCb,
             PinPukCallback pinPuk, int* deviceOpen);
  int ReleaseKey();
  CKeyStorage* CurrentKey() const { return current_; }

  // ---- key file locations ----
  int ChangeKeyLocation(const char* name, std::string& pathHex);
  int GetKeyLocation(const char* name, std::string& locationHex);
  int SetKeyLocation(const char* name, const char* path);
  int LoadKeyFile(CKeyStorage& key, const char* extension, void* parent);
  int ReadKeyFile(const char* path, SecureText& hex);

  // ---- kept password ----
  int RememberPassword(const char* password);
  int ForgetPassword();
  bool HasKeptPassword() const { return keep_ != 0; }
  void SetRememberFlag(int flag) { remember_ = flag; }

  // ---- errors ----
  void ReportError(int code, int successResets, void* parent);

  // ---- token flows (card and token support) ----
  virtual int TokenStateCheck(int mayUnblock, int* outCode, std::string* outText,
                              PinPukCallback pinPuk, int* deviceOpen);
  int UnblockWithPuk(int openFirst, int* outCode, std::string* outText, PinPukCallback pinPuk);
  CTokenAccess& Token() { return token_; }

  // ---- state shared with the engine operations ----
  CCallJS& PageCallback() { return callJs_; }
  int SignDialogType() const { return signDialogType_; }
  void SetSignDialogType(int type) { signDialogType_ = type; }
  const SecureText& KeyMaterial() const { return keyMaterial_; }
  bool HasKeyMaterial() const { return hasKeyMaterial_; }

 protected:
  void TakeReferenceText(const CKeyStorage& key);
  void WipeKeyMaterial();
  bool KeepsMaterialFor(const CKeyStorage& key) const;

  std::vector<std::unique_ptr<CKeyStorage>> keys_;
  CSystemCertStore certStore_;
  CBaseRSA rsa_;
  CTokenAccess token_;
  int32_t reserved_ = 0;
  int32_t signDialogType_ = 0;
  CCallJS callJs_;
  CKeyStorage* current_ = nullptr;
  SecureText keyMaterial_;
  bool hasKeyMaterial_ = false;
  std::string materialOwner_;  // name of the key the material belongs to

  // Login challenge state.
  std::string challenge_;
  bool hasChallenge_ = false;
  int32_t signingAllowed_ = 1;
  int32_t challengeMode_ = 0;
  std::string passwordDigest_;
  bool hasPasswordDigest_ = false;

  SecureText keptPassword_;
  int32_t remember_ = 0;
  uint32_t keep_ = 0;
  int32_t pathChanged_ = 0;
  std::string pendingPath_;
  CCfgReg settings_;
};

// The subkey of the per-user key file locations.
extern const char kUserKeysSubkey[];

}  // namespace quenta
