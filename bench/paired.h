// Paired measurements: a figure and its baseline taken in alternation, in
// rounds a millisecond or so long, so that both see the same machine (the
// load of a shared machine changes by the second).
//
//   RunPaired(state, 10000, [&] { query(); }, [&] { bare_query(); });
//
// sets the counters "measured" and "baseline" (median CPU nanoseconds per
// call over the rounds) and "ratio" (median of the rounds' ratios).

#ifndef ORV_BENCH_PAIRED_H_
#define ORV_BENCH_PAIRED_H_

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "bench_env.h"

namespace orv_bench {

// Percentile returns the value below which `fraction` of `samples` lie.
inline double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  const auto at = std::min(
      samples.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(samples.size())));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at),
                   samples.end());
  return samples[at];
}

// Pairs collects one measured value and one baseline value per round.
class Pairs {
 public:
  void Add(double measured, double baseline) {
    measured_.push_back(measured);
    baseline_.push_back(baseline);
    if (baseline > 0) ratios_.push_back(measured / baseline);
  }
  // Report sets measured, baseline and ratio (see above).
  void Report(benchmark::State& state) const {
    state.counters["measured"] = Percentile(measured_, 0.5);
    state.counters["baseline"] = Percentile(baseline_, 0.5);
    state.counters["ratio"] = Percentile(ratios_, 0.5);
  }

 private:
  std::vector<double> measured_, baseline_, ratios_;
};

// TimeCalls returns the CPU nanoseconds per call of `calls` calls of `work`.
template <class Work>
double TimeCalls(int calls, Work& work) {
  const std::int64_t start = CpuNs();
  for (int i = 0; i < calls; ++i) work();
  return static_cast<double>(CpuNs() - start) / calls;
}

// RunPaired runs one round per benchmark iteration: `calls` calls of each,
// in the order measured, baseline, baseline, measured (half the calls each
// time), so that both get one chunk right after the other's (its data
// partly evicted) and one right after its own.
template <class Measured, class Baseline>
void RunPaired(benchmark::State& state, int calls, Measured measured, Baseline baseline) {
  Pairs pairs;
  const int half = std::max(calls / 2, 1);
  for (auto _ : state) {
    const double measured_first = TimeCalls(half, measured);
    const double baseline_ns = TimeCalls(half, baseline) + TimeCalls(half, baseline);
    const double measured_ns = measured_first + TimeCalls(half, measured);
    pairs.Add(measured_ns / 2, baseline_ns / 2);
  }
  pairs.Report(state);
}

}  // namespace orv_bench

#endif  // ORV_BENCH_PAIRED_H_
