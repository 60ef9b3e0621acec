#include "engine/cfg_reg.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/result_codes.h"
#include "engine/toolbox_utils.h"
#include "platform/config_store.h"
#include "tests/support/test_support.h"

namespace {

using quenta::CCfgReg;
using quenta::kHkeyCurrentUser;
using quenta::kHkeyLocalMachine;
using quenta_test::ReadFile;
using quenta_test::WriteFile;

const char kKeys[] = "Software\\Norvale\\Quenta\\Keys";
const char kComponents[] = "SOFTWARE\\Norvale\\SmartCard\\Components";

std::string S(const char* bytes, std::size_t n) { return std::string(bytes, n); }

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// Every test gets private user and machine configuration trees.
class CfgRegTest : public ::testing::Test {
 protected:
  CfgRegTest()
      : xdg_home_("XDG_CONFIG_HOME", home_.path() + "/config"),
        xdg_dirs_("XDG_CONFIG_DIRS", sys1_.path() + ":" + sys2_.path()) {}

  std::string KeysFile() const { return home_.path() + "/config/norvale/quenta/keys.conf"; }
  std::string KeysDir() const { return home_.path() + "/config/norvale/quenta"; }

  static void WriteMachineFile(const quenta_test::TempDir& dir, const std::string& content) {
    ASSERT_TRUE(quenta::MakeConfigDirs(dir.path() + "/norvale/smartcard"));
    WriteFile(dir.path() + "/norvale/smartcard/components.conf", content);
  }

  quenta_test::TempDir home_, sys1_, sys2_;
  quenta_test::ScopedEnv xdg_home_, xdg_dirs_;
};

// ---------------------------------------------------------------------------
// Opening

TEST_F(CfgRegTest, OpenNeedsASubkeyAndCreatesTheUserFilePrivately) {
  EXPECT_EQ(CCfgReg(kHkeyCurrentUser, nullptr).OpenOrCreateKey(), 0);
  EXPECT_EQ(CCfgReg(kHkeyCurrentUser, "").OpenOrCreateKey(), 0);
  EXPECT_EQ(CCfgReg(kHkeyCurrentUser, "Software").OpenOrCreateKey(), 0);

  CCfgReg reg(kHkeyCurrentUser, kKeys);
  EXPECT_EQ(reg.OpenOrCreateKey(), 1);
  EXPECT_EQ(reg.OpenOrCreateKey(), 1);  // already open
  EXPECT_EQ(ModeOf(KeysDir()), 0700u);
  EXPECT_EQ(ModeOf(home_.path() + "/config/norvale"), 0700u);
  EXPECT_EQ(ModeOf(KeysFile()), 0600u);
  EXPECT_EQ(ReadFile(KeysFile()), "");
}

TEST_F(CfgRegTest, UserStoreThatCannotBeCreatedFailsEveryOperation) {
  // A regular file where a directory would have to be.
  WriteFile(home_.path() + "/config", "not a directory");
  CCfgReg reg(kHkeyCurrentUser, kKeys);
  EXPECT_EQ(reg.OpenOrCreateKey(), 0);
  EXPECT_EQ(reg.SetParam("k", "/p"), 0);
  std::string text = "stale";
  EXPECT_EQ(reg.GetText("k", text), quenta::kErrRegistryRead);
  EXPECT_EQ(text, "");
}

// Runs `body` in a child that cannot write to the key directory (a root
// test run drops to nobody, since root ignores permission bits).
int RunUnprivileged(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CfgRegTest, UnwritableUserStoreFallsBackToReadOnly) {
  ASSERT_TRUE(quenta::MakeConfigDirs(KeysDir()));
  WriteFile(KeysFile(), "key=/path/to/key.prv\n");
  for (const std::string& dir : {home_.path(), home_.path() + "/config",
                                 home_.path() + "/config/norvale", KeysDir()})
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  ASSERT_EQ(chmod(KeysFile().c_str(), 0444), 0);

  int rc = RunUnprivileged([] {
    CCfgReg reg(kHkeyCurrentUser, kKeys);
    if (reg.OpenOrCreateKey() != 1) return 1;
    std::string text;
    if (reg.GetText("key", text) != 0 || text != "/path/to/key.prv") return 2;
    if (reg.SetParam("key", "/other") != 0) return 3;
    if (reg.SetParam("new", "/other") != 0) return 4;
    // Nothing to fall back to: no file and no way to create one.
    if (CCfgReg(kHkeyCurrentUser, "Software\\Norvale\\Quenta\\Other").OpenOrCreateKey() != 0)
      return 5;
    return 0;
  });
  for (const std::string& dir : {home_.path(), home_.path() + "/config",
                                 home_.path() + "/config/norvale", KeysDir()})
    chmod(dir.c_str(), 0700);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(KeysFile()), "key=/path/to/key.prv\n");
}

// ---------------------------------------------------------------------------
// Values

TEST_F(CfgRegTest, AwkwardNamesRoundTripThroughTheFile) {
  const std::string names[] = {
      "name=with=equals", "line\nfeed", "back\\slash\\", "\xA5\x9C\xB9 klucz",
      "\xC4\x85 utf-8", "#hash", "list[]", S("\x01\x7F\xFF", 3), "tab\tcr\r",
  };
  {
    CCfgReg writer(kHkeyCurrentUser, kKeys);
    for (const std::string& n : names)
      ASSERT_EQ(writer.SetParam(n.c_str(), ("C:\\Keys\\" + n + "=x").c_str()), 1);
  }
  // A fresh helper reads only what is in the file.
  CCfgReg reader(kHkeyCurrentUser, kKeys);
  for (const std::string& n : names) {
    std::string text;
    EXPECT_EQ(reader.GetText(n.c_str(), text), 0) << quenta_test::ToHex(n);
    EXPECT_EQ(text, "C:\\Keys\\" + n + "=x");
  }
  EXPECT_EQ(ModeOf(KeysFile()), 0600u);
}

TEST_F(CfgRegTest, EveryReadSeesTheCurrentFile) {
  CCfgReg a(kHkeyCurrentUser, kKeys);
  CCfgReg b(kHkeyCurrentUser, kKeys);
  std::string text;
  EXPECT_EQ(a.GetText("k", text), quenta::kErrRegistryRead);
  ASSERT_EQ(b.SetParam("k", "/first"), 1);
  EXPECT_EQ(a.GetText("k", text), 0);
  EXPECT_EQ(text, "/first");
  ASSERT_EQ(b.SetParam("k", "/second"), 1);
  EXPECT_EQ(a.GetText("k", text), 0);
  EXPECT_EQ(text, "/second");
  // An empty path is a value of its own (ask the user again), not a missing one.
  ASSERT_EQ(b.SetParam("k", ""), 1);
  EXPECT_EQ(a.GetText("k", text), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(ReadFile(KeysFile()), "k=\n");
}

TEST_F(CfgRegTest, SetParamRefusesMissingArguments) {
  CCfgReg reg(kHkeyCurrentUser, kKeys);
  EXPECT_EQ(reg.SetParam(nullptr, "/p"), 0);
  EXPECT_EQ(reg.SetParam("k", nullptr), 0);
  EXPECT_EQ(CCfgReg(kHkeyCurrentUser, "").SetParam("k", "/p"), 0);
}

TEST_F(CfgRegTest, GetTextFitsOnlyIntoItsBuffer) {
  CCfgReg reg(kHkeyCurrentUser, kKeys);
  const std::string fits(CCfgReg::kTextBufferSize - 1, 'p');  // plus its zero: 1024
  const std::string too_long(CCfgReg::kTextBufferSize, 'p');
  ASSERT_EQ(reg.SetParam("fits", fits.c_str()), 1);
  ASSERT_EQ(reg.SetParam("long", too_long.c_str()), 1);
  std::string text;
  EXPECT_EQ(reg.GetText("fits", text), 0);
  EXPECT_EQ(text, fits);
  EXPECT_EQ(reg.GetText("long", text), quenta::kErrRegistryRead);
  EXPECT_EQ(text, "");
  EXPECT_EQ(reg.GetText("missing", text), quenta::kErrRegistryRead);
  EXPECT_EQ(reg.GetText(nullptr, text), quenta::kErrRegistryRead);
}

TEST_F(CfgRegTest, GetParamBufferRules) {
  ASSERT_TRUE(quenta::MakeConfigDirs(KeysDir()));
  WriteFile(KeysFile(), "str=abc\nlist[]=A\nlist[]=BC\nempty=\n");
  CCfgReg reg(kHkeyCurrentUser, kKeys);
  struct Case {
    const char* name;
    std::string raw;
  };
  const Case cases[] = {
      {"str", S("abc\0", 4)},
      {"list", S("A\0BC\0\0", 6)},
      {"empty", S("\0", 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned char buf[16];
    unsigned long size = c.raw.size();  // exactly enough
    ASSERT_EQ(reg.GetParam(c.name, buf, &size), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), c.raw);

    std::memset(buf, 0xEE, sizeof buf);
    size = c.raw.size() - 1;  // one byte short: refused, needed size reported
    EXPECT_EQ(reg.GetParam(c.name, buf, &size), 0);
    EXPECT_EQ(size, c.raw.size());
    EXPECT_EQ(buf[0], 0xEE) << "nothing is copied into a too small buffer";

    auto value = reg.GetValue(c.name);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(value->begin(), value->end()), c.raw);
  }
  unsigned char buf[16];
  unsigned long size = sizeof buf;
  EXPECT_EQ(reg.GetParam(nullptr, buf, &size), 0);
  EXPECT_EQ(reg.GetParam("str", nullptr, &size), 0);
  EXPECT_EQ(reg.GetParam("str", buf, nullptr), 0);
  EXPECT_EQ(reg.GetParam("missing", buf, &size), 0);
  EXPECT_EQ(reg.GetValue("missing"), nullptr);
  EXPECT_EQ(CCfgReg(kHkeyCurrentUser, nullptr).GetParam("str", buf, &size), 0);
}

TEST_F(CfgRegTest, GetValueHoldsAtMostItsBuffer) {
  ASSERT_TRUE(quenta::MakeConfigDirs(KeysDir()));
  const std::string fits(CCfgReg::kValueBufferSize - 1, 'v');
  WriteFile(KeysFile(), "fits=" + fits + "\nlong=" + fits + "v\n");
  CCfgReg reg(kHkeyCurrentUser, kKeys);
  auto value = reg.GetValue("fits");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->size(), CCfgReg::kValueBufferSize);
  EXPECT_EQ(reg.GetValue("long"), nullptr);
}

TEST_F(CfgRegTest, MalformedFilesNeverCrashAndReadAsAbsent) {
  ASSERT_TRUE(quenta::MakeConfigDirs(KeysDir()));
  std::mt19937 rng(777);
  std::string garbage(4096, '\0');
  for (char& c : garbage) c = static_cast<char>(rng());
  const std::string files[] = {
      garbage,
      "truncated=C:\\\\Keys\\x4",
      "missing separator\n",
      S("\0\0\0=\0\n\xFF\xFE", 8),
      "\\",
      "=",
  };
  for (const std::string& file : files) {
    SCOPED_TRACE(quenta_test::ToHex(file.substr(0, 32)));
    WriteFile(KeysFile(), file + "\nkeep=/kept\n");
    CCfgReg reg(kHkeyCurrentUser, kKeys);
    std::string text;
    EXPECT_EQ(reg.GetText("truncated", text), quenta::kErrRegistryRead);
    EXPECT_EQ(reg.GetText("missing separator", text), quenta::kErrRegistryRead);
    // Writing into such a file keeps the entries that did parse.
    ASSERT_EQ(reg.SetParam("new", "/n"), 1);
    EXPECT_EQ(reg.GetText("keep", text), 0);
    EXPECT_EQ(text, "/kept");
    EXPECT_EQ(reg.GetText("new", text), 0);
    EXPECT_EQ(text, "/n");
  }
}

// ---------------------------------------------------------------------------
// Machine store

TEST_F(CfgRegTest, MachineStoreTakesTheFirstExistingFileAndIsReadOnly) {
  CCfgReg reg(kHkeyLocalMachine, kComponents);
  std::string text;
  EXPECT_EQ(reg.OpenOrCreateKey(), 0) << "no file anywhere";
  EXPECT_EQ(reg.GetText("GemPCKey USB", text), quenta::kErrRegistryRead);

  WriteMachineFile(sys2_, "GemPCKey USB=2\n");
  EXPECT_EQ(reg.GetText("GemPCKey USB", text), 0);
  EXPECT_EQ(text, "2");

  WriteMachineFile(sys1_, "GemPCKey USB=1\n");  // earlier directory wins
  EXPECT_EQ(reg.GetText("GemPCKey USB", text), 0);
  EXPECT_EQ(text, "1");
  // First file wins as a whole: its missing values are not looked up later.
  WriteMachineFile(sys2_, "GemPCKey USB=2\nGemPCTwin USB=1\n");
  EXPECT_EQ(reg.GetText("GemPCTwin USB", text), quenta::kErrRegistryRead);

  EXPECT_EQ(reg.SetParam("GemPCKey USB", "0"), 0);
  EXPECT_EQ(ReadFile(sys1_.path() + "/norvale/smartcard/components.conf"), "GemPCKey USB=1\n");
  // Nothing was created in the user tree either.
  struct stat st;
  EXPECT_NE(::stat((home_.path() + "/config").c_str(), &st), 0);
}

TEST_F(CfgRegTest, ModuleWideMachineHelperFollowsTheEnvironment) {
  WriteMachineFile(sys2_, "GemPCTwin USB=1\n");
  std::string text;
  {
    quenta_test::ScopedEnv dirs("XDG_CONFIG_DIRS", "relative:" + sys2_.path());
    EXPECT_EQ(quenta::MachineComponents().GetText("GemPCTwin USB", text), 0);
    EXPECT_EQ(text, "1");
  }
  {
    quenta_test::ScopedEnv dirs("XDG_CONFIG_DIRS", sys1_.path());
    EXPECT_EQ(quenta::MachineComponents().GetText("GemPCTwin USB", text), quenta::kErrRegistryRead);
  }
}

// ---------------------------------------------------------------------------
// CToolboxUtils

TEST_F(CfgRegTest, ToolboxAnswersFromTheMachineStore) {
  const unsigned char token_atr[] = {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x80};
  const unsigned char other_atr[] = {0x3B, 0x7F, 0x96, 0x00};
  const unsigned char special_atr[] = {0x3B, 0xDB, 0x96, 0x00, 0x80, 0xB1, 0xFE, 0x45,
                                       0x1F, 0x83, 0x00, 0x31, 0xC0, 0x64, 0x1F, 0x18,
                                       0x01, 0x00, 0x07, 0x90, 0x00, 0x5F};
  struct Case {
    const char* file;  // null: no machine file
    bool usb, card, token;
  };
  const Case cases[] = {
      {nullptr, false, false, false},
      {"GemPCKey USB=1\nGemPCTwin USB=1\nTokens[]=3B00\nTokens[]=3B7F96000080\n", true, true, true},
      {"GemPCKey USB=0\nGemPCTwin USB=1\n", false, true, false},
      {"GemPCKey USB=1 \nGemPCTwin USB=11\n", false, false, false},
      {"GemPCKey USB=\nGemPCTwin USB\n", false, false, false},
      {"Tokens=3B7F96000080\n", false, false, true},       // a plain string counts as one entry
      {"Tokens[]=3b7f96000080\n", false, false, false},    // entries are upper-case hex
      {"Tokens[]=\nTokens[]=3B7F96000080\n", false, false, false},  // the list ends at ""
      {"Tokens[]=3B7F960000\n", false, false, false},  // a prefix is no match
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file ? c.file : "(no file)");
    if (c.file) WriteMachineFile(sys1_, c.file);
    quenta::CToolboxUtils tools;
    EXPECT_EQ(tools.UsbTokenSupport(), c.usb);
    EXPECT_EQ(tools.SmartCardSupport(), c.card);
    EXPECT_EQ(tools.IsTokenAtr(token_atr, sizeof token_atr), c.token);
    EXPECT_FALSE(tools.IsTokenAtr(other_atr, sizeof other_atr));
    EXPECT_FALSE(tools.IsTokenAtr(nullptr, 6));
    EXPECT_TRUE(tools.IsSpecialCardAtr(special_atr, sizeof special_atr));
    EXPECT_FALSE(tools.IsSpecialCardAtr(special_atr, sizeof special_atr - 1));
    EXPECT_FALSE(tools.IsSpecialCardAtr(token_atr, sizeof token_atr));
    EXPECT_FALSE(tools.IsSpecialCardAtr(nullptr, 0));
  }
}

// ---------------------------------------------------------------------------
// Several processes

TEST_F(CfgRegTest, ConcurrentWritersInTwoProcessesLoseNoEntry) {
  constexpr int kPerWriter = 200;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t pids[2];
  for (int w = 0; w < 2; ++w) {
    pids[w] = fork();
    ASSERT_GE(pids[w], 0);
    if (pids[w] == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(90);  // wait until the parent closes the pipe
      CCfgReg reg(kHkeyCurrentUser, kKeys);
      for (int i = 0; i < kPerWriter; ++i) {
        std::string name = "writer" + std::to_string(w) + "-key" + std::to_string(i);
        std::string path = "/home/u/keys/" + name + ".prv";
        if (reg.SetParam(name.c_str(), path.c_str()) != 1) _exit(1);
      }
      _exit(0);
    }
  }
  close(go[0]);
  close(go[1]);  // both start at once
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  quenta::ConfigDocument doc = quenta::ConfigDocument::Parse(ReadFile(KeysFile()));
  EXPECT_EQ(doc.Names().size(), 2u * kPerWriter);
  CCfgReg reg(kHkeyCurrentUser, kKeys);
  for (int w = 0; w < 2; ++w)
    for (int i = 0; i < kPerWriter; ++i) {
      std::string name = "writer" + std::to_string(w) + "-key" + std::to_string(i);
      std::string text;
      ASSERT_EQ(reg.GetText(name.c_str(), text), 0) << name;
      EXPECT_EQ(text, "/home/u/keys/" + name + ".prv");
    }
}

// A writer killed at any point leaves the last complete file: every entry
// of one generation, never a mixture or a truncated file.
TEST_F(CfgRegTest, WriterKilledMidRewriteLeavesOldOrNewFile) {
  constexpr int kEntries = 1500;
  const std::string path = KeysFile();
  auto fill = [](quenta::ConfigDocument& doc, long generation) {
    const std::string g = std::to_string(generation);
    std::string text = "generation=" + g + "\n";
    for (int i = 0; i < kEntries; ++i)
      text += "key" + std::to_string(i) + "=/keys/" + g + "/file" + std::to_string(i) + ".prv\n";
    doc = quenta::ConfigDocument::Parse(text);
  };
  // Returns the generation the whole file belongs to, or -1 when it is not
  // one consistent generation.
  auto generation_of = [](const std::string& bytes) -> long {
    quenta::ConfigDocument doc = quenta::ConfigDocument::Parse(bytes);
    quenta::ConfigValue v;
    if (!doc.Get("generation", v) || doc.Names().size() != kEntries + 1) return -1;
    const std::string g = v.items[0];
    for (int i = 0; i < kEntries; ++i) {
      if (!doc.Get("key" + std::to_string(i), v) ||
          v.items[0] != "/keys/" + g + "/file" + std::to_string(i) + ".prv")
        return -1;
    }
    return std::stol(g);
  };
  ASSERT_TRUE(quenta::UpdateConfigFile(path, [&](quenta::ConfigDocument& d) { fill(d, 0); }));

  std::random_device rd;
  const unsigned seed = rd();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  long generation = 0;
  long advanced = 0;
  for (int round = 0; round < 12; ++round) {
    int acks[2];
    ASSERT_EQ(pipe(acks), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(acks[0]);
      for (long g = generation + 1;; ++g) {
        if (!quenta::UpdateConfigFile(path, [&](quenta::ConfigDocument& d) { fill(d, g); }))
          _exit(1);
        if (write(acks[1], &g, sizeof g) != sizeof g) _exit(2);
      }
    }
    close(acks[1]);
    long acked = generation, g = 0;
    // Every other round waits for one finished rewrite first, so the test
    // also sees progress on a slow (loaded or sanitised) machine; the kill
    // then lands at a random point of a later rewrite.
    if (round % 2 == 0) {
      ASSERT_EQ(read(acks[0], &g, sizeof g), static_cast<ssize_t>(sizeof g));
      acked = g;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped by itself, status " << status;
    while (read(acks[0], &g, sizeof g) == sizeof g) acked = g;
    close(acks[0]);

    const long found = generation_of(ReadFile(path));
    ASSERT_NE(found, -1) << "torn file after kill in round " << round;
    // The last acknowledged write, or the one after it if its rename had
    // happened when the kill came.
    EXPECT_TRUE(found == acked || found == acked + 1)
        << "found " << found << ", acknowledged " << acked;
    advanced += found - generation;
    generation = found;
    EXPECT_EQ(ModeOf(path), 0600u);
  }
  EXPECT_GT(advanced, 0) << "the writer never completed a rewrite";
  // The store stays usable: no stale lock, the leftover temp file is harmless.
  CCfgReg reg(kHkeyCurrentUser, kKeys);
  ASSERT_EQ(reg.SetParam("after", "/ok"), 1);
  std::string text;
  EXPECT_EQ(reg.GetText("key0", text), 0);
  EXPECT_EQ(text, "/keys/" + std::to_string(generation) + "/file0.prv");
}

}  // namespace
