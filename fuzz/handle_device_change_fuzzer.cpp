// Fuzzes the dispatcher: one changed key, as the sync thread would report it,
// through handle_device_change on a scratch store that holds two devices.
//
// Input: "<key>" alone, "<key>\n<value>" (the value is written at the key
// first), or "!<key>" (the key is deleted first). The store and the cache are
// put back to the two devices after every input that changed them. Every
// subscription kind is registered, so the key reaches the device-info
// callbacks, the key subscribers and the traffic-blocked report.
//
// Checked beyond "no crash, no sanitizer report": every log line stays one
// line, the report is a JSON object that Jansson can print, and the cache's
// queries agree with each other afterwards.

#include <jansson.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "dispatcher.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/log.h"
#include "orv/path.h"
#include "orv/settings.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "handle_device_change_fuzzer: %s\n", what);
    abort();
  }
}

// The two devices every input starts from: bindings, a blocked one, fields of
// each kind.
const char* const kSeed[][2] = {
    {"/devices/d1/display_name", "Kitchen TV"},
    {"/devices/d1/traffic_blocked", "1"},
    {"/devices/d1/onguest", "-1"},
    {"/devices/d1/scan_level", "3"},
    {"/devices/d1/macs/aa:bb:cc:dd:ee:01", "192.168.1.10"},
    {"/devices/d1/macs/aa:bb:cc:dd:ee:02", "192.168.1.11"},
    {"/devices/d2/device_type", "phone"},
    {"/devices/d2/profile_id", "kids"},
    {"/devices/d2/macs/aa:bb:cc:dd:ee:03", ""},
};

// Scratch is the store's root for the whole run: a fresh temporary directory,
// removed at exit.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orv-fuzz-XXXXXX").string();
    Check(mkdtemp(&pattern[0]) != nullptr, "mkdtemp failed");
    root_ = pattern;
    orv::setMgmt::set_root(root_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Reset empties the store, writes the seed and reloads the cache.
  static void Reset() {
    std::vector<std::string> names;
    orv::setMgmt::enumSubkeys("/", names);
    for (const std::string& name : names) orv::setMgmt::deleteKey("/" + name);
    for (const auto& entry : kSeed) {
      Check(orv::setMgmt::setKey(entry[0], entry[1]) == 0, "seeding the store failed");
    }
    g_devices.load();
  }

 private:
  std::string root_;
};

void OnDevInfo(orv::DevInfoChangeType, const std::string& device_id, const std::string&) {
  // Callbacks run with the cache locked and may query it.
  orv::devMgmt::Device device;
  orv::devMgmt::get_device(device_id, device);
}

void OnKey(const std::string& key) { Check(!key.empty(), "a key subscriber got an empty key"); }

void OnTrafficBlocked(json_t* status) {
  Check(json_is_object(status), "the traffic-blocked report is not a JSON object");
  char* text = json_dumps(status, JSON_COMPACT);
  Check(text != nullptr, "Jansson can't print the traffic-blocked report");
  free(text);
  json_decref(status);
}

// CheckCache: each device the cache lists is found by its id, and a MAC that
// the MAC index knows leads to a device that holds it. (The index may lack a
// listed MAC: removing a MAC from a device that doesn't hold it drops the
// MAC's index entry all the same.)
void CheckCache() {
  std::vector<orv::devMgmt::Device> devices;
  orv::devMgmt::get_devices(devices);
  for (const orv::devMgmt::Device& device : devices) {
    Check(orv::devMgmt::device_exists(device.device_id), "a listed device doesn't exist");
    for (const orv::devMgmt::MacIp& binding : device.macs) {
      std::string owner;
      if (orv::devMgmt::get_device_id_by_mac(binding.mac, owner) != 0) continue;
      std::vector<std::string> macs;
      orv::devMgmt::get_device_macs(owner, macs);
      bool held = false;
      for (const std::string& mac : macs) held = held || mac == binding.mac;
      Check(held, "the MAC index names a device that doesn't hold the MAC");
    }
  }
}

struct Setup {
  Setup() {
    orv::log::current_level = orv::log::kDebug;  // every line is formatted
    orv::log::set_sink([](orv::log::level, std::string_view text) {
      Check(text.find('\n') == std::string_view::npos, "a log line spans several lines");
    });
    orv::devMgmt::set_on_dev_info_change(
        {"macs", "display_name", "device_type", "device_os", "device_os_version", "device_model",
         "device_manufacturer", "velk_device_id", "profile_id", "traffic_blocked", "onvelk",
         "onguest", "scan_level"},
        OnDevInfo);
    Check(orv::devMgmt::set_on_key_change("^/devices/[^/]+/", OnKey) == 0, "set_on_key_change");
    Check(orv::devMgmt::set_on_traffic_blocked_change(OnTrafficBlocked) == 0,
          "set_on_traffic_blocked_change");
    Scratch::Reset();
  }
  Scratch scratch;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  std::string key(input.substr(0, newline));
  bool store_changed = false;
  if (newline != std::string_view::npos) {
    orv::setMgmt::setKey(key, std::string(input.substr(newline + 1)));
    store_changed = true;
  } else if (!key.empty() && key.front() == '!') {
    key.erase(0, 1);
    orv::setMgmt::deleteKey(key);
    store_changed = true;
  }

  orv::path changed;
  changed.add_piece(true, key);
  const int handled = orv::devmgmt_internal::handle_device_change(changed);
  Check(handled == 0 || handled == 1, "handle_device_change returned neither 0 nor 1");
  CheckCache();

  if (store_changed) {
    Scratch::Reset();
  } else if (handled == 1) {
    g_devices.load();  // the cache took a deletion the store never saw
  }
  return 0;
}
