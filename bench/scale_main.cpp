// orv_scale: how the running library grows with the store. For 1,000, 10,000
// and 50,000 devices (or the counts given as arguments) it writes a store,
// starts the library on it and prints one row: how long init() takes (the
// caller's load), how long until wait_for_sync() returns (the sync thread's
// watches and its reload), the longest a query waited meanwhile (a client
// thread querying all along: the reload holds the cache's lock), and the
// resident memory the library added once synced. Wall time: the machine's
// load shows in it.
//
//   build-bench/bench/orv_scale [COUNT...]

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_env.h"
#include "orv/devmgmt.h"

namespace {

using orv_bench::NowNs;

struct Row {
  int devices;
  double init_s, sync_s, longest_query_s, resident_mib;
};

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
  row = {count, (inited - start) / 1e9, (done - start) / 1e9, longest / 1e9,
         (static_cast<double>(after) - static_cast<double>(before)) / (1 << 20)};
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  orv_bench::QuietLogs();
  std::vector<int> counts = {1000, 10000, 50000};
  if (argc > 1) counts.clear();
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  std::printf("| devices | init | init to sync | longest blocked query | resident added |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const int count : counts) {
    Row row{};
    if (!Measure(count, row)) {
      std::printf("| %d | failed: init or wait_for_sync | | | |\n", count);
      return 1;
    }
    std::printf("| %d | %.2f s | %.2f s | %.3f s | %.1f MiB |\n", row.devices, row.init_s,
                row.sync_s, row.longest_query_s, row.resident_mib);
    std::fflush(stdout);
  }
  return 0;
}
