// Test environments for the token layer: a private machine settings file
// naming the PC/SC library and the PKCS#11 modules, and a private SoftHSM2
// store with tokens made by softhsm2-util.
#pragma once

#include <sys/stat.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace quenta_test {

constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

// The codes test tokens are made with, and the devices the token tests plug
// into the scripted PC/SC library: an ATR the machine settings list as a
// USB token, a plain smart card's ATR, and the two readers' names.
constexpr char kPin[] = "1234";
constexpr char kPuk[] = "12345678";
constexpr char kTokenAtr[] = "3BFF9600008131FE4380318065B0846566FB12017882900085";
constexpr char kPlainAtr[] = "3B6E00008031806686000000000000000000";
constexpr char kTokenReader[] = "Gemalto USB Key 00 00";
constexpr char kCardReader[] = "Gemalto PC Twin Reader 00 00";

// components.conf in a private $XDG_CONFIG_DIRS.
class MachineSettings {
 public:
  MachineSettings() : env_("XDG_CONFIG_DIRS", dir_.path()) {
    ::mkdir((dir_.path() + "/norvale").c_str(), 0755);
    ::mkdir((dir_.path() + "/norvale/smartcard").c_str(), 0755);
  }
  // Replaces the file with these lines.
  void Write(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    WriteFile(dir_.path() + "/norvale/smartcard/components.conf", text);
  }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

// A SoftHSM2 store of its own (SOFTHSM2_CONF points at it while this lives).
class SoftHsm {
 public:
  SoftHsm() : env_("SOFTHSM2_CONF", dir_.File("softhsm2.conf")) {
    ::mkdir(dir_.File("tokens").c_str(), 0700);
    WriteFile(dir_.File("softhsm2.conf"), "directories.tokendir = " + dir_.File("tokens") +
                                              "\nobjectstore.backend = file\nlog.level = ERROR\n");
  }

  // Makes a token; returns its slot description without the blank padding
  // (what a reader name must be to find this slot).
  std::string InitToken(const std::string& label, const std::string& soPin, const std::string& pin) {
    std::string out;
    RunCommand("softhsm2-util --init-token --free --label '" + label + "' --so-pin '" + soPin +
                   "' --pin '" + pin + "' 2>&1",
               &out);
    return DescriptionOf(label);
  }

  std::string DescriptionOf(const std::string& label) {
    std::string out;
    RunCommand("softhsm2-util --show-slots 2>/dev/null", &out);
    std::istringstream in(out);
    std::string line, description;
    while (std::getline(in, line)) {
      auto value = [&](const char* key) -> std::string {
        auto p = line.find(key);
        if (p == std::string::npos) return "\x01";
        std::string v = line.substr(p + std::string(key).size());
        v.erase(0, v.find_first_not_of(' '));
        v.erase(v.find_last_not_of(' ') + 1);
        return v;
      };
      std::string d = value("Description:");
      if (d != "\x01") description = d;
      if (value("Label:") == label) return description;
    }
    return std::string();
  }

  // pkcs11-tool on this store; returns its exit status, output in *out.
  int Tool(const std::string& args, std::string* out = nullptr) {
    return RunCommand(std::string("pkcs11-tool --module ") + kSoftHsmModule + " " + args + " 2>&1",
                      out);
  }

  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

}  // namespace quenta_test
