// sync_thread.h: the background thread that keeps g_devices in step with
// the settings tree /devices.
//
// init() creates the wake-up pipe g_sync_pipe and starts sync_thread_function
// in g_sync_thread; uninit() writes one byte into the pipe and joins it.

#ifndef ORVDEVMGMT_SRC_SYNC_THREAD_H_
#define ORVDEVMGMT_SRC_SYNC_THREAD_H_

#include <sys/types.h>

#include <atomic>
#include <thread>

#include "orv/devmgmt_types.h"
#include "subscribers.h"
#include "sync_health.h"

namespace orv {
namespace devmgmt_internal {

// The wake-up pipe: [0] the read end, [1] the write end; -1 when the library
// is stopped. Written by init() before the thread starts and by uninit()
// after it has been joined; the thread reads [0] once, at its start.
extern int g_sync_pipe[2];

// SyncThread holds the running sync thread, if any, and is the one place that
// starts and stops it. Its destructor stops and joins a thread still running
// when the library is unloaded or the process exits, so the thread never
// outlives g_devices, which is destroyed after it; what else the thread reads
// is never destroyed (constants built once and kept) or outlives it. A
// process that exits from one of the thread's own callbacks leaves it be: it
// is the thread running the exit.
//
// A child of fork() inherits copies of the pipe and of `thread`, but no
// thread: in the child the library acts as if it had never been started (it
// neither wakes nor joins the parent's thread) until it is started there.
class SyncThread {
 public:
  SyncThread();
  SyncThread(const SyncThread&) = delete;
  SyncThread& operator=(const SyncThread&) = delete;
  ~SyncThread();

  // Only init() and uninit() touch it, from one thread at a time.
  std::thread thread;
  // The running thread's id, written by the thread itself as it starts (so
  // that it is known before any callback runs) and cleared once it is joined.
  std::atomic<std::thread::id> id{std::thread::id()};
  // The process that started the thread; 0 while stopped. Written by init()
  // and uninit() only.
  std::atomic<pid_t> owner{0};
  // The thread running init()'s load, while it runs: a NEW_DEV callback of
  // that load must not start the library from inside it.
  std::atomic<std::thread::id> loading{std::thread::id()};

  // What the thread reports of itself.
  SyncHealth health;
  // The function set with set_on_cache_reloaded, which the thread's reloads
  // report to.
  CallbackSlot<CacheReloadedCallback> cache_reloaded;

  // on_this_thread is true when called on the running sync thread: from one
  // of its callbacks.
  bool on_this_thread() const { return id.load() == std::this_thread::get_id(); }

  // forget_inherited drops, in a child of fork(), what the parent's running
  // library left in this process (the pipe's copies, the thread object), so
  // that the child is stopped. Does nothing in the process that started the
  // thread, or when nothing runs. Takes no lock of the cache.
  void forget_inherited();
};

// The library's sync thread object (defined with the other process-wide
// objects, after g_devices).
extern SyncThread g_sync_thread;

// start_sync_thread creates the wake-up pipe and starts the thread. Returns
// 0; -1 with code 1 (no text) when the pipe can't be created, starting
// nothing. When the thread can't be started, the exception passes on and the
// library is left stopped (the pipe closed), so that init() may be tried
// again. REQUIRES: the library is stopped.
int start_sync_thread(SyncThread& sync);

// stop_sync_thread wakes the thread through the pipe, joins it, closes the
// pipe and marks the library stopped. Does nothing when it is stopped; in a
// child of fork() it only forgets the parent's thread (forget_inherited).
void stop_sync_thread(SyncThread& sync);

// sync_thread_function is the thread's body: it watches /devices, reloads
// the cache whenever it (re)gains the store's notification descriptor,
// applies each change through handle_device_change, and returns when the
// wake-up pipe turns readable.
void sync_thread_function();

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_SYNC_THREAD_H_
