#include "engine/secure.h"

#include <openssl/crypto.h>

#include <atomic>

namespace quenta {

namespace {
std::atomic<WipeObserver> g_observer{nullptr};
}

void SecureWipe(void* p, std::size_t n) {
  if (p && n) OPENSSL_cleanse(p, n);
}

void SetWipeObserver(WipeObserver observer) { g_observer.store(observer); }

void NotifyWiped(const void* p, std::size_t n) {
  if (WipeObserver o = g_observer.load()) o(p, n);
}

}  // namespace quenta
