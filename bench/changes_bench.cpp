// Figures 4, 5 and 7: the running library (its sync thread applying what the
// store reports), against a bare inotify watch seeing the same writes. Writes
// go through setKey in both, to display_name values of the first devices:
// under /devices for the library, under /bare_devices (which the library
// doesn't watch) for the bare watcher. Library and baseline alternate.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_env.h"
#include "orv/devmgmt.h"
#include "paired.h"
#include "table.h"

namespace orv_bench {
namespace {

constexpr int kWrittenDevices = 100;
constexpr int kBurst = 1000;
constexpr int kQueriesPerSample = 8;
constexpr int kSamplesPerChunk = 20000;
constexpr int kTimeoutMs = 30000;
// Writes not yet applied, at most: an overflowing event queue would make the
// library reload the cache instead of applying the changes.
constexpr std::uint64_t kMaxBacklog = 256;

// Serial numbers make every written value new.
std::uint64_t g_serial = 0;

// Write writes one display name and returns when the probe has seen it: the
// nanoseconds from before the write to the probe's hit, or -1.
double Write(int index, bool bare) {
  Probe& probe = Probe::Instance();
  probe.Expect(probe.hits() + 1);
  const std::int64_t start = NowNs();
  if (!WriteDisplayName(Store::Large(), index, ++g_serial, bare)) return -1;
  const std::int64_t seen = probe.Wait(kTimeoutMs);
  return seen < 0 ? -1 : static_cast<double>(seen - start);
}

// Burst writes kBurst display names and returns the rate at which the probe
// saw them (per second), or -1.
double Burst(bool bare) {
  Probe& probe = Probe::Instance();
  probe.Expect(probe.hits() + kBurst);
  const std::int64_t start = NowNs();
  for (int i = 0; i < kBurst; ++i) {
    if (!WriteDisplayName(Store::Large(), i % kWrittenDevices, ++g_serial, bare)) return -1;
  }
  const std::int64_t seen = probe.Wait(kTimeoutMs);
  return seen < 0 ? -1 : kBurst * 1e9 / static_cast<double>(seen - start);
}

void ChangeLatency(benchmark::State& state) {
  StartLibrary();
  Store::Large().Use();
  const BareWatcher watcher(Store::Large(), kWrittenDevices);
  std::vector<double> library, bare;
  int round = 0;
  for (auto _ : state) {
    const int index = round % kWrittenDevices;
    const bool bare_first = round++ % 2 == 1;
    const double first = Write(index, bare_first);
    const double second = Write(index, !bare_first);
    if (first < 0 || second < 0) {
      state.SkipWithError("a change was not seen");
      return;
    }
    library.push_back(bare_first ? second : first);
    bare.push_back(bare_first ? first : second);
  }
  state.counters["measured"] = Percentile(library, 0.5);
  state.counters["baseline"] = Percentile(bare, 0.5);
  state.counters["measured_p99"] = Percentile(library, 0.99);
  state.counters["baseline_p99"] = Percentile(bare, 0.99);
}

void ChangeRate(benchmark::State& state) {
  StartLibrary();
  Store::Large().Use();
  const BareWatcher watcher(Store::Large(), kWrittenDevices);
  Pairs pairs;
  bool bare_first = false;
  for (auto _ : state) {
    const double first = Burst(bare_first);
    const double second = Burst(!bare_first);
    if (first < 0 || second < 0) {
      state.SkipWithError("changes were not seen");
      return;
    }
    pairs.Add(bare_first ? second : first, bare_first ? first : second);
    bare_first = !bare_first;
  }
  pairs.Report(state);
}

// Writer streams display names from a thread of its own while started; it
// keeps within kMaxBacklog of what the library has applied.
class Writer {
 public:
  Writer() : base_(Probe::Instance().hits()), thread_([this] { Run(); }) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  void Start() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      active_ = true;
    }
    changed_.notify_all();
  }
  // Stop parks the thread after its current write and returns false when a
  // write failed or the library did not apply every write in time.
  bool Stop() {
    std::unique_lock<std::mutex> hold(mutex_);
    active_ = false;
    changed_.wait(hold, [this] { return parked_; });
    Probe& probe = Probe::Instance();
    probe.Expect(base_ + writes_);
    return !failed_ && probe.Wait(kTimeoutMs) >= 0;
  }

 private:
  void Run() {
    Probe& probe = Probe::Instance();
    std::unique_lock<std::mutex> hold(mutex_);
    for (int i = 0;; ++i) {
      parked_ = true;
      changed_.notify_all();
      changed_.wait(hold, [this] { return active_ || quit_; });
      if (quit_) return;
      parked_ = false;
      const std::uint64_t written = writes_;
      hold.unlock();
      while (written - (probe.hits() - base_) > kMaxBacklog) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      const bool ok = WriteDisplayName(Store::Large(), i % kWrittenDevices, ++g_serial, false);
      hold.lock();
      if (ok) {
        ++writes_;
      } else {
        failed_ = true;
        active_ = false;
      }
    }
  }

  const std::uint64_t base_;  // probe hits before the first write
  std::mutex mutex_;
  std::condition_variable changed_;
  bool active_ = false;  // guarded by mutex_, as the rest
  bool quit_ = false;
  bool parked_ = false;
  bool failed_ = false;
  std::uint64_t writes_ = 0;
  std::thread thread_;
};

// QueryChunk times get_device_id_by_mac in groups of kQueriesPerSample (a
// clock read costs about as much as a query), appending ns per query.
void QueryChunk(std::size_t& at, std::vector<double>& samples) {
  const std::vector<std::string>& macs = ShuffledMacs();
  std::string device_id;
  for (int s = 0; s < kSamplesPerChunk; ++s) {
    const std::int64_t start = NowNs();
    for (int q = 0; q < kQueriesPerSample; ++q) {
      benchmark::DoNotOptimize(orv::devMgmt::get_device_id_by_mac(Next(macs, at), device_id));
    }
    samples.push_back(static_cast<double>(NowNs() - start) / kQueriesPerSample);
  }
}

// QueryLatency alternates a chunk of queries while the sync thread applies a
// stream of changes with a chunk while it is idle.
void QueryLatency(benchmark::State& state) {
  StartLibrary();
  Store::Large().Use();
  Probe& probe = Probe::Instance();
  Writer writer;
  std::vector<double> contended, idle;
  std::size_t at = 0;
  std::uint64_t applied = 0;
  double seconds = 0;
  for (auto _ : state) {
    // The stream is flowing once the sync thread has applied a change.
    const std::uint64_t before = probe.hits();
    writer.Start();
    const std::int64_t deadline = NowNs() + 1'000'000LL * kTimeoutMs;
    while (probe.hits() == before && NowNs() < deadline) std::this_thread::yield();
    const std::uint64_t applied_before = probe.hits();
    const std::int64_t start = NowNs();
    QueryChunk(at, contended);
    seconds += static_cast<double>(NowNs() - start) / 1e9;
    applied += probe.hits() - applied_before;
    if (!writer.Stop()) {
      state.SkipWithError("the writes were not all applied");
      return;
    }
    QueryChunk(at, idle);
  }
  state.counters["measured"] = Percentile(contended, 0.5);
  state.counters["baseline"] = Percentile(idle, 0.5);
  state.counters["measured_p99"] = Percentile(contended, 0.99);
  state.counters["baseline_p99"] = Percentile(idle, 0.99);
  state.counters["changes_per_s"] = static_cast<double>(applied) / seconds;
}

BENCHMARK(ChangeLatency)->Name("4/change_latency")->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(ChangeRate)->Name("5/change_rate")->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(QueryLatency)
    ->Name("7/query_during_changes")
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

const bool kRegistered =
    RegisterFigure({"4 change latency, median", "4/change_latency", "measured", "baseline", "",
                    "ns", Goal::kAtMost, 1.3}) &&
    RegisterFigure({"4 change latency, p99", "4/change_latency", "measured_p99", "baseline_p99", "",
                    "ns", Goal::kReport, 0}) &&
    RegisterFigure({"5 changes per second", "5/change_rate", "measured", "baseline", "", "/s",
                    Goal::kAtLeast, 0.5}) &&
    RegisterFigure({"7 query during changes, median", "7/query_during_changes", "measured",
                    "baseline", "", "ns", Goal::kAtMost, 3.0}) &&
    RegisterFigure({"7 query during changes, p99", "7/query_during_changes", "measured_p99",
                    "baseline_p99", "", "ns", Goal::kReport, 0});

}  // namespace
}  // namespace orv_bench
