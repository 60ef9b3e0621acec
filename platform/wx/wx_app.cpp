#include "platform/wx/wx_app.h"

#include <dlfcn.h>

#include <cstdlib>

#include <wx/gdicmn.h>
#include <wx/init.h>
#include <wx/log.h>

namespace quenta {

namespace {

bool g_owned = false;

// GTK and GLib cannot be unloaded once loaded: they register types and keep
// process-wide state that points into their own code. When the browser
// unloads the module, the wx libraries (and with them GTK) stay.
void PinLibraryOf(const void* symbol) {
  Dl_info info;
  if (dladdr(symbol, &info) && info.dli_fname)
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

struct ToolkitPin {
  ToolkitPin() {
    PinLibraryOf(reinterpret_cast<const void*>(&wxGetDisplaySize));
    PinLibraryOf(reinterpret_cast<const void*>(static_cast<bool (*)(int&, wxChar**)>(&wxEntryStart)));
  }
} g_pin;

// At unload without a shutdown call, the application goes with the module.
struct AppGuard {
  ~AppGuard() { ShutdownWxApp(); }
} g_guard;

bool HaveDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

}  // namespace

bool CNPOrliskApp::OnInit() {
  // wx reports its own problems on standard error: a log window would be
  // a modal box of its own inside the browser.
  delete wxLog::SetActiveTarget(new wxLogStderr);
  SetExitOnFrameDelete(false);
  return true;
}

int CNPOrliskApp::OnExit() { return 0; }

bool EnsureWxApp() {
  if (wxTheApp) return true;
  if (!HaveDisplay()) return false;
  static int argc = 1;
  static wxChar name[] = wxT("nporlisktarn");
  static wxChar* argv[] = {name, nullptr};
  wxApp::SetInstance(new CNPOrliskApp);
  if (!wxEntryStart(argc, argv)) {
    // wxEntryStart has disposed of the instance.
    wxApp::SetInstance(nullptr);
    return false;
  }
  if (!wxTheApp || !wxTheApp->CallOnInit()) {
    wxEntryCleanup();
    return false;
  }
  g_owned = true;
  return true;
}

void ShutdownWxApp() {
  if (!g_owned) return;
  g_owned = false;
  if (wxTheApp) wxTheApp->OnExit();
  wxEntryCleanup();
}

bool OwnsWxApp() { return g_owned; }

}  // namespace quenta
