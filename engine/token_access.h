// Access to processor cards and USB tokens through PC/SC and PKCS#11.
#pragma once

#include <cstddef>
#include <string>

#include "engine/secure.h"

namespace quenta {

// Device search modes.
enum DeviceMode { kDeviceSmartCard = 0, kDeviceUsbToken = 1, kDeviceAny = 2 };

class CTokenAccess {
 public:
  CTokenAccess();
  virtual ~CTokenAccess();

  // Finds a usable card or token in the given mode and opens a read-write
  // session on it. 0 on success, else a result code.
  int OpenDevice(int mode, unsigned long* slot);
  // Closes the open session: 55 without one.
  int CloseSession();
  // Finalises and unloads the PKCS#11 module; 0.
  int ReleaseModule();
  bool HasSession() const { return session_ != 0; }

  // Signs or decrypts on the token with the key of the given label after a
  // PIN login, checking the key against the expected digest.
  int TokenOperation(const char* label, const char* expectedDigest, const char* pin,
                     const unsigned char* data, std::size_t length, int operation,
                     SecureBytes& result);

 private:
  unsigned long session_ = 0;
};

}  // namespace quenta
