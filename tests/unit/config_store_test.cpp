#include "platform/config_store.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using quenta::ConfigDocument;
using quenta::ConfigValue;

std::string S(const char* bytes, std::size_t n) { return std::string(bytes, n); }

// Names and values that exercise every escape and raw high bytes.
const std::vector<std::string>& AwkwardTexts() {
  static const std::vector<std::string> texts = {
      "plain",
      "with=equals",
      "a=b=c",
      "line\nfeed",
      "carriage\rreturn",
      "tab\there",
      "back\\slash",
      "\\",
      "trailing\\",
      "\\x41 not an escape",
      "#leading hash",
      "inner # hash",
      "list[]",
      "[",
      "a[]=b",
      "\xA5\x9C win1250 \xB9",
      "\xC4\x85\xC5\x9B utf-8",
      S("\x01\x02\x1F\x7F\xFF", 5),
      " spaced ",
      "",
  };
  return texts;
}

TEST(ConfigFormat, AwkwardNamesAndValuesRoundTrip) {
  ConfigDocument doc;
  const auto& texts = AwkwardTexts();
  for (std::size_t i = 0; i < texts.size(); ++i)
    doc.SetString(texts[i], texts[texts.size() - 1 - i]);
  const std::string bytes = doc.Serialise();

  // Every entry is exactly one line, and no raw control byte is written.
  std::size_t lines = 0;
  for (char c : bytes) {
    if (c == '\n') ++lines;
    else EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
        << "raw control byte in " << quenta_test::ToHex(bytes);
  }
  EXPECT_EQ(lines, texts.size());

  ConfigDocument back = ConfigDocument::Parse(bytes);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(quenta_test::ToHex(texts[i]));
    ConfigValue v;
    ASSERT_TRUE(back.Get(texts[i], v));
    EXPECT_FALSE(v.is_list);
    ASSERT_EQ(v.items.size(), 1u);
    EXPECT_EQ(v.items[0], texts[texts.size() - 1 - i]);
  }
  EXPECT_EQ(back.Names().size(), texts.size());
}

TEST(ConfigFormat, EscapedFormsAreReadable) {
  ConfigDocument doc = ConfigDocument::Parse(
      "a\\=b=c\\nd\n"
      "x\\x41\\x7e=\\t\\r\\\\\\=\n"
      "\\#hash=1\n"
      "\\[]=not a list\n");
  ConfigValue v;
  ASSERT_TRUE(doc.Get("a=b", v));
  EXPECT_EQ(v.items[0], "c\nd");
  ASSERT_TRUE(doc.Get("xA~", v));
  EXPECT_EQ(v.items[0], "\t\r\\=");
  ASSERT_TRUE(doc.Get("#hash", v));
  ASSERT_TRUE(doc.Get("[]", v));
  EXPECT_FALSE(v.is_list);
}

TEST(ConfigFormat, ListsAreRepeatedBracketLinesInOrder) {
  struct Case {
    const char* file;
    bool is_list;
    std::vector<std::string> items;
  };
  const Case cases[] = {
      {"Tokens[]=AA\nTokens[]=BB\nTokens[]=CC\n", true, {"AA", "BB", "CC"}},
      {"Tokens[]=AA\nother=1\nTokens[]=BB\n", true, {"AA", "BB"}},
      {"Tokens[]=AA\n", true, {"AA"}},
      {"Tokens=AA\n", false, {"AA"}},
      {"Tokens[]=AA\nTokens=ZZ\n", false, {"ZZ"}},             // last definition wins
      {"Tokens=ZZ\nTokens[]=AA\nTokens[]=BB\n", true, {"AA", "BB"}},  // a new list
      {"Tokens=1\nTokens=2\n", false, {"2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ConfigValue v;
    ASSERT_TRUE(ConfigDocument::Parse(c.file).Get("Tokens", v));
    EXPECT_EQ(v.is_list, c.is_list);
    EXPECT_EQ(v.items, c.items);
  }

  ConfigDocument doc;
  ConfigValue list;
  list.is_list = true;
  list.items = {"3B00", "", "3BFF"};
  doc.Set("Tokens", list);
  EXPECT_EQ(doc.Serialise(), "Tokens[]=3B00\nTokens[]=\nTokens[]=3BFF\n");
  ConfigValue v;
  ASSERT_TRUE(ConfigDocument::Parse(doc.Serialise()).Get("Tokens", v));
  EXPECT_EQ(v.items, list.items);
}

TEST(ConfigFormat, UnparsableLinesAreAbsentAndOthersSurvive) {
  const char* bad_lines[] = {
      "no separator",
      "trunc=ated\\x4",
      "trunc=ated\\x",
      "trunc=ated\\",
      "bad=escape\\q",
      "bad\\xZZname=1",
      "# comment=1",
      "#comment=1",
  };
  for (const char* bad : bad_lines) {
    SCOPED_TRACE(bad);
    const std::string file = std::string("good=1\n") + bad + "\nlast=2";
    ConfigDocument doc = ConfigDocument::Parse(file);
    EXPECT_EQ(doc.Names(), (std::vector<std::string>{"good", "last"}));
    ConfigValue v;
    for (const char* name : {"no separator", "trunc", "bad", "# comment", "#comment"})
      EXPECT_FALSE(doc.Get(name, v)) << name;
    ASSERT_TRUE(doc.Get("last", v));  // final line without a line feed
    EXPECT_EQ(v.items[0], "2");
  }
}

TEST(ConfigFormat, RewritingKeepsCommentsUnknownLinesAndOrder) {
  const std::string file =
      "# Remembered key files\n"
      "\n"
      "first=/a\n"
      "garbage without separator\n"
      "target=/old\n"
      "target[]=dup\n"
      "third=/c\n";
  ConfigDocument doc = ConfigDocument::Parse(file);
  doc.SetString("target", "/new");
  doc.SetString("added", "/d");
  EXPECT_EQ(doc.Serialise(),
            "# Remembered key files\n"
            "\n"
            "first=/a\n"
            "garbage without separator\n"
            "target=/new\n"
            "third=/c\n"
            "added=/d\n");
  EXPECT_TRUE(doc.Remove("first"));
  EXPECT_FALSE(doc.Remove("first"));
  ConfigValue v;
  EXPECT_FALSE(doc.Get("first", v));
}

TEST(ConfigFormat, CrlfFilesAreRead) {
  ConfigDocument doc = ConfigDocument::Parse("a=1\r\nb=two\r\n");
  ConfigValue v;
  ASSERT_TRUE(doc.Get("b", v));
  EXPECT_EQ(v.items[0], "two");
}

TEST(ConfigFormat, BinaryGarbageNeverCrashesAndReparsesStably) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(rng() % 600, '\0');
    for (char& c : bytes) {
      unsigned r = rng() % 8;
      // Bias towards the bytes the parser cares about.
      c = r == 0 ? '\n' : r == 1 ? '=' : r == 2 ? '\\' : r == 3 ? '[' : static_cast<char>(rng());
    }
    ConfigDocument doc = ConfigDocument::Parse(bytes);
    ConfigDocument again = ConfigDocument::Parse(doc.Serialise());
    ASSERT_EQ(doc.Names(), again.Names());
    for (const std::string& name : doc.Names()) {
      ConfigValue a, b;
      ASSERT_TRUE(doc.Get(name, a));
      ASSERT_TRUE(again.Get(name, b));
      EXPECT_EQ(a.is_list, b.is_list);
      EXPECT_EQ(a.items, b.items);
    }
  }
}

TEST(ConfigPaths, SubkeyMapping) {
  struct Case {
    const char* subkey;
    bool ok;
    const char* relative;
  };
  const Case cases[] = {
      {"Software\\Norvale\\Quenta\\Keys", true, "norvale/quenta/keys.conf"},
      {"SOFTWARE\\Norvale\\SmartCard\\Components", true, "norvale/smartcard/components.conf"},
      {"sOfTwArE\\A", true, "a.conf"},
      {"Norvale\\Other", true, "norvale/other.conf"},
      {"\\Software\\\\Norvale\\", true, "norvale.conf"},
      {"Vendor\\Software", true, "vendor/software.conf"},
      {"Software", false, ""},
      {"", false, ""},
      {nullptr, false, ""},
      {"Software\\..\\x", false, ""},
      {"Software\\.", false, ""},
      {"Software\\a/b", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subkey ? c.subkey : "(null)");
    std::string rel;
    EXPECT_EQ(quenta::SubkeyToRelativePath(c.subkey, rel), c.ok);
    if (c.ok) {
      EXPECT_EQ(rel, c.relative);
    }
  }
}

TEST(ConfigPaths, UserHomeFollowsXdgThenHome) {
  {
    quenta_test::ScopedEnv xdg("XDG_CONFIG_HOME", "/x/cfg");
    quenta_test::ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(quenta::UserConfigPath("a/b.conf"), "/x/cfg/a/b.conf");
  }
  for (const char* ignored : {"", "relative/dir"}) {
    quenta_test::ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
    quenta_test::ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(quenta::UserConfigHome(), "/home/u/.config") << ignored;
  }
}

TEST(ConfigPaths, SystemDirsIgnoreEmptyAndRelativeEntries) {
  struct Case {
    const char* value;
    std::vector<std::string> dirs;
  };
  const Case cases[] = {
      {"/a:/b", {"/a", "/b"}},
      {"/a::rel:/b:", {"/a", "/b"}},
      {"", {"/etc/xdg"}},
      {"rel:other", {"/etc/xdg"}},
  };
  for (const Case& c : cases) {
    quenta_test::ScopedEnv dirs("XDG_CONFIG_DIRS", c.value);
    EXPECT_EQ(quenta::SystemConfigDirs(), c.dirs) << c.value;
  }
  {
    quenta_test::ScopedEnv dirs("XDG_CONFIG_DIRS", "");
    unsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(quenta::SystemConfigDirs(), (std::vector<std::string>{"/etc/xdg"}));
  }
}

}  // namespace
