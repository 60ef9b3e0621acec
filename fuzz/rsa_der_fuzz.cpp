// The RSA private key reader on arbitrary bytes, checked against OpenSSL's
// own reader: whatever ours accepts, OpenSSL reads as the same key.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "engine/base_rsa.h"
#include "fuzz/fuzz_check.h"

namespace {

bool SameNumber(EVP_PKEY* a, EVP_PKEY* b, const char* name) {
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  const bool same = EVP_PKEY_get_bn_param(a, name, &x) == 1 &&
                    EVP_PKEY_get_bn_param(b, name, &y) == 1 && BN_cmp(x, y) == 0;
  BN_clear_free(x);
  BN_clear_free(y);
  return same;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  EVP_PKEY* ours = quenta::DecodeRsaPrivateKeyDer(data, size);
  if (!ours) return 0;
  const unsigned char* p = data;
  EVP_PKEY* theirs = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(size));
  FUZZ_CHECK(theirs != nullptr);
  FUZZ_CHECK(EVP_PKEY_eq(ours, theirs) == 1);
  for (const char* name : {"n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-exponent1",
                           "rsa-exponent2", "rsa-coefficient1"})
    FUZZ_CHECK(SameNumber(ours, theirs, name));
  EVP_PKEY_free(theirs);
  EVP_PKEY_free(ours);
  return 0;
}
