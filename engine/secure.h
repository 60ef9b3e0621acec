// Secret-holding buffers. Everything that ever held a password, PIN, PUK,
// derived key or key material is overwritten with zero bytes before its
// memory goes back to the allocator, on every path.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace quenta {

// Overwrites n bytes at p with zeros in a way the compiler may not elide.
void SecureWipe(void* p, std::size_t n);

// Test hook: called with every block a wiping allocator is about to free,
// after it has been wiped. Lets a test check that freed secrets are zero.
using WipeObserver = void (*)(const void* p, std::size_t n);
void SetWipeObserver(WipeObserver observer);
void NotifyWiped(const void* p, std::size_t n);

template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept {
    SecureWipe(p, n * sizeof(T));
    NotifyWiped(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const WipingAllocator<U>&) const noexcept { return false; }
};

using SecureBytes = std::vector<unsigned char, WipingAllocator<unsigned char>>;

// A zero-terminated secret text whose storage is always on the heap (no
// small-string buffer that would escape the wipe) and wiped when released.
class SecureText {
 public:
  SecureText() { buf_.push_back('\0'); }
  explicit SecureText(const char* s) : SecureText() { assign(s); }
  SecureText(const char* s, std::size_t n) : SecureText() { assign(s, n); }
  SecureText(const SecureText&) = default;
  SecureText(SecureText&&) noexcept = default;
  SecureText& operator=(const SecureText&) = default;
  SecureText& operator=(SecureText&& o) noexcept {
    if (this != &o) { wipe(); buf_.swap(o.buf_); o.clear(); }
    return *this;
  }
  ~SecureText() { wipe(); }

  void assign(const char* s) { assign(s, s ? std::strlen(s) : 0); }
  void assign(const char* s, std::size_t n) {
    SecureText tmp;
    tmp.buf_.resize(n + 1);
    if (n) std::memcpy(tmp.buf_.data(), s, n);
    tmp.buf_[n] = '\0';
    wipe();
    buf_.swap(tmp.buf_);
  }
  void clear() { wipe(); buf_.assign(1, '\0'); }
  const char* c_str() const { return buf_.data(); }
  char* data() { return buf_.data(); }
  std::size_t size() const { return buf_.size() - 1; }
  bool empty() const { return size() == 0; }

 private:
  void wipe() { if (!buf_.empty()) SecureWipe(buf_.data(), buf_.size()); }
  std::vector<char, WipingAllocator<char>> buf_;
};

}  // namespace quenta
