// Module load to the first TestComponent answer, and the memory the engine
// holds for a 16 MB order.
//
// Load: each cycle is what a browser does for a page with the plug-in: a
// BrowserHost (dlopen of the module, RTLD_NOW), NP_Initialize, NPP_New, the
// scriptable object, Invoke TestComponent, then NPP_Destroy, NP_Shutdown and
// dlclose. Baseline in the same run: the same cycle without the module's
// work, i.e. dlopen + dlclose of the module alone.
//
// Memory (printed before the benchmarks run, in a fresh process): VmRSS and
// VmHWM from /proc/self/status before and after a COrderText takes the
// page's hexadecimal text of a 16 MB order and builds its display copy
// (HexDecode, IsoToWin1250, ParseOrderText: the sign dialog's path without a
// window).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/encoding.h"
#include "signing/order_text.h"
#include "tests/host/browser_host.h"
#include "bench/bench_collector.h"

namespace {

const char* ModulePath() {
  const char* env = std::getenv("QUENTA_MODULE");
  return env && *env ? env : QUENTA_MODULE_PATH;
}

// One page cycle. Returns false (with a reason) when any step fails.
bool Cycle(std::string* why) {
  quenta_host::BrowserHost host(ModulePath());
  if (!host.loaded()) return *why = "load: " + host.load_error(), false;
  if (host.Start() != NPERR_NO_ERROR) return *why = "NP_Initialize failed", false;
  auto instance = host.CreateInstance();
  if (!instance || instance->new_result() != NPERR_NO_ERROR) return *why = "NPP_New failed", false;
  if (!instance->script_object()) return *why = "no scriptable object", false;
  quenta_host::CallResult r = instance->Invoke("TestComponent");
  if (!r.ok) return *why = "TestComponent raised", false;
  benchmark::DoNotOptimize(r.result);
  instance->Destroy();
  instance.reset();
  return true;
}

void BM_PageCycle(benchmark::State& state) {
  std::string why;
  for (auto _ : state)
    if (!Cycle(&why)) {
      state.SkipWithError(why.c_str());
      return;
    }
}

void BM_DlopenOnly(benchmark::State& state) {
  for (auto _ : state) {
    void* h = dlopen(ModulePath(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      state.SkipWithError(dlerror());
      return;
    }
    dlclose(h);
  }
}

long StatusKb(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  const std::size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') kb = std::atol(line + n + 1);
  std::fclose(f);
  return kb;
}

std::string Repeat(const std::string& block, std::size_t size) {
  std::string text;
  text.reserve(size + block.size());
  while (text.size() < size) text += block;
  text.resize(size);
  return text;
}

void OrderMemory() {
  const std::size_t size = 16u << 20;
  std::string hex;
  {
    const std::string iso = Repeat(
        "_ZLECENIE_|1:Rachunek nadawcy:12 1020 3456 0000 1234 5678 9012|"
        "2:Rachunek odbiorcy:98 1140 2004 0000 3702 7654 3210|3:Kwota:1 234,56 PLN|"
        "4:Tytu\xB3:Faktura VAT 2024/06/123\r\nza \xB6wiadczenie us\xB3ug|5:Data:2024-06-11|",
        size);
    quenta::HexEncode(reinterpret_cast<const unsigned char*>(iso.data()), iso.size(), hex);
  }
  const long rss0 = StatusKb("VmRSS"), hwm0 = StatusKb("VmHWM");
  const auto t0 = std::chrono::steady_clock::now();
  auto* text = new quenta::COrderText;
  int rc = text->SetHex(hex.data(), hex.size());
  if (rc == 0) rc = text->BuildDisplay();
  const auto t1 = std::chrono::steady_clock::now();
  const long rss1 = StatusKb("VmRSS"), hwm1 = StatusKb("VmHWM");
  const std::size_t rows = text->RowCount();
  delete text;
  const long rss2 = StatusKb("VmRSS");
  const double mb = static_cast<double>(size) / 1048576.0;
  std::printf("Order memory: 16 MB order (fields text), page's hex text %.0f MB held before and after\n",
              static_cast<double>(hex.size()) / 1048576.0);
  std::printf("  rc %d, %zu rows, first decode+display %.1f ms (fresh pages)\n", rc, rows,
              std::chrono::duration<double, std::milli>(t1 - t0).count());
  std::printf("  VmRSS before %.1f MB, holding %.1f MB: growth %.1f MB = %.2fx the order\n",
              rss0 / 1024.0, rss1 / 1024.0, (rss1 - rss0) / 1024.0, (rss1 - rss0) / 1024.0 / mb);
  std::printf("  VmHWM before %.1f MB, after %.1f MB: peak growth %.1f MB = %.2fx the order\n",
              hwm0 / 1024.0, hwm1 / 1024.0, (hwm1 - hwm0) / 1024.0, (hwm1 - hwm0) / 1024.0 / mb);
  std::printf("  VmRSS after the order text is freed: %.1f MB\n\n", rss2 / 1024.0);
}


}  // namespace

int main(int argc, char** argv) {
  OrderMemory();
  std::string firstWhy;
  const auto t0 = std::chrono::steady_clock::now();
  const bool firstOk = Cycle(&firstWhy);
  const double firstMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  // Each registered three times, alternating, so that load from other jobs
  // falls on both; the least time of the three stands for it.
  for (int i = 0; i < 3; ++i) {
    benchmark::RegisterBenchmark("Load/dlopen-only", BM_DlopenOnly)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("Load/page-cycle", BM_PageCycle)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quenta_bench::Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  std::printf("\nSummary: wall time per cycle, module %s\n", ModulePath());
  std::printf("first cycle in the process: %s %.2f ms\n", firstOk ? "" : firstWhy.c_str(),
              firstMs);
  auto d = collector.times.find("Load/dlopen-only");
  auto c = collector.times.find("Load/page-cycle");
  if (d != collector.times.end() && c != collector.times.end())
    std::printf("dlopen+dlclose %.3f ms   load..TestComponent..unload %.3f ms   ratio %.2fx\n",
                d->second / 1e6, c->second / 1e6, c->second / d->second);
  benchmark::Shutdown();
  return 0;
}
