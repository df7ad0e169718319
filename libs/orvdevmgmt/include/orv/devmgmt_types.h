// orv/devmgmt_types.h: the device library's records and callback types.
//
// orv::devMgmt::Device is one device as the gateway knows it; MacIp one of
// its MAC/IP bindings. Both are plain values: copies are deep and never change
// when the cache changes afterwards.
//
// The callbacks are plain function pointers without user context; two
// registrations are the same callback when the pointers are equal.

#ifndef ORV_DEVMGMT_TYPES_H_
#define ORV_DEVMGMT_TYPES_H_

#include <cstdint>
#include <string>
#include <vector>

struct json_t;  // Jansson's JSON value

namespace orv {

// DevInfoChangeType is the kind of device event passed to a
// DevInfoChangeCallback.
enum DevInfoChangeType {
  NEW_DEV = 0,           // a device record was created in the cache
  DEV_INFO_UPDATED = 1,  // one field of a device was written
  DEV_INFO_REMOVED = 2,  // a device was removed from the cache
};

namespace devMgmt {

// MacIp is one MAC/IP binding of a device. The MAC is the binding's identity,
// byte for byte as the settings store names it; the IP may be empty.
struct MacIp {
  std::string mac;
  std::string ip;
};

// Device is one device record. Texts are bytes as the settings store holds
// them; the four integers come last.
struct Device {
  std::string device_id;
  std::string profile_id;
  std::vector<MacIp> macs;  // in the order the MACs were first seen
  std::string display_name;
  std::string device_type;
  std::string device_os;
  std::string device_os_version;
  std::string device_model;
  std::string device_manufacturer;
  std::string velk_device_id;
  int blocked = 0;     // non-zero when the device's traffic is blocked
  int onvelk = 0;      // flag
  int onguest = 0;     // flag; -1 is kept as stored
  int scan_level = 0;  // 2 for a loaded device without a stored level
};

// SyncStatus is how the sync thread is doing: figures for a status page.
struct SyncStatus {
  bool running = false;                // init() has started the library and uninit() not stopped it
  bool watching = false;               // the thread holds the store's notification descriptor
  std::uint64_t loads = 0;             // whole loads of the cache: init()'s and reloads
  std::int64_t last_load_devices = 0;  // devices the last load left in the cache
  std::int64_t last_load_us = 0;       // how long the last load took, microseconds
  // Values the last load found in the store but could not read (a node, a
  // link or a special file where a value belongs, a value over the size cap,
  // a failed read): their fields took their defaults. Absent values don't count.
  std::int64_t last_load_unreadable = 0;
  std::uint64_t changes_applied = 0;   // changed keys taken from the store
  std::uint64_t descriptors_lost = 0;  // watches lost (/devices deleted, overflow)
  std::int64_t last_change_ms = 0;     // CLOCK_REALTIME of the last change applied, ms; 0: none
  std::string last_store_error;        // why the thread isn't watching; "" while it is
};

}  // namespace devMgmt
}  // namespace orv

// DevInfoChangeCallback receives device events. `field_name` is the changed
// field's storage key name for DEV_INFO_UPDATED ("display_name", "macs",
// "traffic_blocked", ...) and empty for NEW_DEV and DEV_INFO_REMOVED.
using DevInfoChangeCallback = void (*)(orv::DevInfoChangeType type, const std::string& device_id,
                                       const std::string& field_name);

// KeyChangeCallback receives the full key of a changed settings key.
using KeyChangeCallback = void (*)(const std::string& key);

// TrafficBlockedCallback receives a traffic status document and owns it: it
// must release it with json_decref.
using TrafficBlockedCallback = void (*)(json_t* status);

// CacheReloadedCallback receives, after each reload of the cache by the sync
// thread, the ids (sorted bytewise) of the devices that were cached before the
// reload, or emptied from it by a deletion of /devices since the last reload,
// and are not cached after it.
using CacheReloadedCallback = void (*)(const std::vector<std::string>& vanished_ids);

namespace orv {
namespace devMgmt {
using ::CacheReloadedCallback;
using ::DevInfoChangeCallback;
using ::KeyChangeCallback;
using ::TrafficBlockedCallback;
}  // namespace devMgmt
}  // namespace orv

#endif  // ORV_DEVMGMT_TYPES_H_
