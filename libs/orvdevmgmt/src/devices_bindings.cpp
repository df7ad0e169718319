// MAC/IP binding changes: keeping each device's list of pairs and the MAC
// index in step.
//
// The index is not kept in exact correspondence with the lists: a MAC
// reported for a second device moves its index entry there but stays in the
// first device's list, and removals erase the index entry of each MAC they
// drop whatever device it names.

#include <algorithm>

#include "devices_records.h"
#include "log_frame.h"
#include "orv/devmgmt_internals.h"

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;

namespace {

constexpr const char* kMacsField = "macs";

// PointsInto is true when one of `args` is a string of a binding in `macs`.
bool PointsInto(const std::vector<MacIp>& macs, const std::string* const (&args)[3]) {
  for (const MacIp& binding : macs) {
    for (const std::string* arg : args) {
      if (arg == &binding.mac || arg == &binding.ip) return true;
    }
  }
  return false;
}

}  // namespace

void Devices::new_mac_ip(const std::string& device_id_arg, const std::string& mac_arg,
                         const std::string& ip_arg) {
  ORV_LOG(orv::log::kInfo, "device_id=%s, mac=%s, ip=%s", device_id_arg, mac_arg, ip_arg);
  orv::devMgmt::MutexLock hold(mutex);
  const std::string* args[3] = {&device_id_arg, &mac_arg, &ip_arg};
  std::string copies[3];
  auto use_copies = [&args, &copies] {
    for (int i = 0; i < 3; ++i) {
      copies[i] = *args[i];
      args[i] = &copies[i];
    }
  };
  Device* device = nullptr;
  auto found = devices.find(device_id_arg);
  if (found != devices.end()) {
    device = &found->second;
    // An argument that is a string of this device's list would move when the
    // list grows: go on with copies then (never in the usual case).
    if (PointsInto(device->macs, args)) use_copies();
  } else {
    // Creating the device runs the NEW_DEV callbacks, which may change the
    // cache at will and free what the arguments point into: go on with
    // copies, and drop the binding when they removed the device again.
    use_copies();
    device = orv::devmgmt_internal::find_or_create(*this, copies[0]);
    if (device == nullptr) return;
  }
  const std::string& device_id = *args[0];
  const std::string& mac = *args[1];
  const std::string& ip = *args[2];

  if (device->macs.empty()) {
    ORV_LOG(orv::log::kInfo, "New device_id=%s with <mac=%s, ip=%s>", device_id, mac, ip);
  } else {
    auto pair = std::find_if(device->macs.begin(), device->macs.end(),
                             [&mac](const MacIp& binding) { return binding.mac == mac; });
    if (pair == device->macs.end()) {
      ORV_LOG(orv::log::kInfo, "New <mac=%s, ip=%s> pair for device_id=%s", mac, ip, device_id);
    } else if (pair->ip == ip) {
      ORV_LOG(orv::log::kInfo, "Same info");
      mac_to_device_id[mac] = device_id;
      return;
    } else {
      ORV_LOG(orv::log::kInfo, "ip changed from %s to %s for mac=%s, device_id=%s", pair->ip, ip,
              mac, device_id);
      pair->ip = ip;
      mac_to_device_id[mac] = device_id;
      notify_dev_info_updated(device_id, kMacsField);
      return;
    }
  }
  // The pair first, then the index: should the append throw, the index names
  // no device whose list lacks the MAC.
  device->macs.push_back(MacIp{mac, ip});
  mac_to_device_id[mac] = device_id;
  notify_dev_info_updated(device_id, kMacsField);
}

// The removals work on copies of their arguments: either may point into a
// record they erase.

void Devices::remove_mac(const std::string& mac_arg, const std::string& device_id_arg) {
  ORV_LOG(orv::log::kInfo, "Removing mac %s for device_id %s", mac_arg, device_id_arg);
  const std::string mac(mac_arg), device_id(device_id_arg);
  orv::devMgmt::MutexLock hold(mutex);
  auto found = devices.find(device_id);
  if (found == devices.end()) {
    ORV_LOG(orv::log::kError, "BUG: device_id %s not found in local cache", device_id);
    return;
  }
  std::vector<MacIp>& macs = found->second.macs;
  macs.erase(std::remove_if(macs.begin(), macs.end(),
                            [&mac](const MacIp& binding) { return binding.mac == mac; }),
             macs.end());
  // A device is known by its MACs: without one it leaves the cache. This is
  // told to the subscribers as a "macs" update, not as a removal.
  if (macs.empty()) devices.erase(found);
  if (mac_to_device_id.erase(mac) == 0) {
    ORV_LOG(orv::log::kError, "BUG: mac %s not found in local cache", mac);
  }
  notify_dev_info_updated(device_id, kMacsField);
}

void Devices::remove_macs(const std::string& device_id_arg) {
  ORV_LOG(orv::log::kInfo, "Removing macs for device_id=%s", device_id_arg);
  const std::string device_id(device_id_arg);
  orv::devMgmt::MutexLock hold(mutex);
  Device* device = orv::devmgmt_internal::find_or_create(*this, device_id);
  if (device == nullptr) return;  // a NEW_DEV callback removed it again
  for (const MacIp& binding : device->macs) {
    if (mac_to_device_id.erase(binding.mac) == 0) {
      ORV_LOG(orv::log::kError, "BUG: mac %s not found in local cache", binding.mac);
    }
  }
  device->macs.clear();
  notify_dev_info_updated(device_id, kMacsField);
}

void Devices::remove_device_id(const std::string& device_id_arg) {
  ORV_LOG(orv::log::kInfo, "Removing device_id %s", device_id_arg);
  const std::string device_id(device_id_arg);
  orv::devMgmt::MutexLock hold(mutex);
  auto found = devices.find(device_id);
  if (found == devices.end()) {
    ORV_LOG(orv::log::kError, "BUG: device_id %s not found in local cache", device_id);
    return;
  }
  for (const MacIp& binding : found->second.macs) {
    ORV_LOG(orv::log::kInfo, "mac=%s, ip=%s", binding.mac, binding.ip);
    if (mac_to_device_id.erase(binding.mac) == 0) {
      ORV_LOG(orv::log::kError, "BUG: mac %s not found in local cache", binding.mac);
    }
  }
  devices.erase(found);
  notify_dev_info_removed(device_id);
}
