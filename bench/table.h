// The figure table: each figure is read from the counters of one benchmark
// (which measures the figure and its baseline side by side) and has a
// target for their ratio. The benchmark files register their figures;
// TableReporter collects the results (the median over repetitions when there
// are several) and prints the table.
//
//   const bool kRegistered = orv_bench::RegisterFigure(
//       {"6 suppressed log line", "6/suppressed_log_line", "measured", "baseline", "ratio",
//        "ns", orv_bench::Goal::kAtMost, 2.0});

#ifndef ORV_BENCH_TABLE_H_
#define ORV_BENCH_TABLE_H_

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace orv_bench {

enum class Goal { kAtMost, kAtLeast, kReport };

struct Figure {
  std::string label;  // rows are sorted by label
  std::string bench;  // the benchmark's name as registered
  std::string measured;
  std::string baseline;
  std::string ratio;  // a counter with the ratio; empty: measured / baseline
  std::string unit;   // "ns" (scaled for display), "/s", "B"
  Goal goal;
  double target;  // for the ratio
};

// RegisterFigure adds a row; returns true, for use in a static initializer.
bool RegisterFigure(const Figure& figure);

class TableReporter : public benchmark::ConsoleReporter {
 public:
  TableReporter();
  void ReportRuns(const std::vector<Run>& runs) override;
  // PrintTable writes the table: figure, measured, baseline, ratio, target,
  // verdict. Returns the number of figures that missed their target.
  int PrintTable(std::ostream& out) const;

 private:
  struct Result {
    bool median = false;
    std::string error;
    std::map<std::string, double> counters;
  };
  // Counter finds counter `name` of benchmark `bench`; false with `why` set
  // when there is none.
  bool Counter(const std::string& bench, const std::string& name, double& value,
               std::string& why) const;

  std::map<std::string, Result> results_;  // by benchmark name
};

}  // namespace orv_bench

#endif  // ORV_BENCH_TABLE_H_
