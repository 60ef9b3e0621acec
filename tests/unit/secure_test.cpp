#include "engine/secure.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<std::vector<unsigned char>> g_freed;

void Record(const void* p, std::size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  g_freed.emplace_back(b, b + n);
}

TEST(SecureBuffers, FreedStorageIsZeroOnEveryRelease) {
  g_freed.clear();
  quenta::SetWipeObserver(&Record);
  {
    quenta::SecureText t("correct horse battery staple");
    t.assign("another secret that is longer than the first one was");  // reallocation
    quenta::SecureBytes b(64, 0xAB);
    b.resize(4096, 0xCD);  // growth frees the old block
  }
  quenta::SetWipeObserver(nullptr);
  ASSERT_GE(g_freed.size(), 4u);
  for (const auto& block : g_freed)
    for (unsigned char c : block) ASSERT_EQ(c, 0) << "a freed secret block was not wiped";
}

TEST(SecureBuffers, TextKeepsExactBytesAndTerminator) {
  quenta::SecureText t("ab\0cd", 5);
  EXPECT_EQ(t.size(), 5u);
  EXPECT_EQ(std::memcmp(t.c_str(), "ab\0cd\0", 6), 0);
  t.clear();
  EXPECT_TRUE(t.empty());
  EXPECT_STREQ(t.c_str(), "");
}

}  // namespace
