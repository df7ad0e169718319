// client.cpp: the smallest useful client of the device library.
//
// It starts the library, waits until it is in step with the settings store,
// prints who owns a MAC address, reports name changes and traffic-blocked
// reports for a while, and stops the library again.
//
//   ORV_SETTINGS_DIR=/path/to/store ./orv-example-client aa:bb:cc:dd:ee:ff 10

#include <jansson.h>
#include <orv/devmgmt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Runs on the library's sync thread with the cache locked: it may query the
// cache, but must not wait for another thread that does.
void on_name_change(orv::DevInfoChangeType type, const std::string& device_id,
                    const std::string& field_name) {
  if (type != orv::DEV_INFO_UPDATED) return;
  orv::devMgmt::Device device;
  if (orv::devMgmt::get_device(device_id, device)) {
    std::printf("%s is now called \"%s\" (%s)\n", device_id.c_str(), device.display_name.c_str(),
                field_name.c_str());
  }
}

// Runs on the sync thread; the report is the callback's to release.
void on_traffic_blocked(json_t* status) {
  const char* device_id = json_string_value(json_object_get(status, "device_id"));
  std::printf("%s: traffic %s\n", device_id != nullptr ? device_id : "?",
              json_integer_value(json_object_get(status, "blocked")) != 0 ? "blocked" : "allowed");
  json_decref(status);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mac = argc > 1 ? argv[1] : "aa:bb:cc:dd:ee:ff";
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 0;

  orv::devMgmt::set_on_dev_info_change({"display_name"}, on_name_change);
  orv::devMgmt::set_on_traffic_blocked_change(on_traffic_blocked);
  if (orv::devMgmt::init() != 0) {
    std::fprintf(stderr, "init failed: %d %s\n", orverrno.code(), orverrno.message().c_str());
    return 1;
  }
  // Until the sync thread watches the store, the cache may miss changes.
  if (orv::devMgmt::wait_for_sync(5000) != 0) {
    std::fprintf(stderr, "not in sync: %d %s\n", orverrno.code(), orverrno.message().c_str());
    orv::devMgmt::uninit();
    return 1;
  }

  std::string owner;
  if (orv::devMgmt::get_device_id_by_mac(mac, owner) == 0) {
    std::printf("%s belongs to %s\n", mac.c_str(), owner.c_str());
  } else {
    std::printf("%s: %s\n", mac.c_str(), orverrno.message().c_str());
  }

  std::this_thread::sleep_for(std::chrono::seconds(seconds));  // watch renames meanwhile
  orv::devMgmt::uninit();
  orv::devMgmt::unset_on_traffic_blocked_change(on_traffic_blocked);
  orv::devMgmt::unset_on_dev_info_change({"display_name"}, on_name_change);
  return 0;
}
