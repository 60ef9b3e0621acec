#include "engine/keys_storage_comp.h"

#include "dialogs/keyboard_dlg.h"
#include "engine/result_codes.h"

namespace quenta {

// Signing and the login challenge. Until the sign dialog is in, each
// answers 1 ("no support for the operation") and changes nothing. Key
// generation is in key_generation.cpp, token management in
// token_management.cpp.

CKeysStorageComp::CKeysStorageComp() = default;
CKeysStorageComp::~CKeysStorageComp() = default;

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

int CKeysStorageComp::ShowKeyboard(std::string* text, int* endValue) {
  if (endValue) *endValue = 0;
  return RunKeyboard(text, endValue);
}

}  // namespace quenta
