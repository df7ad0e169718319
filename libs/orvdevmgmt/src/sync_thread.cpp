#include "sync_thread.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <string>

#include "dispatcher.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "orv/settings.h"

namespace orv {
namespace devmgmt_internal {
namespace {

// WaitTimeoutMs is how long a pass waits for a change or the wake-up, which
// is also how often a missing /devices is asked for again: 5 s, unless the
// environment variable ORV_SYNC_RETRY_MS (read once, for tests that delete
// /devices many times) says another number of milliseconds.
int WaitTimeoutMs() {
  static const int timeout_ms = [] {
    const char* text = std::getenv("ORV_SYNC_RETRY_MS");
    const int ms = text != nullptr ? std::atoi(text) : 0;
    return ms > 0 ? ms : 5000;
  }();
  return timeout_ms;
}

constexpr int kFirstBackoffMs = 10;
constexpr int kLongestBackoffMs = 1000;
constexpr const char* kNoDescriptor = "the store gives no notification descriptor for /devices";

// ErrorText returns the system's text for `error`.
const char* ErrorText(int error, char* buffer, std::size_t size) {
  return strerror_r(error, buffer, size);  // the GNU variant may ignore buffer
}

// Backoff paces a wait that fails on every pass, so that the loop doesn't
// spin: it waits on the wake-up pipe alone for a delay that doubles up to a
// second. Wait returns true when the pipe turned readable meanwhile.
class Backoff {
 public:
  bool Wait(int wake_fd) {
    pollfd wake = {wake_fd, POLLIN, 0};
    const bool woken = poll(&wake, 1, delay_ms_) > 0;
    delay_ms_ = std::min(delay_ms_ * 2, kLongestBackoffMs);
    return woken;
  }
  void Reset() { delay_ms_ = kFirstBackoffMs; }

 private:
  int delay_ms_ = kFirstBackoffMs;
};

// Contain runs `work` and returns true; when it throws, false with the
// exception's text in `failure`. The sync thread lives on whatever a
// subscriber, the allocator or the store throws.
template <class Work>
bool Contain(Work&& work, std::string& failure) {
  try {
    work();
    return true;
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "an exception of unknown type";
  }
  return false;
}

// ReadNotifications applies the pending changes. Should the handle itself
// throw, the changes it had read are lost: the cache is reloaded on the next
// pass.
void ReadNotifications(orv::setMgmt::MonitoredKey& monitor, bool& cache_loaded) {
  std::string failure;
  if (!Contain([&monitor] { monitor.read_notifications(); }, failure)) {
    ORV_LOG(orv::log::kError, "BUG: reading notifications failed: %s", failure);
    cache_loaded = false;
  }
}

// ApplyChange is the notification handle's callback: handle_device_change,
// with whatever escapes it (a subscriber's exception, memory exhaustion)
// caught here, logged and dropped, so that no utility library has to: the
// next change is applied as usual.
int ApplyChange(const orv::path& key) {
  int handled = 0;
  std::string failure;
  if (!Contain([&handled, &key] { handled = handle_device_change(key); }, failure)) {
    ORV_LOG(orv::log::kError, "BUG: applying %s failed: %s", key, failure);
    return 0;
  }
  if (handled == 1) g_sync_thread.health.ChangeApplied();
  return handled;
}

}  // namespace

int g_sync_pipe[2] = {-1, -1};

SyncThread::~SyncThread() {
  if (on_this_thread()) {
    thread.detach();  // exit() called from a callback: nothing to wait for
    return;
  }
  stop_sync_thread(*this);
}

void stop_sync_thread(SyncThread& sync) {
  if (g_sync_pipe[1] == -1) return;
  pollfd writable = {g_sync_pipe[1], POLLOUT, 0};
  if (poll(&writable, 1, 0) > 0) {
    const ssize_t written = write(g_sync_pipe[1], "x", 1);
    static_cast<void>(written);  // a full pipe already holds a byte
  }
  if (sync.thread.joinable()) sync.thread.join();
  sync.id.store(std::thread::id());
  sync.health.Stopped();
  close(g_sync_pipe[0]);
  close(g_sync_pipe[1]);
  g_sync_pipe[0] = -1;
  g_sync_pipe[1] = -1;
}

void sync_thread_function() {
  g_sync_thread.id.store(std::this_thread::get_id());
  orv::setMgmt::MonitoredKey monitor;
  monitor.key.add_piece(true, "/devices");
  monitor.events = 0;
  monitor.callback = ApplyChange;
  monitor.recursive = true;
  const int wake_fd = g_sync_pipe[0];
  const int kWaitTimeoutMs = WaitTimeoutMs();
  bool cache_loaded = false;  // since the notification descriptor was obtained
  Backoff backoff;

  while (true) {
    // poll rather than select: descriptors of 1024 and above work too.
    pollfd fds[2] = {{wake_fd, POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 1;
    orverrno.set(0);  // so that the store's reason, if any, is its own
    const int notify_fd = monitor.get_fd();
    if (notify_fd < 1) {
      ORV_LOG(orv::log::kError, "Could not get notification fd for /devices");
      cache_loaded = false;
      g_sync_thread.health.Watching(false,
                                    orverrno.code() != 0 ? orverrno.message() : kNoDescriptor);
    } else {
      fds[1].fd = notify_fd;
      count = 2;
      g_sync_thread.health.Watching(true, std::string());
      // Changes made while no descriptor was held reach the cache this way.
      if (!cache_loaded) {
        std::string failure;
        cache_loaded = Contain([] { g_sync_thread.health.Load(/*report=*/true); }, failure);
        if (cache_loaded) {
          g_sync_thread.health.Synced();
        } else {
          ORV_LOG(orv::log::kError, "BUG: loading devices failed: %s", failure);
        }
      }
    }

    int ready = poll(fds, count, kWaitTimeoutMs);
    int error = errno;
    if (ready > 0 && count == 2 && (fds[1].revents & POLLNVAL) != 0) {
      ready = -1;  // as select would fail on a closed descriptor
      error = EBADF;
    }
    if (ready < 0) {
      if (error == EINTR) {
        ORV_LOG(orv::log::kInfo, "system() was interrupted. Continuing...");
        continue;
      }
      char text[128];
      ORV_LOG(orv::log::kError, "Error at select: errno=%d (%s)", error,
              ErrorText(error, text, sizeof text));
      if (backoff.Wait(wake_fd)) break;
      continue;
    }
    backoff.Reset();
    if (ready == 0) continue;
    // The pipe comes first: pending notifications are left unread at stop.
    if (fds[0].revents != 0) break;
    if (count == 2 && fds[1].revents != 0) ReadNotifications(monitor, cache_loaded);
  }

  ORV_LOG(orv::log::kNotice, "stopping sync_devices thread...");
  monitor.cancel();
}

}  // namespace devmgmt_internal
}  // namespace orv
