// Order text: decoding, conversion and parsing on orders of 1 KB, 1 MB and
// 16 MB, ordinary and hostile, each against a memchr scan of the same bytes
// measured in the same run. After the usual benchmark output a summary table
// gives the parse time and the whole chain's time as multiples of the scan.
//
// The scan walks the display copy with memchr from one "|" to the next, the
// least work that still stops at every field; on a text without bars it is a
// single memchr over all bytes.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/encoding.h"
#include "signing/order_text.h"
#include "bench/bench_collector.h"

namespace {

struct Kind {
  const char* name;
  std::string (*make)(std::size_t size);
};

std::string Repeat(const std::string& block, std::size_t size) {
  std::string text;
  text.reserve(size + block.size());
  while (text.size() < size) text += block;
  text.resize(size);
  return text;
}

// A list-mode order: transfers of five fields each, ISO 8859-2 letters and a
// two-line title.
std::string Fields(std::size_t size) {
  return Repeat(
      "_ZLECENIE_|1:Rachunek nadawcy:12 1020 3456 0000 1234 5678 9012|"
      "2:Rachunek odbiorcy:98 1140 2004 0000 3702 7654 3210|3:Kwota:1 234,56 PLN|"
      "4:Tytu\xB3:Faktura VAT 2024/06/123\r\nza \xB6wiadczenie us\xB3ug|5:Data:2024-06-11|",
      size);
}

std::string MultiLine(std::size_t size) {
  return "MULTILINE|" + Repeat("1:T:Przelew 12 na kwot\xEA 100,00 PLN\r\n|"
                               "2:U:Odbiorca: Firma \xA6wit Sp. z o.o.\r\n|_ZLECENIE_|",
                               size - 10);
}

// Hostile: every byte a colon, so every byte starts a field.
std::string ColonOnly(std::size_t size) { return std::string(size, ':'); }

// Hostile: fields that never close, so no search for a bar ever succeeds.
std::string BarFree(std::size_t size) { return Repeat("1:Kwota:100\r\n", size); }

// Hostile: a field in every two bytes, none of them with a value.
std::string ColonBar(std::size_t size) { return Repeat(":|", size); }

const Kind kKinds[] = {{"fields", Fields},     {"multiline", MultiLine}, {"colon-only", ColonOnly},
                       {"bar-free", BarFree}, {"colon-bar", ColonBar}};

struct Size {
  const char* name;
  std::size_t bytes;
};
const Size kSizes[] = {{"1KB", 1u << 10}, {"1MB", 1u << 20}, {"16MB", 16u << 20}};

struct Order {
  std::string display;  // the bytes as the parser sees them (all ASCII-safe
                        // except the ISO letters, converted below)
  std::string hex;      // the page's form of the ISO bytes
};

// The order of one kind and size, made on first use (only the benchmarks
// selected by a filter pay for their texts).
struct OrderSource {
  const Kind* kind;
  const Size* size;
  Order order;
  bool made = false;

  const Order& Get() {
    if (!made) {
      const std::string iso = kind->make(size->bytes);
      order.display =
          quenta::IsoToWin1250(reinterpret_cast<const unsigned char*>(iso.data()), iso.size());
      quenta::HexEncode(reinterpret_cast<const unsigned char*>(iso.data()), iso.size(), order.hex);
      made = true;
    }
    return order;
  }
};

void Scan(benchmark::State& state, OrderSource* source) {
  const Order* order = &source->Get();
  const char* text = order->display.data();
  const std::size_t n = order->display.size();
  for (auto _ : state) {
    std::size_t bars = 0;
    const char* p = text;
    const char* end = text + n;
    while (const void* hit = std::memchr(p, '|', static_cast<std::size_t>(end - p))) {
      ++bars;
      p = static_cast<const char*>(hit) + 1;
    }
    benchmark::DoNotOptimize(bars);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

void Parse(benchmark::State& state, OrderSource* source) {
  const Order* order = &source->Get();
  std::size_t rows = 0;
  for (auto _ : state) {
    quenta::ParsedOrder parsed;  // a fresh result each time, as the dialog has
    quenta::ParseOrderText(order->display, parsed);
    rows = parsed.rows.size();
    benchmark::DoNotOptimize(rows);
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * order->display.size()));
}

void Decode(benchmark::State& state, OrderSource* source) {
  const Order* order = &source->Get();
  for (auto _ : state) {
    quenta::SecureBytes bytes;
    quenta::HexDecode(order->hex.data(), order->hex.size(), bytes);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * order->display.size()));
}

void Convert(benchmark::State& state, OrderSource* source) {
  const Order* order = &source->Get();
  const auto* bytes = reinterpret_cast<const unsigned char*>(order->display.data());
  for (auto _ : state) {
    std::string display = quenta::IsoToWin1250(bytes, order->display.size());
    benchmark::DoNotOptimize(display.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * order->display.size()));
}

// What the sign dialog does with the page's text: decode, keep the bytes,
// convert and parse.
void Chain(benchmark::State& state, OrderSource* source) {
  const Order* order = &source->Get();
  for (auto _ : state) {
    quenta::COrderText text;
    text.SetHex(order->hex.data(), order->hex.size());
    text.BuildDisplay();
    benchmark::DoNotOptimize(text.RowCount());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * order->display.size()));
}


std::string Name(const char* what, const Kind& kind, const Size& size) {
  return std::string(what) + "/" + kind.name + "/" + size.name;
}

std::string Time(double ns) {
  char text[32];
  if (ns < 1e3) std::snprintf(text, sizeof text, "%.0f ns", ns);
  else if (ns < 1e6) std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
  else std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  // Keep freed memory in the process: every iteration then works in pages
  // that are already mapped, and the figures are those of the code rather
  // than of the kernel's first-touch page faults (which cost about 40 us a
  // page on a nested virtual machine, and vary widely between machines).
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  static std::vector<OrderSource> sources;
  sources.reserve(sizeof(kKinds) / sizeof(kKinds[0]) * sizeof(kSizes) / sizeof(kSizes[0]));
  for (const Size& size : kSizes) {
    for (const Kind& kind : kKinds) {
      sources.push_back(OrderSource{&kind, &size, Order(), false});
      OrderSource* order = &sources.back();
      benchmark::RegisterBenchmark(Name("Scan", kind, size).c_str(), Scan, order)
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(Name("Parse", kind, size).c_str(), Parse, order)
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(Name("Decode", kind, size).c_str(), Decode, order)
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(Name("Convert", kind, size).c_str(), Convert, order)
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark(Name("Chain", kind, size).c_str(), Chain, order)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quenta_bench::Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);

  std::printf("\nSummary: CPU time per run; ratio = time / memchr scan of the same text\n");
  std::printf("%-6s %-11s %10s %10s %7s %12s %7s\n", "size", "text", "parse", "memchr", "ratio",
              "whole chain", "ratio");
  for (const Size& size : kSizes) {
    for (const Kind& kind : kKinds) {
      const auto scan = collector.times.find(Name("Scan", kind, size));
      const auto parse = collector.times.find(Name("Parse", kind, size));
      const auto chain = collector.times.find(Name("Chain", kind, size));
      if (scan == collector.times.end() || parse == collector.times.end()) continue;
      std::printf("%-6s %-11s %10s %10s %6.2fx", size.name, kind.name, Time(parse->second).c_str(),
                  Time(scan->second).c_str(), parse->second / scan->second);
      if (chain != collector.times.end())
        std::printf(" %12s %6.2fx", Time(chain->second).c_str(), chain->second / scan->second);
      std::printf("\n");
    }
  }
  benchmark::Shutdown();
  return 0;
}
