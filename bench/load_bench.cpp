// Figure 3: Devices::load from the host store, against reading the same
// values with plain open/read/close (and listing the same directories).
// Figure 8: heap bytes per cached device, against the bytes of its texts.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "bench_env.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "paired.h"
#include "table.h"

namespace orv_bench {
namespace {

// The values the loader reads in each device's node, besides macs/.
constexpr const char* kFields[] = {
    "profile_id",   "display_name",        "device_type",    "device_os",       "device_os_version",
    "device_model", "device_manufacturer", "velk_device_id", "traffic_blocked", "onvelk",
    "onguest",      "scan_level"};

// ReadValue reads the file at `path` with one open, one read, one close.
std::size_t ReadValue(const char* path) {
  char buffer[4096];
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const ssize_t got = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

// ReadBare lists and reads what the loader reads, bare: the devices, each
// device's values and its macs/ node.
void ReadBare(const Store& store) {
  const std::string top = store.root() + "/devices";
  std::size_t bytes = 0;
  DIR* devices = ::opendir(top.c_str());
  if (devices == nullptr) return;
  while (const dirent* device = ::readdir(devices)) {
    if (device->d_name[0] == '.') continue;
    char path[4096];
    const int base = std::snprintf(path, sizeof path, "%s/%s/", top.c_str(), device->d_name);
    for (const char* field : kFields) {
      std::strcpy(path + base, field);
      bytes += ReadValue(path);
    }
    std::strcpy(path + base, "macs");
    DIR* macs = ::opendir(path);
    if (macs == nullptr) continue;
    const int macs_base = base + 5;
    path[macs_base - 1] = '/';
    while (const dirent* mac = ::readdir(macs)) {
      if (mac->d_name[0] == '.') continue;
      std::strcpy(path + macs_base, mac->d_name);
      bytes += ReadValue(path);
    }
    ::closedir(macs);
  }
  ::closedir(devices);
  benchmark::DoNotOptimize(bytes);
}

// TimeBare returns the CPU nanoseconds of one ReadBare.
double TimeBare(const Store& store) {
  const std::int64_t start = CpuNs();
  ReadBare(store);
  return static_cast<double>(CpuNs() - start);
}

void HeapPerDevice(benchmark::State& state) {
  Store& store = Store::Large();
  store.Use();
  double heap = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    auto cache = std::make_unique<Devices>();
    cache->load();
    heap = static_cast<double>(HeapInUse() - before);
  }
  if (heap <= 0) {
    state.SkipWithError("mallinfo2 sees no heap (a sanitizer's allocator?)");
    return;
  }
  double texts = 0;
  for (const DeviceText& device : store.devices())
    texts += static_cast<double>(StringBytes(device));
  const double count = static_cast<double>(store.devices().size());
  state.counters["heap_bytes_per_device"] = heap / count;
  state.counters["string_bytes_per_device"] = texts / count;
}

// Load times one load into a fresh cache and one bare read per round; the
// cache's teardown is not load's work and is left out.
void Load(benchmark::State& state, Store& store) {
  store.Use();
  Pairs pairs;
  bool bare_first = false;
  for (auto _ : state) {
    auto cache = std::make_unique<Devices>();
    double bare_ns = bare_first ? TimeBare(store) : 0;
    const std::int64_t start = CpuNs();
    cache->load();
    const double load_ns = static_cast<double>(CpuNs() - start);
    if (!bare_first) bare_ns = TimeBare(store);
    bare_first = !bare_first;
    pairs.Add(load_ns, bare_ns);
    state.PauseTiming();
    cache.reset();
    state.ResumeTiming();
  }
  pairs.Report(state);
}

// SyncAfterInit times init() until wait_for_sync() returns on the large
// store (the caller's load, the sync thread's watches and its reload), in
// wall time, against two loads into a fresh cache, the two taking turns.
void SyncAfterInit(benchmark::State& state) {
  StopLibrary();  // the queries' library; the next figure that needs it restarts it
  Store& store = Store::Large();
  store.Use();
  Pairs pairs;
  bool loads_first = false;
  const auto two_loads = [] {
    const std::int64_t start = NowNs();
    auto cache = std::make_unique<Devices>();
    cache->load();
    cache->load();
    return static_cast<double>(NowNs() - start);
  };
  for (auto _ : state) {
    const double loads_ns = loads_first ? two_loads() : 0;
    const std::int64_t start = NowNs();
    if (orv::devMgmt::init() != 0 || orv::devMgmt::wait_for_sync(120000) != 0) {
      state.SkipWithError("init or wait_for_sync failed");
      return;
    }
    const double synced_ns = static_cast<double>(NowNs() - start);
    orv::devMgmt::uninit();
    pairs.Add(synced_ns, loads_first ? loads_ns : two_loads());
    loads_first = !loads_first;
  }
  pairs.Report(state);
}

void Load1k(benchmark::State& state) { Load(state, Store::Small()); }
void Load10k(benchmark::State& state) { Load(state, Store::Large()); }

BENCHMARK(Load1k)->Name("3a/load_1000")->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(Load10k)->Name("3b/load_10000")->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(SyncAfterInit)
    ->Name("3c/sync_after_init_10000")
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(HeapPerDevice)->Name("8/heap_per_device")->Iterations(1)->Unit(benchmark::kMillisecond);

const bool kRegistered =
    RegisterFigure({"3a Devices::load, 1,000 devices", "3a/load_1000", "measured", "baseline", "",
                    "ns", Goal::kAtMost, 1.25}) &&
    RegisterFigure({"3b Devices::load, 10,000 devices", "3b/load_10000", "measured", "baseline", "",
                    "ns", Goal::kAtMost, 1.25}) &&
    RegisterFigure({"3c init to wait_for_sync, 10,000", "3c/sync_after_init_10000", "measured",
                    "baseline", "", "ns", Goal::kAtMost, 1.5}) &&
    RegisterFigure({"8 heap bytes per device", "8/heap_per_device", "heap_bytes_per_device",
                    "string_bytes_per_device", "", "B", Goal::kReport, 0});

}  // namespace
}  // namespace orv_bench
