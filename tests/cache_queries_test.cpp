// The cache's queries through orv::devMgmt, get_device_ref and clear.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/cache_helpers.h"
#include "support/log_capture.h"

namespace {

using orv::devMgmt::Device;
using orv::devMgmt::MacIp;

class CacheQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override { orverrno.set(99, "sentinel"); }

  // Put stores `device` as it is and indexes its MACs.
  static void Put(const Device& device) {
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    g_devices.devices[device.device_id] = device;
    for (const MacIp& pair : device.macs) g_devices.mac_to_device_id[pair.mac] = device.device_id;
  }

  static Device Make(const std::string& id, std::vector<MacIp> macs) {
    Device device;
    device.device_id = id;
    device.macs = std::move(macs);
    return device;
  }

  void ExpectError(int code, const std::string& text) {
    EXPECT_EQ(orverrno.code(), code);
    EXPECT_EQ(orverrno.message(), text);
    orverrno.set(99, "sentinel");
  }

  DevInfoRecorder events_;
  LogCapture log_{4};
};

TEST_F(CacheQueriesTest, LookupsByIdCopyOutAppendAndFailWithCode4) {
  Device d1 = Make("d1", {{"m1", "ip1"}, {"m2", "ip2"}, {"m3", "ip3"}});
  d1.profile_id = "p";
  d1.display_name = "TV";
  d1.device_os = "linux";
  d1.velk_device_id = "v1";
  d1.blocked = 1;
  d1.onvelk = 1;
  d1.onguest = 7;
  d1.scan_level = 3;
  Put(d1);
  Put(Make("d2", {}));

  EXPECT_TRUE(orv::devMgmt::device_exists("d1"));
  EXPECT_TRUE(orv::devMgmt::device_exists("d2"));
  EXPECT_FALSE(orv::devMgmt::device_exists("D1"));
  ExpectError(99, "sentinel");  // device_exists records nothing

  Device out = Make("old", {{"x", "y"}});
  out.onguest = 5;
  const Device before = out;
  EXPECT_FALSE(orv::devMgmt::get_device("dx", out));
  ExpectError(4, "not found");
  EXPECT_EQ(Describe(out), Describe(before));
  ASSERT_TRUE(orv::devMgmt::get_device("d1", out));
  EXPECT_EQ(Describe(out), Describe(d1));
  EXPECT_TRUE(log_.Lines().empty());             // none of the lookups by id logs
  g_devices.update_display_name("d1", "Radio");  // a copy doesn't follow the cache
  g_devices.new_mac_ip("d1", "m4", "ip4");
  EXPECT_EQ(Describe(out), Describe(d1));
  log_.Clear();

  EXPECT_EQ(orv::devMgmt::get_device_onvelk("d1"), 1);
  EXPECT_EQ(orv::devMgmt::get_device_onguest("d1"), 7);
  EXPECT_EQ(orv::devMgmt::get_device_onvelk("d2"), 0);
  EXPECT_EQ(orv::devMgmt::get_device_onvelk("dx"), -1);
  ExpectError(4, "not found");
  EXPECT_EQ(orv::devMgmt::get_device_onguest("dx"), -1);
  ExpectError(4, "not found");

  std::vector<std::string> macs = {"a", "b"};
  EXPECT_EQ(orv::devMgmt::get_device_macs("d1", macs), 6);
  EXPECT_EQ(macs, (std::vector<std::string>{"a", "b", "m1", "m2", "m3", "m4"}));
  EXPECT_EQ(orv::devMgmt::get_device_macs("d2", macs), 6);
  EXPECT_EQ(orv::devMgmt::get_device_macs("dx", macs), 0);
  ExpectError(4, "not found");
  EXPECT_EQ(macs.size(), 6u);

  std::vector<Device> all(1);
  EXPECT_EQ(orv::devMgmt::get_devices(all), 3);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(Describe(all[0]), Describe(Device()));
  std::vector<std::string> ids = {all[1].device_id, all[2].device_id};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"d1", "d2"}));
  EXPECT_EQ(Describe(all[1].device_id == "d1" ? all[1] : all[2]), Describe(Cached("d1")));
  ExpectError(99, "sentinel");

  EXPECT_TRUE(log_.Lines().empty());

  g_devices.clear();
  std::vector<Device> none(2);
  EXPECT_EQ(orv::devMgmt::get_devices(none), 2);
}

TEST_F(CacheQueriesTest, AddressLookupsLogTheirResultAndFailWithCode5) {
  Put(Make("d1", {{"m1", "ip1"}, {"m2", ""}}));
  Put(Make("d2", {{"m3", "ip3"}, {"m4", "shared"}}));
  Put(Make("d3", {{"m5", "shared"}}));
  {
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    g_devices.mac_to_device_id["ghost"] = "d9";  // an index entry without a record
    g_devices.devices["d1"].macs.push_back({"m1", "second"});
  }
  log_.Clear();

  std::string id = "untouched";
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("m1", id), 0);
  EXPECT_EQ(id, "d1");
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("ghost", id), 0);
  EXPECT_EQ(id, "d9");
  ExpectError(99, "sentinel");
  id = "untouched";
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("M1", id), -1);
  ExpectError(5, "not found");
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("m1 ", id), -1);
  ExpectError(5, "not found");
  EXPECT_EQ(id, "untouched");

  EXPECT_EQ(orv::devMgmt::get_device_id_by_ip("ip3", id), 0);
  EXPECT_EQ(id, "d2");
  EXPECT_EQ(orv::devMgmt::get_device_id_by_ip("", id), 0);
  EXPECT_EQ(id, "d1");
  std::string first_sharing;
  for (const auto& entry : g_devices.devices) {
    if (first_sharing.empty() && (entry.first == "d2" || entry.first == "d3")) {
      first_sharing = entry.first;
    }
  }
  EXPECT_EQ(orv::devMgmt::get_device_id_by_ip("shared", id), 0);
  EXPECT_EQ(id, first_sharing);
  id = "untouched";
  EXPECT_EQ(orv::devMgmt::get_device_id_by_ip("ip", id), -1);
  ExpectError(5, "not found");
  EXPECT_EQ(id, "untouched");

  std::string ip = "untouched";
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "ip1");  // the first pair of a MAC listed twice
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m2", ip), 0);
  EXPECT_EQ(ip, "");
  ip = "untouched";
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m3", ip), -1);
  ExpectError(5, "not found");
  EXPECT_EQ(orv::devMgmt::get_device_ip("d9", "ghost", ip), -1);
  ExpectError(5, "not found");
  EXPECT_EQ(ip, "untouched");

  EXPECT_EQ(log_.Messages(), (Events{"3 get_device_id_by_mac: mac=m1, device_id=d1",
                                     "3 get_device_id_by_mac: mac=ghost, device_id=d9",
                                     "3 get_device_id_by_ip: ip=ip3, device_id=d2",
                                     "3 get_device_id_by_ip: ip=, device_id=d1",
                                     "3 get_device_id_by_ip: ip=shared, device_id=" + first_sharing,
                                     "3 get_device_ip: mac=m1, device_id=d1, ip=ip1",
                                     "3 get_device_ip: mac=m2, device_id=d1, ip="}));
  const std::vector<LogLine> lines = log_.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(std::regex_match(
      lines[0].text,
      std::regex(R"(\[orvdevmgmt:[0-9]+\]\[get_device_id_by_mac\(\)\]: mac=m1, device_id=d1)")))
      << lines[0].text;
}

TEST_F(CacheQueriesTest, FailureStaysRecordedAfterALaterSuccess) {
  Put(Make("d1", {{"m1", "ip1"}}));
  Device device;
  std::string id;
  EXPECT_FALSE(orv::devMgmt::get_device("dx", device));
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("m1", id), 0);
  EXPECT_TRUE(orv::devMgmt::get_device("d1", device));
  ExpectError(4, "not found");

  EXPECT_EQ(orv::devMgmt::get_device_id_by_ip("nope", id), -1);
  EXPECT_EQ(orv::devMgmt::get_device_onvelk("d1"), 0);
  std::vector<std::string> macs;
  EXPECT_EQ(orv::devMgmt::get_device_macs("d1", macs), 1);
  ExpectError(5, "not found");

  // The record is per thread: another thread's failure leaves ours alone.
  std::thread other([] {
    std::string unused;
    EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("none", unused), -1);
    EXPECT_EQ(orverrno.code(), 5);
  });
  other.join();
  ExpectError(99, "sentinel");
}

TEST_F(CacheQueriesTest, GetDeviceRefCreatesAnnouncedEmptyRecordOnce) {
  orv::devMgmt::set_on_dev_info_change({"display_name"}, DevInfoRecorder::Callback(1));
  orv::devMgmt::set_on_dev_info_change({"macs", "device_os"}, DevInfoRecorder::Callback(0));
  std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
  Device& created = g_devices.get_device_ref("n1");
  Device expected;
  expected.device_id = "n1";
  EXPECT_EQ(Describe(created), Describe(expected));
  EXPECT_EQ(created.scan_level, 0);
  EXPECT_EQ(events_.Take(), DevInfoRecorder::NewFor("n1", {0, 1}));
  EXPECT_EQ(log_.Messages(), (Events{"2 notify_new_dev: New device: device id=n1",
                                     "2 notify_new_dev: Called 2 callbacks"}));

  log_.Clear();
  created.display_name = "kept";
  Device& again = g_devices.get_device_ref("n1");
  EXPECT_EQ(&again, &created);
  EXPECT_EQ(again.display_name, "kept");
  EXPECT_TRUE(events_.Take().empty());
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_EQ(g_devices.devices.size(), 1u);
}

TEST_F(CacheQueriesTest, ClearDropsRecordsSilentlyAndKeepsSubscriptions) {
  g_devices.clear();  // on an empty cache
  orv::devMgmt::set_on_dev_info_change({"macs"}, DevInfoRecorder::Callback(0));
  g_devices.new_mac_ip("d1", "m1", "ip1");
  g_devices.new_mac_ip("d2", "m2", "ip2");
  events_.Take();
  log_.Clear();

  g_devices.clear();
  EXPECT_TRUE(g_devices.devices.empty());
  EXPECT_TRUE(g_devices.mac_to_device_id.empty());
  EXPECT_TRUE(events_.Take().empty());
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_FALSE(orv::devMgmt::device_exists("d1"));
  std::string id;
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("m1", id), -1);

  g_devices.new_mac_ip("d1", "m1", "ip1");
  EXPECT_EQ(events_.Take(), (Events{"0 new d1", "0 updated d1 macs"}));
}

}  // namespace
