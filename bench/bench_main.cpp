// The benchmark program: Google Benchmark's flags, its per-run report on
// stderr, then the figure table on stdout. Exit status 0 even when a target
// is missed: the table says so.

#include <benchmark/benchmark.h>

#include <exception>
#include <iostream>

#include "bench_env.h"
#include "table.h"

int main(int argc, char** argv) {
  orv_bench::QuietLogs();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  orv_bench::TableReporter reporter;
  try {
    benchmark::RunSpecifiedBenchmarks(&reporter);
    orv_bench::StopLibrary();
  } catch (const std::exception& error) {
    std::cerr << "orv_bench: " << error.what() << "\n";
    return 1;
  }
  const int missed = reporter.PrintTable(std::cout);
  std::cout << (missed == 0 ? "every target met" : std::to_string(missed) + " target(s) missed")
            << "\n";
  benchmark::Shutdown();
  return 0;
}
