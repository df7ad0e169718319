// field_table.h: the fields of a device record, one row each.
//
// Every reader of fields loops over this table: the dispatcher classifies a
// changed key by its field name and applies the change, the loader reads each
// field of a device, the update_* methods store and announce a value, and
// device_fields() lists them for clients. Adding a field is one row here and
// its update method.
//
// The rows are in load order: "profile_id", "macs", the other texts,
// "traffic_blocked", "onvelk", "onguest", "scan_level".

#ifndef ORVDEVMGMT_SRC_FIELD_TABLE_H_
#define ORVDEVMGMT_SRC_FIELD_TABLE_H_

#include <cstddef>
#include <string>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"

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

// OnChange is how the dispatcher reads a changed field's new value.
enum class OnChange {
  kNone,      // "macs": bindings, not a value
  kText,      // the key's text, as it is
  kAtoi,      // the key's text through atoi (0 unless it starts with a number)
  kStoreInt,  // the store's integer read, default 0
};

// OnLoad is how the loader turns a stored value into the member.
enum class OnLoad {
  kMacs,          // one binding per child of the "macs" node
  kText,          // text, default ""
  kBlockedText,   // text (logged as read): "" or "0" is 0, anything else 1
  kInt,           // the store's integer read, default `load_default`
  kIntNoMinusOne  // the same, but a stored -1 is kept as 0
};

using Dev = orv::devMgmt::Device;
using TextUpdate = void (Devices::*)(const std::string&, const std::string&);
using IntUpdate = void (Devices::*)(const std::string&, int);

// FieldRow is one field. `field.name` is both the storage key name under
// /devices/<id>/ and the name DEV_INFO_UPDATED carries to subscribers.
struct FieldRow {
  orv::devMgmt::DeviceField field;  // name and member (null members for "macs")
  DeviceKeyType key_type;
  TextUpdate text_update;  // the Devices method storing it, for a text field,
  IntUpdate int_update;    // or for an integer field
  OnChange on_change;
  OnLoad on_load;
  int load_default;       // integer fields
  const char* log_label;  // the update line's "device_id=%s, <label>=..."
};

// The rows, in load order. The update lines' labels are those the gateway's
// logs have always had: shorter than the storage name for the type, OS,
// model and maker fields, and "blocked" for traffic_blocked.
// clang-format off
inline constexpr FieldRow kFieldTable[] = {
    {{"profile_id", &Dev::profile_id, nullptr}, KEY_PROFILE_ID,
     &Devices::update_profile_id, nullptr, OnChange::kText, OnLoad::kText, 0, "profile_id"},
    {{"macs", nullptr, nullptr}, KEY_MACS,
     nullptr, nullptr, OnChange::kNone, OnLoad::kMacs, 0, ""},
    {{"display_name", &Dev::display_name, nullptr}, KEY_DISPLAY_NAME,
     &Devices::update_display_name, nullptr, OnChange::kText, OnLoad::kText, 0, "display_name"},
    {{"device_type", &Dev::device_type, nullptr}, KEY_DEVICE_TYPE,
     &Devices::update_type, nullptr, OnChange::kText, OnLoad::kText, 0, "type"},
    {{"device_os", &Dev::device_os, nullptr}, KEY_DEVICE_OS,
     &Devices::update_os, nullptr, OnChange::kText, OnLoad::kText, 0, "os"},
    {{"device_os_version", &Dev::device_os_version, nullptr}, KEY_DEVICE_OS_VERSION,
     &Devices::update_os_version, nullptr, OnChange::kText, OnLoad::kText, 0, "os_version"},
    {{"device_model", &Dev::device_model, nullptr}, KEY_DEVICE_MODEL,
     &Devices::update_model, nullptr, OnChange::kText, OnLoad::kText, 0, "model"},
    {{"device_manufacturer", &Dev::device_manufacturer, nullptr}, KEY_DEVICE_MANUFACTURER,
     &Devices::update_manufacturer, nullptr, OnChange::kText, OnLoad::kText, 0, "manufacturer"},
    {{"velk_device_id", &Dev::velk_device_id, nullptr}, KEY_VELK_DEVICE_ID,
     &Devices::update_velk_device_id, nullptr, OnChange::kText, OnLoad::kText, 0, "velk_device_id"},
    {{"traffic_blocked", nullptr, &Dev::blocked}, KEY_TRAFFIC_BLOCKED,
     nullptr, &Devices::update_blocked, OnChange::kAtoi, OnLoad::kBlockedText, 0, "blocked"},
    {{"onvelk", nullptr, &Dev::onvelk}, KEY_ONVELK,
     nullptr, &Devices::update_onvelk, OnChange::kAtoi, OnLoad::kIntNoMinusOne, 0, "onvelk"},
    {{"onguest", nullptr, &Dev::onguest}, KEY_ONGUEST,
     nullptr, &Devices::update_onguest, OnChange::kStoreInt, OnLoad::kInt, 0, "onguest"},
    {{"scan_level", nullptr, &Dev::scan_level}, KEY_SCAN_LEVEL,
     nullptr, &Devices::update_scan_level, OnChange::kAtoi, OnLoad::kInt, 2, "scan_level"},
};
// clang-format on

inline constexpr std::size_t kFieldCount = sizeof(kFieldTable) / sizeof(kFieldTable[0]);

// field_of_update returns the index of the row whose update method is
// `update`, or kFieldCount.
constexpr std::size_t field_of_update(TextUpdate update) {
  std::size_t index = 0;
  while (index < kFieldCount && kFieldTable[index].text_update != update) ++index;
  return index;
}
constexpr std::size_t field_of_update(IntUpdate update) {
  std::size_t index = 0;
  while (index < kFieldCount && kFieldTable[index].int_update != update) ++index;
  return index;
}

// field_name returns the name of kFieldTable[index] as a string that is
// never destroyed: a notification allocates nothing, and a sync thread still
// applying a change while the process exits never reads a freed name.
const std::string& field_name(std::size_t index);

// field_for_key returns the index of the row of `type`, or kFieldCount.
std::size_t field_for_key(DeviceKeyType type);

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_FIELD_TABLE_H_
