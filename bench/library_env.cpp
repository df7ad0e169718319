// The library running on the large store, the probe its display_name
// callback feeds, and the bare inotify watcher of the baselines.

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "bench_env.h"
#include "orv/devmgmt.h"
#include "orv/settings.h"

namespace orv_bench {
namespace {

// The library's display_name callback: updates feed the probe; NEW_DEV
// events are counted to tell when the sync thread has loaded the cache.
std::atomic<std::uint64_t> g_new_devs{0};

void OnDisplayName(orv::DevInfoChangeType type, const std::string&, const std::string&) {
  if (type == orv::DEV_INFO_UPDATED) {
    Probe::Instance().Hit();
  } else if (type == orv::NEW_DEV) {
    g_new_devs.fetch_add(1);
  }
}

bool g_library_started = false;

}  // namespace

Probe& Probe::Instance() {
  static Probe probe;
  return probe;
}

void Probe::Hit() {
  const std::int64_t now = NowNs();
  if (hits_.fetch_add(1) + 1 != target_.load()) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    hit_ns_ = now;
  }
  arrived_.notify_one();
}

void Probe::Expect(std::uint64_t target) {
  std::lock_guard<std::mutex> hold(mutex_);
  hit_ns_ = -1;
  target_.store(target);
  // Reached already: the hit that did it saw the old target.
  if (hits_.load() >= target) hit_ns_ = NowNs();
}

std::int64_t Probe::Wait(int timeout_ms) {
  std::unique_lock<std::mutex> hold(mutex_);
  arrived_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [this] { return hit_ns_ >= 0; });
  return hit_ns_;
}

std::string DisplayNameKey(const Store& store, int index, bool bare) {
  return (bare ? "/bare_devices/" : "/devices/") +
         store.devices()[static_cast<std::size_t>(index)].id + "/display_name";
}

bool WriteDisplayName(const Store& store, int index, std::uint64_t serial, bool bare) {
  char value[40];
  std::snprintf(value, sizeof value, "Living room TV %06u",
                static_cast<unsigned>(serial % 1000000));
  return orv::setMgmt::setKey(DisplayNameKey(store, index, bare), value) == 0;
}

void StartLibrary() {
  if (g_library_started) return;
  Store& store = Store::Large();
  store.Use();
  orv::devMgmt::set_on_dev_info_change({"display_name"}, OnDisplayName);
  const std::uint64_t loaded = g_new_devs.load() + 2 * store.devices().size();
  const std::int64_t began = NowNs();
  if (orv::devMgmt::init() != 0) throw std::runtime_error("orv::devMgmt::init failed");
  g_library_started = true;
  std::fprintf(stderr, "orv_bench: init took %.1f s\n", static_cast<double>(NowNs() - began) / 1e9);
  // init loads the cache, then the sync thread loads it again once its watch
  // holds: from then on every write is seen.
  const std::int64_t deadline = NowNs() + 120'000'000'000;
  while (g_new_devs.load() < loaded && NowNs() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Probe& probe = Probe::Instance();
  probe.Expect(probe.hits() + 1);
  if (!WriteDisplayName(store, 0, 0, false) || probe.Wait(30'000) < 0) {
    throw std::runtime_error("the sync thread does not apply changes");
  }
  std::fprintf(stderr, "orv_bench: the library runs after %.1f s\n",
               static_cast<double>(NowNs() - began) / 1e9);
}

void StopLibrary() {
  if (!g_library_started) return;
  orv::devMgmt::uninit();
  orv::devMgmt::unset_on_dev_info_change({"display_name"}, OnDisplayName);
  g_library_started = false;
}

BareWatcher::BareWatcher(const Store& store, int device_count) {
  inotify_fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify_fd_ < 0 || ::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("inotify/pipe");
  }
  for (int i = 0; i < device_count; ++i) {
    const std::string dir = store.root() + "/bare_devices/" + store.devices()[i].id;
    MakeDir(dir);
    // Rewritten, as under /devices: a rename over a value with contents.
    WriteFile(dir + "/display_name", store.devices()[i].fields[1].second);
    if (::inotify_add_watch(inotify_fd_, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
      throw std::runtime_error("inotify_add_watch " + dir);
    }
  }
  thread_ = std::thread(&BareWatcher::Run, this);
}

BareWatcher::~BareWatcher() {
  const ssize_t written = ::write(stop_pipe_[1], "x", 1);
  static_cast<void>(written);
  thread_.join();
  ::close(stop_pipe_[0]);
  ::close(stop_pipe_[1]);
  ::close(inotify_fd_);
}

void BareWatcher::Run() {
  alignas(inotify_event) char buffer[64 * 1024];
  Probe& probe = Probe::Instance();
  while (true) {
    pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {inotify_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents != 0) return;
    // One read per wake-up takes every pending event.
    const ssize_t got = ::read(inotify_fd_, buffer, sizeof buffer);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && event->name[0] != '.') probe.Hit();
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace orv_bench
