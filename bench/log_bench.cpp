// Figure 6: a function whose body is one log line below the current level,
// written as the device library writes them, against an empty function: the
// cost of the suppressed line is the difference.

#include "log_calls.h"
#include "orv/log.h"
#include "paired.h"
#include "table.h"

namespace orv_bench {
namespace {

const std::string kMac = "02:1c:42:9f:0e:3a";
const std::string kDeviceId = "3f2a8c1e-7b4d-4e21-a9c3-5d6e7f8091ab";

// Calls per side and round: about a millisecond each.
constexpr int kCalls = 500000;

void SuppressedLine(benchmark::State& state) {
  orv::log::current_level = orv::log::kNotice;
  RunPaired(
      state, kCalls, [] { LogLine(kMac, kDeviceId); }, [] { EmptyCall(kMac, kDeviceId); });
}

BENCHMARK(SuppressedLine)
    ->Name("6/suppressed_log_line")
    ->Iterations(100)  // fixed, as the queries'
    ->Unit(benchmark::kMillisecond);

const bool kRegistered =
    RegisterFigure({"6 suppressed log line", "6/suppressed_log_line", "measured", "baseline",
                    "ratio", "ns", Goal::kAtMost, 2.0});

}  // namespace
}  // namespace orv_bench
