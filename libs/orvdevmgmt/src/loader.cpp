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

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "devices_records.h"
#include "event_stream_registry.h"
#include "load_figures.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"
#include "orv/path.h"
#include "orv/settings_reader.h"

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;
using orv::setMgmt::NodeReader;

namespace {

// What the last load could not read; see load_figures.h.
std::atomic<std::int64_t> g_last_load_unreadable{0};

}  // namespace

namespace orv {
namespace devmgmt_internal {

std::int64_t last_load_unreadable_values() { return g_last_load_unreadable.load(); }

}  // namespace devmgmt_internal
}  // namespace orv

void Devices::load() {
  ORV_LOG(orv::log::kInfo, "Loading devices from storage");
  orv::path root;
  root.add_piece(true, "/devices");

  orv::devMgmt::MutexLock hold(mutex);
  const orv::devmgmt_internal::StreamLoadScope streams(*this);  // a snapshot for each stream
  clear();
  // The store's root is looked at once for the whole load, and each device's
  // node opened once: its values are read by name below it.
  const orv::setMgmt::ReadPass pass;
  NodeReader devices_node(root.str());
  std::int64_t unreadable = 0;
  for (const std::string& device_id : devices_node.names()) {
    // Subscribers hear of the device before any of its fields is read. They
    // may change the cache at will; a device they removed again is skipped.
    Device* record = orv::devmgmt_internal::find_or_create(*this, device_id);
    if (record == nullptr) continue;
    Device& device = *record;
    NodeReader node(devices_node, device_id);
    device.profile_id = node.getKeyValue("profile_id", std::string());

    NodeReader macs_node(node, "macs");
    std::vector<std::string> macs = macs_node.names();
    device.macs.reserve(device.macs.size() + macs.size());  // no spare room kept
    for (std::string& mac : macs) {
      mac_to_device_id[mac] = device_id;
      std::string ip;
      macs_node.getKey(mac, ip);
      ORV_LOG(orv::log::kInfo, "devid %s - mac %s - ip %s", device_id, mac, ip);
      device.macs.push_back(MacIp{std::move(mac), std::move(ip)});
    }

    device.display_name = node.getKeyValue("display_name", std::string());
    device.device_type = node.getKeyValue("device_type", std::string());
    device.device_os = node.getKeyValue("device_os", std::string());
    device.device_os_version = node.getKeyValue("device_os_version", std::string());
    device.device_model = node.getKeyValue("device_model", std::string());
    device.device_manufacturer = node.getKeyValue("device_manufacturer", std::string());
    device.velk_device_id = node.getKeyValue("velk_device_id", std::string());

    // traffic_blocked is read as text: anything but "" and "0" blocks.
    std::string blocked;
    node.getKey("traffic_blocked", blocked);
    ORV_LOG(orv::log::kInfo, "devid %s - blocked %s", device_id, blocked);
    device.blocked = (blocked.empty() || blocked == "0") ? 0 : 1;

    const int onvelk = node.getKeyValue("onvelk", 0);
    device.onvelk = onvelk == -1 ? 0 : onvelk;
    device.onguest = node.getKeyValue("onguest", 0);
    device.scan_level = node.getKeyValue("scan_level", 2);
    unreadable += node.unreadable() + macs_node.unreadable();
  }
  g_last_load_unreadable.store(unreadable);
}
