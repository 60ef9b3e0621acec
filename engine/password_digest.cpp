#include "engine/password_digest.h"

#include <openssl/evp.h>

#include <cstring>
#include <exception>

#include "engine/encoding.h"
#include "engine/secure.h"

namespace quenta {

std::string PasswordDigest(const char* first, const char* second) {
  const std::size_t firstLength = first ? std::strlen(first) : 0;
  const std::size_t secondLength = second ? std::strlen(second) : 0;
  if (firstLength > static_cast<std::size_t>(-1) - secondLength) return std::string();

  SecureBytes input;
  try {
    input.assign(firstLength + secondLength, 0);
  } catch (const std::exception&) {
    return std::string();
  }
  if (firstLength) std::memcpy(input.data(), first, firstLength);
  if (secondLength) std::memcpy(input.data(), second, secondLength);

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  const int ok = EVP_Digest(input.data(), input.size(), digest, &digestLength, EVP_sha1(), nullptr);
  std::string hex;
  if (ok == 1 && digestLength == 20) HexEncode(digest, digestLength, hex);
  SecureWipe(digest, sizeof(digest));
  return hex;
}

}  // namespace quenta
