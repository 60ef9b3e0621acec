// quenta-nmhost: the signing component for browsers that speak WebExtensions
// native messaging. The browser starts one process per page connection and
// talks to it over standard input and output; see docs/native-messaging.md.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "nmhost/host_io.h"
#include "nmhost/session.h"
#include "platform/wx/module_ui.h"

int main(int argc, char** argv) {
  // The reply pipe is private from here on: nothing else may write to it.
  int requestFd = -1, replyFd = -1;
  if (!quenta::TakeProtocolStreams(&requestFd, &replyFd)) {
    std::fprintf(stderr, "quenta-nmhost: cannot set up the browser pipes\n");
    return 2;
  }
  // A browser that goes away shows up as a failed write, not a signal.
  signal(SIGPIPE, SIG_IGN);
  (void)argc;
  (void)argv;  // the caller's origin (Chromium) or manifest and id (Firefox): the
               // browser has already checked them against the host manifest

  // Dialogs open from this process, through the same toolkit adapter as the
  // plug-in's; the toolkit itself starts with the first window.
  quenta::InstallModuleUi();
  int status;
  {
    quenta::CFdMessageWriter writer(replyFd);
    quenta::CNativeSession session(writer);
    status = quenta::RunHostLoop(requestFd, session);
  }
  close(replyFd);
  close(requestFd);
  quenta::ShutdownModuleUi();
  return status;
}
