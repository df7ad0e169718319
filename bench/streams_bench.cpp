// Figures 9 to 12: event streams beside the callbacks of figures 4 and 5.
// Every write reaches both the display_name callback of the running library
// (the probe of figure 4, on the sync thread) and a stream read by a thread
// polling its descriptor, so each write times both paths at once.

#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench_env.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/devmgmt_stream.h"
#include "paired.h"
#include "table.h"

namespace orv_bench {
namespace {

namespace dm = orv::devMgmt;

constexpr int kWrittenDevices = 100;
constexpr int kBurst = 1000;
constexpr int kTimeoutMs = 30000;
constexpr int kManyStreams = 32;
constexpr int kQueued = 10000;

std::uint64_t g_serial = 500000;  // apart from the values changes_bench writes

// The sync thread's CPU time at its last display_name callback.
std::atomic<std::int64_t> g_sync_cpu_ns{0};
void OnSyncCpu(orv::DevInfoChangeType type, const std::string&, const std::string&) {
  if (type == orv::DEV_INFO_UPDATED) g_sync_cpu_ns.store(CpuNs());
}

// StreamReader reads `count` streams (display_name updates, no snapshot) on
// a thread of its own that polls their descriptors; each update read from
// the first is a hit of `probe`.
class StreamReader {
 public:
  StreamReader(int count, Probe& probe) : streams_(static_cast<std::size_t>(count)), probe_(probe) {
    dm::StreamOptions options;
    options.fields = {"display_name"};
    options.snapshot = false;
    for (dm::EventStream& stream : streams_) {
      if (stream.open(options) != 0) throw std::runtime_error("a stream did not open");
    }
    if (pipe(wake_) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { Run(); });
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;
  ~StreamReader() {
    const ssize_t written = write(wake_[1], "x", 1);
    static_cast<void>(written);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
  }

 private:
  void Run() {
    std::vector<pollfd> fds;
    for (const dm::EventStream& stream : streams_) fds.push_back({stream.fd(), POLLIN, 0});
    fds.push_back({wake_[0], POLLIN, 0});
    std::vector<dm::StreamEvent> events;
    while (poll(fds.data(), fds.size(), -1) >= 0 && fds.back().revents == 0) {
      for (std::size_t i = 0; i < streams_.size(); ++i) {
        if (fds[i].revents == 0) continue;
        if (streams_[i].read(events, 256) < 0) return;
        if (i == 0) {
          for (const dm::StreamEvent& event : events) {
            if (event.kind == dm::EventKind::kUpdated) probe_.Hit();
          }
        }
        events.clear();
      }
    }
  }

  std::vector<dm::EventStream> streams_;
  Probe& probe_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

Probe& StreamProbe() {
  static Probe probe;
  return probe;
}

// Writes writes `count` display names and waits until both the callback's
// probe and the stream's have seen the last: the nanoseconds from before the
// first write to each (callback, stream), or -1s.
std::pair<double, double> Writes(int count) {
  Probe& callback = Probe::Instance();
  Probe& stream = StreamProbe();
  callback.Expect(callback.hits() + count);
  stream.Expect(stream.hits() + count);
  const std::int64_t start = NowNs();
  for (int i = 0; i < count; ++i) {
    if (!WriteDisplayName(Store::Large(), i % kWrittenDevices, ++g_serial, false)) return {-1, -1};
  }
  const std::int64_t by_callback = callback.Wait(kTimeoutMs);
  const std::int64_t by_stream = stream.Wait(kTimeoutMs);
  if (by_callback < 0 || by_stream < 0) return {-1, -1};
  return {static_cast<double>(by_callback - start), static_cast<double>(by_stream - start)};
}

void StreamLatency(benchmark::State& state) {
  StartLibrary();
  Store::Large().Use();
  const StreamReader reader(1, StreamProbe());
  std::vector<double> by_stream, by_callback;
  for (auto _ : state) {
    const auto seen = Writes(1);
    if (seen.first < 0) return state.SkipWithError("a change was not seen");
    by_callback.push_back(seen.first);
    by_stream.push_back(seen.second);
  }
  state.counters["measured"] = Percentile(by_stream, 0.5);
  state.counters["baseline"] = Percentile(by_callback, 0.5);
  state.counters["measured_p99"] = Percentile(by_stream, 0.99);
  state.counters["baseline_p99"] = Percentile(by_callback, 0.99);
}

// SyncCpuPerChange runs a burst and returns the sync thread's CPU time per
// change, with the burst's rates as the callback and the stream saw them.
double SyncCpuPerChange(double& callback_rate, double& stream_rate) {
  const std::int64_t before = g_sync_cpu_ns.load();
  const auto seen = Writes(kBurst);
  if (seen.first < 0) return -1;
  callback_rate = kBurst * 1e9 / seen.first;
  stream_rate = kBurst * 1e9 / seen.second;
  return static_cast<double>(g_sync_cpu_ns.load() - before) / kBurst;
}

void ManyStreams(benchmark::State& state) {
  StartLibrary();
  Store::Large().Use();
  static const bool kSubscribed = (dm::set_on_dev_info_change({"display_name"}, OnSyncCpu), true);
  static_cast<void>(kSubscribed);
  Pairs cpu;
  std::vector<double> stream_rates, callback_rates;
  for (auto _ : state) {
    double callback_rate = 0, stream_rate = 0, unused = 0;
    double one = 0, many = 0;
    {
      const StreamReader reader(1, StreamProbe());
      Writes(1);  // the CPU clock's reading starts from a change
      one = SyncCpuPerChange(callback_rate, stream_rate);
    }
    {
      const StreamReader reader(kManyStreams, StreamProbe());
      Writes(1);
      many = SyncCpuPerChange(unused, unused);
    }
    if (one < 0 || many < 0) return state.SkipWithError("changes were not seen");
    cpu.Add(many, one);
    stream_rates.push_back(stream_rate);
    callback_rates.push_back(callback_rate);
  }
  cpu.Report(state);
  state.counters["stream_rate"] = Percentile(stream_rates, 0.5);
  state.counters["callback_rate"] = Percentile(callback_rates, 0.5);
}

std::size_t HeapInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

// HeapPerEvent queues kQueued updates in a stream nobody reads, against as
// many copies of a record: the heap each costs.
void HeapPerEvent(benchmark::State& state) {
  Store& store = Store::Small();
  store.Use();
  double per_event = 0, per_record = 0;
  for (auto _ : state) {
    dm::EventStream stream;
    dm::StreamOptions options;
    options.fields = {"display_name"};
    options.snapshot = false;
    options.max_queued = 2 * kQueued;
    Devices& cache = g_devices;  // the stream feeds on g_devices
    const std::string id = store.devices()[0].id;
    cache.update_display_name(id, "a name of a usual length");
    std::size_t before = HeapInUse();
    if (stream.open(options) != 0) return state.SkipWithError("no stream");
    for (int i = 0; i < kQueued; ++i) cache.update_display_name(id, "a name of a usual length");
    per_event = static_cast<double>(HeapInUse() - before) / kQueued;
    dm::Device record;
    cache.get_device(id, record);
    std::vector<std::shared_ptr<const dm::Device>> copies;
    before = HeapInUse();
    for (int i = 0; i < kQueued; ++i) copies.push_back(std::make_shared<const dm::Device>(record));
    per_record = static_cast<double>(HeapInUse() - before) / kQueued;
    cache.remove_device_id(id);
  }
  if (per_event <= 0) return state.SkipWithError("mallinfo2 sees no heap");
  state.counters["heap_bytes_per_event"] = per_event;
  state.counters["heap_bytes_per_record"] = per_record;
}

BENCHMARK(StreamLatency)->Name("9/stream_latency")->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(ManyStreams)->Name("10/many_streams")->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(HeapPerEvent)->Name("12/heap_per_event")->Iterations(1)->Unit(benchmark::kMillisecond);

const bool kRegistered =
    RegisterFigure({"9 stream latency, median", "9/stream_latency", "measured", "baseline", "",
                    "ns", Goal::kAtMost, 1.3}) &&
    RegisterFigure({"9 stream latency, p99", "9/stream_latency", "measured_p99", "baseline_p99", "",
                    "ns", Goal::kReport, 0}) &&
    RegisterFigure({"10 sync CPU per change, 32 streams", "10/many_streams", "measured", "baseline",
                    "ratio", "ns", Goal::kAtMost, 2.0}) &&
    RegisterFigure({"11 changes per second, stream reader", "10/many_streams", "stream_rate",
                    "callback_rate", "", "/s", Goal::kAtLeast, 0.9}) &&
    RegisterFigure({"12 heap bytes per queued event", "12/heap_per_event", "heap_bytes_per_event",
                    "heap_bytes_per_record", "", "B", Goal::kReport, 0});

}  // namespace
}  // namespace orv_bench
