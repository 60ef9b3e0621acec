#include "plugin/texts.h"

#include <algorithm>
#include <atomic>
#include <climits>

#include "engine/secure.h"
#include "plugin/text_table.h"

namespace quenta {

namespace {

// Read and written on the browser thread; atomic only so that a stray read
// from another thread is not a data race.
std::atomic<int> g_language{kLanguagePolish};

// The message-box title, each byte combined with 0xC6 by exclusive or.
constexpr unsigned char kTitleKey = 0xC6;
constexpr unsigned char kScrambledTitle[] = {0x97, 0xB3, 0xA3, 0xA8, 0xB2, 0xA7,
                                             0xE6, 0x95, 0xAF, 0xA1, 0xA8};

}  // namespace

int CurrentLanguage() { return g_language.load(std::memory_order_relaxed); }

void SelectLanguage(int language) {
  if (language == kLanguagePolish || language == kLanguageEnglish ||
      language == kLanguageGerman)
    g_language.store(language, std::memory_order_relaxed);
}

const char* FindTableText(int id) {
  const TextTableEntry* begin = kTextTable;
  const TextTableEntry* end = kTextTable + kTextTableSize;
  const TextTableEntry* it = std::lower_bound(
      begin, end, id, [](const TextTableEntry& e, int wanted) { return e.id < wanted; });
  return (it != end && it->id == id) ? it->text : nullptr;
}

CMyString::~CMyString() = default;

bool CMyString::Load(int id) {
  if (id == kTitleTextId) {
    char title[sizeof kScrambledTitle];
    for (std::size_t i = 0; i < sizeof kScrambledTitle; ++i)
      title[i] = static_cast<char>(kScrambledTitle[i] ^ kTitleKey);
    insert(0, title, sizeof title);
    SecureWipe(title, sizeof title);
    return true;
  }
  // No table number lies outside int; a base this close to the limit has no
  // entry in any language.
  if (id > INT_MAX - kLanguageGerman) return true;
  if (const char* text = FindTableText(id + CurrentLanguage())) assign(text);
  return true;
}

std::string LoadText(int id) {
  CMyString text;
  text.Load(id);
  return std::move(text);
}

}  // namespace quenta
