#include "devices_unreadable.h"

#include "orv/devmgmt.h"
#include "orv/error.h"
#include "orv/path.h"
#include "orv/settings.h"

namespace orv_tools {
namespace {

std::string DeviceKey(const std::string& device_id, const std::string& field) {
  orv::path key;
  key.add_piece(true, "/devices").add_piece(true, device_id).add_piece(true, field);
  return key.str();
}

// Check adds the store's error to `lines` when `result` is a failure other
// than "not found" (a field left out is the loader's default, not a fault).
void Check(int result, std::vector<std::string>& lines) {
  if (result < 0 && orverrno.code() != orv::setMgmt::kNotFound) {
    lines.push_back(orverrno.message());
  }
}

}  // namespace

std::vector<std::string> UnreadableValues(const std::string& device_id) {
  std::vector<std::string> lines;
  std::string value;
  for (const std::string& field : orv::devMgmt::device_field_names()) {
    if (field != "macs") Check(orv::setMgmt::getKey(DeviceKey(device_id, field), value), lines);
  }
  const std::string macs_key = DeviceKey(device_id, "macs");
  std::vector<std::string> macs;
  Check(orv::setMgmt::enumSubkeys(macs_key, macs), lines);
  for (const std::string& mac : macs) {
    orv::path binding;
    binding.add_piece(true, macs_key).add_piece(false, mac);
    Check(orv::setMgmt::getKey(binding.str(), value), lines);
  }
  return lines;
}

}  // namespace orv_tools
