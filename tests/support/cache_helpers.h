// Helpers for tests of the device cache g_devices (header-only: it needs the
// device library's headers, which the support library doesn't see).
//
//   DevInfoRecorder events;  // empties the cache and every device-info registration
//   orv::devMgmt::set_on_dev_info_change({"macs"}, DevInfoRecorder::Callback(0));
//   g_devices.new_mac_ip("d1", "m1", "ip1");
//   EXPECT_EQ(events.Take(), (Events{"0 new d1", "0 updated d1 macs"}));
//
// An event reads "<callback index> <new|updated|removed> <device id>", then a
// blank and the field name when the field name is not empty. Callbacks are
// plain functions without context, so the record is process-wide: one
// DevInfoRecorder at a time.

#ifndef ORV_TESTS_SUPPORT_CACHE_HELPERS_H_
#define ORV_TESTS_SUPPORT_CACHE_HELPERS_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "support/log_capture.h"

using Events = std::vector<std::string>;

class DevInfoRecorder {
 public:
  static constexpr int kCallbacks = 4;
  // Hook runs inside a callback, after the event is recorded, on the thread
  // that notifies (with the cache locked).
  using Hook = std::function<void(int index, orv::DevInfoChangeType type, const std::string& id,
                                  const std::string& field)>;

  DevInfoRecorder() { Reset(); }
  DevInfoRecorder(const DevInfoRecorder&) = delete;
  DevInfoRecorder& operator=(const DevInfoRecorder&) = delete;
  ~DevInfoRecorder() { Reset(); }

  static DevInfoChangeCallback Callback(int index) {
    static constexpr std::array<DevInfoChangeCallback, kCallbacks> kAll = {
        &Receive<0>, &Receive<1>, &Receive<2>, &Receive<3>};
    return kAll.at(index);
  }

  // ByAddress returns `indices` ordered by their callbacks' addresses.
  static std::vector<int> ByAddress(std::vector<int> indices) {
    std::sort(indices.begin(), indices.end(), [](int a, int b) {
      return std::less<DevInfoChangeCallback>()(Callback(a), Callback(b));
    });
    return indices;
  }

  // NewFor and RemovedFor give the events that a new or removed device
  // raises for the distinct callbacks `indices`, in address order.
  static Events NewFor(const std::string& id, std::vector<int> indices) {
    return Each(ByAddress(std::move(indices)), " new " + id);
  }
  static Events RemovedFor(const std::string& id, std::vector<int> indices) {
    return Each(ByAddress(std::move(indices)), " removed " + id);
  }

  // Take returns the events recorded so far and forgets them.
  Events Take() {
    std::lock_guard<std::mutex> hold(state().mutex);
    return std::exchange(state().events, Events());
  }
  void SetHook(Hook hook) {
    std::lock_guard<std::mutex> hold(state().mutex);
    state().hook = std::move(hook);
  }

 private:
  struct State {
    std::mutex mutex;
    Events events;
    Hook hook;
  };
  static State& state() {
    static State instance;
    return instance;
  }

  static Events Each(const std::vector<int>& indices, const std::string& rest) {
    Events out;
    for (int index : indices) out.push_back(std::to_string(index) + rest);
    return out;
  }

  template <int kIndex>
  static void Receive(orv::DevInfoChangeType type, const std::string& id,
                      const std::string& field) {
    static constexpr const char* kTypes[] = {"new", "updated", "removed"};
    std::string event = std::to_string(kIndex) + " " +
                        (type >= 0 && type <= 2 ? kTypes[type] : "type?" + std::to_string(type)) +
                        " " + id;
    if (!field.empty()) event += " " + field;
    Hook hook;
    {
      std::lock_guard<std::mutex> hold(state().mutex);
      state().events.push_back(std::move(event));
      hook = state().hook;
    }
    if (hook) hook(kIndex, type, id, field);
  }

  void Reset() {
    std::lock_guard<std::recursive_mutex> cache(g_devices.mutex);
    g_devices.clear();
    g_devices.field_callbacks.clear();
    std::lock_guard<std::mutex> hold(state().mutex);
    state().events.clear();
    state().hook = nullptr;
  }
};

// WaitUntil polls `done` until it holds or `timeout` has passed.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// LogsBeforeLocking runs `mutation` on another thread while this thread holds
// the cache's mutex, and succeeds when `first_line` (as LogCapture::Messages
// gives it) was logged, alone, while the mutation was still waiting for the
// lock. `log` is cleared first.
inline ::testing::AssertionResult LogsBeforeLocking(LogCapture& log,
                                                    const std::function<void()>& mutation,
                                                    const std::string& first_line) {
  log.Clear();
  std::atomic<bool> done{false};
  std::unique_lock<std::recursive_mutex> hold(g_devices.mutex);
  std::thread worker([&] {
    mutation();
    done = true;
  });
  const bool logged = WaitUntil([&] { return !log.Lines().empty(); });
  const std::vector<std::string> seen = log.Messages();
  const bool blocked = !done;
  hold.unlock();
  worker.join();
  if (!logged) return ::testing::AssertionFailure() << "nothing logged before the lock";
  if (!blocked) return ::testing::AssertionFailure() << "the mutation didn't wait for the lock";
  if (seen != std::vector<std::string>{first_line}) {
    auto failure = ::testing::AssertionFailure() << "logged while the cache was locked:";
    for (const std::string& line : seen) failure << "\n  " << line;
    return failure;
  }
  return ::testing::AssertionSuccess();
}

// Describe renders every member of a record, for comparing whole records.
inline std::string Describe(const orv::devMgmt::Device& device) {
  std::ostringstream out;
  out << "id=" << device.device_id << " profile=" << device.profile_id << " macs=[";
  for (const orv::devMgmt::MacIp& pair : device.macs) out << pair.mac << "/" << pair.ip << " ";
  out << "] name=" << device.display_name << " type=" << device.device_type
      << " os=" << device.device_os << " os_version=" << device.device_os_version
      << " model=" << device.device_model << " manufacturer=" << device.device_manufacturer
      << " velk=" << device.velk_device_id << " blocked=" << device.blocked
      << " onvelk=" << device.onvelk << " onguest=" << device.onguest
      << " scan_level=" << device.scan_level;
  return out.str();
}

// Cached returns a copy of the cached record of `id`, or a record whose id
// reads "<absent>".
inline orv::devMgmt::Device Cached(const std::string& id) {
  std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
  auto found = g_devices.devices.find(id);
  if (found != g_devices.devices.end()) return found->second;
  orv::devMgmt::Device absent;
  absent.device_id = "<absent>";
  return absent;
}

#endif  // ORV_TESTS_SUPPORT_CACHE_HELPERS_H_
