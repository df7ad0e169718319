// The twelve field updates of the cache (update_display_name and its kin).

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/cache_helpers.h"
#include "support/log_capture.h"

namespace {

using orv::devMgmt::Device;

// One update: how to call it with a fixed value, the text its line carries
// after "device_id=<id>, ", the field its subscribers hear of, and how the
// value shows in a record.
struct FieldUpdate {
  std::string method;
  std::function<void(const std::string& id)> update;
  std::string logged;
  std::string field;
  std::function<void(Device&)> apply;
};

std::vector<FieldUpdate> AllUpdates() {
  return {
      {"update_onvelk", [](const std::string& id) { g_devices.update_onvelk(id, 1); }, "onvelk=1",
       "onvelk", [](Device& d) { d.onvelk = 1; }},
      {"update_onguest", [](const std::string& id) { g_devices.update_onguest(id, -1); },
       "onguest=-1", "onguest", [](Device& d) { d.onguest = -1; }},
      {"update_profile_id", [](const std::string& id) { g_devices.update_profile_id(id, "kids"); },
       "profile_id=kids", "profile_id", [](Device& d) { d.profile_id = "kids"; }},
      {"update_blocked", [](const std::string& id) { g_devices.update_blocked(id, 1); },
       "blocked=1", "traffic_blocked", [](Device& d) { d.blocked = 1; }},
      {"update_display_name",
       [](const std::string& id) { g_devices.update_display_name(id, "Living room TV"); },
       "display_name=Living room TV", "display_name",
       [](Device& d) { d.display_name = "Living room TV"; }},
      {"update_type", [](const std::string& id) { g_devices.update_type(id, "phone"); },
       "type=phone", "device_type", [](Device& d) { d.device_type = "phone"; }},
      {"update_os", [](const std::string& id) { g_devices.update_os(id, "android"); }, "os=android",
       "device_os", [](Device& d) { d.device_os = "android"; }},
      {"update_os_version", [](const std::string& id) { g_devices.update_os_version(id, "14"); },
       "os_version=14", "device_os_version", [](Device& d) { d.device_os_version = "14"; }},
      {"update_model", [](const std::string& id) { g_devices.update_model(id, "Pixel 8"); },
       "model=Pixel 8", "device_model", [](Device& d) { d.device_model = "Pixel 8"; }},
      {"update_manufacturer",
       [](const std::string& id) { g_devices.update_manufacturer(id, "Google"); },
       "manufacturer=Google", "device_manufacturer",
       [](Device& d) { d.device_manufacturer = "Google"; }},
      {"update_scan_level",
       [](const std::string& id) { g_devices.update_scan_level(id, 2147483647); },
       "scan_level=2147483647", "scan_level", [](Device& d) { d.scan_level = 2147483647; }},
      {"update_velk_device_id",
       [](const std::string& id) { g_devices.update_velk_device_id(id, "velk-9"); },
       "velk_device_id=velk-9", "velk_device_id", [](Device& d) { d.velk_device_id = "velk-9"; }},
  };
}

class CacheFieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> fields;
    for (const FieldUpdate& u : AllUpdates()) fields.push_back(u.field);
    orv::devMgmt::set_on_dev_info_change(fields, DevInfoRecorder::Callback(0));
    // Names that no update passes: callback 1 hears only of new devices.
    orv::devMgmt::set_on_dev_info_change({"blocked", "type", "os"}, DevInfoRecorder::Callback(1));
    orverrno.set(99, "sentinel");
  }

  DevInfoRecorder events_;
  LogCapture log_{4};
};

TEST_F(CacheFieldsTest, UpdateOfAnUnknownDeviceCreatesItThenNotifiesTheField) {
  for (const FieldUpdate& u : AllUpdates()) {
    SCOPED_TRACE(u.method);
    const std::string id = "dev-" + u.field;
    log_.Clear();
    u.update(id);
    EXPECT_EQ(log_.Messages(),
              (Events{"3 " + u.method + ": device_id=" + id + ", " + u.logged,
                      "2 notify_new_dev: New device: device id=" + id,
                      "2 notify_new_dev: Called 2 callbacks",
                      "4 notify_dev_info_updated: Device info updated: device id=" + id +
                          " field_name=" + u.field}));
    Events expected = DevInfoRecorder::NewFor(id, {0, 1});
    expected.push_back("0 updated " + id + " " + u.field);
    EXPECT_EQ(events_.Take(), expected);
    Device record;
    record.device_id = id;
    u.apply(record);
    EXPECT_EQ(Describe(Cached(id)), Describe(record));
  }
  EXPECT_EQ(g_devices.devices.size(), AllUpdates().size());
  EXPECT_EQ(orverrno.code(), 99);
}

TEST_F(CacheFieldsTest, UpdateOfAKnownDeviceStoresAndNotifiesEveryTime) {
  g_devices.new_mac_ip("d1", "m1", "ip1");
  g_devices.update_scan_level("d1", 2);
  Device expected = Cached("d1");
  events_.Take();
  for (const FieldUpdate& u : AllUpdates()) {
    SCOPED_TRACE(u.method);
    log_.Clear();
    u.update("d1");
    u.update("d1");  // the same value again is written and told again
    const std::string line = "3 " + u.method + ": device_id=d1, " + u.logged;
    const std::string told =
        "4 notify_dev_info_updated: Device info updated: device id=d1 field_name=" + u.field;
    EXPECT_EQ(log_.Messages(), (Events{line, told, line, told}));
    EXPECT_EQ(events_.Take(), Events(2, "0 updated d1 " + u.field));
    u.apply(expected);
    EXPECT_EQ(Describe(Cached("d1")), Describe(expected));
  }

  // At level 2 an update of a known device writes nothing; a new one writes
  // only its two level-2 lines.
  events_.Take();
  log_.Clear();
  orv::log::current_level = 2;
  g_devices.update_os("d1", "ios");
  g_devices.update_os("d2", "ios");
  EXPECT_EQ(log_.Messages(), (Events{"2 notify_new_dev: New device: device id=d2",
                                     "2 notify_new_dev: Called 2 callbacks"}));
  Events told = DevInfoRecorder::NewFor("d2", {0, 1});
  told.insert(told.begin(), "0 updated d1 device_os");
  told.push_back("0 updated d2 device_os");
  EXPECT_EQ(events_.Take(), told);
  EXPECT_EQ(orverrno.code(), 99);
}

TEST_F(CacheFieldsTest, EachUpdateLogsBeforeTakingTheLock) {
  g_devices.update_display_name("d1", "x");
  events_.Take();
  for (const FieldUpdate& u : AllUpdates()) {
    SCOPED_TRACE(u.method);
    EXPECT_TRUE(LogsBeforeLocking(
        log_, [&u] { u.update("d1"); }, "3 " + u.method + ": device_id=d1, " + u.logged));
    EXPECT_EQ(events_.Take(), (Events{"0 updated d1 " + u.field}));
  }
}

}  // namespace
