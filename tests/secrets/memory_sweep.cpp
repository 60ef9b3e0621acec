#include "tests/secrets/memory_sweep.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

// glibc's own entry points behind the wrappers below.
extern "C" void __libc_free(void* p);
extern "C" void* __libc_malloc(std::size_t n);
extern "C" void* __libc_realloc(void* p, std::size_t n);
extern "C" void* __libc_calloc(std::size_t count, std::size_t n);

namespace {

constexpr int kMaxSecrets = 64;
constexpr std::size_t kMaxSecretLength = 64;
constexpr int kMaxHits = 256;
constexpr int kMaxFrames = 24;
constexpr std::size_t kStackSize = 16u << 20;

struct Secret {
  char name[64];
  unsigned char bytes[kMaxSecretLength];
  std::size_t n;
};
Secret g_secrets[kMaxSecrets];
std::atomic<int> g_secretCount{0};

enum class Place { kFreed, kStack, kLive };

struct RawHit {
  int secret;
  Place place;
  std::size_t size;
  std::size_t offset;
  void* frames[kMaxFrames];
  int depth;
};
RawHit g_hits[kMaxHits];
std::atomic<int> g_hitCount{0};

std::atomic<bool> g_armed{false};
std::atomic<std::size_t> g_inspected{0};
thread_local bool t_inside = false;

// The blocks allocated while armed and not yet freed: an open-addressing
// set of addresses (freed entries become tombstones, reused by later
// inserts), so that what a scenario leaves allocated can be read at its end.
constexpr int kLiveBits = 21;
constexpr std::size_t kLiveSlots = std::size_t{1} << kLiveBits;
std::atomic<void*> g_live[kLiveSlots];
void* const kTombstone = reinterpret_cast<void*>(1);

// Frees while armed, and the final reading of the live blocks, exclude
// each other, so no block is read while another thread frees it.
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
struct Locked {
  Locked() { while (g_lock.test_and_set(std::memory_order_acquire)) {} }
  ~Locked() { g_lock.clear(std::memory_order_release); }
};

std::size_t SlotOf(const void* p) {
  return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(p) >> 4) *
                                  0x9E3779B97F4A7C15ull >> (64 - kLiveBits));
}

void Track(void* p) {
  std::size_t i = SlotOf(p);
  for (std::size_t n = 0; n < kLiveSlots; ++n, i = (i + 1) & (kLiveSlots - 1)) {
    void* seen = g_live[i].load(std::memory_order_relaxed);
    if ((seen == nullptr || seen == kTombstone) &&
        g_live[i].compare_exchange_strong(seen, p, std::memory_order_relaxed))
      return;
  }
}

void Untrack(void* p) {
  std::size_t i = SlotOf(p);
  for (std::size_t n = 0; n < kLiveSlots; ++n, i = (i + 1) & (kLiveSlots - 1)) {
    void* seen = g_live[i].load(std::memory_order_relaxed);
    if (seen == nullptr) return;
    if (seen == p) {
      g_live[i].store(kTombstone, std::memory_order_relaxed);
      return;
    }
  }
}

void* Tracked(void* p) {
  if (p && g_armed.load(std::memory_order_relaxed) && !t_inside) Track(p);
  return p;
}

// Records the first registered secret found in [p, p + n), if any.
void Inspect(const void* p, std::size_t n, Place place) {
  const int count = g_secretCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i) {
    const Secret& s = g_secrets[i];
    if (s.n > n) continue;
    const void* at = ::memmem(p, n, s.bytes, s.n);
    if (!at) continue;
    const int slot = g_hitCount.fetch_add(1);
    if (slot >= kMaxHits) return;
    RawHit& h = g_hits[slot];
    h.secret = i;
    h.place = place;
    h.size = n;
    h.offset = static_cast<std::size_t>(static_cast<const unsigned char*>(at) -
                                        static_cast<const unsigned char*>(p));
    h.depth = place == Place::kFreed ? ::backtrace(h.frames, kMaxFrames) : 0;
    return;
  }
}

void InspectFreed(void* p) {
  if (!p || !g_armed.load(std::memory_order_relaxed) || t_inside) return;
  t_inside = true;
  {
    Locked lock;
    Untrack(p);
    g_inspected.fetch_add(1, std::memory_order_relaxed);
    Inspect(p, ::malloc_usable_size(p), Place::kFreed);
  }
  t_inside = false;
}

// What the scenario allocated and never freed.
void InspectLive() {
  Locked lock;
  for (std::atomic<void*>& slot : g_live) {
    void* p = slot.load(std::memory_order_relaxed);
    if (p && p != kTombstone) Inspect(p, ::malloc_usable_size(p), Place::kLive);
  }
}

std::string FrameName(void* address) {
  Dl_info info;
  if (!::dladdr(address, &info)) return "?";
  std::string name = "?";
  if (info.dli_sname) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    name = status == 0 && demangled ? demangled : info.dli_sname;
    std::free(demangled);
  }
  std::string file = info.dli_fname ? info.dli_fname : "?";
  const auto slash = file.rfind('/');
  if (slash != std::string::npos) file.erase(0, slash + 1);
  return name + " (" + file + ")";
}

struct Trampoline {
  const std::function<void()>* fn;
};

void* RunScenario(void* arg) {
  const std::function<void()>& fn = *static_cast<Trampoline*>(arg)->fn;
  try {
    fn();
  } catch (...) {
  }
  return nullptr;
}

}  // namespace

// Every allocation and free of the process passes here; glibc's allocator
// does the work.
extern "C" void* malloc(std::size_t n) { return Tracked(__libc_malloc(n)); }
extern "C" void* calloc(std::size_t count, std::size_t n) {
  return Tracked(__libc_calloc(count, n));
}

extern "C" void free(void* p) {
  InspectFreed(p);
  __libc_free(p);
}

// A block that moves is copied and the old one freed through free above,
// so what realloc leaves behind is inspected like any other freed block.
extern "C" void* realloc(void* p, std::size_t n) {
  if (!p || !g_armed.load(std::memory_order_relaxed) || t_inside) return __libc_realloc(p, n);
  if (n == 0) {
    free(p);
    return nullptr;
  }
  const std::size_t old = ::malloc_usable_size(p);
  if (old >= n) return p;
  void* q = malloc(n);
  if (!q) return nullptr;
  std::memcpy(q, p, old);
  free(p);
  return q;
}

namespace quenta_test {

bool WatchSecret(const std::string& name, const void* bytes, std::size_t n) {
  const int i = g_secretCount.load();
  if (i >= kMaxSecrets || n < kMinSecretLength || n > kMaxSecretLength) return false;
  Secret& s = g_secrets[i];
  std::snprintf(s.name, sizeof s.name, "%s", name.c_str());
  std::memcpy(s.bytes, bytes, n);
  s.n = n;
  g_secretCount.store(i + 1, std::memory_order_release);
  return true;
}

void ForgetSecrets() {
  g_secretCount.store(0);
  std::memset(g_secrets, 0, sizeof g_secrets);
}

std::vector<SweepFinding> SweepWhileRunning(const std::function<void()>& fn) {
  // The unwinder loads itself on first use; do that before anything is armed.
  void* warm[2];
  ::backtrace(warm, 2);

  void* stack = ::mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return {SweepFinding{"(no stack)", "mmap failed", 0, 0, {}}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, kStackSize);

  g_hitCount.store(0);
  g_inspected.store(0);
  for (std::atomic<void*>& slot : g_live) slot.store(nullptr, std::memory_order_relaxed);
  Trampoline t{&fn};
  pthread_t thread;
  g_armed.store(true);
  const int created = pthread_create(&thread, &attr, &RunScenario, &t);
  if (created == 0) pthread_join(thread, nullptr);
  InspectLive();
  g_armed.store(false);
  pthread_attr_destroy(&attr);

  if (created == 0) Inspect(stack, kStackSize, Place::kStack);
  ::munmap(stack, kStackSize);
  if (created != 0) return {SweepFinding{"(no thread)", "pthread_create failed", 0, 0, {}}};

  std::vector<SweepFinding> out;
  const int hits = std::min(g_hitCount.load(), kMaxHits);
  for (int i = 0; i < hits; ++i) {
    const RawHit& h = g_hits[i];
    const char* where = h.place == Place::kFreed  ? "freed heap block"
                        : h.place == Place::kStack ? "dead stack"
                                                   : "heap block still allocated";
    SweepFinding f{g_secrets[h.secret].name, where, h.size, h.offset, {}};
    for (int k = 1; k < h.depth; ++k) f.frames.push_back(FrameName(h.frames[k]));
    out.push_back(std::move(f));
  }
  return out;
}

std::size_t BlocksInspected() { return g_inspected.load(); }

std::string Describe(const std::vector<SweepFinding>& findings) {
  std::ostringstream s;
  for (const SweepFinding& f : findings) {
    s << f.secret << " in a " << f.where << " of " << f.blockSize << " bytes at offset "
      << f.offset << "\n";
    for (const std::string& frame : f.frames) s << "    " << frame << "\n";
  }
  return s.str();
}

}  // namespace quenta_test
