// Two out-of-line functions for the suppressed-log-line figure, compiled
// apart from the benchmark loop so that it can see through neither.

#ifndef ORV_BENCH_LOG_CALLS_H_
#define ORV_BENCH_LOG_CALLS_H_

#include <string>

namespace orv_bench {

// LogLine writes one line of level 3 the way the device library does; at
// level 2 it is suppressed. EmptyCall does nothing.
void LogLine(const std::string& mac, const std::string& device_id);
void EmptyCall(const std::string& mac, const std::string& device_id);

}  // namespace orv_bench

#endif  // ORV_BENCH_LOG_CALLS_H_
