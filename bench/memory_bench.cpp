// Figure 13: the resident memory the running library takes on 10,000 devices
// once wait_for_sync returns (init's load, then the sync thread's reload,
// which frees the first load's records), against the heap its cache holds:
// a load into a fresh cache of its own, measured with mallinfo2.

#include <malloc.h>

#include <memory>

#include "bench_env.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "table.h"

namespace orv_bench {
namespace {

void ResidentAfterSync(benchmark::State& state) {
  StopLibrary();
  Store& store = Store::Large();
  store.Use();
  double resident = 0, heap = 0;
  for (auto _ : state) {
    ::malloc_trim(0);  // what earlier figures left, not this one's
    const std::size_t before = ResidentBytes();
    if (orv::devMgmt::init() != 0 || orv::devMgmt::wait_for_sync(120000) != 0) {
      state.SkipWithError("init or wait_for_sync failed");
      return;
    }
    resident = static_cast<double>(ResidentBytes()) - static_cast<double>(before);
    orv::devMgmt::uninit();
    const std::size_t heap_before = HeapInUse();
    auto cache = std::make_unique<Devices>();
    cache->load();
    heap = static_cast<double>(HeapInUse() - heap_before);
  }
  if (heap <= 0 || resident <= 0) {
    state.SkipWithError("no heap or resident memory seen (a sanitizer's allocator?)");
    return;
  }
  state.counters["measured"] = resident;
  state.counters["baseline"] = heap;
}

BENCHMARK(ResidentAfterSync)
    ->Name("13/resident_after_sync_10000")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

const bool kRegistered =
    RegisterFigure({"13 resident after wait_for_sync, 10,000", "13/resident_after_sync_10000",
                    "measured", "baseline", "", "B", Goal::kAtMost, 1.5});

}  // namespace
}  // namespace orv_bench
