#include "engine/keys_storage_comp.h"

#include "engine/result_codes.h"

namespace quenta {

// Token PIN and key management. Until the PIN dialogs are in, each
// operation answers 1 and changes nothing.

int CKeysStorageComp::ChangePIN(std::string*) { return kErrArgument; }
int CKeysStorageComp::ChangePUK(std::string*) { return kErrArgument; }

int CKeysStorageComp::InitializeCard(std::string*, bool* hasNames) {
  if (hasNames) *hasNames = false;
  return kErrArgument;
}

int CKeysStorageComp::UnblockCard(std::string*) { return kErrArgument; }
int CKeysStorageComp::DeleteTokenKeys(int, std::string*) { return kErrArgument; }

}  // namespace quenta
