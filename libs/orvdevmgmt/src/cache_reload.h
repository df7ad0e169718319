// cache_reload.h: whole loads of the cache and the report of the devices a
// reload found gone.

#ifndef ORVDEVMGMT_SRC_CACHE_RELOAD_H_
#define ORVDEVMGMT_SRC_CACHE_RELOAD_H_

#include <string>
#include <vector>

#include "sync_health.h"

namespace orv {
namespace devmgmt_internal {

// CacheReload loads g_devices whole, records each load's figures in the sync
// health, and after a reload by the sync thread tells the cache-reloaded
// subscriber which devices vanished. It also keeps what the changes applied
// between two reloads leave for the next: the ids a deletion of /devices
// emptied from the cache without a word, and whether the cache fell out of
// step with the store in a way no single change puts right.
//
// Used by init() while the library is stopped and by the sync thread while it
// runs, never by both at once: it has no lock of its own.
class CacheReload {
 public:
  explicit CacheReload(SyncHealth& health) : health_(health) {}
  CacheReload(const CacheReload&) = delete;
  CacheReload& operator=(const CacheReload&) = delete;

  // Reset forgets what an earlier run left, before init()'s load.
  void Reset();

  // Load loads g_devices and records how long it took and how many devices
  // it left. With `report` (the sync thread's reloads) the cache-reloaded
  // subscriber then gets the ids cached before the load, or dropped since the
  // last one, that are not cached after it. Exceptions from the load pass on.
  void Load(bool report);

  // Dropping records the ids in the cache before a deletion of /devices
  // empties it: the next reload reports them as vanished unless they are back.
  void Dropping();

  // Request records that the cache is out of step with the store: the sync
  // health says so at once, and Requested, on the sync thread, returns true
  // once, so that the thread reloads.
  void Request();
  bool Requested();

 private:
  SyncHealth& health_;
  std::vector<std::string> dropped_;  // sorted
  bool requested_ = false;
};

// report_cache_reloaded hands `vanished` to the function set with
// set_on_cache_reloaded, if any, with no lock held. What it throws passes on.
void report_cache_reloaded(const std::vector<std::string>& vanished);

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_CACHE_RELOAD_H_
