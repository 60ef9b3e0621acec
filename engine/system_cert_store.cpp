#include "engine/system_cert_store.h"

#include "engine/result_codes.h"

namespace quenta {

// The certificate store is not part of this build yet: 1 for every request.

CSystemCertStore::CSystemCertStore() = default;
CSystemCertStore::~CSystemCertStore() = default;

int CSystemCertStore::CertStoreOperation(int, const char*, const unsigned char*, std::size_t,
                                         SecureBytes&) {
  return kErrArgument;
}

}  // namespace quenta
