// Devices::load: rebuilding the cache from the settings tree.
//
// The tree, under the root node /devices, holds one node per device, its name
// the id; below it one value per field and the node "macs", one child per
// MAC with the IP as its value. Which fields there are, their defaults and
// how each value becomes a member: the field table (field_table.h). Other
// children of a device's node are not read.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "devices_records.h"
#include "event_stream_registry.h"
#include "field_table.h"
#include "load_figures.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"
#include "orv/path.h"
#include "orv/settings_reader.h"

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;
using orv::devmgmt_internal::field_name;
using orv::devmgmt_internal::FieldRow;
using orv::devmgmt_internal::kFieldCount;
using orv::devmgmt_internal::kFieldTable;
using orv::devmgmt_internal::OnLoad;
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
    // The fields are read in the table's order, which is the order of the
    // store reads and log lines that the gateway's logs have always shown.
    for (std::size_t index = 0; index < kFieldCount; ++index) {
      const FieldRow& row = kFieldTable[index];
      const std::string& name = field_name(index);
      switch (row.on_load) {
        case OnLoad::kMacs: {
          NodeReader macs_node(node, name);
          std::vector<std::string> macs = macs_node.names();
          device.macs.reserve(device.macs.size() + macs.size());  // no spare room kept
          for (std::string& mac : macs) {
            mac_to_device_id[mac] = device_id;
            std::string ip;
            macs_node.getKey(mac, ip);
            ORV_LOG(orv::log::kInfo, "devid %s - mac %s - ip %s", device_id, mac, ip);
            device.macs.push_back(MacIp{std::move(mac), std::move(ip)});
          }
          unreadable += macs_node.unreadable();
          break;
        }
        case OnLoad::kText:
          device.*row.field.text = node.getKeyValue(name, std::string());
          break;
        case OnLoad::kBlockedText: {
          // Read as text: anything but "" and "0" blocks.
          std::string blocked;
          node.getKey(name, blocked);
          ORV_LOG(orv::log::kInfo, "devid %s - blocked %s", device_id, blocked);
          device.*row.field.number = (blocked.empty() || blocked == "0") ? 0 : 1;
          break;
        }
        case OnLoad::kInt:
          device.*row.field.number = node.getKeyValue(name, row.load_default);
          break;
        case OnLoad::kIntNoMinusOne: {
          const int stored = node.getKeyValue(name, row.load_default);
          device.*row.field.number = stored == -1 ? 0 : stored;
          break;
        }
      }
    }
    unreadable += node.unreadable();
  }
  g_last_load_unreadable.store(unreadable);
}
