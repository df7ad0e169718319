// dispatcher.h: turning one changed settings key into a cache change.
//
// The store says only which key under /devices changed. handle_device_change
// classifies the key by its path, asks the store whether it still exists,
// reads the new value where one is needed, applies it to g_devices and then
// hands the key to the key-change subscriptions (g_monitored_keys).

#ifndef ORVDEVMGMT_SRC_DISPATCHER_H_
#define ORVDEVMGMT_SRC_DISPATCHER_H_

#include <string>
#include <string_view>

#include "cache_reload.h"
#include "orv/path.h"

namespace orv {
namespace devmgmt_internal {

// DeviceKeyType is what a changed key addresses; its number is logged.
enum DeviceKeyType {
  KEY_DEVICES_ROOT = 0,     // /devices
  KEY_DEVICE = 1,           // /devices/<id>, /devices/<id>/
  KEY_MACS = 2,             // /devices/<id>/macs
  KEY_MAC = 3,              // /devices/<id>/macs/<mac>[/...]
  KEY_TRAFFIC_BLOCKED = 4,  // /devices/<id>/traffic_blocked[/...], and so on:
  KEY_ONVELK = 5,
  KEY_ONGUEST = 6,
  KEY_PROFILE_ID = 7,
  KEY_DISPLAY_NAME = 8,
  KEY_DEVICE_TYPE = 9,
  KEY_DEVICE_OS = 10,
  KEY_DEVICE_OS_VERSION = 11,
  KEY_DEVICE_MODEL = 12,
  KEY_DEVICE_MANUFACTURER = 13,
  KEY_SCAN_LEVEL = 14,
  KEY_VELK_DEVICE_ID = 15,
  KEY_OTHER_FIELD = 16,  // /devices/<id>/<any other field>
  KEY_IGNORED = 17,      // not under /devices, empty id, empty MAC
};

// DeviceKey is a classified key: its type, the device id (empty for the
// root, and for ignored keys unless the id was read) and the MAC (KEY_MAC
// only).
struct DeviceKey {
  DeviceKeyType type = KEY_IGNORED;
  std::string device_id;
  std::string mac;
};

// classify_device_key splits `key` (its first character, the leading "/",
// is dropped unexamined; every "/" ends a piece) and classifies it.
DeviceKey classify_device_key(std::string_view key);

// key_deleted is true when the store reports `key` missing: statKey fails
// with code 4 and a text containing "not found". Any other failure counts as
// the key being present.
bool key_deleted(const orv::path& key);

// handle_device_change applies one changed key to g_devices, then passes it
// to g_monitored_keys. Returns 1 when the key was handled, 0 when it was
// ignored, refused with a "BUG:" line, or its value could not be read.
// Runs on the sync thread, which passes its `reload`: a deletion of /devices
// records there the ids it empties from the cache, and a change the cache
// can't take alone asks there for a whole reload. Without `reload` both are
// dropped.
int handle_device_change(const orv::path& key, CacheReload& reload);
int handle_device_change(const orv::path& key);

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_DISPATCHER_H_
