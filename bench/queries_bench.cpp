// Figures 1 and 2: queries on the running library's cache of 10,000 devices
// (three bindings each; each benchmark starts the library if another stopped
// it, and fails when the cache is empty), against the same work done bare: an
// std::unordered_map lookup under an uncontended std::recursive_mutex, and
// the same copy out. The log level is 2, so the queries' lines are
// suppressed. Each key is a different device's, in a fixed random order.

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_env.h"
#include "orv/devmgmt.h"
#include "paired.h"
#include "table.h"

namespace orv_bench {
namespace {

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;

// BareCache holds a copy of the library's cache in plain maps.
struct BareCache {
  std::unordered_map<std::string, std::string> mac_to_device_id;
  std::unordered_map<std::string, Device> devices;
  std::recursive_mutex mutex;
  const std::vector<std::string>& macs = ShuffledMacs();
  const std::vector<std::string>& ids = ShuffledIds();
};

// Running starts the library when it is not running (another figure may
// have stopped it: 3c does) and is false, with the benchmark failed, when its
// cache is empty: a ratio over an empty cache would say nothing.
bool Running(benchmark::State& state) {
  StartLibrary();
  if (orv::devMgmt::device_exists(ShuffledIds().front())) return true;
  state.SkipWithError("the library's cache is empty");
  return false;
}

// Bare copies the library's records into a BareCache in the order the
// loader inserts them (ids sorted bytewise, as the store lists them), so
// that both maps are built alike: a map walks its nodes in an order that
// depends on the insertion order, and the walk is as fast as its memory
// order lets the prefetcher be.
BareCache& Bare() {
  static BareCache* const bare = [] {
    StartLibrary();
    auto* cache = new BareCache;
    std::vector<std::string> ids = ShuffledIds();
    std::sort(ids.begin(), ids.end());
    for (const std::string& id : ids) {
      Device device;
      if (!orv::devMgmt::get_device(id, device)) continue;
      Device& record = cache->devices.emplace(id, std::move(device)).first->second;
      for (const MacIp& binding : record.macs) cache->mac_to_device_id[binding.mac] = id;
    }
    return cache;
  }();
  return *bare;
}

// Calls per side and round: a few milliseconds each.
constexpr int kLookups = 40000;
constexpr int kWalks = 5;

void ByMac(benchmark::State& state) {
  BareCache& bare = Bare();
  if (!Running(state)) return;
  std::string device_id;
  std::size_t at = 0, bare_at = 0;
  RunPaired(
      state, kLookups,
      [&] {
        benchmark::DoNotOptimize(
            orv::devMgmt::get_device_id_by_mac(Next(bare.macs, at), device_id));
      },
      [&] {
        const std::string& mac = Next(bare.macs, bare_at);
        std::lock_guard<std::recursive_mutex> hold(bare.mutex);
        auto found = bare.mac_to_device_id.find(mac);
        if (found != bare.mac_to_device_id.end()) device_id = found->second;
        benchmark::DoNotOptimize(device_id);
      });
}

void Exists(benchmark::State& state) {
  BareCache& bare = Bare();
  if (!Running(state)) return;
  std::size_t at = 0, bare_at = 0;
  RunPaired(
      state, kLookups,
      [&] { benchmark::DoNotOptimize(orv::devMgmt::device_exists(Next(bare.ids, at))); },
      [&] {
        const std::string& id = Next(bare.ids, bare_at);
        std::lock_guard<std::recursive_mutex> hold(bare.mutex);
        benchmark::DoNotOptimize(bare.devices.find(id) != bare.devices.end());
      });
}

void GetDevice(benchmark::State& state) {
  BareCache& bare = Bare();
  if (!Running(state)) return;
  Device device, bare_device;
  std::size_t at = 0, bare_at = 0;
  RunPaired(
      state, kLookups,
      [&] { benchmark::DoNotOptimize(orv::devMgmt::get_device(Next(bare.ids, at), device)); },
      [&] {
        const std::string& id = Next(bare.ids, bare_at);
        std::lock_guard<std::recursive_mutex> hold(bare.mutex);
        auto found = bare.devices.find(id);
        if (found != bare.devices.end()) bare_device = found->second;
        benchmark::DoNotOptimize(bare_device);
      });
}

void ByUnknownIp(benchmark::State& state) {
  BareCache& bare = Bare();
  if (!Running(state)) return;
  // An address no device holds: every binding is looked at.
  const std::string ip = "10.0.255.254";
  std::string device_id;
  RunPaired(
      state, kWalks,
      [&] { benchmark::DoNotOptimize(orv::devMgmt::get_device_id_by_ip(ip, device_id)); },
      [&] {
        std::lock_guard<std::recursive_mutex> hold(bare.mutex);
        bool found = false;
        for (const auto& entry : bare.devices) {
          for (const MacIp& binding : entry.second.macs) {
            if (binding.ip == ip) {
              device_id = entry.first;
              found = true;
              break;
            }
          }
          if (found) break;
        }
        benchmark::DoNotOptimize(found);
      });
}

// Fixed round counts: with repetitions interleaved at random, Google
// Benchmark estimates the iterations of each repetition anew, and on a
// loaded machine two estimates may differ, which its statistics refuse.
BENCHMARK(ByMac)->Name("1a/get_device_id_by_mac")->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(Exists)->Name("1b/device_exists")->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(GetDevice)->Name("1c/get_device")->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(ByUnknownIp)
    ->Name("2/get_device_id_by_ip_unknown")
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond);

const bool kRegistered =
    RegisterFigure({"1a get_device_id_by_mac", "1a/get_device_id_by_mac", "measured", "baseline",
                    "ratio", "ns", Goal::kAtMost, 1.3}) &&
    RegisterFigure({"1b device_exists", "1b/device_exists", "measured", "baseline", "ratio", "ns",
                    Goal::kAtMost, 1.3}) &&
    RegisterFigure({"1c get_device", "1c/get_device", "measured", "baseline", "ratio", "ns",
                    Goal::kAtMost, 1.3}) &&
    RegisterFigure({"2 get_device_id_by_ip, unknown IP", "2/get_device_id_by_ip_unknown",
                    "measured", "baseline", "ratio", "ns", Goal::kAtMost, 1.3});

}  // namespace
}  // namespace orv_bench
