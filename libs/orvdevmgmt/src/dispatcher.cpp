#include "dispatcher.h"

#include <stdlib.h>

#include "event_stream_registry.h"
#include "field_table.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "orv/settings.h"

namespace orv {
namespace devmgmt_internal {
namespace {

// Pieces holds the first four pieces of a split key, as views into it, and
// how many pieces there were in all.
struct Pieces {
  std::string_view piece[4];
  std::size_t count = 0;
};

Pieces Split(std::string_view key) {
  Pieces out;
  std::string_view rest = key.empty() ? key : key.substr(1);
  while (true) {
    const std::size_t slash = rest.find('/');
    if (out.count < 4) out.piece[out.count] = rest.substr(0, slash);
    ++out.count;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return out;
}

// ApplyField stores a field key's new value, read and converted as the
// field's row says. Returns false, changing nothing, when the value can't be
// read.
bool ApplyField(const FieldRow& row, const DeviceKey& parsed, const std::string& key) {
  if (row.on_change == OnChange::kStoreInt) {
    (g_devices.*row.int_update)(parsed.device_id, orv::setMgmt::getKeyValue(key, 0));
    return true;
  }
  std::string value;
  if (orv::setMgmt::getKey(key, value) < 0) return false;
  if (row.on_change == OnChange::kText) {
    (g_devices.*row.text_update)(parsed.device_id, value);
  } else {
    (g_devices.*row.int_update)(parsed.device_id, atoi(value.c_str()));
  }
  return true;
}

// Passed on: the key subscribers run after the cache took the change.
int PassOn(const std::string& key) {
  Streams().OnKeyChanged(key);
  g_monitored_keys.match_key(key);
  return 1;
}

}  // namespace

DeviceKey classify_device_key(std::string_view key) {
  const Pieces pieces = Split(key);
  DeviceKey out;
  if (pieces.piece[0] != "devices") return out;  // KEY_IGNORED
  if (pieces.count == 1) {
    out.type = KEY_DEVICES_ROOT;
    return out;
  }
  if (pieces.piece[1].empty()) return out;
  out.device_id = std::string(pieces.piece[1]);
  if (pieces.count == 2 || pieces.piece[2].empty()) {
    out.type = KEY_DEVICE;
    return out;
  }
  if (pieces.piece[2] == "macs") {
    if (pieces.count == 3) {
      out.type = KEY_MACS;
    } else if (!pieces.piece[3].empty()) {
      out.type = KEY_MAC;
      out.mac = std::string(pieces.piece[3]);
    }
    return out;
  }
  out.type = KEY_OTHER_FIELD;
  for (const FieldRow& row : kFieldTable) {
    if (row.on_change != OnChange::kNone && pieces.piece[2] == row.field.name) {
      out.type = row.key_type;
    }
  }
  return out;
}

bool key_deleted(const orv::path& key) {
  orv::storage::NodeInfo info;
  if (orv::setMgmt::statKey(key.str(), info) >= 0) return false;
  return orverrno.code() == orv::setMgmt::kNotFound &&
         orverrno.message().find("not found") != std::string::npos;
}

int handle_device_change(const orv::path& key) { return handle_device_change(key, nullptr); }

int handle_device_change(const orv::path& key, CacheReload* reload) {
  ORV_LOG(orv::log::kInfo, "Changed key %s", key);
  const std::string& text = key.str();
  const DeviceKey parsed = classify_device_key(text);
  ORV_LOG(orv::log::kInfo, "Key type %d, device_id=%s, value=%s", static_cast<int>(parsed.type),
          parsed.device_id, parsed.mac);
  if (parsed.type == KEY_IGNORED) return 0;
  if (parsed.type == KEY_OTHER_FIELD) return PassOn(text);

  const bool deleted = key_deleted(key);
  switch (parsed.type) {
    case KEY_DEVICES_ROOT:
      if (!deleted) {
        ORV_LOG(orv::log::kError, "BUG: change on /devices");
        return 0;
      }
      if (reload != nullptr) reload->Dropping();  // for the next reload's report
      g_devices.clear();
      return PassOn(text);
    case KEY_DEVICE:
      if (!deleted) {
        // The device was deleted and written anew before its deletion came
        // here: what the cache holds of the old one (MACs, blocked) would
        // stay. The thread reloads the cache after this batch of changes.
        ORV_LOG(orv::log::kError, "BUG: change on %s", key);
        if (reload != nullptr) reload->Request();
        return 0;
      }
      g_devices.remove_device_id(parsed.device_id);
      return PassOn(text);
    case KEY_MACS:
      // A new "macs" node says nothing until a MAC is written into it.
      if (!deleted) return 1;
      g_devices.remove_macs(parsed.device_id);
      return PassOn(text);
    case KEY_MAC:
      if (deleted) {
        g_devices.remove_mac(parsed.mac, parsed.device_id);
      } else {
        // A failed read leaves the IP empty: the binding is still worth having.
        std::string ip;
        orv::setMgmt::getKey(text, ip);
        g_devices.new_mac_ip(parsed.device_id, parsed.mac, ip);
      }
      return PassOn(text);
    default:
      // Fields are written, never deleted, by the gateway.
      if (deleted) {
        ORV_LOG(orv::log::kError, "BUG: key %s deleted", key);
        return 0;
      }
      // A failed read drops the change; the next notification or reload
      // brings the cache up to date.
      if (!ApplyField(kFieldTable[field_for_key(parsed.type)], parsed, text)) return 0;
      return PassOn(text);
  }
}

}  // namespace devmgmt_internal
}  // namespace orv
