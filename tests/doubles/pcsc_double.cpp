// A scripted PC/SC client library for tests. It exports the calls the
// plug-in loads from libpcsclite (built against pcsc-lite's own headers, so
// the ABI is the real one) and a control interface (double_control.h) with
// which a test lists readers and their cards, makes calls fail, and checks
// that every context and every buffer was given back.
#include <winscard.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Reader {
  std::string name;
  std::vector<unsigned char> atr;
};

std::vector<Reader> g_readers;
std::map<std::string, LONG> g_fail;
std::set<SCARDCONTEXT> g_contexts;
std::set<void*> g_buffers;
SCARDCONTEXT g_next = 0x1000;
int g_statusCalls = 0;

LONG Forced(const char* fn) {
  auto it = g_fail.find(fn);
  return it == g_fail.end() ? SCARD_S_SUCCESS : it->second;
}

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

extern "C" {

// ---- control interface ----

__attribute__((visibility("default"))) void QuentaPcscDoubleReset() {
  g_readers.clear();
  g_fail.clear();
  g_statusCalls = 0;
}

__attribute__((visibility("default"))) void QuentaPcscDoubleAddReader(const char* name,
                                                                      const char* atrHex) {
  Reader r;
  r.name = name;
  for (std::size_t i = 0; atrHex && atrHex[i] && atrHex[i + 1]; i += 2)
    r.atr.push_back(static_cast<unsigned char>(Nibble(atrHex[i]) * 16 + Nibble(atrHex[i + 1])));
  g_readers.push_back(r);
}

__attribute__((visibility("default"))) void QuentaPcscDoubleFail(const char* function, long rv) {
  g_fail[function] = rv;
}

__attribute__((visibility("default"))) int QuentaPcscDoubleOpenContexts() {
  return static_cast<int>(g_contexts.size());
}

__attribute__((visibility("default"))) int QuentaPcscDoubleOutstandingBuffers() {
  return static_cast<int>(g_buffers.size());
}

__attribute__((visibility("default"))) int QuentaPcscDoubleStatusCalls() { return g_statusCalls; }

// ---- PC/SC ----

LONG SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
  if (LONG rv = Forced("SCardEstablishContext")) return rv;
  if (!context || scope != SCARD_SCOPE_USER) return SCARD_E_INVALID_PARAMETER;
  *context = g_next++;
  g_contexts.insert(*context);
  return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
  if (!g_contexts.erase(context)) return SCARD_E_INVALID_HANDLE;
  return Forced("SCardReleaseContext");
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD size) {
  if (!g_contexts.count(context)) return SCARD_E_INVALID_HANDLE;
  if (LONG rv = Forced("SCardListReaders")) return rv;
  if (!size) return SCARD_E_INVALID_PARAMETER;
  if (g_readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
  std::string multi;
  for (const Reader& r : g_readers) {
    multi += r.name;
    multi += '\0';
  }
  multi += '\0';
  if (*size == SCARD_AUTOALLOCATE) {
    if (!readers) return SCARD_E_INVALID_PARAMETER;
    char* buf = static_cast<char*>(std::malloc(multi.size()));
    std::memcpy(buf, multi.data(), multi.size());
    g_buffers.insert(buf);
    *reinterpret_cast<char**>(readers) = buf;
    *size = multi.size();
    return SCARD_S_SUCCESS;
  }
  if (!readers) {
    *size = multi.size();
    return SCARD_S_SUCCESS;
  }
  if (*size < multi.size()) {
    *size = multi.size();
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  std::memcpy(readers, multi.data(), multi.size());
  *size = multi.size();
  return SCARD_S_SUCCESS;
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD, SCARD_READERSTATE* states, DWORD count) {
  ++g_statusCalls;
  if (!g_contexts.count(context)) return SCARD_E_INVALID_HANDLE;
  if (LONG rv = Forced("SCardGetStatusChange")) return rv;
  for (DWORD i = 0; i < count; ++i) {
    SCARD_READERSTATE& st = states[i];
    st.cbAtr = 0;
    std::memset(st.rgbAtr, 0, sizeof st.rgbAtr);
    st.dwEventState = SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED;
    for (const Reader& r : g_readers) {
      if (!st.szReader || r.name != st.szReader) continue;
      if (r.atr.empty()) {
        st.dwEventState = SCARD_STATE_EMPTY | SCARD_STATE_CHANGED;
      } else {
        st.dwEventState = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
        st.cbAtr = r.atr.size() < MAX_ATR_SIZE ? r.atr.size() : MAX_ATR_SIZE;
        std::memcpy(st.rgbAtr, r.atr.data(), st.cbAtr);
      }
      break;
    }
  }
  return SCARD_S_SUCCESS;
}

LONG SCardFreeMemory(SCARDCONTEXT context, LPCVOID memory) {
  if (!g_contexts.count(context)) return SCARD_E_INVALID_HANDLE;
  void* p = const_cast<void*>(memory);
  if (!g_buffers.erase(p)) return SCARD_E_INVALID_PARAMETER;
  std::free(p);
  return SCARD_S_SUCCESS;
}

}  // extern "C"
