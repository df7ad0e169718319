// SyncGate: holds the sync thread inside a device-info callback, so that a
// test can change the store while no notification is being read.
//
//   orv::devMgmt::set_on_dev_info_change({"display_name"}, HoldAtGate);
//   TheGate().Arm();
//   store.Set("/devices/gate/display_name", "x");  // the sync thread stops there
//   ASSERT_TRUE(TheGate().WaitHolding(std::chrono::seconds(10)));
//   ... change the store ...
//   TheGate().Release();
//
// Only an update of the display name of the device "gate" stops at an armed
// gate, once per Arm. The callback keeps the cache's mutex while it waits, so
// the queries of other threads wait too. It gives up after a minute, so that a
// failing test can't hang.

#ifndef ORV_TESTS_SUPPORT_SYNC_GATE_H_
#define ORV_TESTS_SUPPORT_SYNC_GATE_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "orv/devmgmt_types.h"

constexpr char kGateDevice[] = "gate";

class SyncGate {
 public:
  // Arm makes the next Pass wait until Release.
  void Arm() {
    std::lock_guard<std::mutex> hold(mutex_);
    armed_ = true;
    holding_ = false;
  }

  // Pass returns at once unless the gate is armed; then it disarms it and
  // waits for Release.
  void Pass() {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!armed_) return;
    armed_ = false;
    holding_ = true;
    changed_.notify_all();
    changed_.wait_for(hold, std::chrono::minutes(1), [this] { return !holding_; });
    holding_ = false;
  }

  // WaitHolding is true once a Pass waits at the gate, false after `timeout`.
  bool WaitHolding(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, timeout, [this] { return holding_; });
  }

  // Release lets a waiting Pass go and disarms the gate.
  void Release() {
    std::lock_guard<std::mutex> hold(mutex_);
    armed_ = false;
    holding_ = false;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;    // guarded by mutex_
  bool holding_ = false;  // guarded by mutex_
};

inline SyncGate& TheGate() {
  static SyncGate gate;
  return gate;
}

// HoldAtGate is the device-info callback that stops at TheGate().
inline void HoldAtGate(orv::DevInfoChangeType type, const std::string& device_id,
                       const std::string& field_name) {
  if (type == orv::DEV_INFO_UPDATED && device_id == kGateDevice && field_name == "display_name") {
    TheGate().Pass();
  }
}

#endif  // ORV_TESTS_SUPPORT_SYNC_GATE_H_
