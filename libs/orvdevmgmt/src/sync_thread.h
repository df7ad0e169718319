// sync_thread.h: the background thread that keeps g_devices in step with
// the settings tree /devices.
//
// init() creates the wake-up pipe g_sync_pipe and starts sync_thread_function
// in g_sync_thread; uninit() writes one byte into the pipe and joins it.

#ifndef ORVDEVMGMT_SRC_SYNC_THREAD_H_
#define ORVDEVMGMT_SRC_SYNC_THREAD_H_

#include <thread>

namespace orv {
namespace devmgmt_internal {

// The wake-up pipe: [0] the read end, [1] the write end; -1 when the library
// is stopped. Written by init() before the thread starts and by uninit()
// after it has been joined; the thread reads [0] once, at its start.
extern int g_sync_pipe[2];

// SyncThread holds the running sync thread, if any. Its destructor stops and
// joins a thread still running when the library is unloaded or the process
// exits, so the thread never outlives g_devices, which is destroyed after it.
class SyncThread {
 public:
  SyncThread() = default;
  SyncThread(const SyncThread&) = delete;
  SyncThread& operator=(const SyncThread&) = delete;
  ~SyncThread();

  // Only init() and uninit() touch it, from one thread at a time.
  std::thread thread;
};

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
