#include "engine/token_access.h"

#include "engine/result_codes.h"

namespace quenta {

// Card and token support is not part of this build yet: every operation
// that would need a device answers 1 ("no support for the operation").

CTokenAccess::CTokenAccess() = default;
CTokenAccess::~CTokenAccess() = default;

int CTokenAccess::OpenDevice(int, unsigned long*) { return kErrArgument; }

int CTokenAccess::CloseSession() {
  if (!session_) return kErrNoSession;
  session_ = 0;
  return kOk;
}

int CTokenAccess::ReleaseModule() { return kOk; }

int CTokenAccess::TokenOperation(const char*, const char*, const char*, const unsigned char*,
                                 std::size_t, int, SecureBytes&) {
  return kErrArgument;
}

}  // namespace quenta
