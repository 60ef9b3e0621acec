// npapi-host: loads the plug-in module the way a browser does, embeds one
// instance in a pretend page and runs script calls on its scriptable object.
//
//   npapi-host [--module PATH] 'TestComponent()' 'SetKey("k1","4B31","41",0)' ...
//
// Prints one line per call ("CALL => RESULT"), followed by the addresses the
// module asked the page to open. Exit status: 0 when every call ran (script
// exceptions included), 1 for a usage error, 2 when the module could not be
// loaded or started.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/host/browser_host.h"
#include "tests/host/call_text.h"

namespace {

constexpr const char* kModuleFileName = "libnporlisktarn.so";

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: npapi-host [--module PATH] CALL...\n"
               "  CALL is a script call such as 'TestComponent()' or\n"
               "  'SetKey(\"k1\", \"4B31\", \"41\", 0)'. Arguments are JavaScript literals:\n"
               "  \"strings\" (escapes \\\" \\\\ \\n \\xHH \\uXXXX; passed as UTF-8), integers,\n"
               "  doubles, true, false, null, undefined.\n"
               "  The module defaults to $QUENTA_MODULE, else %s next to this program.\n",
               kModuleFileName);
}

std::string DefaultModulePath() {
  if (const char* env = std::getenv("QUENTA_MODULE"); env && *env) return env;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return kModuleFileName;
  std::string dir(self, static_cast<size_t>(n));
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  return dir + "/" + kModuleFileName;
}

}  // namespace

int main(int argc, char** argv) {
  std::string module_path;
  std::vector<std::string> texts;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--module") {
      if (++i >= argc) {
        Usage(stderr);
        return 1;
      }
      module_path = argv[i];
    } else if (a.rfind("--module=", 0) == 0) {
      module_path = a.substr(9);
    } else if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    } else {
      texts.push_back(a);
    }
  }
  if (texts.empty()) {
    Usage(stderr);
    return 1;
  }

  std::vector<quenta_host::CallText> calls(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string error;
    if (!quenta_host::ParseCallText(texts[i], &calls[i], &error)) {
      std::fprintf(stderr, "npapi-host: %s: %s\n", texts[i].c_str(), error.c_str());
      return 1;
    }
  }

  if (module_path.empty()) module_path = DefaultModulePath();
  quenta_host::BrowserHost host(module_path);
  if (!host.loaded()) {
    std::fprintf(stderr, "npapi-host: cannot load %s: %s\n", module_path.c_str(),
                 host.load_error().c_str());
    return 2;
  }
  if (!host.has_all_exports()) {
    std::fprintf(stderr, "npapi-host: %s lacks some of the NP_* entry points\n",
                 module_path.c_str());
    return 2;
  }
  if (NPError e = host.Start(); e != NPERR_NO_ERROR) {
    std::fprintf(stderr, "npapi-host: NP_Initialize failed with %d\n", e);
    return 2;
  }
  auto instance = host.CreateInstance();
  if (!instance || instance->new_result() != NPERR_NO_ERROR) {
    std::fprintf(stderr, "npapi-host: NPP_New failed with %d\n",
                 instance ? instance->new_result() : -1);
    return 2;
  }
  // Any non-null value will do as the native window; the plug-in draws nothing.
  instance->SetWindow(reinterpret_cast<void*>(0x3A00001));
  if (!instance->script_object()) {
    std::fprintf(stderr, "npapi-host: the instance has no scriptable object\n");
    return 2;
  }

  for (size_t i = 0; i < calls.size(); ++i) {
    size_t before = host.url_requests().size();
    quenta_host::CallResult r = instance->Invoke(calls[i].method, calls[i].args);
    std::fflush(stdout);  // the module's own lines come first
    std::printf("%s => %s\n", texts[i].c_str(),
                r.ok ? r.result.Describe().c_str() : "script exception");
    if (r.ok && r.result.kind() == quenta_host::Value::Kind::Object)
      host.Release(r.result.as_object());
    const auto& urls = host.url_requests();
    for (size_t k = before; k < urls.size(); ++k) std::printf("  [page] %s\n", urls[k].url.c_str());
    std::fflush(stdout);
  }
  instance->Destroy();
  return 0;
}
