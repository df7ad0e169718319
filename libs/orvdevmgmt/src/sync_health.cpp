#include "sync_health.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <exception>

#include "load_figures.h"
#include "log_frame.h"
#include "orv/devmgmt.h"
#include "orv/error.h"

namespace orv {
namespace devmgmt_internal {

void SyncHealth::Reset() {
  orv::devMgmt::MutexLock hold(mutex_);
  loads_ = descriptors_lost_ = 0;
  last_load_devices_ = last_load_us_ = 0;
  last_store_error_.clear();
  changes_applied_.store(0, std::memory_order_relaxed);
  last_change_ms_.store(0, std::memory_order_relaxed);
}

void SyncHealth::Started() {
  orv::devMgmt::MutexLock hold(mutex_);
  running_ = true;
  synced_ = watching_ = false;
  changed_.notify_all();
}

void SyncHealth::Stopped() {
  orv::devMgmt::MutexLock hold(mutex_);
  running_ = synced_ = watching_ = false;
  changed_.notify_all();
}

void SyncHealth::Loaded(std::int64_t devices, std::int64_t took_us) {
  orv::devMgmt::MutexLock hold(mutex_);
  ++loads_;
  last_load_devices_ = devices;
  last_load_us_ = took_us;
}

void SyncHealth::Watching(bool watching, const std::string& store_error) {
  orv::devMgmt::MutexLock hold(mutex_);
  if (watching_ && !watching) {
    ++descriptors_lost_;
    synced_ = false;
  }
  watching_ = watching;
  last_store_error_ = watching ? std::string() : store_error;
}

void SyncHealth::Synced() {
  orv::devMgmt::MutexLock hold(mutex_);
  synced_ = true;
  changed_.notify_all();
}

void SyncHealth::OutOfStep() {
  orv::devMgmt::MutexLock hold(mutex_);
  synced_ = false;
}

void SyncHealth::ChangeApplied() {
  changes_applied_.fetch_add(1, std::memory_order_relaxed);
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  last_change_ms_.store(static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000,
                        std::memory_order_relaxed);
}

int SyncHealth::WaitForSync(int timeout_ms) {
  orv::devMgmt::MutexLock hold(mutex_);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  bool ended = true;
  while (running_ && !synced_) {
    if (!changed_.WaitUntil(mutex_, deadline)) {
      ended = !running_ || synced_;
      break;
    }
  }
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
  orv::devMgmt::MutexLock hold(mutex_);
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
