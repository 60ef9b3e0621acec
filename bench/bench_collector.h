// The console report of Google Benchmark, plus each benchmark's least time
// per iteration in nanoseconds, by the name it was registered under, for
// the summary tables. A benchmark registered several times (alternating
// with the one it is compared with, so that load from other jobs falls on
// both) stands for its best run. Benchmarks that use real time are timed
// by the wall clock, the others by CPU time.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace quenta_bench {

class Collector : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that logs stay plain text.
  Collector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const bool wall = !run.run_name.time_type.empty();
      const double t = (wall ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime()) * toNs;
      auto it = times.find(run.run_name.function_name);
      if (it == times.end() || t < it->second) times[run.run_name.function_name] = t;
    }
  }

  std::map<std::string, double> times;
};

}  // namespace quenta_bench
