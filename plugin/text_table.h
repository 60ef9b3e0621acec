// The module's numbered text table, generated at build time from
// resources/texts.txt. Texts are zero-terminated Windows-1250 byte strings.
// Code outside plugin/texts.cpp loads texts through CMyString (plugin/texts.h)
// rather than reading the table directly.
#pragma once

#include <cstddef>

namespace quenta {

struct TextTableEntry {
  int id;
  const char* text;
};

// Sorted by ascending id; every id occurs once.
extern const TextTableEntry kTextTable[];
extern const std::size_t kTextTableSize;

}  // namespace quenta
