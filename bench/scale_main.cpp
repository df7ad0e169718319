// orv_scale: how the running library grows with the store. For 1,000, 10,000
// and 50,000 devices (or the counts given as arguments) it writes a store,
// starts the library on it and prints one row: how long init() takes (the
// caller's load), how long until wait_for_sync() returns (the sync thread's
// watches and its reload), the longest a query waited meanwhile (a client
// thread querying all along: the reload holds the cache's lock), and the
// resident memory the library added once synced, against the heap its cache
// holds (a load into a fresh cache, after the library stopped): at most 1.5
// times from 10,000 devices, or the exit status is 1. Each size in a fresh process would be
// fairer still; the smallest comes first, so nothing freed by a larger one
// is reused. Wall time: the machine's load shows in it.
//
//   build-bench/bench/orv_scale [COUNT...]

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_env.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"

namespace {

using orv_bench::NowNs;

struct Row {
  int devices;
  double init_s, sync_s, longest_query_s, resident_mib, heap_mib;
};

constexpr double kMaxResidentPerHeap = 1.5;
constexpr int kTargetFrom = 10000;

// Measure runs the library once on a fresh store of `count` devices.
bool Measure(int count, Row& row) {
  const auto store = orv_bench::Store::Make(count);
  store->Use();
  std::vector<std::string> macs;
  for (const auto& device : store->devices()) macs.push_back(device.macs[0]);
  ::malloc_trim(0);
  const std::size_t before = orv_bench::ResidentBytes();
  const std::int64_t start = NowNs();
  if (orv::devMgmt::init() != 0) return false;
  const std::int64_t inited = NowNs();
  std::atomic<bool> synced{false};
  std::int64_t longest = 0;
  std::thread client([&] {
    std::string id;
    for (std::size_t i = 0; !synced.load(); ++i) {
      const std::int64_t asked = NowNs();
      orv::devMgmt::get_device_id_by_mac(macs[i % macs.size()], id);
      longest = std::max(longest, NowNs() - asked);
    }
  });
  const bool ok = orv::devMgmt::wait_for_sync(600000) == 0;
  const std::int64_t done = NowNs();
  synced = true;
  client.join();
  const std::size_t after = orv_bench::ResidentBytes();
  orv::devMgmt::uninit();
  const std::size_t heap_before = orv_bench::HeapInUse();
  auto cache = std::make_unique<Devices>();
  cache->load();
  const double heap = static_cast<double>(orv_bench::HeapInUse() - heap_before);
  row = {count,
         (inited - start) / 1e9,
         (done - start) / 1e9,
         longest / 1e9,
         (static_cast<double>(after) - static_cast<double>(before)) / (1 << 20),
         heap / (1 << 20)};
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  orv_bench::QuietLogs();
  std::vector<int> counts = {1000, 10000, 50000};
  if (argc > 1) counts.clear();
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  std::printf(
      "| devices | init | init to sync | longest blocked query | resident added | cache heap | "
      "resident / heap (<= %.1f from %d devices) |\n",
      kMaxResidentPerHeap, kTargetFrom);
  std::printf("|---|---|---|---|---|---|---|\n");
  int missed = 0;
  for (const int count : counts) {
    Row row{};
    if (!Measure(count, row)) {
      std::printf("| %d | failed: init or wait_for_sync | | | |\n", count);
      return 1;
    }
    // The thread's stack, the allocator's arena and the watch's buffers are
    // fixed costs: the target holds from kTargetFrom devices up.
    const double ratio = row.resident_mib / row.heap_mib;
    const bool judged = count >= kTargetFrom;
    if (judged && ratio > kMaxResidentPerHeap) ++missed;
    std::printf("| %d | %.2f s | %.2f s | %.3f s | %.1f MiB | %.1f MiB | %.2f %s |\n", row.devices,
                row.init_s, row.sync_s, row.longest_query_s, row.resident_mib, row.heap_mib, ratio,
                !judged                       ? "report"
                : ratio > kMaxResidentPerHeap ? "MISSED"
                                              : "ok");
    std::fflush(stdout);
  }
  return missed == 0 ? 0 : 1;
}
