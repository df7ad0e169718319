// Recorder: the calls made to device-info and key-change subscribers, in the
// order they were made, as short texts; and helpers that render what the
// device cache g_devices holds. Header only (it needs the device library).
//
//   Recorder rec;  // empties g_devices and every subscription, now and at its end
//   orv::devMgmt::set_on_dev_info_change({"macs"}, Recorder::Info<0>);
//   orv::devMgmt::set_on_key_change("^/", Recorder::Key);
//   g_devices.new_mac_ip("d1", "m1", "ip1");
//   EXPECT_EQ(rec.Take(), (Events{"0 new d1", "0 upd d1 macs"}));
//
// Device-info calls read "<n> new|upd|del <id>", plus " <field>" when the
// field name is not empty; key calls read "key <key>" (Key) or "key2 <key>"
// (Key2). The record is process-wide: one Recorder at a time. Thread-safe.

#ifndef ORV_TESTS_SUPPORT_RECORDER_H_
#define ORV_TESTS_SUPPORT_RECORDER_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orv/devmgmt_internals.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

using Events = std::vector<std::string>;

class Recorder {
 public:
  // A hook runs inside every device-info callback, after the call is recorded.
  using Hook = std::function<void(int n, orv::DevInfoChangeType type, const std::string& id)>;

  Recorder() { Reset(); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder() { Reset(); }

  template <int kN>
  static void Info(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
    static const char* const kTypes[] = {" new ", " upd ", " del "};
    Add(std::to_string(kN) + (type >= 0 && type <= 2 ? kTypes[type] : " ?? ") + id +
        (field.empty() ? "" : " " + field));
    std::unique_lock<std::mutex> hold(mutex_);
    Hook hook = hook_;
    hold.unlock();
    if (hook) hook(kN, type, id);
  }
  static DevInfoChangeCallback Cb(int n) {
    static const DevInfoChangeCallback kAll[] = {&Info<0>, &Info<1>, &Info<2>, &Info<3>};
    return kAll[n];
  }
  static void Key(const std::string& key) { Add("key " + key); }
  static void Key2(const std::string& key) { Add("key2 " + key); }

  // ByAddress gives "<n><rest>" for each of `ns` in ascending order of the
  // callbacks' addresses (the order in which new and removed devices are
  // told), then `then`.
  static Events ByAddress(std::vector<int> ns, const std::string& rest, const Events& then = {}) {
    std::sort(ns.begin(), ns.end(),
              [](int a, int b) { return std::less<DevInfoChangeCallback>()(Cb(a), Cb(b)); });
    Events out;
    for (int n : ns) out.push_back(std::to_string(n) + rest);
    out.insert(out.end(), then.begin(), then.end());
    return out;
  }
  static void Add(std::string event) {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.push_back(std::move(event));
  }
  // Take returns the calls recorded so far and forgets them.
  Events Take() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::exchange(events_, Events());
  }
  void SetHook(Hook hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    hook_ = std::move(hook);
  }

 private:
  void Reset() {
    std::lock_guard<std::recursive_mutex> cache(g_devices.mutex);
    g_devices.clear();
    g_devices.field_callbacks.clear();
    std::lock_guard<std::mutex> keys(g_monitored_keys.mutex);
    g_monitored_keys.key_spies.clear();
    std::lock_guard<std::mutex> hold(mutex_);
    events_.clear();
    hook_ = nullptr;
  }

  static inline std::mutex mutex_;
  static inline Events events_;  // guarded by mutex_
  static inline Hook hook_;      // guarded by mutex_
};

inline Events Cat(Events first, const Events& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// Dev makes a record with the id, bindings and name given, defaults elsewhere.
inline orv::devMgmt::Device Dev(const std::string& id, std::vector<orv::devMgmt::MacIp> macs = {},
                                const std::string& name = "") {
  orv::devMgmt::Device d;
  d.device_id = id;
  d.macs = std::move(macs);
  d.display_name = name;
  return d;
}

// Describe renders every member of a record, bindings in order; the labels
// are those of the field updates' log lines.
inline std::string Describe(const orv::devMgmt::Device& d) {
  std::string macs;
  for (const auto& b : d.macs) macs += (macs.empty() ? "" : ",") + b.mac + "=" + b.ip;
  return "id=" + d.device_id + " profile_id=" + d.profile_id + " macs=[" + macs +
         "] display_name=" + d.display_name + " type=" + d.device_type + " os=" + d.device_os +
         " os_version=" + d.device_os_version + " model=" + d.device_model +
         " manufacturer=" + d.device_manufacturer + " velk_device_id=" + d.velk_device_id +
         " blocked=" + std::to_string(d.blocked) + " onvelk=" + std::to_string(d.onvelk) +
         " onguest=" + std::to_string(d.onguest) + " scan_level=" + std::to_string(d.scan_level) +
         " ";
}

// Cached renders the record g_devices holds for `id`, or "absent"; Pairs only
// its bindings ("mac=ip,..."); Owner the device the MAC index names for
// `mac`, or "-". None of them touches orverrno.
inline std::string Cached(const std::string& id) {
  std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
  auto found = g_devices.devices.find(id);
  return found == g_devices.devices.end() ? "absent" : Describe(found->second);
}
inline std::string Pairs(const std::string& id) {
  const std::string text = Cached(id);
  const std::string::size_type at = text.find(" macs=[");
  return at == std::string::npos ? text : text.substr(at + 7, text.find(']', at) - at - 7);
}
inline std::string Owner(const std::string& mac) {
  std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
  auto found = g_devices.mac_to_device_id.find(mac);
  return found == g_devices.mac_to_device_id.end() ? "-" : found->second;
}

// LoggedWhileLocked runs `mutation` on another thread while this thread holds
// the cache's mutex, and returns what it logged (as LogCapture::Messages
// gives it) before it blocked, plus a note if it didn't wait for the lock.
// `log` is cleared first and holds every line of the mutation afterwards.
inline Events LoggedWhileLocked(LogCapture& log, const std::function<void()>& mutation) {
  log.Clear();
  std::atomic<bool> done{false};
  std::unique_lock<std::recursive_mutex> hold(g_devices.mutex);
  std::thread worker([&] {
    mutation();
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (log.Lines().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Events seen = log.Messages();
  if (done) seen.push_back("(didn't wait for the lock)");
  hold.unlock();
  worker.join();
  return seen;
}

// MakeNode leaves an empty node at `key`.
inline void MakeNode(TempStore& store, const std::string& key) {
  store.Set(key + "/placeholder", "");
  store.Delete(key + "/placeholder");
}

#endif  // ORV_TESTS_SUPPORT_RECORDER_H_
