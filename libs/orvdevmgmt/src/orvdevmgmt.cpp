// The device library's process-wide objects and its exported functions.
//
// The objects are constructed at load in the order written here and
// destroyed in reverse: the sync thread's object first (it joins a thread
// still running), then the traffic-blocked slot, the cache and the key
// registry. Keep them in this one file so that the order holds.

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dispatcher.h"
#include "event_stream_registry.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "sync_thread.h"
#include "traffic_status.h"

using orv::devMgmt::Device;
using orv::devmgmt_internal::g_traffic_blocked_callback;
using orv::devmgmt_internal::kTrafficBlockedKeyRegex;

MonitoredKeys g_monitored_keys;
Devices g_devices;

namespace orv {
namespace devmgmt_internal {

int g_sync_pipe[2] = {-1, -1};  // statically initialised: made by g_sync_thread
// Before g_sync_thread: a report the thread still makes as the library is
// unloaded finds the slot in place.
CallbackSlot<TrafficBlockedCallback> g_traffic_blocked_callback;
SyncThread g_sync_thread;

void report_cache_reloaded(const std::vector<std::string>& vanished) {
  g_sync_thread.cache_reloaded.Call(vanished);
}

}  // namespace devmgmt_internal

namespace devMgmt {

using devmgmt_internal::g_sync_thread;

// ---- Lifecycle ----

int init() {
  if (g_sync_thread.IsLoading()) {
    orverrno.set(kCalledFromCallback, "called from a callback");
    return -1;
  }
  if (g_sync_thread.Running()) {
    orverrno.set(kAlreadyRunning, "already running");
    return -1;
  }
  g_sync_thread.health.Reset();
  g_sync_thread.reload.Reset();
  {
    const devmgmt_internal::SyncThread::Loading mark(g_sync_thread);
    g_sync_thread.reload.Load(/*report=*/false);
  }
  return g_sync_thread.Start();
}

int uninit() {
  if (g_sync_thread.OnThisThread()) {
    orverrno.set(kCalledFromCallback, "called from a callback");
    return -1;
  }
  if (!g_sync_thread.Running()) return 0;
  g_sync_thread.Stop();
  g_devices.clear();
  devmgmt_internal::Streams().OnStopped();
  return 0;
}

int wait_for_sync(int timeout_ms) {
  if (g_sync_thread.OnThisThread()) {
    orverrno.set(kCalledFromCallback, "called from a callback");
    return -1;
  }
  g_sync_thread.ForgetInherited();
  return g_sync_thread.health.WaitForSync(timeout_ms);
}

int get_sync_status(SyncStatus& status) {
  g_sync_thread.ForgetInherited();
  g_sync_thread.health.Get(status);
  return 0;
}

void set_on_cache_reloaded(const CacheReloadedCallback& callback) {
  if (callback != nullptr) g_sync_thread.cache_reloaded.Set(callback);
}

void unset_on_cache_reloaded(const CacheReloadedCallback& /*callback*/) {
  g_sync_thread.cache_reloaded.Reset();
}

// ---- Queries ----

bool device_exists(const std::string& device_id) { return g_devices.device_exists(device_id); }

bool get_device(const std::string& device_id, Device& device) {
  return g_devices.get_device(device_id, device);
}

int get_devices(std::vector<Device>& devices) { return g_devices.get_devices(devices); }

int get_device_onvelk(const std::string& device_id) {
  return g_devices.get_device_onvelk(device_id);
}

int get_device_onguest(const std::string& device_id) {
  return g_devices.get_device_onguest(device_id);
}

int get_device_macs(const std::string& device_id, std::vector<std::string>& macs) {
  return g_devices.get_device_macs(device_id, macs);
}

int get_device_id_by_mac(const std::string& mac, std::string& device_id) {
  return g_devices.get_device_id_by_mac(mac, device_id);
}

int get_device_id_by_ip(const std::string& ip, std::string& device_id) {
  return g_devices.get_device_id_by_ip(ip, device_id);
}

int get_device_ip(const std::string& device_id, const std::string& mac, std::string& ip) {
  return g_devices.get_device_ip(device_id, mac, ip);
}

// ---- Device-info subscriptions ----
// They take the cache's mutex: notifications read the registry under it, on
// the sync thread; and a callback may (un)register on its own thread.

void set_on_dev_info_change(const std::vector<std::string>& field_names,
                            const DevInfoChangeCallback& callback) {
  if (callback == nullptr) return;
  orv::devMgmt::MutexLock hold(g_devices.mutex);
  for (const std::string& name : field_names) {
    g_devices.field_callbacks[name].push_back(callback);
  }
}

void unset_on_dev_info_change(const std::vector<std::string>& field_names,
                              const DevInfoChangeCallback& callback) {
  orv::devMgmt::MutexLock hold(g_devices.mutex);
  for (const std::string& name : field_names) {
    auto entry = g_devices.field_callbacks.find(name);
    if (entry == g_devices.field_callbacks.end()) continue;
    std::vector<DevInfoChangeCallback>& callbacks = entry->second;
    callbacks.erase(std::remove(callbacks.begin(), callbacks.end(), callback), callbacks.end());
    if (callbacks.empty()) g_devices.field_callbacks.erase(entry);
  }
}

// ---- Key-change subscriptions ----

int set_on_key_change(const std::string& key_regex, const KeyChangeCallback& callback) {
  if (callback == nullptr) {
    orverrno.set(kNullCallback, "null callback");
    return -1;
  }
  return g_monitored_keys.add_key(key_regex, callback);
}

int unset_on_key_change(const std::string& key_regex, const KeyChangeCallback& callback) {
  return g_monitored_keys.remove_key(key_regex, callback);
}

// ---- Traffic-blocked reports ----

int set_on_traffic_blocked_change(const TrafficBlockedCallback& callback) {
  if (callback == nullptr) {
    orverrno.set(kNullCallback, "null callback");
    return -1;
  }
  // The function is in place before the subscription can deliver anything,
  // and stays even if subscribing fails.
  g_traffic_blocked_callback.Set(callback);
  return set_on_key_change(kTrafficBlockedKeyRegex, devmgmt_internal::traffic_blocked_change);
}

int unset_on_traffic_blocked_change(const TrafficBlockedCallback& /*callback*/) {
  const int result =
      unset_on_key_change(kTrafficBlockedKeyRegex, devmgmt_internal::traffic_blocked_change);
  if (result == 0) g_traffic_blocked_callback.Reset();
  return result;
}

// ---- For tests ----

void drop_all_subscriptions_for_testing() {
  std::vector<std::pair<std::string, KeyChangeCallback>> keys;
  {
    orv::devMgmt::MutexLock hold(g_monitored_keys.mutex);
    for (const KeySpy& spy : g_monitored_keys.key_spies) {
      for (KeyChangeCallback callback : spy.callbacks) keys.emplace_back(spy.key_regex, callback);
    }
  }
  // Each goes as its unset would take it: logged, and waiting for the calls
  // under way.
  for (const auto& key : keys) unset_on_key_change(key.first, key.second);
  g_traffic_blocked_callback.Reset();
  g_sync_thread.cache_reloaded.Reset();
  orv::devMgmt::MutexLock hold(g_devices.mutex);
  g_devices.field_callbacks.clear();
}

}  // namespace devMgmt
}  // namespace orv
