// Registry-style settings helper. On this platform a registry key is a
// configuration file (platform/config_store.h):
//   kHkeyCurrentUser  "Software\A\B"  -> $XDG_CONFIG_HOME/a/b.conf (read/write)
//   kHkeyLocalMachine "SOFTWARE\A\B"  -> first a/b.conf over $XDG_CONFIG_DIRS
//                                        (read only)
// Every access re-reads the file, so values written by another browser
// process are seen at once. All operations return 1 for success, 0 for
// failure, unless stated otherwise.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quenta {

enum CfgRoot { kHkeyCurrentUser, kHkeyLocalMachine };

class CCfgReg {
 public:
  // Stores root and subkey; opens nothing. A null subkey is kept as "none".
  CCfgReg(CfgRoot root, const char* subkey);
  virtual ~CCfgReg();

  // 1 when the key is open already. 0 with no or an empty subkey. The user
  // root creates the directories and the file on demand and falls back to
  // read-only use of an existing file when they cannot be created; the
  // machine root is only opened read-only, when one of its files exists.
  int OpenOrCreateKey();

  // Raw value data: a string value is its bytes plus a terminating zero; a
  // list value is each string zero-terminated, then an empty string. *size
  // is the buffer size in and the data length out. 0 for a missing name,
  // buffer or size, no open key, a missing value, or data longer than
  // *size (then *size is set to the length needed).
  int GetParam(const char* name, unsigned char* buffer, unsigned long* size);

  // The value read through a 1024-byte buffer, as text up to its first zero
  // byte. 0 on success; kErrRegistryRead (509) when the value cannot be read
  // or does not fit (out is emptied).
  int GetText(const char* name, std::string& out);

  // The raw data (as GetParam) read through an 8096-byte buffer, sized to
  // the data's length. Null on failure.
  std::unique_ptr<std::vector<unsigned char>> GetValue(const char* name);

  // Writes `text` as a string value. 0 for a missing name or text, a
  // read-only key, or a write that fails.
  int SetParam(const char* name, const char* text);

  static constexpr unsigned long kTextBufferSize = 1024;
  static constexpr unsigned long kValueBufferSize = 8096;

 private:
  enum OpenState { kClosed, kOpenReadOnly, kOpenReadWrite };

  // The file behind the key, resolved from the environment on every call.
  std::string FilePath() const;

  CfgRoot root_;
  OpenState open_ = kClosed;
  bool has_subkey_;
  std::string subkey_;
};

// The module-wide read-only helper on "SOFTWARE\Norvale\SmartCard\Components".
CCfgReg& MachineComponents();

}  // namespace quenta
