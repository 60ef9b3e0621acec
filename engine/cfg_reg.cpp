#include "engine/cfg_reg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "engine/result_codes.h"
#include "platform/config_store.h"

namespace quenta {

namespace {

void AppendRaw(const ConfigValue& value, std::string& raw) {
  raw.clear();
  for (const std::string& item : value.items) {
    raw += item;
    raw += '\0';
  }
  if (value.is_list) raw += '\0';
}

std::string ParentOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

CCfgReg::CCfgReg(CfgRoot root, const char* subkey)
    : root_(root), has_subkey_(subkey != nullptr), subkey_(subkey ? subkey : "") {}

CCfgReg::~CCfgReg() = default;

std::string CCfgReg::FilePath() const {
  std::string relative;
  if (!has_subkey_ || !SubkeyToRelativePath(subkey_.c_str(), relative)) return std::string();
  if (root_ == kHkeyCurrentUser) return UserConfigPath(relative);
  return FindSystemConfigFile(relative);
}

int CCfgReg::OpenOrCreateKey() {
  if (open_ != kClosed) return 1;
  if (!has_subkey_ || subkey_.empty()) return 0;
  const std::string path = FilePath();
  if (path.empty()) return 0;

  if (root_ == kHkeyCurrentUser && MakeConfigDirs(ParentOf(path))) {
    // Creates an empty file when there is none; an existing one is left as
    // it is (no truncation), so a concurrent writer's rename is harmless.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      open_ = kOpenReadWrite;
      return 1;
    }
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ::close(fd);
  open_ = kOpenReadOnly;
  return 1;
}

int CCfgReg::GetParam(const char* name, unsigned char* buffer, unsigned long* size) {
  if (!name || !buffer || !size) return 0;
  if (!OpenOrCreateKey()) return 0;
  const std::string path = FilePath();
  std::string bytes;
  if (path.empty() || !ReadConfigFile(path, bytes)) return 0;
  ConfigValue value;
  if (!ConfigDocument::Parse(bytes).Get(name, value)) return 0;
  std::string raw;
  AppendRaw(value, raw);
  if (raw.size() > *size) {
    *size = static_cast<unsigned long>(raw.size());
    return 0;
  }
  if (!raw.empty()) std::memcpy(buffer, raw.data(), raw.size());
  *size = static_cast<unsigned long>(raw.size());
  return 1;
}

int CCfgReg::GetText(const char* name, std::string& out) {
  out.clear();
  unsigned char buffer[kTextBufferSize];
  unsigned long size = sizeof buffer;
  if (!GetParam(name, buffer, &size)) return kErrRegistryRead;
  const char* text = reinterpret_cast<const char*>(buffer);
  out.assign(text, ::strnlen(text, size));
  return kOk;
}

std::unique_ptr<std::vector<unsigned char>> CCfgReg::GetValue(const char* name) {
  auto data = std::make_unique<std::vector<unsigned char>>(kValueBufferSize);
  unsigned long size = kValueBufferSize;
  if (!GetParam(name, data->data(), &size)) return nullptr;
  data->resize(size);
  return data;
}

int CCfgReg::SetParam(const char* name, const char* text) {
  if (!name || !text) return 0;
  if (root_ != kHkeyCurrentUser) return 0;  // the machine store is never written
  if (!OpenOrCreateKey() || open_ != kOpenReadWrite) return 0;
  const std::string path = FilePath();
  if (path.empty()) return 0;
  const std::string key(name);
  const std::string value(text);
  return UpdateConfigFile(path, [&](ConfigDocument& doc) { doc.SetString(key, value); }) ? 1 : 0;
}

CCfgReg& MachineComponents() {
  static CCfgReg components(kHkeyLocalMachine, "SOFTWARE\\Norvale\\SmartCard\\Components");
  return components;
}

}  // namespace quenta
