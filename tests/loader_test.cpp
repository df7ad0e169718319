// Devices::load: filling the cache from the /devices tree of the settings
// store, with the tree's defaults and conversions, and announcing every
// device to the device-info subscribers.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "support/change_recorder.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

using orv::devMgmt::Device;

namespace {

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_devices.clear();
    RecordedChanges::Reset();
  }
  void TearDown() override {
    orv::devMgmt::unset_on_dev_info_change(kDeviceFieldNames, RecordedChanges::OnDevInfo);
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    g_devices.field_callbacks.clear();
    g_devices.clear();
  }

  // CachedIds returns the ids in the cache, sorted.
  static std::vector<std::string> CachedIds() {
    std::vector<Device> devices;
    g_devices.get_devices(devices);
    std::vector<std::string> ids;
    for (const Device& device : devices) ids.push_back(device.device_id);
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  // Lines returns the captured lines logged by `function`.
  std::vector<std::string> Lines(const std::string& function) const {
    std::vector<std::string> out;
    for (const std::string& message : log_.Messages()) {
      if (message.find(" " + function + ": ") == 1) out.push_back(message);
    }
    return out;
  }

  TempStore store_;
  LogCapture log_{4};
};

// SnapshotOnNewDev records, for each new device, the record as the callback
// can query it and the ids of the devices that are complete at that moment
// (those whose scan_level already holds the loader's default 2).
void SnapshotOnNewDev(orv::DevInfoChangeType type, const std::string& device_id,
                      const std::string& field_name) {
  Device device;
  const bool found = orv::devMgmt::get_device(device_id, device);
  std::string complete;
  std::vector<Device> devices;
  orv::devMgmt::get_devices(devices);
  std::sort(devices.begin(), devices.end(),
            [](const Device& a, const Device& b) { return a.device_id < b.device_id; });
  for (const Device& other : devices) {
    if (other.scan_level == 2) complete += " " + other.device_id + "(" + other.display_name + ")";
  }
  RecordedChanges::Record(std::to_string(type) + " " + device_id + " [" + field_name + "] " +
                          (found ? DeviceText(device) : "absent") + " complete:" + complete);
}

TEST_F(LoaderTest, ReadsEveryFieldWithItsDefaultAndConversion) {
  store_.Set("/devices/d1/profile_id", "p1");
  store_.Set("/devices/d1/macs/m2", "10.0.0.2");
  store_.Set("/devices/d1/macs/M1", "10.0.0.1");
  store_.Set("/devices/d1/display_name", "Kitchen TV");
  store_.Set("/devices/d1/device_type", "tv");
  store_.Set("/devices/d1/device_os", "linux");
  store_.Set("/devices/d1/device_os_version", "5.4");
  store_.Set("/devices/d1/device_model", "X1");
  store_.Set("/devices/d1/device_manufacturer", "Acme");
  store_.Set("/devices/d1/velk_device_id", "v1");
  store_.Set("/devices/d1/traffic_blocked", "1");
  store_.Set("/devices/d1/onvelk", "-1");
  store_.Set("/devices/d1/onguest", "-1");
  store_.Set("/devices/d1/scan_level", "0");
  store_.Set("/devices/d1/unknown_field", "ignored");
  // Integers that the store can't read as integers fall back to the default.
  store_.Set("/devices/d2/onvelk", "7");
  store_.Set("/devices/d2/onguest", "1");
  store_.Set("/devices/d2/scan_level", "high");
  store_.Set("/devices/d3/onvelk", "on");
  store_.Set("/devices/d3/onguest", " 3\n");
  store_.Set("/devices/d3/scan_level", "5");

  g_devices.load();

  EXPECT_EQ(CachedText("d1"),
            "id=d1 profile=p1 macs=[M1=10.0.0.1,m2=10.0.0.2] name=Kitchen TV type=tv os=linux "
            "os_version=5.4 model=X1 manufacturer=Acme velk=v1 blocked=1 onvelk=0 onguest=-1 "
            "scan=0");
  EXPECT_EQ(CachedText("d2"),
            "id=d2 profile= macs=[] name= type= os= os_version= model= manufacturer= velk= "
            "blocked=0 onvelk=7 onguest=1 scan=2");
  EXPECT_EQ(CachedText("d3"),
            "id=d3 profile= macs=[] name= type= os= os_version= model= manufacturer= velk= "
            "blocked=0 onvelk=0 onguest=3 scan=5");
  EXPECT_EQ(CachedIds(), (std::vector<std::string>{"d1", "d2", "d3"}));
  std::string owner;
  EXPECT_EQ(g_devices.get_device_id_by_mac("M1", owner), 0);
  EXPECT_EQ(owner, "d1");
  EXPECT_EQ(g_devices.mac_to_device_id.size(), 2u);
  EXPECT_EQ(g_devices.get_device_id_by_mac("m1", owner), -1) << "MACs are compared by case";

  EXPECT_EQ(Lines("load"), (std::vector<std::string>{
                               "3 load: Loading devices from storage",
                               "3 load: devid d1 - mac M1 - ip 10.0.0.1",
                               "3 load: devid d1 - mac m2 - ip 10.0.0.2",
                               "3 load: devid d1 - blocked 1",
                               "3 load: devid d2 - blocked ",
                               "3 load: devid d3 - blocked ",
                           }));
  EXPECT_TRUE(Lines("notify_dev_info_updated").empty());
}

TEST_F(LoaderTest, TrafficBlockedIsReadAsText) {
  struct Case {
    const char* id;
    const char* text;  // null: no key at all
    int blocked;
  };
  const Case cases[] = {{"b_absent", nullptr, 0}, {"b_empty", "", 0},      {"b_zero", "0", 0},
                        {"b_one", "1", 1},        {"b_false", "false", 1}, {"b_00", "00", 1},
                        {"b_blank0", " 0", 1},    {"b_two", "2", 1}};
  std::vector<std::string> expected_lines = {"3 load: Loading devices from storage"};
  std::vector<Case> listed(std::begin(cases), std::end(cases));
  std::sort(listed.begin(), listed.end(),
            [](const Case& a, const Case& b) { return std::string(a.id) < b.id; });
  for (const Case& c : listed) {
    if (c.text == nullptr) {
      MakeNode(store_, std::string("/devices/") + c.id);
    } else {
      store_.Set(std::string("/devices/") + c.id + "/traffic_blocked", c.text);
    }
    expected_lines.push_back(std::string("3 load: devid ") + c.id + " - blocked " +
                             (c.text ? c.text : ""));
  }

  g_devices.load();

  for (const Case& c : cases) {
    Device device;
    ASSERT_TRUE(g_devices.get_device(c.id, device)) << c.id;
    EXPECT_EQ(device.blocked, c.blocked) << c.id;
  }
  EXPECT_EQ(Lines("load"), expected_lines);
}

TEST_F(LoaderTest, OddTreesLoadWithDefaults) {
  // A MAC listed under two devices: both hold it, the index names the device
  // listed later ("dB" sorts after "dA").
  store_.Set("/devices/dB/macs/shared", "10.0.0.2");
  store_.Set("/devices/dA/macs/shared", "10.0.0.1");
  store_.Set("/devices/dA/macs/own", "10.0.0.3");
  // A device node with no field at all.
  MakeNode(store_, "/devices/bare");
  // A binding node that holds no value, and a device whose "macs" is a value.
  MakeNode(store_, "/devices/dC/macs/novalue");
  store_.Set("/devices/dD/macs", "not a node");

  g_devices.load();

  EXPECT_EQ(CachedText("bare"),
            "id=bare profile= macs=[] name= type= os= os_version= model= manufacturer= velk= "
            "blocked=0 onvelk=0 onguest=0 scan=2");
  EXPECT_EQ(CachedMacs("dA"), "own=10.0.0.3,shared=10.0.0.1");
  EXPECT_EQ(CachedMacs("dB"), "shared=10.0.0.2");
  std::string owner;
  EXPECT_EQ(g_devices.get_device_id_by_mac("shared", owner), 0);
  EXPECT_EQ(owner, "dB");
  EXPECT_EQ(g_devices.get_device_id_by_mac("own", owner), 0);
  EXPECT_EQ(owner, "dA");

  EXPECT_EQ(CachedMacs("dC"), "novalue=");
  EXPECT_EQ(g_devices.get_device_id_by_mac("novalue", owner), 0);
  EXPECT_EQ(owner, "dC");
  const std::vector<std::string> lines = Lines("load");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "3 load: devid dC - mac novalue - ip "),
            lines.end());

  EXPECT_EQ(CachedMacs("dD"), "");
  EXPECT_EQ(g_devices.mac_to_device_id.size(), 3u);
}

TEST_F(LoaderTest, SubscriberSeesEachNewDeviceBeforeItsFields) {
  // Listing order is bytewise: "A" < "a1" < "b".
  store_.Set("/devices/b/display_name", "third");
  store_.Set("/devices/A/display_name", "first");
  store_.Set("/devices/A/macs/m1", "10.0.0.1");
  store_.Set("/devices/a1/display_name", "second");
  orv::devMgmt::set_on_dev_info_change(kDeviceFieldNames, SnapshotOnNewDev);

  g_devices.load();
  orv::devMgmt::unset_on_dev_info_change(kDeviceFieldNames, SnapshotOnNewDev);

  const std::string bare =
      " profile= macs=[] name= type= os= os_version= model= manufacturer= velk= blocked=0 "
      "onvelk=0 onguest=0 scan=0";
  EXPECT_EQ(RecordedChanges::Take(), (std::vector<std::string>{
                                         "0 A [] id=A" + bare + " complete:",
                                         "0 a1 [] id=a1" + bare + " complete: A(first)",
                                         "0 b [] id=b" + bare + " complete: A(first) a1(second)",
                                     }));
  EXPECT_EQ(CachedMacs("A"), "m1=10.0.0.1");
  std::vector<std::string> notices;
  for (const std::string& message : log_.Messages()) {
    if (message[0] == '2') notices.push_back(message);
  }
  EXPECT_EQ(notices, (std::vector<std::string>{
                         "2 notify_new_dev: New device: device id=A",
                         "2 notify_new_dev: Called 1 callbacks",
                         "2 notify_new_dev: New device: device id=a1",
                         "2 notify_new_dev: Called 1 callbacks",
                         "2 notify_new_dev: New device: device id=b",
                         "2 notify_new_dev: Called 1 callbacks",
                     }));
}

TEST_F(LoaderTest, ReloadAnnouncesEveryDeviceAgainAndDropsVanishedOnes) {
  store_.Set("/devices/d1/display_name", "old");
  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  store_.Set("/devices/d2/macs/m2", "10.0.0.2");
  g_devices.load();
  // A device known only to the cache, and a MAC the store never had.
  g_devices.new_mac_ip("ghost", "m9", "10.0.0.9");
  orv::devMgmt::set_on_dev_info_change({"display_name", "macs"}, RecordedChanges::OnDevInfo);
  RecordedChanges::Reset();

  store_.Delete("/devices/d2");
  store_.Set("/devices/d1/display_name", "new");
  store_.Set("/devices/d3/scan_level", "4");
  log_.Clear();
  g_devices.load();

  EXPECT_EQ(RecordedChanges::Take(), (std::vector<std::string>{"new d1", "new d3"}));
  EXPECT_EQ(CachedIds(), (std::vector<std::string>{"d1", "d3"}));
  EXPECT_EQ(CachedMacs("d1"), "m1=10.0.0.1");
  Device d1;
  ASSERT_TRUE(g_devices.get_device("d1", d1));
  EXPECT_EQ(d1.display_name, "new");
  std::string owner;
  EXPECT_EQ(g_devices.get_device_id_by_mac("m2", owner), -1);
  EXPECT_EQ(g_devices.get_device_id_by_mac("m9", owner), -1);
  EXPECT_EQ(g_devices.mac_to_device_id.size(), 1u);
  for (const std::string& message : log_.Messages()) {
    EXPECT_EQ(message.find("removed"), std::string::npos) << message;
  }
  // The subscription survives the reload.
  EXPECT_EQ(g_devices.field_callbacks.count("display_name"), 1u);
  g_devices.update_display_name("d3", "x");
  EXPECT_EQ(RecordedChanges::Take(), (std::vector<std::string>{"upd d3 display_name"}));
}

TEST_F(LoaderTest, EmptyTreeEmptiesTheCacheQuietly) {
  orv::devMgmt::set_on_dev_info_change({"display_name"}, RecordedChanges::OnDevInfo);
  g_devices.update_display_name("stale", "x");
  g_devices.new_mac_ip("stale", "m1", "10.0.0.1");
  RecordedChanges::Reset();

  // No /devices node at all.
  log_.Clear();
  g_devices.load();
  EXPECT_TRUE(CachedIds().empty());
  EXPECT_TRUE(g_devices.mac_to_device_id.empty());
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"3 load: Loading devices from storage"}));

  // A /devices node without children.
  g_devices.update_display_name("stale", "x");
  RecordedChanges::Reset();
  MakeNode(store_, "/devices");
  log_.Clear();
  g_devices.load();
  EXPECT_TRUE(CachedIds().empty());
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"3 load: Loading devices from storage"}));
  EXPECT_TRUE(RecordedChanges::Take().empty());
}

}  // namespace
