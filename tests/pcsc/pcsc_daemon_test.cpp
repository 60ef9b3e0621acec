// The PC/SC path against a real pcscd. Each test starts a private daemon on
// its own socket (systemd-socket-activate, PCSCLITE_CSOCK_NAME for the
// client) with a vpcd reader on a free TCP port, and a small Python card
// (virtual_card.py) presenting an ATR the test chooses. Everything goes
// through the real libpcsclite: CPcscLibrary directly, and CTokenAccess's
// device search with the library named in the machine settings. No PKCS#11
// module serves the virtual card, so a candidate reader yields no entry.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <winscard.h>

#include "engine/result_codes.h"
#include "engine/token_access.h"
#include "platform/pcsc.h"
#include "tests/doubles/token_test_env.h"
#include "tests/support/test_support.h"

using namespace quenta;
using namespace quenta_test;

namespace {

const char kVpcdDriver[] = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
const char kPcscd[] = "/usr/sbin/pcscd";
const auto kDeadline = std::chrono::seconds(20);

bool OnPath(const std::string& program) {
  return RunCommand("command -v " + program + " >/dev/null 2>&1") == 0;
}

// The client library reads PCSCLITE_CSOCK_NAME once per process, so every
// daemon this process starts listens on the same path.
const std::string& SocketPath() {
  static TempDir dir;
  static const std::string path = dir.File("pcscd.comm");
  return path;
}

// Two consecutive free TCP ports (vpcd listens on the given one and the next).
int FreePortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port = ntohs(a.sin_port);
    if (port == 0 || port >= 65535) {
      ::close(s);
      continue;
    }
    int t = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in b = a;
    b.sin_port = htons(static_cast<uint16_t>(port + 1));
    bool nextFree = ::bind(t, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0;
    ::close(t);
    ::close(s);
    if (nextFree) return port;
  }
  return 0;
}

// Starts a program with its output in `log`; it gets SIGTERM if this
// process dies first.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd >= 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

// SIGTERM, wait for the exit, SIGKILL if it does not come.
void Stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid = 0;
}

// Sockets a process holds open (each PC/SC context is one client socket).
int OpenSockets(const std::string& procFd) {
  int n = 0;
  if (DIR* d = ::opendir(procFd.c_str())) {
    while (dirent* e = ::readdir(d)) {
      char target[64] = {0};
      std::string link = procFd + "/" + e->d_name;
      if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          std::strncmp(target, "socket:", 7) == 0)
        ++n;
    }
    ::closedir(d);
  }
  return n;
}

std::string AtrHex(const unsigned char* atr, std::size_t n) {
  return ToHex(std::string(reinterpret_cast<const char*>(atr), n));
}

class PcscDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"systemd-socket-activate", "python3"})
      if (!OnPath(program)) GTEST_SKIP() << program << " is not installed: no real PC/SC daemon test";
    if (::access(kPcscd, X_OK) != 0) GTEST_SKIP() << kPcscd << " is not installed (package pcscd)";
    if (::access(kVpcdDriver, R_OK) != 0)
      GTEST_SKIP() << kVpcdDriver << " is not installed (package vsmartcard-vpcd)";
    ::setenv("PCSCLITE_CSOCK_NAME", SocketPath().c_str(), 1);
    settings_.Write({"PCSC Library=libpcsclite.so.1",
                     "PKCS11 Module=" + dir_.File("no-pkcs11-module.so"),
                     std::string("Tokens[]=") + kTokenAtr});
  }

  void TearDown() override {
    if (context_) SCardReleaseContext(context_);
    context_ = 0;
    Stop(card_);
    Stop(daemon_);
    ::unlink(SocketPath().c_str());
  }

  // The daemon with one vpcd reader line named `name`; returns once the
  // client library lists its two readers ("name 00 00", "name 00 01").
  void StartDaemon(const std::string& name) {
    port_ = FreePortPair();
    ASSERT_NE(port_, 0) << "no free TCP port pair";
    WriteFile(dir_.File("conf"), "FRIENDLYNAME \"" + name + "\"\nDEVICENAME /dev/null:" +
                                     std::to_string(port_) + "\nLIBPATH " + kVpcdDriver + "\n");
    ::unlink(SocketPath().c_str());
    daemon_ = Spawn({"systemd-socket-activate", "-l", SocketPath(), kPcscd, "-f", "-c",
                     dir_.File("conf")},
                    dir_.File("pcscd.log"));
    ASSERT_GT(daemon_, 0);
    readers_ = {name + " 00 00", name + " 00 01"};
    // The first client connection starts the daemon. The socket file exists
    // from bind() on, so connections are refused until systemd-socket-activate
    // listens: try until one is accepted.
    auto until = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
      LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_);
      if (rv == SCARD_S_SUCCESS) break;
      context_ = 0;
      ASSERT_LT(std::chrono::steady_clock::now(), until)
          << "no context (" << std::hex << rv << "); log:\n" << DaemonLog();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (;;) {
      if (ListReaders() == readers_) break;
      ASSERT_LT(std::chrono::steady_clock::now(), until)
          << "the vpcd readers never showed; log:\n" << DaemonLog();
      SCARD_READERSTATE pnp{};
      pnp.szReader = "\\\\?PnP?\\Notification";
      SCardGetStatusChange(context_, 500, &pnp, 1);
    }
  }

  std::vector<std::string> ListReaders() {
    DWORD size = SCARD_AUTOALLOCATE;
    char* list = nullptr;
    std::vector<std::string> names;
    if (SCardListReaders(context_, nullptr, reinterpret_cast<char*>(&list), &size) != SCARD_S_SUCCESS)
      return names;
    for (const char* p = list; *p; p += std::strlen(p) + 1) names.emplace_back(p);
    SCardFreeMemory(context_, list);
    return names;
  }

  // Puts a card presenting `atr` into the first reader and waits until
  // the daemon reports it.
  void InsertCard(const std::string& atr) {
    card_ = Spawn({"python3", QUENTA_VIRTUAL_CARD, std::to_string(port_), atr}, dir_.File("card.log"));
    ASSERT_GT(card_, 0);
    WaitForFirstReader(atr);
    cardIn_ = true;
  }

  void RemoveCard() {
    Stop(card_);
    WaitForFirstReader("");
    cardIn_ = false;
  }

  // Waits (SCardGetStatusChange with a time-out) until the first reader
  // holds a card with this ATR, or is empty for "".
  void WaitForFirstReader(const std::string& atr) {
    SCARD_READERSTATE st{};
    st.szReader = readers_[0].c_str();
    st.dwCurrentState = SCARD_STATE_UNAWARE;
    auto until = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
      LONG rv = SCardGetStatusChange(context_, 500, &st, 1);
      ASSERT_TRUE(rv == SCARD_S_SUCCESS || rv == static_cast<LONG>(SCARD_E_TIMEOUT)) << rv;
      if (rv == SCARD_S_SUCCESS) st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
      const bool present = (st.dwCurrentState & SCARD_STATE_PRESENT) != 0;
      if (atr.empty() ? (st.dwCurrentState & SCARD_STATE_EMPTY) != 0
                      : present && AtrHex(st.rgbAtr, st.cbAtr) == atr)
        return;
      ASSERT_LT(std::chrono::steady_clock::now(), until)
          << "reader never showed ATR '" << atr << "'; log:\n" << DaemonLog() << ReadFile(dir_.File("card.log"));
    }
  }

  // Marks the sockets in use before the code under test runs.
  void Baseline() {
    ownSockets_ = OpenSockets("/proc/self/fd");
    daemonSockets_ = OpenSockets("/proc/" + std::to_string(daemon_) + "/fd");
    cardInAtBaseline_ = cardIn_;
  }

  // Every context the code under test established is released: this
  // process holds no more sockets than before, the daemon drops its ends,
  // and a fresh client is still served.
  void ExpectContextsReleased() {
    EXPECT_EQ(OpenSockets("/proc/self/fd"), ownSockets_);
    const std::string daemonFd = "/proc/" + std::to_string(daemon_) + "/fd";
    // The card's connection to the reader port is a daemon socket too.
    const int expected = daemonSockets_ + (cardIn_ ? 1 : 0) - (cardInAtBaseline_ ? 1 : 0);
    auto until = std::chrono::steady_clock::now() + kDeadline;
    while (OpenSockets(daemonFd) > expected && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LE(OpenSockets(daemonFd), expected) << "the daemon still serves leaked contexts";

    ASSERT_EQ(SCardReleaseContext(context_), SCARD_S_SUCCESS);
    context_ = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_), SCARD_S_SUCCESS);
    EXPECT_EQ(ListReaders(), readers_);
  }

  std::string DaemonLog() { return ReadFile(dir_.File("pcscd.log")); }

  TempDir dir_;
  MachineSettings settings_;
  SCARDCONTEXT context_ = 0;
  pid_t daemon_ = 0;
  pid_t card_ = 0;
  int port_ = 0;
  std::vector<std::string> readers_;
  int ownSockets_ = 0;
  int daemonSockets_ = 0;
  bool cardIn_ = false;
  bool cardInAtBaseline_ = false;
};

}  // namespace

TEST_F(PcscDaemonTest, LibraryListsTheReadersAndReadsTheCardsAtr) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon("Quenta Virtual"));
  Baseline();
  {
    CPcscLibrary lib;
    ASSERT_TRUE(lib.Load("libpcsclite.so.1"));
    ASSERT_EQ(lib.EstablishContext(), pcsc::kSuccess);
    std::vector<std::string> readers;
    ASSERT_EQ(lib.ListReaders(readers), pcsc::kSuccess);
    EXPECT_EQ(readers, readers_);

    std::vector<PcscReaderState> states(2);
    states[0].reader = readers_[0];
    states[1].reader = readers_[1];
    ASSERT_EQ(lib.LocateCards({}, states), pcsc::kSuccess);
    EXPECT_TRUE(states[0].atr.empty());
    EXPECT_NE(states[0].eventState & SCARD_STATE_EMPTY, 0u);

    ASSERT_NO_FATAL_FAILURE(InsertCard(kPlainAtr));
    for (auto& s : states) s.currentState = pcsc::kStateUnaware;
    ASSERT_EQ(lib.LocateCards({}, states), pcsc::kSuccess);
    EXPECT_EQ(AtrHex(states[0].atr.data(), states[0].atr.size()), kPlainAtr);
    EXPECT_NE(states[0].eventState & SCARD_STATE_PRESENT, 0u);
    EXPECT_TRUE(states[1].atr.empty());
    EXPECT_NE(states[1].eventState & SCARD_STATE_EMPTY, 0u);

    ASSERT_NO_FATAL_FAILURE(RemoveCard());
    for (auto& s : states) s.currentState = pcsc::kStateUnaware;
    ASSERT_EQ(lib.LocateCards({}, states), pcsc::kSuccess);
    EXPECT_TRUE(states[0].atr.empty());
    EXPECT_EQ(OpenSockets("/proc/self/fd"), ownSockets_ + 1);  // the library's context
  }
  ExpectContextsReleased();
}

TEST_F(PcscDaemonTest, TokenAtrFromTheListMakesTheReaderAUsbToken) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon("Quenta Virtual"));
  Baseline();
  CTokenAccess token;
  std::vector<TokenDevice> devices;
  unsigned long slot = 99;

  // No card: the empty readers are smart card candidates, not tokens.
  EXPECT_EQ(token.ListDevices(kDeviceSmartCard, devices), kOk);
  EXPECT_TRUE(devices.empty());
  EXPECT_EQ(token.ListDevices(kDeviceUsbToken, devices), kErrNoUsbToken);
  EXPECT_EQ(token.OpenDevice(kDeviceSmartCard, &slot), kErrTokenAbsent);
  EXPECT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), kErrNoUsbToken);
  EXPECT_EQ(token.OpenDevice(kDeviceAny, &slot), kErrTokenAbsent);

  // A plain card is no token.
  ASSERT_NO_FATAL_FAILURE(InsertCard(kPlainAtr));
  EXPECT_EQ(token.ListDevices(kDeviceUsbToken, devices), kErrNoUsbToken);
  EXPECT_EQ(token.OpenDevice(kDeviceSmartCard, &slot), kErrTokenAbsent);
  EXPECT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), kErrNoUsbToken);
  ASSERT_NO_FATAL_FAILURE(RemoveCard());

  // A card whose ATR is in "Tokens" is a token candidate (without a module
  // serving it, it offers no entry).
  ASSERT_NO_FATAL_FAILURE(InsertCard(kTokenAtr));
  EXPECT_EQ(token.ListDevices(kDeviceUsbToken, devices), kOk);
  EXPECT_TRUE(devices.empty());
  EXPECT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), kErrNoUsbToken);
  EXPECT_EQ(token.OpenDevice(kDeviceAny, &slot), kErrTokenAbsent);
  EXPECT_EQ(slot, 99u);
  EXPECT_FALSE(token.HasSession());
  EXPECT_FALSE(token.ModuleLoaded());
  ExpectContextsReleased();
}

TEST_F(PcscDaemonTest, KeyReaderIsNeverASmartCard) {
  ASSERT_NO_FATAL_FAILURE(StartDaemon("Quenta USB Key Virtual"));
  ASSERT_NO_FATAL_FAILURE(InsertCard(kPlainAtr));
  Baseline();
  CTokenAccess token;
  std::vector<TokenDevice> devices;
  unsigned long slot = 99;
  EXPECT_EQ(token.ListDevices(kDeviceSmartCard, devices), kErrNoSmartCard);
  EXPECT_EQ(token.OpenDevice(kDeviceSmartCard, &slot), kErrNoSmartCard);
  EXPECT_EQ(token.ListDevices(kDeviceUsbToken, devices), kOk);
  EXPECT_TRUE(devices.empty());
  EXPECT_EQ(token.OpenDevice(kDeviceUsbToken, &slot), kErrNoUsbToken);
  EXPECT_EQ(token.OpenDevice(kDeviceAny, &slot), kErrTokenAbsent);
  EXPECT_EQ(slot, 99u);
  ExpectContextsReleased();
}
