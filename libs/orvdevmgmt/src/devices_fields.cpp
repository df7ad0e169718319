// Field updates: one method per device attribute. Each logs its change
// before it takes the cache's mutex, stores the value (creating the device
// when it isn't cached) and tells the field's subscribers, unconditionally:
// an unchanged value is notified like any other.
//
// The field names are built once and never destroyed, so that a notification
// allocates nothing and a sync thread still applying a change while the
// process exits never reads a freed name.

#include "devices_records.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"

using orv::devMgmt::Device;

namespace {

template <class Value>
void Store(Devices& cache, const std::string& device_id, Value Device::*member, const Value& value,
           const std::string& field_name) {
  orv::devMgmt::MutexLock hold(cache.mutex);
  auto found = cache.devices.find(device_id);
  if (found != cache.devices.end()) {
    found->second.*member = value;
    cache.notify_dev_info_updated(device_id, field_name);
    return;
  }
  // Creating the device runs the NEW_DEV callbacks, which may change the
  // cache at will and free what the arguments point into: go on with copies,
  // and drop the update when they removed the device again.
  const std::string id(device_id);
  const Value copy(value);
  Device* record = orv::devmgmt_internal::find_or_create(cache, id);
  if (record == nullptr) return;
  record->*member = copy;
  cache.notify_dev_info_updated(id, field_name);
}

}  // namespace

void Devices::update_onvelk(const std::string& device_id, int value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, onvelk=%d", device_id, value);
  static const std::string& kField = *new std::string("onvelk");
  Store(*this, device_id, &Device::onvelk, value, kField);
}

void Devices::update_onguest(const std::string& device_id, int value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, onguest=%d", device_id, value);
  static const std::string& kField = *new std::string("onguest");
  Store(*this, device_id, &Device::onguest, value, kField);
}

void Devices::update_profile_id(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, profile_id=%s", device_id, value);
  static const std::string& kField = *new std::string("profile_id");
  Store(*this, device_id, &Device::profile_id, value, kField);
}

void Devices::update_blocked(const std::string& device_id, int value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, blocked=%d", device_id, value);
  static const std::string& kField = *new std::string("traffic_blocked");
  Store(*this, device_id, &Device::blocked, value, kField);
}

void Devices::update_display_name(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, display_name=%s", device_id, value);
  static const std::string& kField = *new std::string("display_name");
  Store(*this, device_id, &Device::display_name, value, kField);
}

void Devices::update_type(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, type=%s", device_id, value);
  static const std::string& kField = *new std::string("device_type");
  Store(*this, device_id, &Device::device_type, value, kField);
}

void Devices::update_os(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, os=%s", device_id, value);
  static const std::string& kField = *new std::string("device_os");
  Store(*this, device_id, &Device::device_os, value, kField);
}

void Devices::update_os_version(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, os_version=%s", device_id, value);
  static const std::string& kField = *new std::string("device_os_version");
  Store(*this, device_id, &Device::device_os_version, value, kField);
}

void Devices::update_model(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, model=%s", device_id, value);
  static const std::string& kField = *new std::string("device_model");
  Store(*this, device_id, &Device::device_model, value, kField);
}

void Devices::update_manufacturer(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, manufacturer=%s", device_id, value);
  static const std::string& kField = *new std::string("device_manufacturer");
  Store(*this, device_id, &Device::device_manufacturer, value, kField);
}

void Devices::update_scan_level(const std::string& device_id, int value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, scan_level=%d", device_id, value);
  static const std::string& kField = *new std::string("scan_level");
  Store(*this, device_id, &Device::scan_level, value, kField);
}

void Devices::update_velk_device_id(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, velk_device_id=%s", device_id, value);
  static const std::string& kField = *new std::string("velk_device_id");
  Store(*this, device_id, &Device::velk_device_id, value, kField);
}
