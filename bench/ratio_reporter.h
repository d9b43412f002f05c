// RatioReporter: the console report followed by the ratio project / floor of each pair of
// benchmarks named "<work>_Project" and "<work>_Floor", in wall and CPU time.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace bench_support {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: the ratios are meant to be collected from files.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      times_[run.benchmark_name()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(),
                                      benchmark::GetTimeUnitString(run.time_unit)};
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-16s %12s %12s %8s %12s %12s %8s\n", "work", "project", "floor", "ratio",
                "project cpu", "floor cpu", "ratio");
    for (const auto& [name, time] : times_) {
      const auto split = name.find("_Project");
      if (split == std::string::npos) continue;
      const std::string work = name.substr(0, split);
      const auto floor = times_.find(work + "_Floor");
      if (floor == times_.end()) continue;
      std::printf("%-16s %9.3f %-2s %9.3f %-2s %7.2fx %9.3f %-2s %9.3f %-2s %7.2fx\n", work.c_str(),
                  time.wall, time.unit, floor->second.wall, floor->second.unit,
                  time.wall / floor->second.wall, time.cpu, time.unit, floor->second.cpu,
                  floor->second.unit, time.cpu / floor->second.cpu);
    }
  }

 private:
  struct Times {
    double wall;
    double cpu;
    const char* unit;
  };
  std::map<std::string, Times> times_;
};

}  // namespace bench_support
