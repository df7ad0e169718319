#include "sync_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "dispatcher.h"
#include "log_frame.h"
#include "memory_return.h"
#include "orv/devmgmt.h"
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
    orv::log::print_as_sync_thread(orv::log::kError, __LINE__,
                                   "BUG: reading notifications failed: %s", failure);
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
  if (!Contain([&handled, &key] { handled = handle_device_change(key, &g_sync_thread.reload); },
               failure)) {
    orv::log::print_as_sync_thread(orv::log::kError, __LINE__, "BUG: applying %s failed: %s", key,
                                   failure);
    return 0;
  }
  if (handled == 1) g_sync_thread.health.ChangeApplied();
  return handled;
}

// GetFd asks the handle for its descriptor. The thread's error record is
// cleared for the call, so that a reason found there afterwards is the
// store's own, and put back when a descriptor comes: no success clears it, and
// a callback on this thread still reads what the last failure left.
int GetFd(orv::setMgmt::MonitoredKey& monitor) {
  orv::_ORVErrorStorage before = std::move(orverrno);
  orverrno.set(0);
  const int fd = monitor.get_fd();
  if (fd >= 1) orverrno = std::move(before);
  return fd;
}

// AboveStdio moves `fd` to a number of 3 or more. A process whose standard
// descriptors are closed would otherwise get 0 to 2 for the pipe, and a
// descriptor the process later opens as stdin or stdout could be taken for
// it. Returns the descriptor to use, or -1 (fd closed) on failure.
int AboveStdio(int fd) {
  if (fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD, 3);
  close(fd);
  return moved;
}

// The health figures' lock is held across fork(), so that a child never
// inherits it taken by the parent's sync thread. The lock is taken in one
// handler and released in another, which the analysis can't follow.
__attribute__((no_thread_safety_analysis)) void LockHealthForFork() {
  g_sync_thread.health.LockForFork();
}
__attribute__((no_thread_safety_analysis)) void UnlockHealthAfterFork() {
  g_sync_thread.health.UnlockAfterFork();
}

}  // namespace

SyncThread::SyncThread() {
  pthread_atfork(LockHealthForFork, UnlockHealthAfterFork, UnlockHealthAfterFork);
}

SyncThread::~SyncThread() {
  if (OnThisThread()) {
    thread_.detach();  // exit() called from a callback: nothing to wait for
    return;
  }
  Stop();
}

bool SyncThread::Running() {
  ForgetInherited();
  return g_sync_pipe[1] != -1;
}

void SyncThread::ClosePipe() {
  for (int& fd : g_sync_pipe) {
    if (fd != -1) close(fd);
    fd = -1;
  }
}

void SyncThread::ForgetInherited() {
  const pid_t started_by = owner_.load();
  if (started_by == 0 || started_by == getpid()) return;
  ClosePipe();  // the child's copies: the parent's pipe stays open
  // The parent's thread object names no thread here: it can be neither
  // joined nor detached, nor destroyed while joinable. It is parked, never
  // to be destroyed.
  alignas(std::thread) static unsigned char parked[sizeof(std::thread)];
  new (parked) std::thread(std::move(thread_));
  id_.store(std::thread::id());
  owner_.store(0);
  health.Stopped();
}

int SyncThread::Start() {
  int made[2];
  if (pipe2(made, O_NONBLOCK) == 0) {
    g_sync_pipe[0] = AboveStdio(made[0]);
    g_sync_pipe[1] = AboveStdio(made[1]);
  }
  if (g_sync_pipe[0] == -1 || g_sync_pipe[1] == -1) {
    ClosePipe();
    orverrno.set(orv::devMgmt::kPipeFailed);
    return -1;
  }
  health.Started();
  owner_.store(getpid());
  try {
    thread_ = std::thread(sync_thread_function);
  } catch (...) {
    // No thread (no memory for its stack, no threads left): stopped again.
    owner_.store(0);
    ClosePipe();
    health.Stopped();
    throw;
  }
  return 0;
}

void SyncThread::Stop() {
  if (!Running()) return;
  pollfd writable = {g_sync_pipe[1], POLLOUT, 0};
  if (poll(&writable, 1, 0) > 0) {
    const ssize_t written = write(g_sync_pipe[1], "x", 1);
    static_cast<void>(written);  // a full pipe already holds a byte
  }
  thread_.join();
  id_.store(std::thread::id());
  owner_.store(0);
  health.Stopped();
  ClosePipe();
}

void sync_thread_function() {
  g_sync_thread.id_.store(std::this_thread::get_id());
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
    const int notify_fd = GetFd(monitor);
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
        cache_loaded = Contain([] { g_sync_thread.reload.Load(/*report=*/true); }, failure);
        if (cache_loaded) {
          return_freed_memory();  // the records the reload replaced
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
    // A change the cache can't take alone (a device deleted and written anew
    // before its deletion was handled): the whole cache is read again.
    if (g_sync_thread.reload.Requested()) cache_loaded = false;
  }

  ORV_LOG(orv::log::kNotice, "stopping sync_devices thread...");
  monitor.cancel();
}

}  // namespace devmgmt_internal
}  // namespace orv
