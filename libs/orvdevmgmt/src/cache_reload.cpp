#include "cache_reload.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <mutex>
#include <utility>

#include "log_frame.h"
#include "orv/devmgmt_internals.h"

namespace orv {
namespace devmgmt_internal {
namespace {

// CachedCount returns how many devices the cache holds.
std::size_t CachedCount() {
  orv::devMgmt::MutexLock hold(g_devices.mutex);
  return g_devices.devices.size();
}

// CachedIds returns the ids in the cache, sorted bytewise.
std::vector<std::string> CachedIds() {
  std::vector<std::string> ids;
  {
    orv::devMgmt::MutexLock hold(g_devices.mutex);
    ids.reserve(g_devices.devices.size());
    for (const auto& entry : g_devices.devices) ids.push_back(entry.first);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

void CacheReload::Reset() {
  dropped_.clear();
  requested_ = false;
}

void CacheReload::Load(bool report) {
  const auto start = std::chrono::steady_clock::now();
  // The load runs with no lock of ours held: it writes its first line before
  // it takes the cache's mutex. On the sync thread nothing but the load
  // changes the cache between the looks before and after it.
  std::vector<std::string> before;
  if (report) before = CachedIds();
  g_devices.load();
  std::vector<std::string> after;
  if (report) after = CachedIds();
  const std::size_t devices = report ? after.size() : CachedCount();
  const auto took = std::chrono::steady_clock::now() - start;
  health_.Loaded(static_cast<std::int64_t>(devices),
                 std::chrono::duration_cast<std::chrono::microseconds>(took).count());
  if (!report) return;

  std::vector<std::string> known;  // cached before, or cleared since the last reload
  std::set_union(before.begin(), before.end(), dropped_.begin(), dropped_.end(),
                 std::back_inserter(known));
  dropped_.clear();
  std::vector<std::string> vanished;
  std::set_difference(known.begin(), known.end(), after.begin(), after.end(),
                      std::back_inserter(vanished));
  // The function runs with no lock of the cache held. What it throws is
  // logged and dropped: the load itself went well.
  try {
    report_cache_reloaded(vanished);
  } catch (const std::exception& error) {
    orv::log::print_as_sync_thread(orv::log::kError, __LINE__,
                                   "BUG: the cache-reloaded callback failed: %s", error.what());
  } catch (...) {
    orv::log::print_as_sync_thread(orv::log::kError, __LINE__,
                                   "BUG: the cache-reloaded callback failed");
  }
}

void CacheReload::Dropping() {
  std::vector<std::string> ids = CachedIds();
  std::vector<std::string> all;
  std::set_union(dropped_.begin(), dropped_.end(), ids.begin(), ids.end(), std::back_inserter(all));
  dropped_.swap(all);
}

void CacheReload::Request() {
  requested_ = true;
  health_.OutOfStep();
}

bool CacheReload::Requested() { return std::exchange(requested_, false); }

}  // namespace devmgmt_internal
}  // namespace orv
