#include "sync_health.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <utility>

#include "load_figures.h"
#include "log_frame.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"

namespace orv {
namespace devmgmt_internal {
namespace {

// CachedIds returns the ids in the cache, in the map's order.
std::vector<std::string> CachedIds() {
  std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
  std::vector<std::string> ids;
  ids.reserve(g_devices.devices.size());
  for (const auto& entry : g_devices.devices) ids.push_back(entry.first);
  return ids;
}

// Sorted returns `ids` sorted bytewise.
std::vector<std::string> Sorted(std::vector<std::string> ids) {
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

void SyncHealth::Reset() {
  std::lock_guard<std::mutex> hold(mutex_);
  loads_ = descriptors_lost_ = 0;
  last_load_devices_ = last_load_us_ = 0;
  last_store_error_.clear();
  dropped_.clear();
  reload_requested_ = false;
  changes_applied_.store(0, std::memory_order_relaxed);
  last_change_ms_.store(0, std::memory_order_relaxed);
}

void SyncHealth::Started() {
  std::lock_guard<std::mutex> hold(mutex_);
  running_ = true;
  synced_ = watching_ = false;
  changed_.notify_all();
}

void SyncHealth::Stopped() {
  std::lock_guard<std::mutex> hold(mutex_);
  running_ = synced_ = watching_ = false;
  changed_.notify_all();
}

void SyncHealth::Load(bool report) {
  std::vector<std::string> vanished;
  const auto start = std::chrono::steady_clock::now();
  std::size_t devices = 0;
  std::vector<std::string> before, after;
  // The load runs with no lock of ours held: it writes its first line before
  // it takes the cache's mutex. On the sync thread nothing but the load
  // changes the cache between the looks before and after it.
  if (report) before = CachedIds();
  g_devices.load();
  if (report) {
    after = CachedIds();
    devices = after.size();
  } else {
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    devices = g_devices.devices.size();
  }
  const auto took = std::chrono::steady_clock::now() - start;
  if (report) {
    before = Sorted(std::move(before));
    after = Sorted(std::move(after));
    std::vector<std::string> known;  // cached before, or cleared since the last reload
    {
      std::lock_guard<std::mutex> hold(mutex_);
      std::set_union(before.begin(), before.end(), dropped_.begin(), dropped_.end(),
                     std::back_inserter(known));
      dropped_.clear();
    }
    std::set_difference(known.begin(), known.end(), after.begin(), after.end(),
                        std::back_inserter(vanished));
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++loads_;
    last_load_devices_ = static_cast<std::int64_t>(devices);
    last_load_us_ = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  }
  if (!report) return;
  // The callback runs with no lock of the cache held. What it throws is
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

void SyncHealth::Dropping() {
  std::vector<std::string> ids = Sorted(CachedIds());
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> all;
  std::set_union(dropped_.begin(), dropped_.end(), ids.begin(), ids.end(), std::back_inserter(all));
  dropped_.swap(all);
}

void SyncHealth::Watching(bool watching, const std::string& store_error) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (watching_ && !watching) {
    ++descriptors_lost_;
    synced_ = false;
  }
  watching_ = watching;
  last_store_error_ = watching ? std::string() : store_error;
}

void SyncHealth::Synced() {
  std::lock_guard<std::mutex> hold(mutex_);
  synced_ = true;
  changed_.notify_all();
}

void SyncHealth::RequestReload() {
  std::lock_guard<std::mutex> hold(mutex_);
  reload_requested_ = true;
  synced_ = false;
}

bool SyncHealth::TakeReloadRequest() {
  std::lock_guard<std::mutex> hold(mutex_);
  return std::exchange(reload_requested_, false);
}

void SyncHealth::ChangeApplied() {
  changes_applied_.fetch_add(1, std::memory_order_relaxed);
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  last_change_ms_.store(static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000,
                        std::memory_order_relaxed);
}

int SyncHealth::WaitForSync(int timeout_ms) {
  std::unique_lock<std::mutex> hold(mutex_);
  const bool ended = changed_.wait_for(hold, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                                       [this] { return !running_ || synced_; });
  if (!running_) {
    orverrno.set(orv::devMgmt::kNotRunning, "not running");
    return -1;
  }
  if (!ended) {
    orverrno.set(orv::devMgmt::kTimedOut, "timed out");
    return -1;
  }
  return 0;
}

void SyncHealth::Get(orv::devMgmt::SyncStatus& status) {
  std::lock_guard<std::mutex> hold(mutex_);
  status.running = running_;
  status.watching = watching_;
  status.loads = loads_;
  status.last_load_devices = last_load_devices_;
  status.last_load_us = last_load_us_;
  status.last_load_unreadable = last_load_unreadable_values();
  status.changes_applied = changes_applied_.load(std::memory_order_relaxed);
  status.descriptors_lost = descriptors_lost_;
  status.last_change_ms = last_change_ms_.load(std::memory_order_relaxed);
  status.last_store_error = last_store_error_;
}

}  // namespace devmgmt_internal
}  // namespace orv
