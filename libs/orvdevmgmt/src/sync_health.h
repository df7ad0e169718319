// sync_health.h: what the sync thread reports of itself, for wait_for_sync,
// get_sync_status and the cache-reloaded subscription.

#ifndef ORVDEVMGMT_SRC_SYNC_HEALTH_H_
#define ORVDEVMGMT_SRC_SYNC_HEALTH_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "orv/devmgmt_types.h"

namespace orv {
namespace devmgmt_internal {

// SyncHealth is the sync thread's state as clients see it. Thread-safe: the
// sync thread writes it, any thread reads it.
class SyncHealth {
 public:
  // Lifecycle, from init()/uninit(). Reset zeroes the figures of the last
  // run, before init()'s load.
  void Reset();
  void Started();
  void Stopped();

  // Load loads g_devices and records how long it took and how many devices
  // it left. With `report` (the sync thread's reloads) a registered
  // cache-reloaded callback then gets the ids that were cached before and not
  // after. Exceptions from the load pass on.
  void Load(bool report);

  // Dropping records the ids in the cache before the change of /devices
  // empties it without notifying: the next reload reports them as vanished
  // unless they are back.
  void Dropping();

  // Watching records whether the thread holds the notification descriptor;
  // `store_error` is the store's reason when it doesn't. Losing a descriptor
  // once held counts as one lost.
  void Watching(bool watching, const std::string& store_error);
  // Synced records that the thread holds the descriptor and has reloaded
  // since: from now on every change is reported.
  void Synced();
  // RequestReload records that the cache is out of step with the store in a
  // way one change can't put right: not synced until the thread has reloaded.
  // TakeReloadRequest, on the sync thread, returns whether one was made since
  // it last asked.
  void RequestReload();
  bool TakeReloadRequest();

  // LockForFork and UnlockAfterFork hold the figures' lock across fork(), in
  // the parent and then in both processes.
  void LockForFork() { mutex_.lock(); }
  void UnlockAfterFork() { mutex_.unlock(); }
  // ChangeApplied counts one change taken from the store.
  void ChangeApplied();

  // WaitForSync waits up to `timeout_ms` for Synced. Returns 0, or -1 with
  // orverrno set ("timed out", "not running").
  int WaitForSync(int timeout_ms);
  void Get(orv::devMgmt::SyncStatus& status);

 private:
  // Below: guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;  // signalled when running_ or synced_ change
  bool running_ = false;
  bool synced_ = false;
  bool watching_ = false;
  std::uint64_t loads_ = 0;
  std::int64_t last_load_devices_ = 0;
  std::int64_t last_load_us_ = 0;
  std::uint64_t descriptors_lost_ = 0;
  std::string last_store_error_;
  std::vector<std::string> dropped_;  // since the last reload, sorted
  bool reload_requested_ = false;

  // Written by the sync thread alone, read by any: atomics, no lock on the
  // change path.
  std::atomic<std::uint64_t> changes_applied_{0};
  std::atomic<std::int64_t> last_change_ms_{0};
};

// report_cache_reloaded hands `vanished` to the function set with
// set_on_cache_reloaded, if any, with no lock held. What it throws passes on.
void report_cache_reloaded(const std::vector<std::string>& vanished);

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_SYNC_HEALTH_H_
