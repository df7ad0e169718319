// Devices::load: rebuilding the cache from the settings tree.
//
// The tree, under the root node /devices:
//   /devices/<device_id>/                one node per device; its name is the id
//     profile_id, display_name, device_type, device_os, device_os_version,
//     device_model, device_manufacturer, velk_device_id     texts, default ""
//     traffic_blocked                    text: "" or "0" is 0, anything else 1
//     onvelk                             integer, default 0; -1 is stored as 0
//     onguest                            integer, default 0, as read
//     scan_level                         integer, default 2
//     macs/<mac>                         one node per MAC, its value the IP
// Other children of a device's node are not read.

#include <string>
#include <vector>

#include "devices_records.h"
#include "event_stream_registry.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"
#include "orv/path.h"
#include "orv/settings.h"

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;

namespace {

// Text is a piece handed to orv::path as the text it is: add_piece's
// overload for other types renders the piece through a stream first, which
// costs more than reading the value.
orv::basic_string_view<char> Text(const std::string& text) { return text; }

// FieldKey returns the key of a device's field: root, id, field name.
std::string FieldKey(const orv::path& root, const std::string& device_id, const char* field) {
  orv::path key;
  key.add_piece(true, Text(root.str()))
      .add_piece(true, Text(device_id))
      .add_piece(true, orv::basic_string_view<char>(field));
  return key.str();
}

std::string ReadText(const orv::path& root, const std::string& device_id, const char* field) {
  return orv::setMgmt::getKeyValue(FieldKey(root, device_id, field), std::string());
}

int ReadInt(const orv::path& root, const std::string& device_id, const char* field, int fallback) {
  return orv::setMgmt::getKeyValue(FieldKey(root, device_id, field), fallback);
}

}  // namespace

void Devices::load() {
  ORV_LOG(orv::log::kInfo, "Loading devices from storage");
  orv::path root;
  root.add_piece(true, "/devices");

  std::lock_guard<std::recursive_mutex> hold(mutex);
  const orv::devmgmt_internal::StreamLoadScope streams(*this);  // a snapshot for each stream
  clear();
  std::vector<std::string> device_ids;
  orv::setMgmt::enumSubkeys(root.str(), device_ids);
  for (const std::string& device_id : device_ids) {
    // Subscribers hear of the device before any of its fields is read. They
    // may change the cache at will; a device they removed again is skipped.
    Device* record = orv::devmgmt_internal::find_or_create(*this, device_id);
    if (record == nullptr) continue;
    Device& device = *record;
    device.profile_id = ReadText(root, device_id, "profile_id");

    const std::string macs_key = FieldKey(root, device_id, "macs");
    std::vector<std::string> macs;
    orv::setMgmt::enumSubkeys(macs_key, macs);
    device.macs.reserve(device.macs.size() + macs.size());  // no spare room kept
    for (std::string& mac : macs) {
      mac_to_device_id[mac] = device_id;
      orv::path binding_key;
      binding_key.add_piece(true, Text(macs_key)).add_piece(false, Text(mac));
      std::string ip;
      orv::setMgmt::getKey(binding_key.str(), ip);
      ORV_LOG(orv::log::kInfo, "devid %s - mac %s - ip %s", device_id, mac, ip);
      device.macs.push_back(MacIp{std::move(mac), std::move(ip)});
    }

    device.display_name = ReadText(root, device_id, "display_name");
    device.device_type = ReadText(root, device_id, "device_type");
    device.device_os = ReadText(root, device_id, "device_os");
    device.device_os_version = ReadText(root, device_id, "device_os_version");
    device.device_model = ReadText(root, device_id, "device_model");
    device.device_manufacturer = ReadText(root, device_id, "device_manufacturer");
    device.velk_device_id = ReadText(root, device_id, "velk_device_id");

    // traffic_blocked is read as text: anything but "" and "0" blocks.
    std::string blocked;
    orv::setMgmt::getKey(FieldKey(root, device_id, "traffic_blocked"), blocked);
    ORV_LOG(orv::log::kInfo, "devid %s - blocked %s", device_id, blocked);
    device.blocked = (blocked.empty() || blocked == "0") ? 0 : 1;

    const int onvelk = ReadInt(root, device_id, "onvelk", 0);
    device.onvelk = onvelk == -1 ? 0 : onvelk;
    device.onguest = ReadInt(root, device_id, "onguest", 0);
    device.scan_level = ReadInt(root, device_id, "scan_level", 2);
  }
}
