// sync_health.h: what the sync thread reports of itself, for wait_for_sync,
// get_sync_status and the cache-reloaded subscription: figures and the synced
// condition, written by the thread's owner and the thread, read by anyone.

#ifndef ORVDEVMGMT_SRC_SYNC_HEALTH_H_
#define ORVDEVMGMT_SRC_SYNC_HEALTH_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cond_var.h"
#include "orv/devmgmt_mutex.h"
#include "orv/devmgmt_types.h"

namespace orv {
namespace devmgmt_internal {

// SyncHealth is the sync thread's state as clients see it. Thread-safe: the
// sync thread writes it, any thread reads it.
class SyncHealth {
 public:
  // Lifecycle, from the sync thread's owner. Reset zeroes the figures of the
  // last run, before init()'s load.
  void Reset();
  void Started();
  void Stopped();

  // Loaded records one whole load of the cache: the devices it left and how
  // long it took.
  void Loaded(std::int64_t devices, std::int64_t took_us);

  // Watching records whether the thread holds the notification descriptor;
  // `store_error` is the store's reason when it doesn't. Losing a descriptor
  // once held counts as one lost.
  void Watching(bool watching, const std::string& store_error);
  // Synced records that the thread holds the descriptor and has reloaded
  // since: from now on every change is reported.
  void Synced();
  // OutOfStep records that the cache is out of step with the store in a way
  // one change can't put right: not synced until the thread has reloaded.
  void OutOfStep();

  // LockForFork and UnlockAfterFork hold the figures' lock across fork(), in
  // the parent and then in both processes.
  void LockForFork() __attribute__((acquire_capability(mutex_))) { mutex_.lock(); }
  void UnlockAfterFork() __attribute__((release_capability(mutex_))) { mutex_.unlock(); }
  // ChangeApplied counts one change taken from the store.
  void ChangeApplied();

  // WaitForSync waits up to `timeout_ms` for Synced. Returns 0, or -1 with
  // orverrno set ("timed out", "not running").
  int WaitForSync(int timeout_ms);
  void Get(orv::devMgmt::SyncStatus& status);

 private:
  orv::devMgmt::Mutex mutex_;
  CondVar changed_;  // signalled when running_ or synced_ change
  bool running_ __attribute__((guarded_by(mutex_))) = false;
  bool synced_ __attribute__((guarded_by(mutex_))) = false;
  bool watching_ __attribute__((guarded_by(mutex_))) = false;
  std::uint64_t loads_ __attribute__((guarded_by(mutex_))) = 0;
  std::int64_t last_load_devices_ __attribute__((guarded_by(mutex_))) = 0;
  std::int64_t last_load_us_ __attribute__((guarded_by(mutex_))) = 0;
  std::uint64_t descriptors_lost_ __attribute__((guarded_by(mutex_))) = 0;
  std::string last_store_error_ __attribute__((guarded_by(mutex_)));

  // Written by the sync thread alone, read by any: atomics, no lock on the
  // change path.
  std::atomic<std::uint64_t> changes_applied_{0};
  std::atomic<std::int64_t> last_change_ms_{0};
};

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_SYNC_HEALTH_H_
