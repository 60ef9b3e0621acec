// Plain-text configuration files that stand in for the Windows registry.
//
// File format (documented for administrators in docs/configuration.md):
//   - one entry per line, "name=value"; the first unescaped '=' separates;
//   - names and values are arbitrary bytes (no character set is assumed);
//     the escapes are \\ \= \n \r \t \[ \# and \xHH (two hex digits);
//     writers escape every control byte, '\\', and in names '=', '[' and
//     a leading '#';
//   - "name[]=value" lines are the items of a list of strings, in file
//     order; "name=value" is a single string;
//   - lines starting with '#' are comments, empty lines are ignored; a
//     line that cannot be parsed is treated as absent but kept verbatim
//     when the file is rewritten;
//   - for a name defined more than once, the last plain line wins; list
//     lines following a plain line start a new list.
//
// Writes go through UpdateConfigFile: exclusive flock on "<file>.lock",
// re-read under the lock, change, write "<file>.tmp", fsync, rename over
// the file, fsync the directory. Readers never lock: they always see a
// whole old or a whole new file.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quenta {

struct ConfigValue {
  bool is_list = false;
  std::vector<std::string> items;  // exactly one item unless is_list
};

// The parsed content of one configuration file. Keeps the lines it does
// not understand so that rewriting never loses them.
class ConfigDocument {
 public:
  static ConfigDocument Parse(const std::string& bytes);
  std::string Serialise() const;

  // false when the name is absent.
  bool Get(const std::string& name, ConfigValue& value) const;
  // Replaces every line of `name` by the new value, at the position of its
  // first line (or at the end). An empty list has no lines: it removes the
  // name.
  void Set(const std::string& name, const ConfigValue& value);
  void SetString(const std::string& name, const std::string& text);
  bool Remove(const std::string& name);
  // Names in order of first appearance.
  std::vector<std::string> Names() const;

 private:
  struct Line {
    bool entry = false;  // false: comment, blank or unparsable, kept as raw
    bool list_item = false;
    std::string name;
    std::string value;
    std::string raw;
  };
  std::vector<Line> lines_;
};

std::string EscapeConfigName(const std::string& name);
std::string EscapeConfigValue(const std::string& value);

// Whole-file read. false when the file cannot be opened or read.
bool ReadConfigFile(const std::string& path, std::string& bytes);

// Creates `dir` and its missing parents with mode 0700. true when it exists
// as a directory afterwards.
bool MakeConfigDirs(const std::string& dir);

// Applies `change` to the current content of `path` atomically with respect
// to other writers and to a crash (see the file comment). Creates missing
// directories (0700); the file gets mode 0600. A missing file counts as
// empty; an existing file that cannot be read fails the update rather than
// being overwritten. true once the new content is in place.
bool UpdateConfigFile(const std::string& path,
                      const std::function<void(ConfigDocument&)>& change);

// "Software\Norvale\Quenta\Keys" -> "norvale/quenta/keys.conf": backslash
// separated components, a leading "Software" (any case) dropped, ASCII
// lower-cased, joined with '/'. Empty components are skipped. false (and
// nothing usable) for a null subkey, nothing left after dropping
// "Software", or a component that is "." or ".." or contains '/'.
bool SubkeyToRelativePath(const char* subkey, std::string& relative);

// $XDG_CONFIG_HOME (absolute, non-empty) or $HOME/.config, or the password
// database's home directory + "/.config"; empty when none is known.
std::string UserConfigHome();
// UserConfigHome() + "/" + relative, or empty.
std::string UserConfigPath(const std::string& relative);
// The directories of $XDG_CONFIG_DIRS in order (relative and empty entries
// ignored), "/etc/xdg" when the variable is unset or yields nothing.
std::vector<std::string> SystemConfigDirs();
// The first existing regular file <dir>/<relative> over SystemConfigDirs(),
// or empty.
std::string FindSystemConfigFile(const std::string& relative);

}  // namespace quenta
