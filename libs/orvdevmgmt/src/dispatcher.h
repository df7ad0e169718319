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
#include "field_table.h"  // DeviceKeyType
#include "orv/path.h"

namespace orv {
namespace devmgmt_internal {

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
// can't take alone asks there for a whole reload. Without a reload (null,
// or the one-argument form) both are dropped.
int handle_device_change(const orv::path& key, CacheReload* reload);
int handle_device_change(const orv::path& key);

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_DISPATCHER_H_
