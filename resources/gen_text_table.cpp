// Build tool: turns the translator's text table (resources/texts.txt, UTF-8)
// into the C++ source of the module's Windows-1250 text table.
//
//   gen_text_table <texts.txt> <output.cpp>
//
// Input format, one entry per line:  ID<TAB>text
//   - ID is a decimal number 1..65535 without sign or leading zeros;
//   - inside the text, \n is a line break, \t a tab and \\ a backslash; any
//     other backslash sequence, a raw tab or another control character is an
//     error;
//   - lines starting with '#' are comments; blank lines are ignored;
//   - a UTF-8 byte order mark at the start and CR-LF line ends are accepted.
// Every text must be valid UTF-8 and representable in Windows-1250. Errors are
// reported as "file:line:column: error: ..." and make the tool exit with 1
// without touching the output, so the build stops.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/encoding.h"

namespace {

struct Entry {
  int id;
  int line;
  std::string bytes;  // Windows-1250
};

class Diagnostics {
 public:
  explicit Diagnostics(std::string file) : file_(std::move(file)) {}
  void Error(int line, std::size_t column, const std::string& message) {
    std::cerr << file_ << ':' << line;
    if (column > 0) std::cerr << ':' << column;
    std::cerr << ": error: " << message << '\n';
    ++count_;
  }
  int count() const { return count_; }

 private:
  std::string file_;
  int count_ = 0;
};

std::string CodePointName(char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
  return buf;
}

bool IsBlank(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

// Parses one entry line. Columns in messages count bytes from 1.
bool ParseLine(const std::string& line, int lineno, Diagnostics& diag, Entry& entry) {
  const std::size_t tab = line.find('\t');
  if (tab == std::string::npos) {
    diag.Error(lineno, 1, "malformed line: expected ID<TAB>text");
    return false;
  }
  const std::string id_text = line.substr(0, tab);
  if (id_text.empty() || id_text.find_first_not_of("0123456789") != std::string::npos ||
      id_text[0] == '0' || id_text.size() > 5) {
    diag.Error(lineno, 1, "malformed id '" + id_text + "': expected a number 1..65535");
    return false;
  }
  const long id = std::stol(id_text);
  if (id > 65535) {
    diag.Error(lineno, 1, "id " + id_text + " out of range 1..65535");
    return false;
  }
  const std::string text = line.substr(tab + 1);
  if (text.empty()) {
    diag.Error(lineno, tab + 2, "entry " + id_text + " has no text");
    return false;
  }

  std::string out;
  bool ok = true;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t column = tab + 2 + i;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      if (i + 1 == text.size()) {
        diag.Error(lineno, column, "backslash at the end of the text (write \\\\ for a backslash)");
        return false;
      }
      switch (text[i + 1]) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case '\\': out.push_back('\\'); break;
        default:
          diag.Error(lineno, column,
                     std::string("unknown escape \\") + text[i + 1] + " (use \\n, \\t or \\\\)");
          ok = false;
      }
      i += 2;
      continue;
    }
    if (c == '\t') {
      diag.Error(lineno, column, "tab inside the text (write \\t)");
      ok = false;
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      diag.Error(lineno, column, "control character in the text");
      ok = false;
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = quenta::Utf8SequenceLength(
        reinterpret_cast<const unsigned char*>(text.data()) + i, text.size() - i, &cp);
    if (len == 0) {
      diag.Error(lineno, column, "invalid UTF-8");
      return false;  // the rest of the line cannot be read reliably
    }
    std::string converted;
    if (!quenta::Utf8ToWin1250(text.substr(i, len), converted)) {
      diag.Error(lineno, column,
                 "character " + CodePointName(cp) + " has no Windows-1250 form");
      ok = false;
    } else {
      out += converted;
    }
    i += len;
  }
  if (!ok) return false;
  entry.id = static_cast<int>(id);
  entry.line = lineno;
  entry.bytes = out;
  return true;
}

// A C++ string literal for Windows-1250 bytes: printable ASCII as it is,
// everything else as three-digit octal escapes (which never run into a
// following digit).
std::string Literal(const std::string& bytes) {
  std::string s = "\"";
  for (char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      s.push_back('\\');
      s.push_back(ch);
    } else if (c == '?') {
      s += "\\?";  // keeps "??x" from ever reading as a trigraph
    } else if (c >= 0x20 && c < 0x7F) {
      s.push_back(ch);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%03o", c);
      s += buf;
    }
  }
  s.push_back('"');
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: gen_text_table <texts.txt> <output.cpp>\n";
    return 2;
  }
  const std::string input_path = argv[1];
  const std::string output_path = argv[2];
  Diagnostics diag(input_path);

  std::ifstream in(input_path, std::ios::binary);
  if (!in) {
    std::cerr << input_path << ": error: cannot open the text table\n";
    return 1;
  }

  std::vector<Entry> entries;
  std::map<int, int> first_line;  // id -> line of its first definition
  std::string line;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineno == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (IsBlank(line)) continue;
    if (line[line.find_first_not_of(" \t")] == '#') continue;
    Entry entry;
    if (!ParseLine(line, lineno, diag, entry)) continue;
    auto [it, inserted] = first_line.emplace(entry.id, lineno);
    if (!inserted) {
      diag.Error(lineno, 1,
                 "duplicate id " + std::to_string(entry.id) + " (first defined at line " +
                     std::to_string(it->second) + ")");
      continue;
    }
    entries.push_back(std::move(entry));
  }
  if (diag.count() == 0 && entries.empty()) diag.Error(lineno, 0, "the text table has no entries");
  if (diag.count() > 0) {
    std::cerr << input_path << ": " << diag.count() << " error(s); text table not generated\n";
    return 1;
  }

  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.id < b.id; });

  std::ostringstream src;
  src << "// Generated by gen_text_table from resources/texts.txt. Do not edit.\n"
         "// Texts are Windows-1250 bytes.\n"
         "#include \"plugin/text_table.h\"\n\n"
         "namespace quenta {\n\n"
         "const TextTableEntry kTextTable[] = {\n";
  for (const Entry& e : entries) src << "    {" << e.id << ", " << Literal(e.bytes) << "},\n";
  src << "};\n\n"
         "const std::size_t kTextTableSize = sizeof kTextTable / sizeof kTextTable[0];\n\n"
         "}  // namespace quenta\n";

  // Write beside the target and rename, so that a failed run never leaves a
  // half-written table behind.
  std::error_code ec;
  const std::filesystem::path out_path(output_path);
  if (out_path.has_parent_path()) std::filesystem::create_directories(out_path.parent_path(), ec);
  const std::string tmp_path = output_path + ".tmp";
  {
    std::ofstream out(tmp_path, std::ios::binary | std::ios::trunc);
    out << src.str();
    if (!out.flush()) {
      std::cerr << tmp_path << ": error: cannot write the generated table\n";
      return 1;
    }
  }
  std::filesystem::rename(tmp_path, out_path, ec);
  if (ec) {
    std::cerr << output_path << ": error: cannot replace the generated table: " << ec.message()
              << '\n';
    std::filesystem::remove(tmp_path, ec);
    return 1;
  }
  return 0;
}
