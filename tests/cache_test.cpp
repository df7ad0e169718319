// The device cache g_devices (queries, MAC/IP binding changes, field updates
// and the device-info notifications they make) and the key-change
// subscriptions of g_monitored_keys.

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/log_capture.h"
#include "support/recorder.h"

namespace {

namespace api = orv::devMgmt;
using orv::devMgmt::Device;

std::string Told(const std::string& id, const std::string& field) {
  return "4 notify_dev_info_updated: Device info updated: device id=" + id + " field_name=" + field;
}
Events NewDevice(const std::string& id, int callbacks) {
  return {"2 notify_new_dev: New device: device id=" + id,
          "2 notify_new_dev: Called " + std::to_string(callbacks) + " callbacks"};
}

LogCapture* g_log = nullptr;  // for Marks

// Key-change callbacks. Marks records how many lines had been logged when it
// ran; Changes drops its own registration under "a" and Key2's under "b" and
// registers Key under "c"; Throws throws.
void Marks(const std::string& key) {
  Recorder::Add("marks " + key + " after " + std::to_string(g_log->Lines().size()));
}
void Changes(const std::string& key) {
  Recorder::Add("changes " + key);
  g_monitored_keys.remove_key("a", Changes);
  g_monitored_keys.remove_key("b", Recorder::Key2);
  g_monitored_keys.add_key("c", Recorder::Key);
}
void Throws(const std::string& key) {
  Recorder::Add("throws " + key);
  throw std::runtime_error("subscriber failed");
}

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orverrno.set(99, "sentinel");
    g_log = &log_;
  }

  // Returned checks a result and the orverrno it left (99: untouched; 4 and
  // 5 with the text "not found"), then puts the sentinel back.
  static ::testing::AssertionResult Returned(int result, int want, int code) {
    const bool ok = result == want && orverrno.code() == code &&
                    orverrno.message() == (code == 99 ? "sentinel" : "not found");
    auto out = ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure();
    out << "result " << result << ", orverrno " << orverrno.code() << " " << orverrno.message();
    orverrno.set(99, "sentinel");
    return out;
  }
  // Quiet runs `change` and forgets what it logged and notified.
  void Quiet(const std::function<void()>& change) {
    change();
    rec_.Take();
    log_.Clear();
  }
  // Subscribe registers callback 0 for "macs" and callback 1 for another field.
  static void Subscribe() {
    api::set_on_dev_info_change({"macs"}, Recorder::Info<0>);
    api::set_on_dev_info_change({"display_name"}, Recorder::Info<1>);
  }

  Recorder rec_;
  LogCapture log_{4};
};

TEST_F(CacheTest, QueriesCopyOutOnlyOnSuccessAndRecordCodeAndText) {
  const Device d1{
      "d1", "p", {{"m1", "ip1"}, {"m2", ""}, {"m1", "again"}}, "", "", "", "", "", "", "v", 1, 1,
      7,    3};
  g_devices.devices = {
      {"d1", d1}, {"d2", Dev("d2", {{"m9", "shared"}})}, {"d3", Dev("d3", {{"m9", "shared"}})}};
  g_devices.mac_to_device_id = {{"m1", "d1"}, {"ghost", "d9"}};  // "ghost" has no record
  std::string first_sharing;  // of d2 and d3, the first in the map's order
  for (const auto& entry : g_devices.devices) {
    if (first_sharing.empty() && entry.first != "d1") first_sharing = entry.first;
  }
  Device out = Dev("mine");
  std::string id = "untouched";
  std::string ip = "untouched";
  Events macs = {"a", "b"};
  EXPECT_TRUE(Returned(api::device_exists("D1"), false, 99));
  EXPECT_TRUE(Returned(api::get_device("dx", out), false, 4));
  EXPECT_TRUE(Returned(api::get_device_onvelk("dx"), -1, 4));
  EXPECT_TRUE(Returned(api::get_device_onguest("dx"), -1, 4));
  EXPECT_TRUE(Returned(api::get_device_macs("dx", macs), 0, 4));
  EXPECT_TRUE(Returned(api::get_device_id_by_mac("M1", id), -1, 5));
  EXPECT_TRUE(Returned(api::get_device_id_by_ip("ip", id), -1, 5));
  EXPECT_TRUE(Returned(api::get_device_ip("d1", "m3", ip), -1, 5));
  EXPECT_TRUE(Returned(api::get_device_ip("d9", "ghost", ip), -1, 5));
  EXPECT_EQ(Describe(out) + id + ip + std::to_string(macs.size()),
            Describe(Dev("mine")) + "untoucheduntouched2");

  std::vector<Device> all(1);
  EXPECT_TRUE(Returned(api::device_exists("d1"), true, 99));
  EXPECT_TRUE(Returned(api::get_device("d1", out), true, 99));
  EXPECT_TRUE(Returned(api::get_device_onvelk("d1"), 1, 99));
  EXPECT_TRUE(Returned(api::get_device_onguest("d1"), 7, 99));
  EXPECT_TRUE(Returned(api::get_device_onvelk("d2"), 0, 99));
  EXPECT_TRUE(Returned(api::get_device_macs("d1", macs), 5, 99));
  EXPECT_TRUE(Returned(api::get_devices(all), 4, 99));
  EXPECT_TRUE(log_.Lines().empty());  // neither failures nor lookups by id write anything
  EXPECT_EQ(Describe(out), Describe(d1));
  EXPECT_EQ(macs, (Events{"a", "b", "m1", "m2", "m1"}));
  for (const Device& d : all) {
    EXPECT_EQ(Describe(d), d.device_id.empty() ? Describe(Device()) : Cached(d.device_id));
  }
  EXPECT_TRUE(Returned(api::get_device_id_by_mac("ghost", id), 0, 99));  // the index alone
  EXPECT_TRUE(Returned(api::get_device_id_by_ip("", id), 0, 99));
  EXPECT_TRUE(Returned(api::get_device_id_by_ip("shared", id), 0, 99));
  EXPECT_TRUE(Returned(api::get_device_ip("d1", "m1", ip), 0, 99));
  EXPECT_EQ(id + " " + ip, first_sharing + " ip1");  // the first pair of a MAC listed twice
  EXPECT_EQ(log_.Messages(), (Events{"3 get_device_id_by_mac: mac=ghost, device_id=d9",
                                     "3 get_device_id_by_ip: ip=, device_id=d1",
                                     "3 get_device_id_by_ip: ip=shared, device_id=" + first_sharing,
                                     "3 get_device_ip: mac=m1, device_id=d1, ip=ip1"}));
  // A failure stays recorded through later successes; a copy doesn't follow.
  EXPECT_FALSE(api::get_device("dx", out));
  EXPECT_TRUE(Returned(api::get_device_id_by_mac("m1", id), 0, 4));
  g_devices.update_display_name("d1", "Radio");
  EXPECT_EQ(Describe(out), Describe(d1));
}

TEST_F(CacheTest, NewMacIpAnnouncesAppendsChangesInPlaceAndSkipsSameInfo) {
  Subscribe();
  g_devices.new_mac_ip("d1", "m1", "ip1");
  EXPECT_EQ(log_.Messages(),
            Cat(Cat({"3 new_mac_ip: device_id=d1, mac=m1, ip=ip1"}, NewDevice("d1", 2)),
                {"3 new_mac_ip: New device_id=d1 with <mac=m1, ip=ip1>", Told("d1", "macs")}));
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress({0, 1}, " new d1", {"0 upd d1 macs"}));
  struct Step {
    std::string mac, ip, line, pairs;
  };
  const Step steps[] = {
      {"m2", "ip2", "New <mac=m2, ip=ip2> pair for device_id=d1", "m1=ip1,m2=ip2"},
      {"m1", "ip1", "Same info", "m1=ip1,m2=ip2"},
      {"m1", "ip9", "ip changed from ip1 to ip9 for mac=m1, device_id=d1", "m1=ip9,m2=ip2"},
      {"M1", "", "New <mac=M1, ip=> pair for device_id=d1", "m1=ip9,m2=ip2,M1="},
  };
  for (const Step& s : steps) {
    const std::string first = "3 new_mac_ip: device_id=d1, mac=" + s.mac + ", ip=" + s.ip;
    EXPECT_EQ(LoggedWhileLocked(log_, [&s] { g_devices.new_mac_ip("d1", s.mac, s.ip); }),
              Events{first});
    const bool told = s.line != "Same info";
    EXPECT_EQ(log_.Messages(), Cat({first, "3 new_mac_ip: " + s.line},
                                   told ? Events{Told("d1", "macs")} : Events{}));
    EXPECT_EQ(rec_.Take(), told ? Events{"0 upd d1 macs"} : Events{});
    EXPECT_EQ(Pairs("d1"), s.pairs);
  }
  EXPECT_EQ(Owner("m1") + Owner("m2") + Owner("M1"), "d1d1d1");
  // A known device without MACs gets the "New device_id" wording, no NEW_DEV.
  Quiet([] { g_devices.update_display_name("d2", "TV"); });
  g_devices.new_mac_ip("d2", "m5", "ip5");
  EXPECT_EQ(log_.Messages()[1], "3 new_mac_ip: New device_id=d2 with <mac=m5, ip=ip5>");
  EXPECT_EQ(rec_.Take(), (Events{"0 upd d2 macs"}));
}

TEST_F(CacheTest, RemovalsDropPairsIndexEntriesAndRecords) {
  Subscribe();
  Quiet([] {
    g_devices.new_mac_ip("d1", "m1", "ip");
    for (const char* mac : {"m1", "m2", "m3"}) g_devices.new_mac_ip("d2", mac, "ip");
    g_devices.new_mac_ip("d3", "m9", "ip");
  });
  struct Step {
    std::string mac, id, bug, after;  // after: the device's pairs and the MAC's owner
  };
  const Step steps[] = {
      {"m1", "d1", "", "absent -"},  // the only MAC: the record goes, without removal
      {"m2", "d2", "", "m1=ip,m3=ip -"},
      {"m9", "d2", "", "m1=ip,m3=ip -"},  // not d2's: the index entry goes all the same
      {"M1", "d2", "BUG: mac M1 not found in local cache", "m1=ip,m3=ip -"},
  };
  for (const Step& s : steps) {
    const std::string first = "3 remove_mac: Removing mac " + s.mac + " for device_id " + s.id;
    EXPECT_EQ(LoggedWhileLocked(log_, [&s] { g_devices.remove_mac(s.mac, s.id); }), Events{first});
    EXPECT_EQ(log_.Messages(),
              Cat(s.bug.empty() ? Events{first} : Events{first, "0 remove_mac: " + s.bug},
                  {Told(s.id, "macs")}));
    EXPECT_EQ(rec_.Take(), (Events{"0 upd " + s.id + " macs"}));
    EXPECT_EQ(Pairs(s.id) + " " + Owner(s.mac), s.after);
  }
  EXPECT_EQ(Pairs("d3") + " " + Owner("m1"), "m9=ip -");
  g_devices.devices["d2"].macs.push_back({"m1", "again"});
  Quiet([] { g_devices.remove_mac("m1", "d2"); });  // a MAC listed twice goes entirely
  EXPECT_EQ(Pairs("d2"), "m3=ip");
  g_devices.remove_mac("m3", "dz");
  EXPECT_EQ(log_.Messages(), (Events{"3 remove_mac: Removing mac m3 for device_id dz",
                                     "0 remove_mac: BUG: device_id dz not found in local cache"}));
  EXPECT_TRUE(rec_.Take().empty());
  EXPECT_EQ(Cached("dz") + Owner("m3"), "absentd2");
  Quiet([] { g_devices.update_display_name("d4", "TV"); });
  g_devices.remove_mac("m3", "d4");  // a device without MACs goes on any remove_mac
  EXPECT_EQ(rec_.Take(), (Events{"0 upd d4 macs"}));
  EXPECT_EQ(Cached("d4") + Owner("m3"), "absent-");

  // remove_macs empties the list (a missing index entry is a BUG) and keeps
  // the record; it creates a device it doesn't know.
  Quiet([] {
    g_devices.new_mac_ip("d5", "m6", "ip6");
    g_devices.new_mac_ip("d5", "m7", "ip7");
    g_devices.mac_to_device_id.erase("m6");
  });
  std::string first = "3 remove_macs: Removing macs for device_id=d5";
  EXPECT_EQ(LoggedWhileLocked(log_, [] { g_devices.remove_macs("d5"); }), Events{first});
  EXPECT_EQ(log_.Messages(), (Events{first, "0 remove_macs: BUG: mac m6 not found in local cache",
                                     Told("d5", "macs")}));
  EXPECT_EQ(rec_.Take(), (Events{"0 upd d5 macs"}));
  EXPECT_EQ(Pairs("d5") + Owner("m7"), "-");
  g_devices.remove_macs("dz");
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress({0, 1}, " new dz", {"0 upd dz macs"}));
  EXPECT_EQ(Pairs("dz"), "");

  // remove_device_id: m1's entry goes although it names d2; the record is
  // gone by the time the subscribers hear of it.
  Quiet([] {
    g_devices.new_mac_ip("d6", "m1", "ip1");
    g_devices.new_mac_ip("d6", "m2", "ip2");
    g_devices.new_mac_ip("d2", "m1", "ip");   // m1 stands in two lists now
    g_devices.new_mac_ip("d6", "m1", "ip1");  // "Same info" points the index back
  });
  EXPECT_EQ(Owner("m1"), "d6");
  Quiet([] { g_devices.new_mac_ip("d2", "m1", "ip"); });
  Events seen;
  rec_.SetHook(
      [&seen](int, orv::DevInfoChangeType, const std::string& id) { seen.push_back(Cached(id)); });
  first = "3 remove_device_id: Removing device_id d6";
  EXPECT_EQ(LoggedWhileLocked(log_, [] { g_devices.remove_device_id("d6"); }), Events{first});
  EXPECT_EQ(log_.Messages(), (Events{first, "3 remove_device_id: mac=m1, ip=ip1",
                                     "3 remove_device_id: mac=m2, ip=ip2",
                                     "2 notify_dev_info_removed: Device info removed: device_id=d6",
                                     "2 notify_dev_info_removed: Called 2 callbacks"}));
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress({0, 1}, " del d6"));
  EXPECT_EQ(seen, (Events{"absent", "absent"}));
  EXPECT_EQ(Owner("m1") + Owner("m2") + Pairs("d2"), "--m3=ip,m1=ip");
  log_.Clear();
  g_devices.remove_device_id("d2");
  EXPECT_EQ(log_.Messages()[4], "0 remove_device_id: BUG: mac m1 not found in local cache");
  log_.Clear();
  g_devices.remove_device_id("d2");
  EXPECT_EQ(log_.Messages(),
            (Events{"3 remove_device_id: Removing device_id d2",
                    "0 remove_device_id: BUG: device_id d2 not found in local cache"}));
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress({0, 1}, " del d2"));
  EXPECT_EQ(orverrno.code(), 99);  // mutations record no error
}

TEST_F(CacheTest, FieldUpdatesCreateTheDeviceStoreAndNotifyEveryTime) {
  // The method (update_<name>, for a text or an integer), the field its
  // subscribers hear of, and the value.
  struct Update {
    void (Devices::*text)(const std::string&, const std::string&);
    void (Devices::*number)(const std::string&, int);
    std::string name, field, value;
    void Apply(const std::string& id) const {
      text ? (g_devices.*text)(id, value) : (g_devices.*number)(id, std::stoi(value));
    }
  };
  const Update updates[] = {
      {nullptr, &Devices::update_onvelk, "onvelk", "onvelk", "1"},
      {nullptr, &Devices::update_onguest, "onguest", "onguest", "-1"},
      {&Devices::update_profile_id, nullptr, "profile_id", "profile_id", "kids"},
      {nullptr, &Devices::update_blocked, "blocked", "traffic_blocked", "1"},
      {&Devices::update_display_name, nullptr, "display_name", "display_name", "Hall TV"},
      {&Devices::update_type, nullptr, "type", "device_type", "phone"},
      {&Devices::update_os, nullptr, "os", "device_os", "ios"},
      {&Devices::update_os_version, nullptr, "os_version", "device_os_version", "14"},
      {&Devices::update_model, nullptr, "model", "device_model", "P8"},
      {&Devices::update_manufacturer, nullptr, "manufacturer", "device_manufacturer", "G"},
      {nullptr, &Devices::update_scan_level, "scan_level", "scan_level", "2147483647"},
      {&Devices::update_velk_device_id, nullptr, "velk_device_id", "velk_device_id", "v9"},
  };
  for (const Update& u : updates) api::set_on_dev_info_change({u.field}, Recorder::Info<0>);
  // Names no update passes: callback 1 hears only of new devices.
  api::set_on_dev_info_change({"blocked", "type", "os"}, Recorder::Info<1>);
  Quiet([] { g_devices.remove_macs("d1"); });
  std::string known = Cached("d1");
  for (const Update& u : updates) {
    SCOPED_TRACE(u.name);
    // The member's text in Describe, before and after.
    const std::string from = " " + u.name + "=" + (u.text ? "" : "0") + " ";
    const std::string to = " " + u.name + "=" + u.value + " ";
    const std::string id = "new-" + u.field;
    log_.Clear();
    u.Apply(id);
    const std::string line = "3 update_" + u.name + ": device_id=";
    EXPECT_EQ(log_.Messages(),
              Cat(Cat({line + id + ", " + u.name + "=" + u.value}, NewDevice(id, 2)),
                  {Told(id, u.field)}));
    EXPECT_EQ(rec_.Take(),
              Recorder::ByAddress({0, 1}, " new " + id, {"0 upd " + id + " " + u.field}));
    std::string expected = Describe(Dev(id));
    EXPECT_EQ(Cached(id), expected.replace(expected.find(from), from.size(), to));

    const std::string again = line + "d1, " + u.name + "=" + u.value;
    u.Apply("d1");
    EXPECT_EQ(LoggedWhileLocked(log_, [&u] { u.Apply("d1"); }), Events{again});
    EXPECT_EQ(log_.Messages(), (Events{again, Told("d1", u.field)}));
    EXPECT_EQ(rec_.Take(), Events(2, "0 upd d1 " + u.field));  // the same value told again
    EXPECT_EQ(Cached("d1"), known.replace(known.find(from), from.size(), to));
  }
}

TEST_F(CacheTest, SubscriptionsFollowTheFieldListsNewAndRemovedGoOncePerCallback) {
  api::set_on_dev_info_change({"display_name", "device_os"}, Recorder::Cb(0));
  for (int n : {0, 2, 1}) api::set_on_dev_info_change({"display_name"}, Recorder::Cb(n));
  api::set_on_dev_info_change({}, Recorder::Cb(3));
  g_devices.update_display_name("d1", "TV");
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress({0, 1, 2}, " new d1",
                                             {"0 upd d1 display_name", "0 upd d1 display_name",
                                              "2 upd d1 display_name", "1 upd d1 display_name"}));
  g_devices.update_os("d1", "linux");
  g_devices.update_type("d1", "tv");  // nobody follows device_type
  EXPECT_EQ(rec_.Take(), (Events{"0 upd d1 device_os"}));
  log_.Clear();
  g_devices.remove_device_id("d1");
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress({0, 1, 2}, " del d1"));
  EXPECT_EQ(log_.Messages().back(), "2 notify_dev_info_removed: Called 3 callbacks");

  // Leaving a field drops every registration of the callback there only; an
  // unknown name or an unregistered callback changes nothing.
  api::unset_on_dev_info_change({"display_name"}, Recorder::Cb(0));
  api::unset_on_dev_info_change({"nothing", "display_name"}, Recorder::Cb(3));
  api::unset_on_dev_info_change({"device_os"}, Recorder::Cb(0));
  EXPECT_EQ(g_devices.field_callbacks.count("device_os"), 0u);
  g_devices.update_display_name("d2", "Radio");
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress({1, 2}, " new d2",
                                             {"2 upd d2 display_name", "1 upd d2 display_name"}));
  for (int n : {1, 2}) api::unset_on_dev_info_change({"display_name"}, Recorder::Cb(n));
  EXPECT_TRUE(g_devices.field_callbacks.empty());
  log_.Clear();
  g_devices.update_os("d3", "ios");
  EXPECT_EQ(log_.Messages()[2], "2 notify_new_dev: Called 0 callbacks");
}

TEST_F(CacheTest, NotificationCallsTheCallbacksRegisteredWhenItBegan) {
  for (int n : {0, 1, 0, 2}) api::set_on_dev_info_change({"macs"}, Recorder::Cb(n));
  bool changed = false;
  rec_.SetHook([&changed](int n, orv::DevInfoChangeType type, const std::string&) {
    if (n != 0 || type != orv::DEV_INFO_UPDATED || std::exchange(changed, true)) return;
    api::unset_on_dev_info_change({"macs"}, Recorder::Cb(0));  // itself, both registrations
    api::unset_on_dev_info_change({"macs"}, Recorder::Cb(2));  // one still ahead
    api::set_on_dev_info_change({"macs"}, Recorder::Cb(3));
  });
  g_devices.new_mac_ip("d1", "m1", "ip1");
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress(
                             {0, 1, 2}, " new d1",
                             {"0 upd d1 macs", "1 upd d1 macs", "0 upd d1 macs", "2 upd d1 macs"}));
  g_devices.new_mac_ip("d1", "m2", "ip2");
  EXPECT_EQ(rec_.Take(), (Events{"1 upd d1 macs", "3 upd d1 macs"}));

  // The first callback told of a new device unregisters everybody: all those
  // registered when the notification began are still called, once each.
  api::set_on_dev_info_change({"macs", "device_os"}, Recorder::Cb(0));
  api::set_on_dev_info_change({"device_os"}, Recorder::Cb(2));
  rec_.SetHook([](int, orv::DevInfoChangeType type, const std::string&) {
    for (int n = 0; n < 4 && type == orv::NEW_DEV; ++n) {
      api::unset_on_dev_info_change({"macs", "device_os"}, Recorder::Cb(n));
    }
  });
  log_.Clear();
  g_devices.new_mac_ip("d2", "m3", "ip3");
  EXPECT_EQ(rec_.Take(), Recorder::ByAddress({0, 1, 2, 3}, " new d2"));
  EXPECT_EQ(log_.Messages()[2], "2 notify_new_dev: Called 4 callbacks");
  EXPECT_TRUE(g_devices.field_callbacks.empty());
}

TEST_F(CacheTest, ClientsQueryAndSubscribeWhileTheCacheChanges) {
  api::set_on_dev_info_change({"macs", "display_name"}, Recorder::Info<0>);
  auto run_changes = [] {
    for (int i = 0; i < 200; ++i) {
      const std::string id = "d" + std::to_string(i % 8);
      const std::string mac = "m" + std::to_string(i % 12);
      g_devices.new_mac_ip(id, mac, "ip" + std::to_string(i % 3));
      g_devices.update_display_name(id, "name" + std::to_string(i));
      if (i % 5 == 0) g_devices.remove_mac(mac, id);
      if (i % 7 == 0) g_devices.remove_device_id(id);
      if (i % 11 == 0) g_devices.remove_macs(id);
    }
  };
  run_changes();
  const Events alone = rec_.Take();
  g_devices.clear();
  std::atomic<bool> done{false};
  std::thread querier([&done] {
    for (int k = 0; !done; k = (k + 1) % 8) {
      Device device;
      std::string owner;
      std::vector<Device> all;
      const std::string id = "d" + std::to_string(k);
      EXPECT_TRUE(!api::get_device(id, device) || device.device_id == id);
      EXPECT_TRUE(api::get_device_id_by_mac("m" + std::to_string(k), owner) < 0 || owner[0] == 'd');
      EXPECT_LE(api::get_devices(all), 8);
    }
  });
  std::thread subscriber([&done] {
    while (!done) {
      api::set_on_dev_info_change({"macs", "x"}, Recorder::Cb(1));
      api::unset_on_dev_info_change({"macs", "x"}, Recorder::Cb(1));
    }
  });
  run_changes();
  done = true;
  querier.join();
  subscriber.join();
  Events mine;  // callback 0 is told as if nobody else (un)subscribed
  for (const std::string& event : rec_.Take()) {
    if (event[0] == '0') mine.push_back(event);
  }
  EXPECT_EQ(mine, alone);
  EXPECT_EQ(g_devices.field_callbacks.size(), 2u);
}

TEST_F(CacheTest, KeySubscriptionsShareOneEntryPerText) {
  MonitoredKeys& keys = g_monitored_keys;
  for (auto* callback : {Recorder::Key, Recorder::Key, Recorder::Key2}) {
    EXPECT_EQ(api::set_on_key_change("^/devices/", callback), 0);
  }
  EXPECT_EQ(log_.Messages(), (Events{"3 KeySpy: Monitoring key ^/devices/"}));
  EXPECT_EQ(keys.key_spies.size(), 1u);
  EXPECT_TRUE(keys.match_key("/devices/d1"));
  EXPECT_EQ(rec_.Take(), (Events{"key /devices/d1", "key /devices/d1", "key2 /devices/d1"}));
  // One removal drops both registrations, silently; a function not
  // registered under the text changes nothing.
  log_.Clear();
  EXPECT_EQ(api::unset_on_key_change("^/devices/", Recorder::Key), 0);
  EXPECT_EQ(api::unset_on_key_change("^/devices/", Recorder::Key), 0);
  EXPECT_TRUE(log_.Messages().empty());
  EXPECT_TRUE(keys.match_key("/devices/d1"));
  EXPECT_EQ(rec_.Take(), (Events{"key2 /devices/d1"}));
  log_.Clear();
  EXPECT_EQ(api::unset_on_key_change("^/devices/", Recorder::Key2), 0);
  EXPECT_EQ(api::unset_on_key_change("^/devices/", Recorder::Key2), 0);
  EXPECT_FALSE(keys.match_key("/devices/d1"));  // an empty registry: silently false
  EXPECT_EQ(log_.Messages(), (Events{"3 remove_key: Key regex ^/devices/ completely removed",
                                     "2 remove_key: Key ^/devices/ not monitored"}));
  // An invalid expression is refused and changes nothing; a later success
  // leaves orverrno alone.
  log_.Clear();
  EXPECT_EQ(api::set_on_key_change("y", Recorder::Key), 0);
  EXPECT_EQ(api::set_on_key_change("(/devices", Recorder::Key2), -1);
  EXPECT_EQ(api::set_on_key_change("y", Recorder::Key2), 0);
  EXPECT_EQ(orverrno.code(), 4);
  EXPECT_EQ(orverrno.message(), "invalid key_regex");
  EXPECT_EQ(log_.Messages(),
            (Events{"3 KeySpy: Monitoring key y", "0 add_key: Failed to monitor key (/devices"}));
  EXPECT_EQ(keys.key_spies.size(), 1u);
  EXPECT_TRUE(keys.match_key("/xy"));
  EXPECT_EQ(rec_.Take(), (Events{"key /xy", "key2 /xy"}));
}

TEST_F(CacheTest, KeyMatchingSearchesEveryEntryInCreationOrder) {
  for (auto* regex : {"display_name", "macs", "(display_name)", "^/devices/d1"}) {
    api::set_on_key_change(regex, regex[0] == 'm'   ? Recorder::Key2
                                  : regex[0] == '(' ? Recorder::Key
                                                    : Marks);
  }
  log_.Clear();
  const std::string key = "/devices/d1/display_name";
  EXPECT_TRUE(g_monitored_keys.match_key(key));
  Events lines;
  for (const std::string regex : {"display_name", "macs", "(display_name)", "^/devices/d1"}) {
    lines.push_back("3 match_key: Checking key " + key + " against regex " + regex);
    if (regex != "macs") lines.push_back("3 match_key: Key " + key + " matches " + regex);
  }
  EXPECT_EQ(log_.Messages(), lines);
  // Each entry's functions run right after its match line.
  EXPECT_EQ(rec_.Take(),
            (Events{"marks " + key + " after 2", "key " + key, "marks " + key + " after 7"}));
  log_.Clear();
  EXPECT_FALSE(g_monitored_keys.match_key("/other"));
  EXPECT_EQ(log_.Messages().size(), 4u);  // the check lines only

  // Unanchored search unless anchored; extended syntax without REG_NEWLINE.
  // Keys marked + must match.
  const std::pair<const char*, Events> cases[] = {
      {"/devices/.*/traffic_blocked",
       {"+/devices/d1/traffic_blocked", "+/devices/a/b/traffic_blocked_old",
        "+/x/devices/d1/traffic_blocked/x", "-/devices/traffic_blocked",
        "-/devices/d1/Traffic_Blocked"}},
      {"^/devices/[^/]+/traffic_blocked$",
       {"+/devices/d1/traffic_blocked", "-/devices/d1/traffic_blocked/x",
        "-/x/devices/d1/traffic_blocked"}},
      {"^/devices/d.$", {"+/devices/d\n", "-x\n/devices/d1", "+/devices/d1"}},
      {"d(1|2)+$", {"+/devices/d12", "-/devices/D1"}}};
  for (const auto& c : cases) {
    MonitoredKeys one;
    ASSERT_EQ(one.add_key(c.first, Recorder::Key), 0);
    for (const std::string& k : c.second) {
      EXPECT_EQ(one.match_key(k.substr(1)), k[0] == '+') << c.first << " on " << k;
    }
  }
}

TEST_F(CacheTest, KeyMatchingCallsTheFunctionsRegisteredWhenItBegan) {
  MonitoredKeys& keys = g_monitored_keys;
  keys.add_key("a", Changes);
  keys.add_key("a", Recorder::Key);
  keys.add_key("b", Recorder::Key2);
  EXPECT_TRUE(keys.match_key("/abc"));
  EXPECT_EQ(rec_.Take(), (Events{"changes /abc", "key /abc", "key2 /abc"}));
  EXPECT_TRUE(keys.match_key("/abc"));
  EXPECT_EQ(rec_.Take(), (Events{"key /abc", "key /abc"}));  // "a" and the new "c"
  // A function that throws ends the walk; the registry stays usable.
  keys.add_key("a", Throws);
  EXPECT_THROW(keys.match_key("/abc"), std::runtime_error);
  EXPECT_EQ(rec_.Take(), (Events{"key /abc", "throws /abc"}));
  EXPECT_EQ(keys.remove_key("a", Throws), 0);
  EXPECT_TRUE(keys.match_key("/abc"));
  EXPECT_EQ(rec_.Take(), (Events{"key /abc", "key /abc"}));
}

}  // namespace
