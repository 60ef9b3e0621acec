#include "platform/pcsc.h"

#include <dlfcn.h>

#include <cstring>

namespace quenta {

CPcscLibrary::~CPcscLibrary() { Unload(); }

bool CPcscLibrary::Load(const std::string& file) {
  Unload();
  if (file.empty()) return false;
  void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return false;
  auto* establish = reinterpret_cast<EstablishFn>(::dlsym(h, "SCardEstablishContext"));
  auto* release = reinterpret_cast<ReleaseFn>(::dlsym(h, "SCardReleaseContext"));
  auto* listReaders = reinterpret_cast<ListReadersFn>(::dlsym(h, "SCardListReaders"));
  auto* statusChange = reinterpret_cast<StatusChangeFn>(::dlsym(h, "SCardGetStatusChange"));
  auto* freeMemory = reinterpret_cast<FreeMemoryFn>(::dlsym(h, "SCardFreeMemory"));
  if (!establish || !release || !listReaders || !statusChange || !freeMemory) {
    ::dlclose(h);
    return false;
  }
  handle_ = h;
  establish_ = establish;
  release_ = release;
  listReaders_ = listReaders;
  statusChange_ = statusChange;
  freeMemory_ = freeMemory;
  return true;
}

void CPcscLibrary::Unload() {
  ReleaseContext();
  if (handle_) ::dlclose(handle_);
  handle_ = nullptr;
  establish_ = nullptr;
  release_ = nullptr;
  listReaders_ = nullptr;
  statusChange_ = nullptr;
  freeMemory_ = nullptr;
}

pcsc::LONG CPcscLibrary::EstablishContext(pcsc::DWORD scope) {
  if (!handle_) return pcsc::kErrNotLoaded;
  ReleaseContext();
  pcsc::SCARDCONTEXT ctx = 0;
  pcsc::LONG rv = establish_(scope, nullptr, nullptr, &ctx);
  if (rv != pcsc::kSuccess) return rv;
  context_ = ctx;
  hasContext_ = true;
  return rv;
}

pcsc::LONG CPcscLibrary::ReleaseContext() {
  if (!hasContext_) return pcsc::kSuccess;
  hasContext_ = false;
  pcsc::SCARDCONTEXT ctx = context_;
  context_ = 0;
  return handle_ ? release_(ctx) : pcsc::kSuccess;
}

pcsc::LONG CPcscLibrary::ListCards(const std::vector<std::string>& models,
                                   std::vector<std::string>& known) {
  // No card database on this platform: the model table is the database.
  known = models;
  return handle_ ? pcsc::kSuccess : pcsc::kErrNotLoaded;
}

pcsc::LONG CPcscLibrary::ListReaders(std::vector<std::string>& readers) {
  readers.clear();
  if (!handle_) return pcsc::kErrNotLoaded;
  if (!hasContext_) return pcsc::kErrNoContext;
  char* list = nullptr;
  pcsc::DWORD size = pcsc::kAutoAllocate;
  pcsc::LONG rv = listReaders_(context_, nullptr, reinterpret_cast<char*>(&list), &size);
  if (rv != pcsc::kSuccess) {
    // A failing call allocates nothing; free defensively if it did anyway.
    if (list) freeMemory_(context_, list);
    return rv;
  }
  if (list) {
    // A multi-string: names ended by a zero, the list by an empty name.
    // Never read past the length the library reported.
    const char* p = list;
    const char* end = list + size;
    while (p < end && *p) {
      std::size_t n = ::strnlen(p, static_cast<std::size_t>(end - p));
      readers.emplace_back(p, n);
      p += n + 1;
    }
    freeMemory_(context_, list);
  }
  return rv;
}

pcsc::LONG CPcscLibrary::LocateCards(const std::vector<std::string>& cards,
                                     std::vector<PcscReaderState>& states) {
  (void)cards;  // see the header: no database to match names against
  if (!handle_) return pcsc::kErrNotLoaded;
  if (!hasContext_) return pcsc::kErrNoContext;
  if (states.empty()) return pcsc::kSuccess;
  std::vector<pcsc::SCARD_READERSTATE> raw(states.size());
  for (std::size_t i = 0; i < states.size(); ++i) {
    std::memset(&raw[i], 0, sizeof raw[i]);
    raw[i].szReader = states[i].reader.c_str();
    raw[i].dwCurrentState = states[i].currentState;
  }
  pcsc::LONG rv = statusChange_(context_, 0, raw.data(), static_cast<pcsc::DWORD>(raw.size()));
  // With unaware current states the call answers at once; a time-out still
  // carries the states it read.
  if (rv != pcsc::kSuccess && rv != pcsc::kErrTimeout) return rv;
  for (std::size_t i = 0; i < states.size(); ++i) {
    states[i].eventState = raw[i].dwEventState;
    std::size_t n = raw[i].cbAtr;
    if (n > pcsc::kMaxAtrSize) n = pcsc::kMaxAtrSize;
    states[i].atr.assign(raw[i].rgbAtr, raw[i].rgbAtr + n);
  }
  return pcsc::kSuccess;
}

}  // namespace quenta
