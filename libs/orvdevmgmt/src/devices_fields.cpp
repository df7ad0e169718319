// Field updates: one method per device attribute. Each logs its change
// before it takes the cache's mutex, stores the value (creating the device
// when it isn't cached) and tells the field's subscribers, unconditionally:
// an unchanged value is notified like any other. The field names are built
// once, so that a notification allocates nothing.

#include "log_frame.h"
#include "orv/devmgmt_internals.h"

using orv::devMgmt::Device;

namespace {

template <class Value>
void Store(Devices& cache, const std::string& device_id, Value Device::*member, const Value& value,
           const std::string& field_name) {
  std::lock_guard<std::recursive_mutex> hold(cache.mutex);
  cache.get_device_ref(device_id).*member = value;
  cache.notify_dev_info_updated(device_id, field_name);
}

}  // namespace

void Devices::update_onvelk(const std::string& device_id, int value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, onvelk=%d", device_id, value);
  static const std::string kField("onvelk");
  Store(*this, device_id, &Device::onvelk, value, kField);
}

void Devices::update_onguest(const std::string& device_id, int value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, onguest=%d", device_id, value);
  static const std::string kField("onguest");
  Store(*this, device_id, &Device::onguest, value, kField);
}

void Devices::update_profile_id(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, profile_id=%s", device_id, value);
  static const std::string kField("profile_id");
  Store(*this, device_id, &Device::profile_id, value, kField);
}

void Devices::update_blocked(const std::string& device_id, int value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, blocked=%d", device_id, value);
  static const std::string kField("traffic_blocked");
  Store(*this, device_id, &Device::blocked, value, kField);
}

void Devices::update_display_name(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, display_name=%s", device_id, value);
  static const std::string kField("display_name");
  Store(*this, device_id, &Device::display_name, value, kField);
}

void Devices::update_type(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, type=%s", device_id, value);
  static const std::string kField("device_type");
  Store(*this, device_id, &Device::device_type, value, kField);
}

void Devices::update_os(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, os=%s", device_id, value);
  static const std::string kField("device_os");
  Store(*this, device_id, &Device::device_os, value, kField);
}

void Devices::update_os_version(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, os_version=%s", device_id, value);
  static const std::string kField("device_os_version");
  Store(*this, device_id, &Device::device_os_version, value, kField);
}

void Devices::update_model(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, model=%s", device_id, value);
  static const std::string kField("device_model");
  Store(*this, device_id, &Device::device_model, value, kField);
}

void Devices::update_manufacturer(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, manufacturer=%s", device_id, value);
  static const std::string kField("device_manufacturer");
  Store(*this, device_id, &Device::device_manufacturer, value, kField);
}

void Devices::update_scan_level(const std::string& device_id, int value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, scan_level=%d", device_id, value);
  static const std::string kField("scan_level");
  Store(*this, device_id, &Device::scan_level, value, kField);
}

void Devices::update_velk_device_id(const std::string& device_id, const std::string& value) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, velk_device_id=%s", device_id, value);
  static const std::string kField("velk_device_id");
  Store(*this, device_id, &Device::velk_device_id, value, kField);
}
