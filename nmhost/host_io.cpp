#include "nmhost/host_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/secure.h"
#include "nmhost/framing.h"

namespace quenta {

namespace {

int MoveAbove2(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 3); }

}  // namespace

bool TakeProtocolStreams(int* requestFd, int* replyFd) {
  std::fflush(stdout);
  int in = MoveAbove2(0);
  int out = MoveAbove2(1);
  if (in < 0 || out < 0) {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return false;
  }
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) {
    close(in);
    close(out);
    return false;
  }
  bool ok = dup2(null, 0) == 0;
  // Standard output now goes where standard error goes; with no standard
  // error at all, nowhere.
  if (fcntl(2, F_GETFD) != -1) ok = dup2(2, 1) == 1 && ok;
  else ok = dup2(null, 1) == 1 && ok;
  close(null);
  if (!ok) {
    close(in);
    close(out);
    return false;
  }
  *requestFd = in;
  *replyFd = out;
  return true;
}

bool CFdMessageWriter::WriteMessage(const std::string& body) {
  uint32_t length = static_cast<uint32_t>(body.size());
  char header[4];
  std::memcpy(header, &length, 4);
  struct iovec parts[2] = {{header, 4}, {const_cast<char*>(body.data()), body.size()}};
  std::size_t total = 4 + body.size(), done = 0;
  while (done < total) {
    struct iovec rest[2];
    int count = 0;
    if (done < 4) {
      rest[count++] = {header + done, 4 - done};
      if (!body.empty()) rest[count++] = parts[1];
    } else {
      rest[count++] = {const_cast<char*>(body.data()) + (done - 4), total - done};
    }
    ssize_t n = writev(fd_, rest, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int RunHostLoop(int requestFd, CNativeSession& session) {
  CFrameDecoder decoder;
  FrameBytes body;
  char chunk[64 * 1024];
  for (;;) {
    for (;;) {
      CFrameDecoder::Status st = decoder.Next(&body);
      if (st == CFrameDecoder::kFrame) {
        bool ok = session.HandleRequest(body.data(), body.size());
        SecureWipe(body.data(), body.size());
        body.clear();
        if (!ok) return kHostClosed;
        continue;
      }
      if (st == CFrameDecoder::kOversized) {
        session.SendStreamError("request too large: " + std::to_string(decoder.RefusedLength()) +
                                " bytes announced, the limit is " +
                                std::to_string(kMaxRequestBytes) + "; closing the connection");
        return kHostOversized;
      }
      break;
    }
    ssize_t n = read(requestFd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) std::fprintf(stderr, "quenta-nmhost: reading requests: %s\n", std::strerror(errno));
      return kHostClosed;
    }
    decoder.Feed(chunk, static_cast<std::size_t>(n));
    SecureWipe(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace quenta
