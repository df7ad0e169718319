// RecordedChanges: the calls made to device-info and key-change subscribers,
// in the order they were made, as short texts.
//
//   RecordedChanges::Reset();
//   orv::devMgmt::set_on_dev_info_change(kDeviceFieldNames, RecordedChanges::OnDevInfo);
//   orv::devMgmt::set_on_key_change("^/", RecordedChanges::OnKey);
//   ... change something ...
//   EXPECT_EQ(RecordedChanges::Take(),
//             (std::vector<std::string>{"new d1", "upd d1 display_name",
//                                       "key /devices/d1/display_name"}));
//
// Device-info calls read "new <id>", "upd <id> <field>", "del <id>" (a field
// name passed with NEW_DEV or DEV_INFO_REMOVED is appended, so it shows up as
// a mismatch); key calls read "key <key>" (OnKey) or "key2 <key>" (OnKey2).
// Thread-safe. Also DeviceText, a one-line rendering of a whole record for
// comparisons (CachedText and CachedMacs render what g_devices holds), and
// MakeNode, which leaves an empty node in the store.

#ifndef ORV_TESTS_SUPPORT_CHANGE_RECORDER_H_
#define ORV_TESTS_SUPPORT_CHANGE_RECORDER_H_

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "orv/devmgmt_internals.h"
#include "orv/devmgmt_types.h"
#include "support/temp_store.h"

// Every field name a device-info update can carry.
inline const std::vector<std::string> kDeviceFieldNames = {
    "macs",           "profile_id",        "display_name", "device_type",
    "device_os",      "device_os_version", "device_model", "device_manufacturer",
    "velk_device_id", "traffic_blocked",   "onvelk",       "onguest",
    "scan_level"};

class RecordedChanges {
 public:
  static void Record(std::string event) {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.push_back(std::move(event));
  }
  static void OnDevInfo(orv::DevInfoChangeType type, const std::string& device_id,
                        const std::string& field_name) {
    std::string event = type == orv::NEW_DEV            ? "new "
                        : type == orv::DEV_INFO_UPDATED ? "upd "
                        : type == orv::DEV_INFO_REMOVED ? "del "
                                                        : "type" + std::to_string(type) + " ";
    event += device_id;
    if (!field_name.empty()) event += " " + field_name;
    Record(std::move(event));
  }
  static void OnKey(const std::string& key) { Record("key " + key); }
  static void OnKey2(const std::string& key) { Record("key2 " + key); }

  // Take returns the events recorded so far and forgets them.
  static std::vector<std::string> Take() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::exchange(events_, {});
  }
  static void Reset() { Take(); }

 private:
  static inline std::mutex mutex_;
  static inline std::vector<std::string> events_;
};

// DeviceText renders every member of `device`, bindings in order.
inline std::string DeviceText(const orv::devMgmt::Device& device) {
  std::string macs;
  for (const orv::devMgmt::MacIp& binding : device.macs) {
    if (!macs.empty()) macs += ",";
    macs += binding.mac + "=" + binding.ip;
  }
  return "id=" + device.device_id + " profile=" + device.profile_id + " macs=[" + macs +
         "] name=" + device.display_name + " type=" + device.device_type +
         " os=" + device.device_os + " os_version=" + device.device_os_version +
         " model=" + device.device_model + " manufacturer=" + device.device_manufacturer +
         " velk=" + device.velk_device_id + " blocked=" + std::to_string(device.blocked) +
         " onvelk=" + std::to_string(device.onvelk) + " onguest=" + std::to_string(device.onguest) +
         " scan=" + std::to_string(device.scan_level);
}

// CachedText renders the record g_devices holds for `device_id`, or "absent".
inline std::string CachedText(const std::string& device_id) {
  orv::devMgmt::Device device;
  return g_devices.get_device(device_id, device) ? DeviceText(device) : "absent";
}

// CachedMacs renders the bindings g_devices holds for `device_id` as
// "mac=ip,...", or "absent".
inline std::string CachedMacs(const std::string& device_id) {
  orv::devMgmt::Device device;
  if (!g_devices.get_device(device_id, device)) return "absent";
  std::string out;
  for (const orv::devMgmt::MacIp& binding : device.macs) {
    out += (out.empty() ? "" : ",") + binding.mac + "=" + binding.ip;
  }
  return out;
}

// MakeNode leaves an empty node at `key` (a value is written below it and
// deleted again).
inline void MakeNode(TempStore& store, const std::string& key) {
  store.Set(key + "/placeholder", "");
  store.Delete(key + "/placeholder");
}

#endif  // ORV_TESTS_SUPPORT_CHANGE_RECORDER_H_
