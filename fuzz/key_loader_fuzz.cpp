// The software key loaders on arbitrary key material with a fixed password
// (the one the seed keys in fuzz/corpus were made with). QUENTA_KEY_FORMAT
// selects the loader: the input is the own-format armoured text or the
// PKCS#8 file's bytes, handed in as hexadecimal as the engine does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/base_rsa.h"
#include "engine/encoding.h"
#include "fuzz/fuzz_check.h"

#ifndef QUENTA_KEY_FORMAT
#error "QUENTA_KEY_FORMAT selects the loader"
#endif

namespace {
constexpr char kPassword[] = "fuzz-password";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string hex;
  if (quenta::HexEncode(data, size, hex) != 0) return 0;
  quenta::CBaseRSA rsa;
  std::string digest;
  int rc;
  if (QUENTA_KEY_FORMAT == quenta::CBaseRSA::kFormatOwn)
    rc = rsa.LoadOwnFormat(hex.c_str(), kPassword, digest);
  else
    rc = rsa.LoadPkcs8(hex.c_str(), kPassword, digest);
  if (rc == 0) {
    FUZZ_CHECK(digest.size() == 40);
    FUZZ_CHECK(rsa.Key() != nullptr);
  } else {
    FUZZ_CHECK(digest.empty());
  }
  return 0;
}
