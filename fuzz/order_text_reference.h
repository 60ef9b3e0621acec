// A direct transcription of the order text rules, one std::string::find per
// search and copied texts for every row. It is slow on purpose-built texts
// (quadratic), and exists only to cross-check the real parser on small ones
// (unit tests and the order text fuzz target).
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace quenta_reference {

struct Order {
  bool multiLine = false;
  std::vector<std::pair<std::string, std::string>> rows;
  std::string formatted;
  int orderCount = 0;
};

// readFieldOnce: a field whose first colon is that of the field read just
// before adds nothing (the parser's rule); false gives the plain reading in
// which such a field is shown again.
inline Order Parse(const std::string& display, bool readFieldOnce = true) {
  Order out;
  const std::string text(display.c_str());  // the shown text ends at a zero
  const std::size_t npos = std::string::npos;
  const std::size_t n = display.size();
  const std::size_t cap = n <= 256000 ? n : 256000;
  std::size_t p = 0;
  bool first = true;
  std::size_t lastField = npos;
  if (text.compare(0, 10, "MULTILINE|") == 0) {
    out.multiLine = true;
    p = 10;
  }
  while (p < text.size()) {
    if (text.compare(p, 11, "_ZLECENIE_|") == 0) {
      p += 11;
      ++out.orderCount;
      if (out.multiLine) {
        out.formatted += "-";
      } else {
        char name[32];
        std::snprintf(name, sizeof(name), "ZLECENIE %d", out.orderCount);
        out.rows.emplace_back(name, "");
      }
      continue;
    }
    if (text.compare(p, 14, "_IDENTYFIKACJA") == 0) {
      p += 14;
      if (out.multiLine)
        out.formatted += "-";
      else
        out.rows.emplace_back("Identyfikacja", "");
      continue;
    }
    const std::size_t c1 = text.find(':', p);
    if (c1 == npos) break;
    if (first) {
      first = false;
      p = c1;
    }
    std::string label, value;
    if (!readFieldOnce || c1 != lastField) {
      lastField = c1;
      const std::size_t c2 = text.find(':', c1 + 1);
      if (c2 != npos) {
        label = text.substr(c1 + 1, c2 - c1 - 1).substr(0, 127);
        const std::size_t b = text.find('|', c2 + 1);
        if (b != npos) {
          value = text.substr(c2 + 1, b - c2 - 1);
          if (value.size() >= cap) value.resize(cap - 1);
        }
      }
    }
    if (!value.empty()) {
      if (out.multiLine) {
        out.formatted += value;
      } else {
        std::size_t start = 0;
        std::string parameter = label;
        for (;;) {
          const std::size_t nl = value.find('\n', start);
          std::string line = value.substr(start, nl == npos ? npos : nl - start);
          if (nl != npos && !line.empty() && line.back() == '\r') line.pop_back();
          out.rows.emplace_back(parameter, line);
          parameter.clear();
          if (nl == npos) break;
          start = nl + 1;
        }
      }
    }
    std::size_t end = text.find('|', p);
    if (end == npos) end = text.find(':', p);
    if (end == npos) break;
    p = end + 1;
  }
  return out;
}

}  // namespace quenta_reference
