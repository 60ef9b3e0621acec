#include "tests/support/test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quenta_test {

TempDir::TempDir() {
  std::string base = std::filesystem::temp_directory_path().string() + "/quenta-test-XXXXXX";
  std::string buf = base;
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* v = getenv(name)) { had_ = true; old_ = v; }
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_) setenv(name_.c_str(), old_.c_str(), 1);
  else unsetenv(name_.c_str());
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

int RunCommand(const std::string& command, std::string* out) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (out) out->append(buf, n);
  int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string ToHex(const std::string& bytes) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : bytes) { s += d[c >> 4]; s += d[c & 15]; }
  return s;
}

std::string Unhex(const std::string& hex) {
  auto value = [](char c) {
    return c >= '0' && c <= '9' ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
  };
  if (hex.size() % 2 != 0) return "(not hex)";
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = value(hex[i]);
    const int low = value(hex[i + 1]);
    if (high < 0 || low < 0) return "(not hex)";
    out += static_cast<char>(high << 4 | low);
  }
  return out;
}

}  // namespace quenta_test
