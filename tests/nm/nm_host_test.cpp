// The built quenta-nmhost as a browser runs it: a child process with its
// standard input and output on pipes, started with the arguments Chromium
// or Firefox pass.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace {

using quenta_test::ScopedEnv;
using quenta_test::TempDir;

std::string Header(uint32_t length) {
  std::string h(4, '\0');
  std::memcpy(&h[0], &length, 4);
  return h;
}
std::string Frame(const std::string& body) {
  return Header(static_cast<uint32_t>(body.size())) + body;
}

class HostProcess {
 public:
  explicit HostProcess(const std::vector<std::string>& args = {}) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return;
    // A host that stopped reading must fail the test, not kill it.
    signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ == 0) {
      signal(SIGPIPE, SIG_DFL);  // as a browser starts it
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      std::vector<char*> argv;
      std::string exe = QUENTA_NMHOST_EXE;
      argv.push_back(exe.data());
      std::vector<std::string> copy = args;
      for (std::string& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    // Standard error is drained all along so the host never blocks on it.
    errReader_ = std::thread([this] {
      char buf[4096];
      ssize_t n;
      while ((n = read(err_, buf, sizeof buf)) > 0) stderr_.append(buf, static_cast<size_t>(n));
    });
  }
  ~HostProcess() {
    CloseInput();
    CloseOutput();
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (errReader_.joinable()) errReader_.join();
    if (err_ >= 0) close(err_);
  }

  bool Started() const { return pid_ > 0; }

  // Writes the bytes in pieces of `piece` bytes.
  void Send(const std::string& bytes, std::size_t piece = 0) {
    if (!piece) piece = bytes.size();
    for (std::size_t i = 0; i < bytes.size(); i += piece) {
      std::size_t n = std::min(piece, bytes.size() - i);
      if (write(in_, bytes.data() + i, n) != static_cast<ssize_t>(n)) return;
      if (piece < bytes.size()) usleep(200);  // let the host see the pieces separately
    }
  }
  void CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  void CloseOutput() {
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

  // Reads one framed message; false at the end of the output. Anything that
  // is not a whole frame fails the test.
  bool Receive(std::string* body) {
    std::string header;
    if (!ReadExactly(4, &header)) {
      EXPECT_TRUE(header.empty()) << "the output ended inside a frame header";
      return false;
    }
    uint32_t length;
    std::memcpy(&length, header.data(), 4);
    EXPECT_LE(length, 1024u * 1024u);
    if (!ReadExactly(length, body)) {
      ADD_FAILURE() << "the output ended inside a frame body";
      return false;
    }
    return true;
  }
  std::vector<std::string> ReceiveAll() {
    std::vector<std::string> all;
    std::string body;
    while (Receive(&body)) all.push_back(body);
    return all;
  }
  // Exit status, or -1 for a signal.
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    waited_ = true;
    if (errReader_.joinable()) errReader_.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Stderr() const { return stderr_; }

 private:
  bool ReadExactly(std::size_t n, std::string* out) {
    out->clear();
    char buf[65536];
    while (out->size() < n) {
      ssize_t got = read(out_, buf, std::min(sizeof buf, n - out->size()));
      if (got <= 0) return false;
      out->append(buf, static_cast<size_t>(got));
    }
    return true;
  }

  pid_t pid_ = -1;
  bool waited_ = false;
  int in_ = -1, out_ = -1, err_ = -1;
  std::thread errReader_;
  std::string stderr_;
};

class NmHostProcess : public ::testing::Test {
 protected:
  NmHostProcess()
      : config_("XDG_CONFIG_HOME", dir_.File("config")),
        dirs_("XDG_CONFIG_DIRS", dir_.File("xdg")) {}
  TempDir dir_;
  ScopedEnv config_, dirs_;
};

struct Exchange {
  const char* request;
  const char* reply;
};

const Exchange kConversation[] = {
    {R"({"id":1,"method":"TestComponent","args":[]})", R"({"id":1,"result":"OK|1,3,0,85"})"},
    {R"({"id":2,"method":"SetKey","args":["K1","4D61696E206B6579","data",1]})", R"({"id":2,"result":"0"})"},
    {R"({"id":3,"method":"SetKeyLocation","args":["K1","2F686F6D652F6B2E707276"]})", R"({"id":3,"result":"0"})"},
    {R"({"id":4,"method":"GetKeyLocation","args":["K1"]})", R"({"id":4,"result":"0|2F686F6D652F6B2E70727600"})"},
    {R"({"id":5,"method":"Sign","args":["a","b",3]})", R"({"id":5,"exception":"Sign: argument 3 must be a string"})"},
    {R"({"id":6,"method":"Nope"})", R"({"id":6,"error":"unknown method \"Nope\""})"},
    {R"({"id":7,"method":"SetLanguage","args":[1]})", R"({"id":7,"undefined":true})"},
    {R"({"id":8,"method":"RemoveKey","args":["K1"]})", R"({"id":8,"result":"0"})"},
    {R"({"id":9,"method":"RemoveKey","args":["K1"]})", R"({"id":9,"result":"1"})"},
};

TEST_F(NmHostProcess, AConversationWrittenInAnyPiecesGetsExactReplies) {
  struct Launch {
    std::vector<std::string> args;  // as Chromium and Firefox start a host
    std::size_t piece;
  } launches[] = {{{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}, 0},
                  {{"/usr/lib/mozilla/native-messaging-hosts/x.json", "quenta@norvale"}, 1},
                  {{}, 7}};
  std::string stream;
  std::vector<std::string> expected;
  for (const Exchange& e : kConversation) {
    stream += Frame(e.request);
    expected.push_back(e.reply);
  }
  for (const Launch& l : launches) {
    HostProcess host(l.args);
    ASSERT_TRUE(host.Started());
    std::thread writer([&] {
      host.Send(stream, l.piece);
      host.CloseInput();
    });
    EXPECT_EQ(host.ReceiveAll(), expected) << "piece " << l.piece;
    writer.join();
    EXPECT_EQ(host.Wait(), 0) << host.Stderr();
  }
}

TEST_F(NmHostProcess, TheBrowserClosingThePipeEndsTheHostWithStatusZero) {
  const std::string request = Frame(R"({"id":2,"method":"SetKey","args":["K","4B","d",1]})");
  const std::string tails[] = {"", request.substr(0, 1), request.substr(0, 4),
                               request.substr(0, request.size() - 1)};
  for (const std::string& tail : tails) {
    HostProcess host;
    ASSERT_TRUE(host.Started());
    host.Send(Frame(R"({"id":1,"method":"TestComponent"})") + tail);
    host.CloseInput();
    EXPECT_EQ(host.ReceiveAll(), std::vector<std::string>{R"({"id":1,"result":"OK|1,3,0,85"})"})
        << tail.size() << " bytes of the last frame";
    EXPECT_EQ(host.Wait(), 0) << host.Stderr();
  }
}

TEST_F(NmHostProcess, AnOversizedRequestIsRefusedAtOnce) {
  HostProcess host;
  ASSERT_TRUE(host.Started());
  // The pipe stays open: the host must not wait for the announced body.
  host.Send(Header(0xFFFFFFFFu) + "{\"id\":1");
  EXPECT_EQ(host.ReceiveAll(),
            std::vector<std::string>{R"({"id":null,"error":"request too large: 4294967295 bytes announced, the limit is 67108864; closing the connection"})"});
  EXPECT_EQ(host.Wait(), 1);
}

TEST_F(NmHostProcess, AHostWhoseReaderIsGoneExitsQuietly) {
  HostProcess host;
  ASSERT_TRUE(host.Started());
  host.CloseOutput();
  host.Send(Frame(R"({"id":1,"method":"TestComponent"})") + Frame(R"({"id":2,"method":"TestComponent"})"));
  host.CloseInput();
  EXPECT_EQ(host.Wait(), 0) << "killed by a signal or failed: " << host.Stderr();
}

}  // namespace
