// sync_thread.h: the background thread that keeps g_devices in step with
// the settings tree /devices.
//
// init() creates the wake-up pipe g_sync_pipe and starts sync_thread_function
// in g_sync_thread; uninit() writes one byte into the pipe and joins it.

#ifndef ORVDEVMGMT_SRC_SYNC_THREAD_H_
#define ORVDEVMGMT_SRC_SYNC_THREAD_H_

#include <atomic>
#include <thread>

#include "sync_health.h"

namespace orv {
namespace devmgmt_internal {

// The wake-up pipe: [0] the read end, [1] the write end; -1 when the library
// is stopped. Written by init() before the thread starts and by uninit()
// after it has been joined; the thread reads [0] once, at its start.
extern int g_sync_pipe[2];

// SyncThread holds the running sync thread, if any. Its destructor stops and
// joins a thread still running when the library is unloaded or the process
// exits, so the thread never outlives g_devices, which is destroyed after it;
// what else the thread reads is never destroyed (constants built once and
// kept) or outlives it. A process that exits from one of the thread's own
// callbacks leaves it be: it is the thread running the exit.
class SyncThread {
 public:
  SyncThread() = default;
  SyncThread(const SyncThread&) = delete;
  SyncThread& operator=(const SyncThread&) = delete;
  ~SyncThread();

  // Only init() and uninit() touch it, from one thread at a time.
  std::thread thread;
  // The running thread's id, written by the thread itself as it starts (so
  // that it is known before any callback runs) and cleared once it is joined.
  std::atomic<std::thread::id> id{std::thread::id()};

  // What the thread reports of itself.
  SyncHealth health;

  // on_this_thread is true when called on the running sync thread: from one
  // of its callbacks.
  bool on_this_thread() const { return id.load() == std::this_thread::get_id(); }
};

// The library's sync thread object (defined with the other process-wide
// objects, after g_devices).
extern SyncThread g_sync_thread;

// stop_sync_thread wakes the thread through the pipe, joins it, closes the
// pipe and marks the library stopped. Does nothing when it is stopped.
void stop_sync_thread(SyncThread& sync);

// sync_thread_function is the thread's body: it watches /devices, reloads
// the cache whenever it (re)gains the store's notification descriptor,
// applies each change through handle_device_change, and returns when the
// wake-up pipe turns readable.
void sync_thread_function();

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_SYNC_THREAD_H_
