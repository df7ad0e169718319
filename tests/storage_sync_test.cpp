// Keeping the cache in step with the /devices tree of the settings store:
// Devices::load (the tree's defaults and conversions, announcing every
// device) and the change dispatcher (one changed key classified by its path,
// checked against the store, applied to g_devices, then passed to the key
// subscribers).

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dispatcher.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/log_capture.h"
#include "support/recorder.h"
#include "support/temp_store.h"

namespace {

using orv::devMgmt::Device;
using orv::devmgmt_internal::classify_device_key;

// ChecksCacheUnlocked records whether another thread can take the cache's
// mutex while the key subscriber runs.
void ChecksCacheUnlocked(const std::string& key) {
  bool free = false;
  std::thread probe([&free] {
    free = g_devices.mutex.try_lock();
    if (free) g_devices.mutex.unlock();
  });
  probe.join();
  Recorder::Add(std::string(free ? "unlocked " : "locked ") + key);
}

class StorageSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orv::devMgmt::set_on_dev_info_change(
        {"macs", "traffic_blocked", "onvelk", "onguest", "profile_id", "display_name",
         "device_type", "device_os", "device_os_version", "device_model", "device_manufacturer",
         "scan_level", "velk_device_id"},
        Recorder::Info<0>);
    ASSERT_EQ(orv::devMgmt::set_on_key_change("^/", Recorder::Key), 0);
  }

  // Dispatch hands `key` to the dispatcher and checks what it logged: the two
  // lines every key gets, then `bug` at level 0 unless it is empty.
  int Dispatch(const std::string& key, const std::string& bug = "") {
    log_.Clear();
    rec_.Take();
    orv::path path;
    path.add_piece(true, key);
    const int result = orv::devmgmt_internal::handle_device_change(path);
    const auto parsed = classify_device_key(key);
    Events expected = {"3 handle_device_change: Changed key " + key,
                       "3 handle_device_change: Key type " + std::to_string(parsed.type) +
                           ", device_id=" + parsed.device_id + ", value=" + parsed.mac};
    if (!bug.empty()) expected.push_back("0 handle_device_change: BUG: " + bug);
    Events lines;
    for (const std::string& line : log_.Messages()) {
      if (line.find(" handle_device_change: ") == 1) lines.push_back(line);
    }
    EXPECT_EQ(lines, expected);
    return result;
  }

  TempStore store_;
  Recorder rec_;
  LogCapture log_{4};
};

TEST_F(StorageSyncTest, DispatchClassifiesKeysByTheirPieces) {
  // Key, type, device id, MAC ("-": empty). The first character is dropped
  // unexamined.
  std::istringstream cases(R"(
      /devices 0 - -                    /devices/d1 1 d1 -              /devices/d1/ 1 d1 -
      /devices/d1//macs 1 d1 -          /devices/d1/macs 2 d1 -         xdevices/d1 1 d1 -
      /devices/d1/macs/aa:bb 3 d1 aa:bb /devices/d1/macs/aa:bb/x/y 3 d1 aa:bb
      /devices/d1/display_name/x 8 d1 - /devices/d1/foo 16 d1 -         /devices/d1/MACS/m1 16 d1 -
      /devices/d1/Display_Name 16 d1 -  /devices/d1/onvelk_old 16 d1 -  /devices/ 17 - -
      /devices//display_name 17 - -     /devices/d1/macs/ 17 d1 -       /devices/d1/macs//m1 17 d1 -
      /other/x 17 - -                   /devicesX/d1 17 - -             /Devices/d1 17 - -
      - 17 - -)");
  std::string key, type, id, mac;
  int rows = 0;
  for (; cases >> key >> type >> id >> mac; ++rows) {
    const auto parsed = classify_device_key(key == "-" ? "" : key);
    EXPECT_EQ(std::to_string(parsed.type) + " " + parsed.device_id + " " + parsed.mac,
              type + " " + (id == "-" ? "" : id) + " " + (mac == "-" ? "" : mac))
        << key;
  }
  EXPECT_EQ(rows, 21);
}

TEST_F(StorageSyncTest, DispatchFieldKeysUpdateTheCacheUnlessDeletedOrUnreadable) {
  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  g_devices.load();
  // Field, type, the stored text and the member as Describe shows it then.
  std::istringstream fields(R"(
      traffic_blocked 4 2 blocked=2        onvelk 5 -1 onvelk=-1        onguest 6 -1 onguest=-1
      profile_id 7 p7 profile_id=p7        display_name 8 Den display_name=Den
      device_type 9 tv type=tv             device_os 10 linux os=linux
      device_os_version 11 5.4 os_version=5.4                           device_model 12 X1 model=X1
      device_manufacturer 13 Acme manufacturer=Acme                     scan_level 14 3rd scan_level=3
      velk_device_id 15 v9 velk_device_id=v9)");
  std::string field, stored, shows;
  int type = 0;
  while (fields >> field >> type >> stored >> shows) {
    const std::string key = "/devices/d1/" + field;
    SCOPED_TRACE(key);
    EXPECT_EQ(classify_device_key(key).type, type);
    store_.Set(key, stored);
    EXPECT_EQ(Dispatch(key), 1);
    EXPECT_EQ(rec_.Take(), (Events{"0 upd d1 " + field, "key " + key}));
    EXPECT_NE(Cached("d1").find(" " + shows + " "), std::string::npos) << Cached("d1");
    store_.Delete(key);
    EXPECT_EQ(Dispatch(key, "key " + key + " deleted"), 0);
    // A node where the value should be can't be read: dropped silently,
    // except onguest, whose integer read falls back to 0.
    MakeNode(store_, key);
    const bool onguest = type == 6;
    EXPECT_EQ(Dispatch(key), onguest ? 1 : 0);
    EXPECT_EQ(rec_.Take(), onguest ? (Events{"0 upd d1 onguest", "key " + key}) : Events());
    EXPECT_NE(Cached("d1").find(onguest ? " onguest=0 " : " " + shows + " "), std::string::npos);
  }
  EXPECT_EQ(type, 15);
  // An unknown device is created first; pieces after the field are ignored
  // but the whole key is read; the key subscribers run last, unlocked.
  ASSERT_EQ(orv::devMgmt::set_on_key_change("/in$", ChecksCacheUnlocked), 0);
  store_.Set("/devices/d2/display_name/in", "Hall");
  EXPECT_EQ(Dispatch("/devices/d2/display_name/in"), 1);
  EXPECT_EQ(rec_.Take(),
            (Events{"0 new d2", "0 upd d2 display_name", "key /devices/d2/display_name/in",
                    "unlocked /devices/d2/display_name/in"}));
  EXPECT_NE(Cached("d2").find(" display_name=Hall "), std::string::npos);
}

TEST_F(StorageSyncTest, DispatchDeviceMacsAndOtherKeysFollowTheDispatchTable) {
  store_.Set("/devices/d1/macs/m1", "a");
  store_.Set("/devices/d1/macs/m2", "b");
  g_devices.load();
  // Each step: prepare the store ('S' set `value`, 'D' delete, 'N' leave an
  // empty node, '-' nothing), dispatch, then expect the result, the calls
  // made ("$" stands for the key), the BUG line, and the device's bindings.
  struct Step {
    char prepare;
    std::string key, value;
    int result;
    std::string calls, bug, pairs;
  };
  const Step steps[] = {
      {'-', "/devices", "", 0, "", "change on /devices", ""},
      {'-', "/devices/d1", "", 0, "", "change on /devices/d1", "[m1=a,m2=b]"},
      // Refused by the store (code 2, also with "not found" in its text): present.
      {'-', "/devices/d1/", "", 0, "", "change on /devices/d1/", "[m1=a,m2=b]"},
      {'-', "/devices/.not found", "", 0, "", "change on /devices/.not found", "[absent]"},
      {'-', "/devices/d1/macs", "", 1, "", "", "[m1=a,m2=b]"},
      {'S', "/devices/d1/macs/m3", "c", 1, "0 upd d1 macs|key $", "", "[m1=a,m2=b,m3=c]"},
      {'S', "/devices/d1/macs/m4/x", "d", 1, "0 upd d1 macs|key $", "", "[m1=a,m2=b,m3=c,m4=d]"},
      {'-', "/devices/d1/macs/.m5", "", 1, "0 upd d1 macs|key $", "", "[m1=a,m2=b,m3=c,m4=d,.m5=]"},
      {'D', "/devices/d1/macs/m2", "", 1, "0 upd d1 macs|key $", "", "[m1=a,m3=c,m4=d,.m5=]"},
      {'N', "/devices/d1/macs/m2", "", 1, "0 upd d1 macs|key $", "", "[m1=a,m3=c,m4=d,.m5=,m2=]"},
      {'S', "/devices/d2/macs/mx", "e", 1, "0 new d2|0 upd d2 macs|key $", "", "[mx=e]"},
      {'D', "/devices/d2/macs/mx", "", 1, "0 upd d2 macs|key $", "", "[absent]"},
      {'D', "/devices/d1/macs", "", 1, "0 upd d1 macs|key $", "", "[]"},
      {'-', "/devices/d9/macs", "", 1, "0 new d9|0 upd d9 macs|key $", "", "[]"},
      {'S', "/devices/d1/foo", "x", 1, "key $", "", "[]"},
      {'-', "/devices//display_name", "", 0, "", "", ""},
      {'S', "/other/x", "1", 0, "", "", ""},
      {'D', "/devices/d1", "", 1, "0 del d1|key $", "", "[absent]"},
      {'-', "/devices/ghost", "", 1, "key $", "", "[absent]"},  // remove_device_id's BUG
      {'D', "/devices", "", 1, "key $", "", ""},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(1, s.prepare) + " " + s.key);
    if (s.prepare == 'S') store_.Set(s.key, s.value);
    if (s.prepare == 'D') store_.Delete(s.key);
    if (s.prepare == 'N') MakeNode(store_, s.key);
    EXPECT_EQ(Dispatch(s.key, s.bug), s.result);
    std::string calls;
    for (const std::string& call : rec_.Take()) calls += (calls.empty() ? "" : "|") + call;
    std::string expected = s.calls;
    if (expected.find('$') != std::string::npos) expected.replace(expected.find('$'), 1, s.key);
    EXPECT_EQ(calls, expected);
    const std::string id = classify_device_key(s.key).device_id;
    EXPECT_EQ(s.pairs.empty() ? "" : "[" + Pairs(id) + "]", s.pairs);
  }
  // The root's deletion empties the cache quietly; statKey's error stays.
  EXPECT_TRUE(g_devices.devices.empty() && g_devices.mac_to_device_id.empty());
  EXPECT_EQ(g_devices.field_callbacks.size(), 13u);
  EXPECT_EQ(orverrno.code(), 4);
  EXPECT_NE(orverrno.message().find("not found"), std::string::npos);
}

TEST_F(StorageSyncTest, LoadReadsEveryFieldWithItsDefaultAndConversion) {
  std::istringstream tree(R"(
      d1/profile_id p1 d1/display_name TV d1/device_type tv d1/device_os linux d1/unknown_field u
      d1/device_os_version 5.4 d1/device_model X1 d1/device_manufacturer Acme d1/velk_device_id v1
      d1/macs/m2 10.0.0.2 d1/macs/M1 10.0.0.1 d1/traffic_blocked 1 d1/onvelk -1 d1/onguest -1
      d1/scan_level 0 dA/onvelk 7 dA/onguest 3 dA/scan_level 5 dA/macs/shared 10.0.0.1
      dA/macs/own 10.0.0.3 dB/macs/shared 10.0.0.2)");  // "shared" is listed under dA and dB
  for (std::string key, value; tree >> key >> value;) store_.Set("/devices/" + key, value);
  MakeNode(store_, "/devices/dB/macs/novalue");  // a binding without a value
  MakeNode(store_, "/devices/bare");
  // traffic_blocked is read as text: 0 only for "" and "0".
  const std::pair<const char*, int> blocked[] = {{"", 0},   {"0", 0},  {"false", 1},
                                                 {"00", 1}, {" 0", 1}, {"2", 1}};
  Events lines = {"3 load: Loading devices from storage"};
  for (int i = 0; i < 6; ++i) {
    store_.Set("/devices/b" + std::to_string(i) + "/traffic_blocked", blocked[i].first);
    lines.push_back("3 load: devid b" + std::to_string(i) + " - blocked " + blocked[i].first);
  }

  g_devices.load();

  lines =
      Cat(lines, {"3 load: devid bare - blocked ", "3 load: devid d1 - mac M1 - ip 10.0.0.1",
                  "3 load: devid d1 - mac m2 - ip 10.0.0.2", "3 load: devid d1 - blocked 1",
                  "3 load: devid dA - mac own - ip 10.0.0.3",
                  "3 load: devid dA - mac shared - ip 10.0.0.1", "3 load: devid dA - blocked ",
                  "3 load: devid dB - mac novalue - ip ",
                  "3 load: devid dB - mac shared - ip 10.0.0.2", "3 load: devid dB - blocked "});
  Events logged;
  for (const std::string& line : log_.Messages()) {
    if (line.find(" load: ") == 1) logged.push_back(line);
  }
  EXPECT_EQ(logged, lines);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(g_devices.devices["b" + std::to_string(i)].blocked, blocked[i].second) << i;
  }
  EXPECT_EQ(Cached("d1"),
            "id=d1 profile_id=p1 macs=[M1=10.0.0.1,m2=10.0.0.2] display_name=TV type=tv os=linux "
            "os_version=5.4 model=X1 manufacturer=Acme velk_device_id=v1 blocked=1 onvelk=0 "
            "onguest=-1 scan_level=0 ");
  Device bare = Dev("bare");
  bare.scan_level = 2;
  EXPECT_EQ(Cached("bare"), Describe(bare));
  EXPECT_NE(Cached("dA").find("=[own=10.0.0.3,shared=10.0.0.1] "), std::string::npos);
  EXPECT_NE(Cached("dA").find(" onvelk=7 onguest=3 scan_level=5 "), std::string::npos);
  EXPECT_EQ(Pairs("dB"), "novalue=,shared=10.0.0.2");
  EXPECT_EQ(Owner("M1") + Owner("m1") + Owner("own") + Owner("shared") + Owner("novalue"),
            "d1-dAdBdB");
  EXPECT_EQ(g_devices.mac_to_device_id.size(), 5u);
}

TEST_F(StorageSyncTest, LoadSubscribersHearOfEachDeviceBeforeItsFieldsAndOfNothingElse) {
  store_.Set("/devices/b/display_name", "third");  // listed bytewise: "A" < "a1" < "b"
  store_.Set("/devices/A/display_name", "first");
  store_.Set("/devices/A/macs/m1", "10.0.0.1");
  store_.Set("/devices/a1/display_name", "second");
  Events seen;  // the new device as a callback queries it, and the others' names
  rec_.SetHook([&seen](int, orv::DevInfoChangeType, const std::string& id) {
    std::vector<Device> all;
    orv::devMgmt::get_devices(all);
    std::sort(all.begin(), all.end(),
              [](const Device& a, const Device& b) { return a.device_id < b.device_id; });
    std::string text;
    for (const Device& d : all) text += (d.device_id == id ? Describe(d) : d.display_name) + "|";
    seen.push_back(text);
  });

  EXPECT_EQ(LoggedWhileLocked(log_, [] { g_devices.load(); }),
            Events{"3 load: Loading devices from storage"});
  EXPECT_EQ(rec_.Take(), (Events{"0 new A", "0 new a1", "0 new b"}));
  EXPECT_EQ(seen, (Events{Describe(Dev("A")) + "|", "first|" + Describe(Dev("a1")) + "|",
                          "first|second|" + Describe(Dev("b")) + "|"}));
  EXPECT_EQ(Pairs("A"), "m1=10.0.0.1");
}

TEST_F(StorageSyncTest, LoadReloadAnnouncesEveryDeviceAgainAndDropsVanishedOnesQuietly) {
  store_.Set("/devices/d1/display_name", "old");
  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  store_.Set("/devices/d2/macs/m2", "10.0.0.2");
  g_devices.load();
  g_devices.new_mac_ip("ghost", "m9", "10.0.0.9");  // known to the cache only
  rec_.Take();
  store_.Delete("/devices/d2");
  store_.Set("/devices/d1/display_name", "new");
  store_.Set("/devices/d3/scan_level", "4");
  log_.Clear();

  g_devices.load();
  EXPECT_EQ(rec_.Take(), (Events{"0 new d1", "0 new d3"}));
  EXPECT_EQ(Cached("d2") + Cached("ghost") + Owner("m2") + Owner("m9"), "absentabsent--");
  EXPECT_NE(Cached("d1").find("macs=[m1=10.0.0.1] display_name=new "), std::string::npos);
  EXPECT_EQ(g_devices.mac_to_device_id.size(), 1u);
  EXPECT_FALSE(log_.Contains(2, "removed"));  // nobody is told of a removal
  g_devices.update_display_name("d3", "x");   // the subscription survives
  EXPECT_EQ(rec_.Take(), (Events{"0 upd d3 display_name"}));

  // No /devices at all, then a /devices without children: an empty cache.
  store_.Delete("/devices");
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) MakeNode(store_, "/devices");
    g_devices.new_mac_ip("stale", "m1", "ip");
    rec_.Take();
    log_.Clear();
    g_devices.load();
    EXPECT_TRUE(g_devices.devices.empty() && g_devices.mac_to_device_id.empty());
    EXPECT_EQ(log_.Messages(), (Events{"3 load: Loading devices from storage"}));
    EXPECT_TRUE(rec_.Take().empty());
  }
}

}  // namespace
