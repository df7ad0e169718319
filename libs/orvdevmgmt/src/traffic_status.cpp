#include "traffic_status.h"

#include <jansson.h>

#include "log_frame.h"
#include "orv/devmgmt_internals.h"

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;

namespace orv {
namespace devmgmt_internal {
namespace {

// JsonRef owns one reference to a JSON value until it is released.
class JsonRef {
 public:
  explicit JsonRef(json_t* value) : value_(value) {}
  JsonRef(const JsonRef&) = delete;
  JsonRef& operator=(const JsonRef&) = delete;
  ~JsonRef() { json_decref(value_); }

  json_t* get() const { return value_; }
  json_t* release() {
    json_t* value = value_;
    value_ = nullptr;
    return value;
  }

 private:
  json_t* value_;
};

}  // namespace

json_t* build_device_traffic_status(const std::string& device_id, const Device& device) {
  JsonRef status(json_object());
  if (status.get() == nullptr) {
    ORV_LOG(orv::log::kError, "Failed to alloc new json object");
    return nullptr;
  }
  // json_object_set_new takes the value's reference even when it fails.
  if (json_object_set_new(status.get(), "device_id", json_string(device_id.c_str())) != 0 ||
      json_object_set_new(status.get(), "blocked", json_integer(device.blocked)) != 0) {
    return nullptr;
  }
  JsonRef macs(json_array());
  JsonRef ips(json_array());
  if (macs.get() == nullptr || ips.get() == nullptr) return nullptr;
  // A MAC or IP that Jansson refuses (not UTF-8) is left out of its array
  // alone; its partner stays in the other.
  for (const MacIp& binding : device.macs) {
    json_array_append_new(macs.get(), json_string(binding.mac.c_str()));
    json_array_append_new(ips.get(), json_string(binding.ip.c_str()));
  }
  if (json_array_size(macs.get()) == 0) return nullptr;
  if (json_object_set_new(status.get(), "macs", macs.release()) != 0 ||
      json_object_set_new(status.get(), "ips", ips.release()) != 0) {
    return nullptr;
  }
  return status.release();
}

void traffic_blocked_change(const std::string& key) {
  // The id is the piece after "/devices": /devices/d1/traffic_blocked gives d1.
  std::string::size_type start = key.size() < 8 ? key.size() : 8;
  if (start < key.size() && key[start] == '/') ++start;
  const std::string device_id = key.substr(start, key.find('/', start) - start);
  ORV_LOG(orv::log::kInfo, "Getting traffic_blocked status for device %s", device_id);
  json_t* status = g_devices.get_device_traffic_status(device_id);
  if (status == nullptr) return;
  orv::log_json(orv::log::kInfo, "Traffic blocked status:", status);
  // The callback owns the document once it is called; when it was unset
  // while the report was being made, the document is ours to drop.
  if (!g_traffic_blocked_callback.Call(status)) json_decref(status);
}

}  // namespace devmgmt_internal
}  // namespace orv

json_t* Devices::get_device_traffic_status(const std::string& device_id) {
  orv::devMgmt::MutexLock hold(mutex);
  auto found = devices.find(device_id);
  if (found == devices.end()) {
    ORV_LOG(orv::log::kNotice, "Device id %s no longer exists", device_id);
    return nullptr;
  }
  return orv::devmgmt_internal::build_device_traffic_status(device_id, found->second);
}
