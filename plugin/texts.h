// Localised texts: the module-wide language setting and the text holder
// through which every part of the module loads a text from the numbered
// text table.
//
// Each message occupies consecutive table numbers: the Polish text at its
// base number n, English at n + 1 and German at n + 2 (some messages have no
// German text, and then n + 2 is the next message or nothing). Callers always
// pass the base number; the current language is added on lookup. Texts are
// Windows-1250 byte strings.
#pragma once

#include <string>

namespace quenta {

enum Language { kLanguagePolish = 0, kLanguageEnglish = 1, kLanguageGerman = 2 };

// The id of the message-box title. It is built by the module itself and never
// read from the table.
constexpr int kTitleTextId = 228;

// Module-wide, shared by all plug-in instances; Polish until changed.
int CurrentLanguage();
// Stores 0, 1 or 2; any other value leaves the setting unchanged.
void SelectLanguage(int language);

// The table entry with exactly this number (no language added), or null when
// the table has none.
const char* FindTableText(int id);

// A text holder: the text is the string itself, empty when constructed.
class CMyString : public std::string {
 public:
  CMyString() = default;
  CMyString(const CMyString&) = default;
  CMyString(CMyString&&) = default;
  CMyString& operator=(const CMyString&) = default;
  CMyString& operator=(CMyString&&) = default;
  using std::string::operator=;
  virtual ~CMyString();

  // Always reports success.
  // id 228: the message-box title is inserted in front of the current text.
  // Any other id: the text becomes table entry id + current language; when
  // that entry does not exist the text stays as it was.
  bool Load(int id);
};

// Convenience: the text a fresh holder gets from Load(id).
std::string LoadText(int id);

}  // namespace quenta
