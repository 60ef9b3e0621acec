// The digest of a password pair that the engine hands to the page and the
// bank checks on its side. The banks compute it the same way, byte for byte.
#pragma once

#include <string>

namespace quenta {

// SHA-1 over a zero-filled buffer of strlen(first) + strlen(second) bytes,
// into which first is copied at the start and then second is copied at the
// start as well, over it. The input is thus second, then what of first lies
// beyond second's length, then zero bytes. Returns the digest as 40
// upper-case hex digits; a null text counts as empty. An empty result means
// the digest could not be computed (no memory, digest failure).
std::string PasswordDigest(const char* first, const char* second);

}  // namespace quenta
