// The host process's side of the pipes to the browser.
#pragma once

#include <string>

#include "nmhost/session.h"

namespace quenta {

// Takes the browser's pipes off descriptors 0 and 1 before anything else
// can use them: the request pipe and the reply pipe move to private
// descriptors (closed on exec), descriptor 0 becomes /dev/null and
// descriptor 1 a copy of standard error. Whatever other code prints to
// standard output then ends up on standard error, and the reply pipe
// carries only frames. False if the descriptors could not be set up.
bool TakeProtocolStreams(int* requestFd, int* replyFd);

// Writes framed messages to a descriptor.
class CFdMessageWriter : public IMessageWriter {
 public:
  explicit CFdMessageWriter(int fd) : fd_(fd) {}
  bool WriteMessage(const std::string& body) override;

 private:
  int fd_;
};

// Exit status of the host loop.
enum HostExit {
  kHostClosed = 0,      // the browser closed the pipe (also inside a frame)
  kHostOversized = 1,   // a request above the size limit: refused, stream lost
};

// Reads requests from requestFd until the browser closes it and hands each
// to the session, which writes to its writer. Returns the exit status.
int RunHostLoop(int requestFd, CNativeSession& session);

}  // namespace quenta
