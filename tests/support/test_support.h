// Small helpers shared by the test executables.
#pragma once

#include <string>

namespace quenta_test {

// A fresh private directory under the build tree's temp area, removed by the
// destructor. Tests point XDG_CONFIG_HOME and friends at such directories.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the lifetime of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Runs a shell command, returns its exit status; stdout is appended to *out.
int RunCommand(const std::string& command, std::string* out = nullptr);
std::string ToHex(const std::string& bytes);
// The bytes written as hex digits (either case); "(not hex)" for anything else.
std::string Unhex(const std::string& hex);

}  // namespace quenta_test
