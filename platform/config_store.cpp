#include "platform/config_store.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace quenta {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes one escape sequence starting at line[i] == '\\'. Advances i past
// it. false for an unknown or truncated escape.
bool DecodeEscape(const std::string& line, std::size_t& i, std::string& out) {
  if (i + 1 >= line.size()) return false;
  char c = line[i + 1];
  switch (c) {
    case '\\': out += '\\'; break;
    case '=': out += '='; break;
    case '[': out += '['; break;
    case '#': out += '#'; break;
    case 'n': out += '\n'; break;
    case 'r': out += '\r'; break;
    case 't': out += '\t'; break;
    case 'x': {
      if (i + 3 >= line.size()) return false;
      int hi = HexDigit(line[i + 2]);
      int lo = HexDigit(line[i + 3]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 4;
      return true;
    }
    default: return false;
  }
  i += 2;
  return true;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

void AppendControlEscape(unsigned char c, std::string& out) {
  static const char kDigits[] = "0123456789ABCDEF";
  switch (c) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default:
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
  }
}

// Parses one line (without its line feed). false when it is not an entry.
bool ParseEntry(const std::string& line, std::string& name, std::string& value,
                bool& list_item) {
  name.clear();
  value.clear();
  list_item = false;
  std::size_t i = 0;
  bool separated = false;
  while (i < line.size()) {
    char c = line[i];
    if (c == '\\') {
      if (!DecodeEscape(line, i, name)) return false;
    } else if (c == '=') {
      ++i;
      separated = true;
      break;
    } else if (c == '[' && i + 2 < line.size() && line[i + 1] == ']' && line[i + 2] == '=') {
      list_item = true;
      i += 3;
      separated = true;
      break;
    } else {
      name += c;
      ++i;
    }
  }
  if (!separated) return false;
  while (i < line.size()) {
    if (line[i] == '\\') {
      if (!DecodeEscape(line, i, value)) return false;
    } else {
      value += line[i++];
    }
  }
  return true;
}

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string ParentDir(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Holds an exclusive flock on a sidecar file for its lifetime.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the last descriptor releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Whole-file read: 0, or the errno of the failure (bytes emptied).
int ReadWhole(const std::string& path, std::string& bytes) {
  bytes.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      bytes.clear();
      return err;
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return 0;
}

bool IsAbsolute(const char* s) { return s && s[0] == '/'; }

}  // namespace

// ---------------------------------------------------------------------------
// ConfigDocument

ConfigDocument ConfigDocument::Parse(const std::string& bytes) {
  ConfigDocument doc;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();  // last line without a line feed
    Line line;
    line.raw = bytes.substr(start, end - start);
    start = end + 1;
    std::string text = line.raw;
    if (!text.empty() && text.back() == '\r') text.pop_back();  // tolerate CRLF files
    if (!text.empty() && text[0] != '#')
      line.entry = ParseEntry(text, line.name, line.value, line.list_item);
    doc.lines_.push_back(std::move(line));
  }
  return doc;
}

std::string ConfigDocument::Serialise() const {
  std::string out;
  for (const Line& line : lines_) {
    if (line.entry) {
      out += EscapeConfigName(line.name);
      out += line.list_item ? "[]=" : "=";
      out += EscapeConfigValue(line.value);
    } else {
      out += line.raw;
    }
    out += '\n';
  }
  return out;
}

bool ConfigDocument::Get(const std::string& name, ConfigValue& value) const {
  bool found = false;
  ConfigValue result;
  for (const Line& line : lines_) {
    if (!line.entry || line.name != name) continue;
    if (line.list_item) {
      if (!found || !result.is_list) {
        result.is_list = true;
        result.items.clear();
      }
      result.items.push_back(line.value);
    } else {
      result.is_list = false;
      result.items.assign(1, line.value);
    }
    found = true;
  }
  if (found) value = std::move(result);
  return found;
}

void ConfigDocument::Set(const std::string& name, const ConfigValue& value) {
  std::vector<Line> replacement;
  if (value.is_list) {
    for (const std::string& item : value.items) {
      Line line;
      line.entry = true;
      line.list_item = true;
      line.name = name;
      line.value = item;
      replacement.push_back(std::move(line));
    }
  } else {
    Line line;
    line.entry = true;
    line.name = name;
    line.value = value.items.empty() ? std::string() : value.items.front();
    replacement.push_back(std::move(line));
  }

  std::vector<Line> kept;
  kept.reserve(lines_.size() + replacement.size());
  bool placed = false;
  for (Line& line : lines_) {
    if (line.entry && line.name == name) {
      if (!placed) {
        for (Line& r : replacement) kept.push_back(std::move(r));
        placed = true;
      }
      continue;
    }
    kept.push_back(std::move(line));
  }
  if (!placed)
    for (Line& r : replacement) kept.push_back(std::move(r));
  lines_.swap(kept);
}

void ConfigDocument::SetString(const std::string& name, const std::string& text) {
  ConfigValue value;
  value.items.push_back(text);
  Set(name, value);
}

bool ConfigDocument::Remove(const std::string& name) {
  std::size_t before = lines_.size();
  std::vector<Line> kept;
  kept.reserve(lines_.size());
  for (Line& line : lines_)
    if (!(line.entry && line.name == name)) kept.push_back(std::move(line));
  lines_.swap(kept);
  return lines_.size() != before;
}

std::vector<std::string> ConfigDocument::Names() const {
  std::vector<std::string> names;
  for (const Line& line : lines_) {
    if (!line.entry) continue;
    bool seen = false;
    for (const std::string& n : names)
      if (n == line.name) { seen = true; break; }
    if (!seen) names.push_back(line.name);
  }
  return names;
}

// ---------------------------------------------------------------------------
// Escaping

std::string EscapeConfigName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '\\') out += "\\\\";
    else if (c == '=') out += "\\=";
    else if (c == '[') out += "\\[";
    else if (c == '#' && i == 0) out += "\\#";
    else if (IsControl(c)) AppendControlEscape(c, out);
    else out += static_cast<char>(c);
  }
  return out;
}

std::string EscapeConfigValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\') out += "\\\\";
    else if (IsControl(c)) AppendControlEscape(c, out);
    else out += ch;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files

bool ReadConfigFile(const std::string& path, std::string& bytes) {
  return ReadWhole(path, bytes) == 0;
}

bool MakeConfigDirs(const std::string& dir) {
  if (dir.empty()) return false;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    std::string part = dir.substr(0, pos);
    if (part.empty()) continue;
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool UpdateConfigFile(const std::string& path,
                      const std::function<void(ConfigDocument&)>& change) {
  if (path.empty()) return false;
  const std::string dir = ParentDir(path);
  if (!MakeConfigDirs(dir)) return false;

  FileLock lock(path + ".lock");
  if (!lock.held()) return false;

  // Re-read under the lock: another process may have written since our
  // caller last looked.
  std::string current;
  int err = ReadWhole(path, current);
  if (err != 0 && err != ENOENT) return false;
  ConfigDocument doc = ConfigDocument::Parse(current);
  change(doc);
  const std::string bytes = doc.Serialise();

  // Only the lock holder writes the temp file, so one fixed name suffices;
  // a leftover from a killed writer is simply truncated.
  const std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }

  // Make the rename itself durable. The new content is already in place;
  // a directory that cannot be synced does not undo that.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Locations

bool SubkeyToRelativePath(const char* subkey, std::string& relative) {
  relative.clear();
  if (!subkey) return false;
  std::vector<std::string> parts;
  std::string s(subkey);
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find('\\', start);
    if (end == std::string::npos) end = s.size();
    std::string part = s.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    for (char& c : part)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (part == "." || part == ".." || part.find('/') != std::string::npos) return false;
    parts.push_back(part);
  }
  if (!parts.empty() && parts.front() == "software") parts.erase(parts.begin());
  if (parts.empty()) return false;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) relative += '/';
    relative += parts[i];
  }
  relative += ".conf";
  return true;
}

std::string UserConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (IsAbsolute(xdg)) return xdg;
  const char* home = std::getenv("HOME");
  if (IsAbsolute(home)) return std::string(home) + "/.config";
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found &&
      IsAbsolute(found->pw_dir))
    return std::string(found->pw_dir) + "/.config";
  return std::string();
}

std::string UserConfigPath(const std::string& relative) {
  std::string home = UserConfigHome();
  if (home.empty() || relative.empty()) return std::string();
  return home + "/" + relative;
}

std::vector<std::string> SystemConfigDirs() {
  std::vector<std::string> dirs;
  const char* env = std::getenv("XDG_CONFIG_DIRS");
  if (env) {
    std::string s(env);
    std::size_t start = 0;
    while (start <= s.size()) {
      std::size_t end = s.find(':', start);
      if (end == std::string::npos) end = s.size();
      std::string dir = s.substr(start, end - start);
      start = end + 1;
      if (!dir.empty() && dir[0] == '/') dirs.push_back(dir);
    }
  }
  if (dirs.empty()) dirs.push_back("/etc/xdg");
  return dirs;
}

std::string FindSystemConfigFile(const std::string& relative) {
  if (relative.empty()) return std::string();
  for (const std::string& dir : SystemConfigDirs()) {
    std::string path = dir + "/" + relative;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return path;
  }
  return std::string();
}

}  // namespace quenta
