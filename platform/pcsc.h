// PC/SC reached through the system's PC/SC client library, loaded at run
// time (pcsc-lite's libpcsclite.so.1 by default; the file name is a
// machine setting, see docs/configuration.md).
//
// The types below repeat pcsc-lite's ABI on Linux (LONG is long, DWORD is
// unsigned long, SCARD_READERSTATE as in <pcsclite.h>), so that the engine
// needs no PC/SC headers at build time. The test double is built against
// the real headers and a unit test compares the layouts.
//
// pcsc-lite has no smart card database, so two of the six calls the
// device search relies on are provided here on top of what the library has:
//   - ListCards: the system's list of known card names. There is no
//     database on Linux, so the list is the caller's own model table,
//     returned unchanged: every model the table names counts as known.
//   - LocateCards: reports every reader's state and the answer-to-reset of
//     the card in it, read with SCardGetStatusChange (timeout 0, readers
//     passed with SCARD_STATE_UNAWARE, which returns at once). The card
//     names do not filter anything: without a database no ATR can be
//     matched to a name, so SCARD_STATE_ATRMATCH is never reported. The
//     device search uses the ATRs only, never the event states' match bit.
#pragma once

#include <string>
#include <vector>

namespace quenta {

namespace pcsc {
using LONG = long;
using DWORD = unsigned long;
using SCARDCONTEXT = long;

constexpr std::size_t kMaxAtrSize = 33;

struct SCARD_READERSTATE {
  const char* szReader;
  void* pvUserData;
  DWORD dwCurrentState;
  DWORD dwEventState;
  DWORD cbAtr;
  unsigned char rgbAtr[kMaxAtrSize];
};

constexpr LONG kSuccess = 0;
constexpr LONG kErrTimeout = static_cast<LONG>(0x8010000A);
constexpr LONG kErrNoReadersAvailable = static_cast<LONG>(0x8010002E);
constexpr LONG kErrNotLoaded = static_cast<LONG>(0x80100001);  // SCARD_F_INTERNAL_ERROR
constexpr LONG kErrNoContext = static_cast<LONG>(0x80100003);  // SCARD_E_INVALID_HANDLE
constexpr DWORD kScopeUser = 0;
constexpr DWORD kStateUnaware = 0;
constexpr DWORD kAutoAllocate = static_cast<DWORD>(-1);
}  // namespace pcsc

// One reader as the card location reports it.
struct PcscReaderState {
  std::string reader;
  pcsc::DWORD currentState = pcsc::kStateUnaware;
  pcsc::DWORD eventState = 0;
  std::vector<unsigned char> atr;  // empty when no card answered
};

// The loaded client library and at most one context. Everything it holds
// (context, library) is released by Unload and by the destructor; buffers
// the library allocates are freed before each call returns.
class CPcscLibrary {
 public:
  CPcscLibrary() = default;
  ~CPcscLibrary();
  CPcscLibrary(const CPcscLibrary&) = delete;
  CPcscLibrary& operator=(const CPcscLibrary&) = delete;

  // Loads the library file and its functions. False (and nothing held)
  // when the file cannot be loaded or a function is missing.
  bool Load(const std::string& file);
  // Releases a held context, then unloads the library.
  void Unload();
  bool Loaded() const { return handle_ != nullptr; }

  // SCardEstablishContext; the context is kept for the calls below.
  pcsc::LONG EstablishContext(pcsc::DWORD scope = pcsc::kScopeUser);
  // SCardReleaseContext of the held context (success when none is held).
  pcsc::LONG ReleaseContext();

  // The card names the system knows out of `models` (see above: all of them).
  pcsc::LONG ListCards(const std::vector<std::string>& models, std::vector<std::string>& known);
  // SCardListReaders with automatic allocation; the names in system order.
  pcsc::LONG ListReaders(std::vector<std::string>& readers);
  // Card location over `states` (reader names and current states set by the
  // caller): fills each entry's event state and ATR.
  pcsc::LONG LocateCards(const std::vector<std::string>& cards,
                         std::vector<PcscReaderState>& states);

 private:
  using EstablishFn = pcsc::LONG (*)(pcsc::DWORD, const void*, const void*, pcsc::SCARDCONTEXT*);
  using ReleaseFn = pcsc::LONG (*)(pcsc::SCARDCONTEXT);
  using ListReadersFn = pcsc::LONG (*)(pcsc::SCARDCONTEXT, const char*, char*, pcsc::DWORD*);
  using StatusChangeFn = pcsc::LONG (*)(pcsc::SCARDCONTEXT, pcsc::DWORD,
                                        pcsc::SCARD_READERSTATE*, pcsc::DWORD);
  using FreeMemoryFn = pcsc::LONG (*)(pcsc::SCARDCONTEXT, const void*);

  void* handle_ = nullptr;
  EstablishFn establish_ = nullptr;
  ReleaseFn release_ = nullptr;
  ListReadersFn listReaders_ = nullptr;
  StatusChangeFn statusChange_ = nullptr;
  FreeMemoryFn freeMemory_ = nullptr;
  pcsc::SCARDCONTEXT context_ = 0;
  bool hasContext_ = false;
};

}  // namespace quenta
