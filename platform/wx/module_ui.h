// The module's hooks for its user interface: installed when the browser
// initialises the module, taken down at its shutdown. Free of wx types so
// the module entry points need no toolkit headers.
#pragma once

namespace quenta {

// Makes the wx user interface the current one, unless one is installed
// already (a test's). The wx application itself starts with the first window.
void InstallModuleUi();
// Restores the previous interface and ends the wx application the module
// started. Safe to call again.
void ShutdownModuleUi();

}  // namespace quenta
