#include "engine/keys_storage_comp.h"

#include "dialogs/keyboard_dlg.h"
#include "engine/result_codes.h"

namespace quenta {

// The operations below need the dialogs, the order text and card support,
// which this build does not have yet; until they are in, each answers 1
// ("no support for the operation") and changes nothing.

CKeysStorageComp::CKeysStorageComp() = default;
CKeysStorageComp::~CKeysStorageComp() = default;

int CKeysStorageComp::GenerateKey(int, const char*, int*, std::string*, std::string*,
                                  std::string*, std::string*, std::string*) {
  return kErrArgument;
}

int CKeysStorageComp::Sign(const char*, const char*, const char*, int, std::string*,
                           std::string*, std::string*) {
  return kErrArgument;
}

int CKeysStorageComp::EncryptRand(const char*, const char*, const char*, int, const char*,
                                  std::string*, std::string*, std::string*) {
  return kErrArgument;
}

int CKeysStorageComp::DecryptRand(const char*, const char*, int, std::string*, bool* hasDigest,
                                  std::string*, std::string*) {
  if (hasDigest) *hasDigest = false;
  return kErrArgument;
}

int CKeysStorageComp::ChangePIN(std::string*) { return kErrArgument; }
int CKeysStorageComp::ChangePUK(std::string*) { return kErrArgument; }

int CKeysStorageComp::InitializeCard(std::string*, bool* hasNames) {
  if (hasNames) *hasNames = false;
  return kErrArgument;
}

int CKeysStorageComp::UnblockCard(std::string*) { return kErrArgument; }
int CKeysStorageComp::DeleteTokenKeys(int, std::string*) { return kErrArgument; }

int CKeysStorageComp::ShowKeyboard(std::string* text, int* endValue) {
  if (endValue) *endValue = 0;
  return RunKeyboard(text, endValue);
}

}  // namespace quenta
