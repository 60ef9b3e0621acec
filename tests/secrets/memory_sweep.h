// Looks for secrets in memory the code under test has given up or left
// behind: every heap block freed while a sweep is armed (malloc, calloc,
// realloc and free of this process are wrapped, so C++, OpenSSL, NSS and
// loaded PKCS#11 modules are all seen), every block allocated while armed
// and still allocated when the scenario ends, and the whole stack of the
// thread a scenario ran on, read after the thread has ended.
//
// A secret is registered as its bytes; a freed block or a dead stack that
// still holds any registered byte string is a finding, reported with where
// it was freed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quenta_test {

// Byte strings shorter than this are not registered: too many chance matches.
constexpr std::size_t kMinSecretLength = 4;

// Registers bytes to look for under a name (copied into static storage, so
// registering allocates nothing). Returns false when the table is full or
// the bytes are shorter than kMinSecretLength or longer than 64.
bool WatchSecret(const std::string& name, const void* bytes, std::size_t n);
inline bool WatchSecret(const std::string& name, const std::string& bytes) {
  return WatchSecret(name, bytes.data(), bytes.size());
}
void ForgetSecrets();

struct SweepFinding {
  std::string secret;     // the registered name
  std::string where;      // "freed heap block", "heap block still allocated", "dead stack"
  std::size_t blockSize;  // usable size of the block, or the stack's size
  std::size_t offset;     // of the match within it
  std::vector<std::string> frames;  // who freed it (heap findings only)
};

// Runs fn on a thread with a stack of its own, with every free inspected
// while it runs; after the thread has ended its stack is inspected too.
// Returns what was found (empty: nothing left behind).
std::vector<SweepFinding> SweepWhileRunning(const std::function<void()>& fn);

// Number of blocks inspected by the last sweep (shows the hook was live).
std::size_t BlocksInspected();

std::string Describe(const std::vector<SweepFinding>& findings);

}  // namespace quenta_test
