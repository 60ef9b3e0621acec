#include "engine/password_digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/secure.h"

namespace {

std::string Sha1Hex(const std::string& input) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(input.data(), input.size(), digest, &n, EVP_sha1(), nullptr);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 0x0F]);
  }
  return hex;
}

struct DigestCase {
  const char* first;
  const char* second;
  std::string input;  // the bytes that must be digested
};

class PasswordDigestTable : public ::testing::TestWithParam<DigestCase> {};

TEST_P(PasswordDigestTable, DigestsSecondOverFirstThenZeros) {
  const DigestCase& c = GetParam();
  const std::string digest = quenta::PasswordDigest(c.first, c.second);
  EXPECT_EQ(digest.size(), 40u);
  EXPECT_EQ(digest, Sha1Hex(c.input));
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, PasswordDigestTable,
    ::testing::Values(DigestCase{"abcdef", "XY", std::string("XYcdef\0\0", 8)},
                      DigestCase{"XY", "abcdef", std::string("abcdef\0\0", 8)},
                      DigestCase{"abc", "abc", std::string("abc\0\0\0", 6)},
                      DigestCase{"secret", "", "secret"},
                      DigestCase{"", "pw", "pw"},
                      DigestCase{nullptr, "pw", "pw"},
                      DigestCase{"pw", nullptr, "pw"},
                      DigestCase{nullptr, nullptr, ""}));

TEST(PasswordDigestTest, KnownValues) {
  // FIPS 180 test vectors, independent of the digest library.
  EXPECT_EQ(quenta::PasswordDigest("abc", ""), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(quenta::PasswordDigest("", ""), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

std::vector<std::size_t> g_wipedSizes;
void RecordWipe(const void*, std::size_t n) { g_wipedSizes.push_back(n); }

TEST(PasswordDigestTest, InputBufferGoesThroughWipedStorage) {
  g_wipedSizes.clear();
  quenta::SetWipeObserver(&RecordWipe);
  quenta::PasswordDigest("password-one", "pin");
  quenta::SetWipeObserver(nullptr);
  bool found = false;
  for (std::size_t n : g_wipedSizes) found |= n >= std::strlen("password-one") + 3;
  EXPECT_TRUE(found) << "the buffer holding the password was not released through a wipe";
}

}  // namespace
