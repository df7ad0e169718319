// Device-info subscriptions: set_on_dev_info_change, unset_on_dev_info_change
// and the notifications the cache's changes make.

#include <gtest/gtest.h>

#include <atomic>
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
using orv::devMgmt::set_on_dev_info_change;
using orv::devMgmt::unset_on_dev_info_change;

DevInfoChangeCallback Cb(int index) { return DevInfoRecorder::Callback(index); }

Events Concat(Events first, const Events& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

class DevInfoSubscriptionsTest : public ::testing::Test {
 protected:
  std::vector<DevInfoChangeCallback> Registered(const std::string& field) {
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    auto found = g_devices.field_callbacks.find(field);
    if (found == g_devices.field_callbacks.end()) return {};
    return found->second;
  }
  bool HasEntry(const std::string& field) {
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    return g_devices.field_callbacks.count(field) != 0;
  }

  DevInfoRecorder events_;
  LogCapture log_{4};
};

TEST_F(DevInfoSubscriptionsTest, UpdatesFollowTheListNewAndRemovedGoOncePerCallback) {
  set_on_dev_info_change({"display_name", "device_os"}, Cb(0));
  set_on_dev_info_change({"display_name"}, Cb(0));
  set_on_dev_info_change({"display_name"}, Cb(2));
  set_on_dev_info_change({"display_name"}, Cb(1));
  set_on_dev_info_change({}, Cb(3));
  set_on_dev_info_change({"macs"}, nullptr);
  EXPECT_FALSE(HasEntry("macs"));

  g_devices.update_display_name("d1", "TV");
  EXPECT_EQ(events_.Take(), Concat(DevInfoRecorder::NewFor("d1", {0, 1, 2}),
                                   {"0 updated d1 display_name", "0 updated d1 display_name",
                                    "2 updated d1 display_name", "1 updated d1 display_name"}));
  g_devices.update_os("d1", "linux");
  g_devices.update_type("d1", "tv");  // nobody follows device_type
  EXPECT_EQ(events_.Take(), (Events{"0 updated d1 device_os"}));
  log_.Clear();
  g_devices.remove_device_id("d1");
  EXPECT_EQ(events_.Take(), DevInfoRecorder::RemovedFor("d1", {0, 1, 2}));
  EXPECT_EQ(log_.Messages()[2], "2 notify_dev_info_removed: Called 3 callbacks");

  // Leaving a field drops every registration of the callback there only.
  unset_on_dev_info_change({"display_name"}, Cb(0));
  EXPECT_EQ(Registered("display_name"), (std::vector<DevInfoChangeCallback>{Cb(2), Cb(1)}));
  EXPECT_EQ(Registered("device_os"), (std::vector<DevInfoChangeCallback>{Cb(0)}));
  unset_on_dev_info_change({"nothing", "display_name", "device_os"}, Cb(3));
  EXPECT_EQ(Registered("display_name"), (std::vector<DevInfoChangeCallback>{Cb(2), Cb(1)}));
  EXPECT_FALSE(HasEntry("nothing"));
  g_devices.update_display_name("d2", "Radio");
  EXPECT_EQ(events_.Take(), Concat(DevInfoRecorder::NewFor("d2", {0, 1, 2}),
                                   {"2 updated d2 display_name", "1 updated d2 display_name"}));
  unset_on_dev_info_change({"device_os"}, Cb(0));
  EXPECT_FALSE(HasEntry("device_os"));
  g_devices.update_os("d3", "ios");
  EXPECT_EQ(events_.Take(), DevInfoRecorder::NewFor("d3", {1, 2}));

  // A name no update passes: new and removed devices only.
  set_on_dev_info_change({"blocked"}, Cb(3));
  set_on_dev_info_change({"traffic_blocked"}, Cb(1));
  g_devices.update_blocked("d3", 1);
  EXPECT_EQ(events_.Take(), (Events{"1 updated d3 traffic_blocked"}));
  g_devices.remove_device_id("d3");
  EXPECT_EQ(events_.Take(), DevInfoRecorder::RemovedFor("d3", {1, 2, 3}));

  for (int i = 0; i < DevInfoRecorder::kCallbacks; ++i) {
    unset_on_dev_info_change({"display_name", "traffic_blocked", "blocked"}, Cb(i));
  }
  EXPECT_TRUE(g_devices.field_callbacks.empty());
  log_.Clear();
  g_devices.new_mac_ip("d4", "m4", "ip4");
  EXPECT_TRUE(events_.Take().empty());
  EXPECT_EQ(
      log_.Messages(),
      (Events{"3 new_mac_ip: device_id=d4, mac=m4, ip=ip4",
              "2 notify_new_dev: New device: device id=d4", "2 notify_new_dev: Called 0 callbacks",
              "3 new_mac_ip: New device_id=d4 with <mac=m4, ip=ip4>",
              "4 notify_dev_info_updated: Device info updated: device id=d4 field_name=macs"}));
}

TEST_F(DevInfoSubscriptionsTest, CallbackSeesTheChangedCacheAndMayQueryIt) {
  set_on_dev_info_change({"macs", "display_name"}, Cb(0));
  std::vector<std::string> seen;
  events_.SetHook(
      [&seen](int, orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
        Device device;
        std::string owner = "-";
        orv::devMgmt::get_device_id_by_mac("m1", owner);
        const bool found = orv::devMgmt::get_device(id, device);
        seen.push_back(std::to_string(type) + " " + field + ": " +
                       (found ? Describe(device) : "none") + " owner=" + owner);
      });
  g_devices.new_mac_ip("d1", "m1", "ip1");
  g_devices.update_display_name("d1", "TV");
  g_devices.remove_device_id("d1");
  Device record;
  record.device_id = "d1";
  const std::string created = Describe(record);
  record.macs = {{"m1", "ip1"}};
  const std::string bound = Describe(record);
  record.display_name = "TV";
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "0 : " + created + " owner=-", "1 macs: " + bound + " owner=d1",
                      "1 display_name: " + Describe(record) + " owner=d1", "2 : none owner=-"}));
}

TEST_F(DevInfoSubscriptionsTest, WalkCallsTheCallbacksRegisteredWhenItBegan) {
  for (int i : {0, 1, 0, 2}) set_on_dev_info_change({"macs"}, Cb(i));
  bool changed = false;
  events_.SetHook(
      [&changed](int index, orv::DevInfoChangeType type, const std::string&, const std::string&) {
        if (index != 0 || type != orv::DEV_INFO_UPDATED || changed) return;
        changed = true;
        unset_on_dev_info_change({"macs"}, Cb(0));  // itself, both registrations
        unset_on_dev_info_change({"macs"}, Cb(2));  // one still ahead in the walk
        set_on_dev_info_change({"macs"}, Cb(3));
      });
  g_devices.new_mac_ip("d1", "m1", "ip1");
  EXPECT_EQ(events_.Take(), Concat(DevInfoRecorder::NewFor("d1", {0, 1, 2}),
                                   {"0 updated d1 macs", "1 updated d1 macs", "0 updated d1 macs",
                                    "2 updated d1 macs"}));
  EXPECT_EQ(Registered("macs"), (std::vector<DevInfoChangeCallback>{Cb(1), Cb(3)}));
  g_devices.new_mac_ip("d1", "m2", "ip2");
  EXPECT_EQ(events_.Take(), (Events{"1 updated d1 macs", "3 updated d1 macs"}));

  // The first callback told of a new device unregisters everybody: all those
  // registered when the notification began are still called, once each.
  set_on_dev_info_change({"macs", "device_os"}, Cb(0));
  set_on_dev_info_change({"device_os"}, Cb(2));
  events_.SetHook([](int, orv::DevInfoChangeType type, const std::string&, const std::string&) {
    if (type != orv::NEW_DEV) return;
    for (int i = 0; i < DevInfoRecorder::kCallbacks; ++i) {
      unset_on_dev_info_change({"macs", "device_os"}, Cb(i));
    }
  });
  log_.Clear();
  g_devices.new_mac_ip("d2", "m3", "ip3");
  EXPECT_EQ(events_.Take(), DevInfoRecorder::NewFor("d2", {0, 1, 2, 3}));
  EXPECT_EQ(log_.Messages()[2], "2 notify_new_dev: Called 4 callbacks");
  EXPECT_TRUE(g_devices.field_callbacks.empty());
}

// RunChanges applies a fixed sequence of changes to the cache.
void RunChanges() {
  for (int i = 0; i < 200; ++i) {
    const std::string id = "d" + std::to_string(i % 8);
    const std::string mac = "m" + std::to_string(i % 12);
    g_devices.new_mac_ip(id, mac, "ip" + std::to_string(i % 3));
    g_devices.update_display_name(id, "name" + std::to_string(i));
    if (i % 5 == 0) g_devices.remove_mac(mac, id);
    if (i % 7 == 0) g_devices.remove_device_id(id);
    if (i % 11 == 0) g_devices.remove_macs(id);
  }
}

Events Of(int index, const Events& events) {
  Events out;
  for (const std::string& event : events) {
    if (event.rfind(std::to_string(index) + " ", 0) == 0) out.push_back(event);
  }
  return out;
}

TEST_F(DevInfoSubscriptionsTest, ClientsQueryAndSubscribeWhileTheCacheChanges) {
  set_on_dev_info_change({"macs", "display_name"}, Cb(0));
  RunChanges();
  const Events alone = events_.Take();
  ASSERT_FALSE(alone.empty());
  g_devices.clear();

  std::atomic<bool> done{false};
  std::thread querier([&done] {
    while (!done) {
      for (int k = 0; k < 8; ++k) {
        const std::string id = "d" + std::to_string(k);
        Device device;
        if (orv::devMgmt::get_device(id, device)) {
          EXPECT_EQ(device.device_id, id);
        }
        std::vector<std::string> macs;
        orv::devMgmt::get_device_macs(id, macs);
        std::string owner;
        std::string ip;
        if (orv::devMgmt::get_device_id_by_mac("m" + std::to_string(k), owner) == 0) {
          EXPECT_EQ(owner.rfind("d", 0), 0u) << owner;
        }
        orv::devMgmt::get_device_ip(id, "m" + std::to_string(k), ip);
      }
      std::vector<Device> all;
      EXPECT_LE(orv::devMgmt::get_devices(all), 8);
    }
  });
  std::thread subscriber([&done] {
    while (!done) {
      set_on_dev_info_change({"macs"}, Cb(1));
      set_on_dev_info_change({"display_name", "x"}, Cb(2));
      unset_on_dev_info_change({"macs"}, Cb(1));
      unset_on_dev_info_change({"display_name", "x"}, Cb(2));
    }
  });
  std::thread mutator([&done] {
    RunChanges();
    done = true;
  });
  mutator.join();
  querier.join();
  subscriber.join();

  const Events raced = events_.Take();
  EXPECT_EQ(Of(0, raced), alone);
  for (const std::string& event : Concat(Of(1, raced), Of(2, raced))) {
    const bool updated = event.find(" updated ") != std::string::npos;
    if (!updated) continue;
    EXPECT_TRUE(event[0] == '1' ? event.find(" macs") != std::string::npos
                                : event.find(" display_name") != std::string::npos)
        << event;
  }
  EXPECT_EQ(Registered("macs"), (std::vector<DevInfoChangeCallback>{Cb(0)}));
  EXPECT_FALSE(HasEntry("x"));
}

}  // namespace
