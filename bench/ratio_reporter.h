// RatioReporter: the console report followed by the ratio project / floor of each pair of
// benchmarks named "<work>_Project" and "<work>_Floor", in wall and CPU time, and beside it
// the pair's values of every counter the project run reports.
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
      // With repetitions the median stands for the pair (it is reported after the runs it
      // sums up, so it replaces them); the other aggregates are left to the table above.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const std::string name = run.run_name.str();
      times_[name] = {run.GetAdjustedRealTime(),
                                      run.GetAdjustedCPUTime(),
                                      benchmark::GetTimeUnitString(run.time_unit),
                                      {}};
      for (const auto& [counter, value] : run.counters) {
        times_[name].counters[counter] = value.value;
      }
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
      for (const auto& [counter, value] : time.counters) {
        const auto other = floor->second.counters.find(counter);
        std::printf("%-16s %9.0f    %9.0f    %s\n", work.c_str(), value,
                    other == floor->second.counters.end() ? 0.0 : other->second, counter.c_str());
      }
      // A "<work>_Codec" run measures the wire-message runtime's share of the project run:
      // taken out, what is left is what the rest of the path adds to the floor.
      if (const auto codec = times_.find(work + "_Codec"); codec != times_.end()) {
        const double wall = time.wall - codec->second.wall;
        const double cpu = time.cpu - codec->second.cpu;
        std::printf("%-16s %9.3f %-2s %9.3f %-2s %7.2fx %9.3f %-2s %9.3f %-2s %7.2fx  without "
                    "the codec's %.3f %s (cpu %.3f %s)\n",
                    work.c_str(), wall, time.unit, floor->second.wall, floor->second.unit,
                    wall / floor->second.wall, cpu, time.unit, floor->second.cpu,
                    floor->second.unit, cpu / floor->second.cpu, codec->second.wall, time.unit,
                    codec->second.cpu, time.unit);
      }
    }
  }

 private:
  struct Times {
    double wall;
    double cpu;
    const char* unit;
    std::map<std::string, double> counters;
  };
  std::map<std::string, Times> times_;
};

// The main of a benchmark program whose results end with the ratio table.
inline int runWithRatios(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench_support
