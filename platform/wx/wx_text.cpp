#include "platform/wx/wx_text.h"

#include <map>
#include <vector>

#include "engine/encoding.h"

namespace quenta {

namespace {

const std::map<char32_t, unsigned char>& ByteForCodePoint() {
  static const std::map<char32_t, unsigned char> table = [] {
    std::map<char32_t, unsigned char> t;
    for (int b = 0; b < 256; ++b) {
      const char32_t cp = Win1250ToUnicode(static_cast<unsigned char>(b));
      if (cp != 0xFFFD) t.emplace(cp, static_cast<unsigned char>(b));
    }
    return t;
  }();
  return table;
}

template <class Out>
void Encode(const wxString& text, Out& out) {
  const auto& table = ByteForCodePoint();
  for (wxString::const_iterator it = text.begin(); it != text.end(); ++it) {
    const char32_t cp = static_cast<char32_t>((*it).GetValue());
    auto found = table.find(cp);
    out.push_back(found == table.end() ? '?' : static_cast<char>(found->second));
  }
}

}  // namespace

wxString ToWx(std::string_view win1250) {
  wxString s;
  s.reserve(win1250.size());
  for (char c : win1250)
    s.append(1, wxUniChar(static_cast<unsigned>(Win1250ToUnicode(static_cast<unsigned char>(c)))));
  return s;
}

std::string FromWx(const wxString& text) {
  std::string out;
  out.reserve(text.length());
  Encode(text, out);
  return out;
}

void FromWx(const wxString& text, SecureText& out) {
  std::vector<char, WipingAllocator<char>> bytes;
  bytes.reserve(text.length() + 1);
  Encode(text, bytes);
  out.assign(bytes.data(), bytes.size());
}

void WipeWxString(wxString& text) {
  for (wxString::iterator it = text.begin(); it != text.end(); ++it) *it = wxUniChar(0u);
  text.clear();
}

}  // namespace quenta
