// sync_thread.h: the background thread that keeps g_devices in step with
// the settings tree /devices.
//
// init() starts sync_thread_function through g_sync_thread, which makes the
// wake-up pipe g_sync_pipe; uninit() stops it: one byte into the pipe, a join.

#ifndef ORVDEVMGMT_SRC_SYNC_THREAD_H_
#define ORVDEVMGMT_SRC_SYNC_THREAD_H_

#include <sys/types.h>

#include <atomic>
#include <thread>

#include "cache_reload.h"
#include "orv/devmgmt_types.h"
#include "subscribers.h"
#include "sync_health.h"

namespace orv {
namespace devmgmt_internal {

// The wake-up pipe: [0] the read end, [1] the write end; -1 when the library
// is stopped. Made by SyncThread::Start before the thread starts and closed by
// SyncThread::Stop after it has been joined; the thread reads [0] once, at its
// start.
extern int g_sync_pipe[2];

// SyncThread is the one owner of the sync thread: it makes the wake-up pipe
// and starts the thread, stops it and closes the pipe, and is the one place
// that says whether the library runs. Its destructor stops and joins a thread
// still running when the library is unloaded or the process exits, so the
// thread never outlives g_devices, which is destroyed after it; what else the
// thread reads is never destroyed (constants built once and kept) or outlives
// it. A process that exits from one of the thread's own callbacks leaves it
// be: it is the thread running the exit.
//
// A child of fork() inherits copies of the pipe and of the thread object, but
// no thread: in the child the library acts as if it had never been started
// (it neither wakes nor joins the parent's thread) until it is started there.
//
// Start, Stop and Running are called by init() and uninit(), from one thread
// at a time; OnThisThread and the figures from any thread.
class SyncThread {
 public:
  SyncThread();
  SyncThread(const SyncThread&) = delete;
  SyncThread& operator=(const SyncThread&) = delete;
  ~SyncThread();

  // Running is true from a successful Start to the next Stop, in the process
  // that started the thread. In a child of fork() it first forgets what the
  // parent left (see above).
  bool Running();

  // Start makes the wake-up pipe and starts the thread. Returns 0; -1 with
  // code 1 (no text) when the pipe can't be made, starting nothing. When the
  // thread can't be started, the exception passes on and the library is left
  // stopped (the pipe closed), so that init() may be tried again.
  // REQUIRES: !Running().
  int Start();

  // Stop wakes the thread through the pipe, joins it, closes the pipe and
  // marks the library stopped. Does nothing when it is stopped.
  void Stop();

  // OnThisThread is true when called on the running sync thread: from one of
  // its callbacks.
  bool OnThisThread() const { return id_.load() == std::this_thread::get_id(); }

  // Loading marks the thread running init()'s load while the mark lives:
  // IsLoading tells a NEW_DEV callback of that load, which must not start the
  // library from inside it.
  class Loading {
   public:
    explicit Loading(SyncThread& sync) : sync_(sync) {
      sync_.loading_.store(std::this_thread::get_id());
    }
    Loading(const Loading&) = delete;
    Loading& operator=(const Loading&) = delete;
    ~Loading() { sync_.loading_.store(std::thread::id()); }

   private:
    SyncThread& sync_;
  };
  bool IsLoading() const { return loading_.load() == std::this_thread::get_id(); }

  // ForgetInherited drops, in a child of fork(), what the parent's running
  // library left in this process (the pipe's copies, the thread object), so
  // that the child is stopped. Does nothing in the process that started the
  // thread, or when nothing runs. Takes no lock of the cache.
  void ForgetInherited();

  // What the thread reports of itself, and its whole loads of the cache.
  SyncHealth health;
  CacheReload reload{health};
  // The function set with set_on_cache_reloaded, which the thread's reloads
  // report to.
  CallbackSlot<CacheReloadedCallback> cache_reloaded;

 private:
  friend void sync_thread_function();

  void ClosePipe();

  std::thread thread_;
  // The running thread's id, written by the thread itself as it starts (so
  // that it is known before any callback runs) and cleared once it is joined.
  std::atomic<std::thread::id> id_{std::thread::id()};
  // The process that started the thread; 0 while stopped. Written by Start
  // and Stop; read by any thread that asks whether it runs.
  std::atomic<pid_t> owner_{0};
  // The thread running init()'s load, while it runs.
  std::atomic<std::thread::id> loading_{std::thread::id()};
};

// The library's sync thread object (defined with the other process-wide
// objects, after g_devices).
extern SyncThread g_sync_thread;

// sync_thread_function is the thread's body: it watches /devices, reloads
// the cache whenever it (re)gains the store's notification descriptor,
// applies each change through handle_device_change, and returns when the
// wake-up pipe turns readable.
void sync_thread_function();

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_SYNC_THREAD_H_
