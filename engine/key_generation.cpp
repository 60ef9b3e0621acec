#include "engine/keys_storage_comp.h"

#include "engine/result_codes.h"

namespace quenta {

// Key generation on a card or token. Until the key generation dialog is in,
// it answers 1 and changes nothing.

int CKeysStorageComp::GenerateKey(int, const char*, int*, std::string*, std::string*,
                                  std::string*, std::string*, std::string*) {
  return kErrArgument;
}

}  // namespace quenta
