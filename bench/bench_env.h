// The benchmarks' shared set-up: settings stores full of realistic devices,
// the library running on one of them, and a probe that timestamps the
// device-info callbacks (and the bare inotify watcher that stands in for
// the library in the baselines).
//
// Everything costly is made once, on first use, and kept to the end of the
// process, so that the benchmarks may run in any order, interleaved.

#ifndef ORV_BENCH_BENCH_ENV_H_
#define ORV_BENCH_BENCH_ENV_H_

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orv_bench {

// NowNs is the steady clock in nanoseconds.
inline std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// CpuNs is this thread's CPU time in nanoseconds: what a single-threaded
// figure is timed with, so that being preempted on a shared machine doesn't
// count (a system call's time does).
inline std::int64_t CpuNs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// DeviceText is one device as written to a store: realistic lengths (UUID
// ids, "aa:bb:cc:dd:ee:ff" MACs, dotted IPs, vendor names).
struct DeviceText {
  std::string id;
  std::vector<std::string> macs;  // three
  std::vector<std::string> ips;   // one per MAC
  // Field name -> value, every field the loader reads.
  std::vector<std::pair<std::string, std::string>> fields;
};

// MakeDevice returns device number `index` (the same every run).
DeviceText MakeDevice(int index);

// StringBytes is the bytes of the device's texts: id, field values, MACs, IPs.
std::size_t StringBytes(const DeviceText& device);

// Store is a settings store in a fresh directory holding `count` devices;
// the directory is removed at exit. Stores live under $ORV_BENCH_DIR, else
// $TMPDIR, else /tmp.
class Store {
 public:
  static Store& Small();  // 1,000 devices
  static Store& Large();  // 10,000 devices
  // Make writes a store of its own with `count` devices.
  static std::unique_ptr<Store> Make(int count) { return std::unique_ptr<Store>(new Store(count)); }

  const std::string& root() const { return root_; }
  const std::vector<DeviceText>& devices() const { return devices_; }
  // Use makes this store the settings store's root.
  void Use() const;
  ~Store();

 private:
  explicit Store(int count);
  std::string root_;
  std::vector<DeviceText> devices_;
};

// ShuffledMacs and ShuffledIds are every MAC and every device id of the
// large store, in a fixed random order: the keys the queries look up.
const std::vector<std::string>& ShuffledMacs();
const std::vector<std::string>& ShuffledIds();

// Next steps through `keys` round and round.
inline const std::string& Next(const std::vector<std::string>& keys, std::size_t& at) {
  const std::string& key = keys[at];
  if (++at == keys.size()) at = 0;
  return key;
}

// Probe counts device-info updates (or bare inotify events) and timestamps
// the one a waiter is after. Hit runs on the notifying thread.
class Probe {
 public:
  static Probe& Instance();

  void Hit();
  std::uint64_t hits() const { return hits_.load(); }
  // Expect arms the probe for the hit that brings the count to `target`.
  void Expect(std::uint64_t target);
  // Wait waits up to `timeout_ms` for the armed hit; returns its time (ns)
  // or -1 on timeout.
  std::int64_t Wait(int timeout_ms);

 private:
  std::atomic<std::uint64_t> hits_{0};
  std::atomic<std::uint64_t> target_{0};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::int64_t hit_ns_ = -1;  // guarded by mutex_
};

// StartLibrary runs the library (orv::devMgmt::init) on the large store, once,
// with a display_name callback feeding the probe, and waits until the sync
// thread applies changes. StopLibrary (at exit) uninits it.
void StartLibrary();
void StopLibrary();

// DisplayNameKey is the key of device `index`'s display_name in `store`:
// under /devices, or under /bare_devices (which the library doesn't watch)
// for the baselines.
std::string DisplayNameKey(const Store& store, int index, bool bare);
// WriteDisplayName writes a fresh display name (same length every time) to
// device `index` with setKey; false when the store refuses.
bool WriteDisplayName(const Store& store, int index, std::uint64_t serial, bool bare);

// BareWatcher is the baseline's notification path: one inotify watch per
// device directory under /bare_devices (devices 0 .. device_count-1), a thread blocked in poll, a
// probe hit per value renamed or written into place.
class BareWatcher {
 public:
  BareWatcher(const Store& store, int device_count);
  BareWatcher(const BareWatcher&) = delete;
  BareWatcher& operator=(const BareWatcher&) = delete;
  ~BareWatcher();

 private:
  void Run();
  int inotify_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::thread thread_;
};

// WriteFile and MakeDir create a file with `text`, a directory if missing;
// they throw std::runtime_error when they can't.
void WriteFile(const std::string& path, const std::string& text);
void MakeDir(const std::string& path);

// HeapInUse is the heap the allocator has handed out (mallinfo2), in bytes;
// ResidentBytes the process's resident memory (/proc/self/statm).
std::size_t HeapInUse();
std::size_t ResidentBytes();

// QuietLogs sets the log level to 2 and drops the lines that level lets
// through, so that no benchmark measures a terminal.
void QuietLogs();

}  // namespace orv_bench

#endif  // ORV_BENCH_BENCH_ENV_H_
