// MAC/IP binding changes of the cache: new_mac_ip, remove_mac, remove_macs
// and remove_device_id.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/cache_helpers.h"
#include "support/log_capture.h"

namespace {

// The MACs of `id` as "mac/ip" texts, in list order.
std::vector<std::string> Pairs(const std::string& id) {
  std::vector<std::string> out;
  for (const orv::devMgmt::MacIp& pair : Cached(id).macs) out.push_back(pair.mac + "/" + pair.ip);
  return out;
}

// Owner returns the device the MAC index names for `mac`, or "-".
std::string Owner(const std::string& mac) {
  std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
  auto found = g_devices.mac_to_device_id.find(mac);
  return found == g_devices.mac_to_device_id.end() ? "-" : found->second;
}

class CacheBindingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Callback 0 follows the MAC lists, callback 1 another field only.
    orv::devMgmt::set_on_dev_info_change({"macs"}, DevInfoRecorder::Callback(0));
    orv::devMgmt::set_on_dev_info_change({"display_name"}, DevInfoRecorder::Callback(1));
    orverrno.set(99, "sentinel");
  }
  void TearDown() override {
    EXPECT_EQ(orverrno.code(), 99);  // mutations record no error
  }

  // Bind runs new_mac_ip and forgets what it logged and raised.
  void Bind(const std::string& id, const std::string& mac, const std::string& ip) {
    g_devices.new_mac_ip(id, mac, ip);
    events_.Take();
    log_.Clear();
  }

  DevInfoRecorder events_;
  LogCapture log_{4};
};

TEST_F(CacheBindingsTest, NewMacIpAppendsChangesInPlaceAndSkipsSameInfo) {
  g_devices.new_mac_ip("d1", "m1", "ip1");
  EXPECT_EQ(
      log_.Messages(),
      (Events{"3 new_mac_ip: device_id=d1, mac=m1, ip=ip1",
              "2 notify_new_dev: New device: device id=d1", "2 notify_new_dev: Called 2 callbacks",
              "3 new_mac_ip: New device_id=d1 with <mac=m1, ip=ip1>",
              "4 notify_dev_info_updated: Device info updated: device id=d1 field_name=macs"}));
  Events expected = DevInfoRecorder::NewFor("d1", {0, 1});
  expected.push_back("0 updated d1 macs");
  EXPECT_EQ(events_.Take(), expected);
  EXPECT_EQ(Owner("m1"), "d1");
  log_.Clear();

  g_devices.new_mac_ip("d1", "m2", "ip2");
  EXPECT_EQ(
      log_.Messages(),
      (Events{"3 new_mac_ip: device_id=d1, mac=m2, ip=ip2",
              "3 new_mac_ip: New <mac=m2, ip=ip2> pair for device_id=d1",
              "4 notify_dev_info_updated: Device info updated: device id=d1 field_name=macs"}));
  EXPECT_EQ(events_.Take(), (Events{"0 updated d1 macs"}));
  log_.Clear();

  g_devices.new_mac_ip("d1", "m1", "ip1");
  EXPECT_EQ(log_.Messages(),
            (Events{"3 new_mac_ip: device_id=d1, mac=m1, ip=ip1", "3 new_mac_ip: Same info"}));
  EXPECT_TRUE(events_.Take().empty());
  log_.Clear();

  g_devices.new_mac_ip("d1", "m1", "ip9");
  EXPECT_EQ(
      log_.Messages(),
      (Events{"3 new_mac_ip: device_id=d1, mac=m1, ip=ip9",
              "3 new_mac_ip: ip changed from ip1 to ip9 for mac=m1, device_id=d1",
              "4 notify_dev_info_updated: Device info updated: device id=d1 field_name=macs"}));
  EXPECT_EQ(events_.Take(), (Events{"0 updated d1 macs"}));
  EXPECT_EQ(Pairs("d1"), (std::vector<std::string>{"m1/ip9", "m2/ip2"}));

  // Letter case makes another MAC; an empty IP is a value like any other.
  Bind("d1", "M1", "");
  EXPECT_EQ(Pairs("d1"), (std::vector<std::string>{"m1/ip9", "m2/ip2", "M1/"}));
  EXPECT_EQ(Owner("M1"), "d1");
  Bind("d1", "M1", "ip7");
  EXPECT_EQ(Pairs("d1"), (std::vector<std::string>{"m1/ip9", "m2/ip2", "M1/ip7"}));

  // A known device without MACs gets the "New device_id" wording, no NEW_DEV.
  g_devices.update_display_name("d2", "TV");
  events_.Take();
  log_.Clear();
  g_devices.new_mac_ip("d2", "m5", "ip5");
  EXPECT_EQ(log_.Messages()[1], "3 new_mac_ip: New device_id=d2 with <mac=m5, ip=ip5>");
  EXPECT_EQ(events_.Take(), (Events{"0 updated d2 macs"}));
  EXPECT_EQ(Cached("d2").display_name, "TV");
}

TEST_F(CacheBindingsTest, MacReportedForTwoDevicesAndRemovedWithEither) {
  Bind("d1", "m1", "ip1");
  Bind("d1", "m2", "ip2");
  g_devices.new_mac_ip("d2", "m1", "ip1");
  Events expected = DevInfoRecorder::NewFor("d2", {0, 1});
  expected.push_back("0 updated d2 macs");
  EXPECT_EQ(events_.Take(), expected);
  EXPECT_EQ(Owner("m1"), "d2");
  EXPECT_EQ(Pairs("d1"), (std::vector<std::string>{"m1/ip1", "m2/ip2"}));
  EXPECT_EQ(Pairs("d2"), (std::vector<std::string>{"m1/ip1"}));

  // Reporting the unchanged pair for d1 again points the index back at d1.
  Bind("d1", "m1", "ip1");
  EXPECT_EQ(Owner("m1"), "d1");
  Bind("d2", "m1", "ip1");
  EXPECT_EQ(Owner("m1"), "d2");

  // Removing d1 drops the index entry of m1, although it names d2. The
  // record is gone by the time the subscribers hear of it.
  std::vector<bool> existed;
  events_.SetHook([&](int, orv::DevInfoChangeType type, const std::string& id, const std::string&) {
    if (type == orv::DEV_INFO_REMOVED) existed.push_back(orv::devMgmt::device_exists(id));
  });
  g_devices.remove_device_id("d1");
  EXPECT_EQ(log_.Messages(),
            (Events{"3 remove_device_id: Removing device_id d1",
                    "3 remove_device_id: mac=m1, ip=ip1", "3 remove_device_id: mac=m2, ip=ip2",
                    "2 notify_dev_info_removed: Device info removed: device_id=d1",
                    "2 notify_dev_info_removed: Called 2 callbacks"}));
  EXPECT_EQ(events_.Take(), DevInfoRecorder::RemovedFor("d1", {0, 1}));
  EXPECT_EQ(existed, (std::vector<bool>{false, false}));
  EXPECT_FALSE(orv::devMgmt::device_exists("d1"));
  EXPECT_EQ(Owner("m1"), "-");
  EXPECT_EQ(Owner("m2"), "-");
  EXPECT_EQ(Pairs("d2"), (std::vector<std::string>{"m1/ip1"}));
  log_.Clear();

  // d2's MAC has lost its index entry: the removal says so and goes on.
  g_devices.remove_device_id("d2");
  EXPECT_EQ(log_.Messages(), (Events{"3 remove_device_id: Removing device_id d2",
                                     "3 remove_device_id: mac=m1, ip=ip1",
                                     "0 remove_device_id: BUG: mac m1 not found in local cache",
                                     "2 notify_dev_info_removed: Device info removed: device_id=d2",
                                     "2 notify_dev_info_removed: Called 2 callbacks"}));
  EXPECT_EQ(events_.Take(), DevInfoRecorder::RemovedFor("d2", {0, 1}));
  EXPECT_TRUE(g_devices.devices.empty());
  log_.Clear();

  g_devices.remove_device_id("d2");
  EXPECT_EQ(log_.Messages(),
            (Events{"3 remove_device_id: Removing device_id d2",
                    "0 remove_device_id: BUG: device_id d2 not found in local cache"}));
  EXPECT_TRUE(events_.Take().empty());
  EXPECT_TRUE(g_devices.devices.empty());
}

TEST_F(CacheBindingsTest, RemoveMacDropsPairsIndexAndEmptiedRecordWithoutRemoval) {
  Bind("d1", "m1", "ip1");
  g_devices.remove_mac("m1", "d1");
  EXPECT_EQ(
      log_.Messages(),
      (Events{"3 remove_mac: Removing mac m1 for device_id d1",
              "4 notify_dev_info_updated: Device info updated: device id=d1 field_name=macs"}));
  EXPECT_EQ(events_.Take(), (Events{"0 updated d1 macs"}));
  EXPECT_FALSE(orv::devMgmt::device_exists("d1"));
  EXPECT_EQ(Owner("m1"), "-");

  Bind("d2", "m1", "ip1");
  Bind("d2", "m2", "ip2");
  Bind("d2", "m3", "ip3");
  Bind("d3", "m9", "ip9");
  g_devices.remove_mac("m2", "d2");
  EXPECT_EQ(Pairs("d2"), (std::vector<std::string>{"m1/ip1", "m3/ip3"}));
  EXPECT_EQ(Owner("m2"), "-");
  EXPECT_EQ(events_.Take(), (Events{"0 updated d2 macs"}));
  log_.Clear();

  // A MAC d2 doesn't have: its index entry goes whatever it names.
  g_devices.remove_mac("m9", "d2");
  EXPECT_EQ(Pairs("d2"), (std::vector<std::string>{"m1/ip1", "m3/ip3"}));
  EXPECT_EQ(Pairs("d3"), (std::vector<std::string>{"m9/ip9"}));
  EXPECT_EQ(Owner("m9"), "-");
  EXPECT_EQ(events_.Take(), (Events{"0 updated d2 macs"}));
  log_.Clear();

  // Letter case: "M1" is not m1; nothing is removed and the index lacks it.
  g_devices.remove_mac("M1", "d2");
  EXPECT_EQ(
      log_.Messages(),
      (Events{"3 remove_mac: Removing mac M1 for device_id d2",
              "0 remove_mac: BUG: mac M1 not found in local cache",
              "4 notify_dev_info_updated: Device info updated: device id=d2 field_name=macs"}));
  EXPECT_EQ(events_.Take(), (Events{"0 updated d2 macs"}));
  EXPECT_EQ(Pairs("d2"), (std::vector<std::string>{"m1/ip1", "m3/ip3"}));
  EXPECT_EQ(Owner("m1"), "d2");
  log_.Clear();

  // A MAC listed twice goes entirely.
  {
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    g_devices.devices["d2"].macs.push_back({"m1", "again"});
  }
  g_devices.remove_mac("m1", "d2");
  EXPECT_EQ(Pairs("d2"), (std::vector<std::string>{"m3/ip3"}));
  events_.Take();
  log_.Clear();

  // A device not in the cache is neither created nor announced.
  g_devices.remove_mac("m3", "dz");
  EXPECT_EQ(log_.Messages(), (Events{"3 remove_mac: Removing mac m3 for device_id dz",
                                     "0 remove_mac: BUG: device_id dz not found in local cache"}));
  EXPECT_TRUE(events_.Take().empty());
  EXPECT_FALSE(orv::devMgmt::device_exists("dz"));
  EXPECT_EQ(Owner("m3"), "d2");

  // A known device without MACs leaves the cache on any remove_mac.
  g_devices.update_display_name("d4", "TV");
  events_.Take();
  g_devices.remove_mac("m3", "d4");
  EXPECT_FALSE(orv::devMgmt::device_exists("d4"));
  EXPECT_EQ(Owner("m3"), "-");
  EXPECT_EQ(events_.Take(), (Events{"0 updated d4 macs"}));
}

TEST_F(CacheBindingsTest, RemoveMacsEmptiesTheListAndKeepsTheRecord) {
  Bind("d1", "m1", "ip1");
  Bind("d1", "m2", "ip2");
  Bind("d1", "m3", "ip3");
  {
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    g_devices.mac_to_device_id.erase("m2");
  }
  g_devices.remove_macs("d1");
  EXPECT_EQ(
      log_.Messages(),
      (Events{"3 remove_macs: Removing macs for device_id=d1",
              "0 remove_macs: BUG: mac m2 not found in local cache",
              "4 notify_dev_info_updated: Device info updated: device id=d1 field_name=macs"}));
  EXPECT_EQ(events_.Take(), (Events{"0 updated d1 macs"}));
  EXPECT_TRUE(orv::devMgmt::device_exists("d1"));
  EXPECT_TRUE(Pairs("d1").empty());
  EXPECT_EQ(Owner("m1"), "-");
  EXPECT_EQ(Owner("m3"), "-");

  g_devices.remove_macs("dz");
  Events expected = DevInfoRecorder::NewFor("dz", {0, 1});
  expected.push_back("0 updated dz macs");
  EXPECT_EQ(events_.Take(), expected);
  EXPECT_TRUE(orv::devMgmt::device_exists("dz"));
  EXPECT_TRUE(Pairs("dz").empty());
}

TEST_F(CacheBindingsTest, EachChangeLogsItsArgumentsBeforeTakingTheLock) {
  Bind("d1", "m1", "ip1");
  Bind("d2", "m2", "ip2");
  EXPECT_TRUE(LogsBeforeLocking(
      log_, [] { g_devices.new_mac_ip("d1", "m4", "ip4"); },
      "3 new_mac_ip: device_id=d1, mac=m4, ip=ip4"));
  EXPECT_EQ(Pairs("d1"), (std::vector<std::string>{"m1/ip1", "m4/ip4"}));
  EXPECT_TRUE(LogsBeforeLocking(
      log_, [] { g_devices.remove_mac("m4", "d1"); },
      "3 remove_mac: Removing mac m4 for device_id d1"));
  EXPECT_EQ(Pairs("d1"), (std::vector<std::string>{"m1/ip1"}));
  EXPECT_TRUE(LogsBeforeLocking(
      log_, [] { g_devices.remove_macs("d1"); }, "3 remove_macs: Removing macs for device_id=d1"));
  EXPECT_TRUE(Pairs("d1").empty());
  EXPECT_TRUE(LogsBeforeLocking(
      log_, [] { g_devices.remove_device_id("d2"); }, "3 remove_device_id: Removing device_id d2"));
  EXPECT_FALSE(orv::devMgmt::device_exists("d2"));
  Events expected(3, "0 updated d1 macs");
  for (const std::string& event : DevInfoRecorder::RemovedFor("d2", {0, 1})) {
    expected.push_back(event);
  }
  EXPECT_EQ(events_.Take(), expected);
}

}  // namespace
