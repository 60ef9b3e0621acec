// The module's wxWidgets application. A browser has no wx of its own, so
// the module starts one the first time it needs a window and shuts it down
// when it is unloaded. Inside a host that already runs wx, that one is used.
#pragma once

#include <wx/app.h>

namespace quenta {

class CNPOrliskApp : public wxApp {
 public:
  bool OnInit() override;
  int OnExit() override;
};

// Makes sure a wx application is running. false when none can be started
// (no display): callers then show nothing.
bool EnsureWxApp();
// Ends the application this module started, if any. Safe to call again.
void ShutdownWxApp();
// True while the module runs an application of its own.
bool OwnsWxApp();

}  // namespace quenta
