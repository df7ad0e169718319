// The cache core and its queries: clear, get_device_ref and the lookups.

#include "devices_records.h"
#include "event_stream_registry.h"
#include "log_frame.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;

namespace {

// The error texts of the lookups; the codes tell an unknown device (4) from
// a MAC or IP without a match (5).
using orv::devMgmt::kAddressNotFound;
using orv::devMgmt::kDeviceNotFound;
constexpr const char* kNotFound = "not found";

}  // namespace

Devices::~Devices() = default;

void Devices::clear() {
  orv::devMgmt::MutexLock hold(mutex);
  orv::devmgmt_internal::Streams().OnClearing(*this);
  devices.clear();
  mac_to_device_id.clear();
}

namespace orv {
namespace devmgmt_internal {

Device* find_or_create(Devices& cache, const std::string& device_id) {
  auto found = cache.devices.find(device_id);
  if (found != cache.devices.end()) return &found->second;
  cache.devices.emplace(device_id, Device{}).first->second.device_id = device_id;
  cache.notify_new_dev(device_id);
  found = cache.devices.find(device_id);
  return found == cache.devices.end() ? nullptr : &found->second;
}

}  // namespace devmgmt_internal
}  // namespace orv

Device& Devices::get_device_ref(const std::string& device_id) {
  auto found = devices.find(device_id);
  if (found != devices.end()) return found->second;
  const std::string id(device_id);  // the NEW_DEV callbacks may free device_id
  if (Device* record = orv::devmgmt_internal::find_or_create(*this, id)) return *record;
  // A NEW_DEV callback removed the device again. The caller holds on to the
  // reference, so the record is put back, unannounced.
  Device& record = devices[id];
  record.device_id = id;
  return record;
}

bool Devices::device_exists(const std::string& device_id) {
  orv::devMgmt::MutexLock hold(mutex);
  return devices.find(device_id) != devices.end();
}

bool Devices::get_device(const std::string& device_id, Device& device) {
  orv::devMgmt::MutexLock hold(mutex);
  auto found = devices.find(device_id);
  if (found == devices.end()) {
    orverrno.set(kDeviceNotFound, kNotFound);
    return false;
  }
  // Member-wise assignment lets the caller's record reuse its storage.
  device = found->second;
  return true;
}

int Devices::get_devices(std::vector<Device>& devices_out) {
  orv::devMgmt::MutexLock hold(mutex);
  devices_out.reserve(devices_out.size() + devices.size());
  for (const auto& entry : devices) devices_out.push_back(entry.second);
  return static_cast<int>(devices_out.size());
}

int Devices::get_device_onvelk(const std::string& device_id) {
  orv::devMgmt::MutexLock hold(mutex);
  auto found = devices.find(device_id);
  if (found == devices.end()) {
    orverrno.set(kDeviceNotFound, kNotFound);
    return -1;
  }
  return found->second.onvelk;
}

int Devices::get_device_onguest(const std::string& device_id) {
  orv::devMgmt::MutexLock hold(mutex);
  auto found = devices.find(device_id);
  if (found == devices.end()) {
    orverrno.set(kDeviceNotFound, kNotFound);
    return -1;
  }
  return found->second.onguest;
}

int Devices::get_device_macs(const std::string& device_id, std::vector<std::string>& macs) {
  orv::devMgmt::MutexLock hold(mutex);
  auto found = devices.find(device_id);
  if (found == devices.end()) {
    orverrno.set(kDeviceNotFound, kNotFound);
    return 0;
  }
  for (const MacIp& binding : found->second.macs) macs.push_back(binding.mac);
  return static_cast<int>(macs.size());
}

int Devices::get_device_id_by_mac(const std::string& mac, std::string& device_id) {
  orv::devMgmt::MutexLock hold(mutex);
  auto found = mac_to_device_id.find(mac);
  if (found == mac_to_device_id.end()) {
    orverrno.set(kAddressNotFound, kNotFound);
    return -1;
  }
  device_id = found->second;
  ORV_LOG(orv::log::kInfo, "mac=%s, device_id=%s", mac, device_id);
  return 0;
}

int Devices::get_device_id_by_ip(const std::string& ip, std::string& device_id) {
  orv::devMgmt::MutexLock hold(mutex);
  // No IP index: IPs change often and are rarely asked for.
  for (const auto& entry : devices) {
    for (const MacIp& binding : entry.second.macs) {
      if (binding.ip == ip) {
        device_id = entry.first;
        ORV_LOG(orv::log::kInfo, "ip=%s, device_id=%s", ip, device_id);
        return 0;
      }
    }
  }
  orverrno.set(kAddressNotFound, kNotFound);
  return -1;
}

int Devices::get_device_ip(const std::string& device_id, const std::string& mac, std::string& ip) {
  orv::devMgmt::MutexLock hold(mutex);
  auto found = devices.find(device_id);
  if (found != devices.end()) {
    for (const MacIp& binding : found->second.macs) {
      if (binding.mac == mac) {
        ip = binding.ip;
        ORV_LOG(orv::log::kInfo, "mac=%s, device_id=%s, ip=%s", mac, device_id, ip);
        return 0;
      }
    }
  }
  orverrno.set(kAddressNotFound, kNotFound);
  return -1;
}
