// The key store's flows on top of the token: the token state check and the
// unblock flow.
#include "engine/keys_storage.h"
#include "engine/result_codes.h"

namespace quenta {

int CKeysStorage::TokenStateCheck(int, int*, std::string*, PinPukCallback, int*) {
  // Card and token support is not part of this build yet.
  return kErrArgument;
}

}  // namespace quenta
