// Keys of the user's system certificate store, used through the store's
// key provider.
#pragma once

#include <cstddef>

#include "engine/secure.h"

namespace quenta {

class CSystemCertStore {
 public:
  CSystemCertStore();
  virtual ~CSystemCertStore();

  // operation 1 decrypts an exchange-key block, 3 signs a SHA-1 hash of the
  // data; certificate is the armoured certificate text.
  int CertStoreOperation(int operation, const char* certificate, const unsigned char* data,
                         std::size_t length, SecureBytes& result);
};

}  // namespace quenta
