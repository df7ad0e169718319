// The change dispatcher: one changed settings key is classified by its path,
// checked against the store, applied to g_devices and then passed to the key
// subscribers.

#include "dispatcher.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/change_recorder.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

using orv::devmgmt_internal::classify_device_key;
using orv::devmgmt_internal::DeviceKey;
using orv::devmgmt_internal::handle_device_change;

namespace {

// ChecksCacheUnlocked records whether another thread could take the cache's
// mutex while the key subscriber runs.
void ChecksCacheUnlocked(const std::string& key) {
  bool free = false;
  std::thread probe([&free] {
    free = g_devices.mutex.try_lock();
    if (free) g_devices.mutex.unlock();
  });
  probe.join();
  RecordedChanges::Record(std::string(free ? "unlocked " : "locked ") + key);
}

// The field keys and their key types.
struct FieldType {
  const char* field;
  int type;
};
constexpr FieldType kFieldTypes[] = {{"traffic_blocked", 4}, {"onvelk", 5},
                                     {"onguest", 6},         {"profile_id", 7},
                                     {"display_name", 8},    {"device_type", 9},
                                     {"device_os", 10},      {"device_os_version", 11},
                                     {"device_model", 12},   {"device_manufacturer", 13},
                                     {"scan_level", 14},     {"velk_device_id", 15}};

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_devices.clear();
    RecordedChanges::Reset();
    orv::devMgmt::set_on_dev_info_change(kDeviceFieldNames, RecordedChanges::OnDevInfo);
    ASSERT_EQ(orv::devMgmt::set_on_key_change("^/", RecordedChanges::OnKey), 0);
  }
  void TearDown() override {
    orv::devMgmt::unset_on_dev_info_change(kDeviceFieldNames, RecordedChanges::OnDevInfo);
    orv::devMgmt::unset_on_key_change("^/", RecordedChanges::OnKey);
    {
      std::lock_guard<std::mutex> hold(g_monitored_keys.mutex);
      g_monitored_keys.key_spies.clear();
    }
    std::lock_guard<std::recursive_mutex> hold(g_devices.mutex);
    g_devices.field_callbacks.clear();
    g_devices.clear();
  }

  // Dispatch hands `key` to the dispatcher, with the log and the recorded
  // calls of earlier steps forgotten.
  int Dispatch(const std::string& key) {
    log_.Clear();
    RecordedChanges::Reset();
    orv::path path;
    path.add_piece(true, key);
    EXPECT_EQ(path.str(), key);
    return handle_device_change(path);
  }

  // Head returns the two lines logged for every key.
  static std::vector<std::string> Head(const std::string& key, int type,
                                       const std::string& device_id = "",
                                       const std::string& mac = "") {
    return {"3 handle_device_change: Changed key " + key,
            "3 handle_device_change: Key type " + std::to_string(type) +
                ", device_id=" + device_id + ", value=" + mac};
  }

  // DispatcherLines returns the captured lines of handle_device_change.
  std::vector<std::string> DispatcherLines() const {
    std::vector<std::string> out;
    for (const std::string& message : log_.Messages()) {
      if (message.find(" handle_device_change: ") == 1) out.push_back(message);
    }
    return out;
  }

  static std::string Owner(const std::string& mac) {
    std::string owner;
    return g_devices.get_device_id_by_mac(mac, owner) == 0 ? owner : "none";
  }

  static std::vector<std::string> Events(std::vector<std::string> events) { return events; }

  TempStore store_;
  LogCapture log_{4};
};

TEST_F(DispatcherTest, ClassifiesKeysByTheirPieces) {
  struct Case {
    const char* key;
    int type;
    const char* device_id;
    const char* mac;
  };
  const Case cases[] = {
      {"/devices", 0, "", ""},
      {"/devices/d1", 1, "d1", ""},
      {"/devices/d1/", 1, "d1", ""},
      {"/devices/d1//macs", 1, "d1", ""},
      {"/devices/d1/macs", 2, "d1", ""},
      {"/devices/d1/macs/aa:bb", 3, "d1", "aa:bb"},
      {"/devices/d1/macs/aa:bb/x/y", 3, "d1", "aa:bb"},
      {"/devices/d1/display_name/x", 8, "d1", ""},
      {"/devices/d1/foo", 16, "d1", ""},
      {"/devices/d1/Display_Name", 16, "d1", ""},
      {"/devices/d1/MACS/m1", 16, "d1", ""},
      {"/devices/d1/onvelk_old", 16, "d1", ""},
      {"/devices/", 17, "", ""},
      {"/devices//display_name", 17, "", ""},
      {"/devices/d1/macs/", 17, "d1", ""},
      {"/devices/d1/macs//m1", 17, "d1", ""},
      {"/other/x", 17, "", ""},
      {"/devicesX/d1", 17, "", ""},
      {"/Devices/d1", 17, "", ""},
      {"", 17, "", ""},
      // The first character is dropped unexamined.
      {"xdevices/d1", 1, "d1", ""},
  };
  for (const Case& c : cases) {
    const DeviceKey parsed = classify_device_key(c.key);
    EXPECT_EQ(static_cast<int>(parsed.type), c.type) << c.key;
    EXPECT_EQ(parsed.device_id, c.device_id) << c.key;
    EXPECT_EQ(parsed.mac, c.mac) << c.key;
  }
}

TEST_F(DispatcherTest, RootAndDeviceNodesAreOnlyHandledWhenDeleted) {
  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  store_.Set("/devices/d2/macs/m2", "10.0.0.2");
  g_devices.load();
  const std::string before = CachedText("d1") + " | " + CachedText("d2");

  // Nodes that still exist are refused.
  std::vector<std::string> expected = Head("/devices", 0);
  expected.push_back("0 handle_device_change: BUG: change on /devices");
  EXPECT_EQ(Dispatch("/devices"), 0);
  EXPECT_EQ(log_.Messages(), expected);
  expected = Head("/devices/d1", 1, "d1");
  expected.push_back("0 handle_device_change: BUG: change on /devices/d1");
  EXPECT_EQ(Dispatch("/devices/d1"), 0);
  EXPECT_EQ(log_.Messages(), expected);
  // The store refuses the key "/devices/d1/" (code 2, not 4): present.
  expected = Head("/devices/d1/", 1, "d1");
  expected.push_back("0 handle_device_change: BUG: change on /devices/d1/");
  EXPECT_EQ(Dispatch("/devices/d1/"), 0);
  EXPECT_EQ(log_.Messages(), expected);
  EXPECT_EQ(orverrno.code(), 2);
  // Refused with a text that holds "not found": still present.
  expected = Head("/devices/.not found", 1, ".not found");
  expected.push_back("0 handle_device_change: BUG: change on /devices/.not found");
  EXPECT_EQ(Dispatch("/devices/.not found"), 0);
  EXPECT_EQ(log_.Messages(), expected);
  EXPECT_EQ(orverrno.code(), 2);
  EXPECT_NE(orverrno.message().find("not found"), std::string::npos);
  EXPECT_TRUE(RecordedChanges::Take().empty());
  EXPECT_EQ(CachedText("d1") + " | " + CachedText("d2"), before);

  // A deleted device node: removed, announced, then passed on.
  store_.Delete("/devices/d1");
  EXPECT_EQ(Dispatch("/devices/d1"), 1);
  EXPECT_EQ(orverrno.code(), 4) << "statKey's error stays";
  EXPECT_NE(orverrno.message().find("not found"), std::string::npos);
  EXPECT_EQ(RecordedChanges::Take(), Events({"del d1", "key /devices/d1"}));
  EXPECT_EQ(CachedText("d1"), "absent");
  EXPECT_EQ(Owner("m1"), "none");
  EXPECT_EQ(DispatcherLines(), Head("/devices/d1", 1, "d1"));

  // A deleted device the cache never had: the removal's BUG line, still
  // passed on.
  EXPECT_EQ(Dispatch("/devices/ghost"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"key /devices/ghost"}));
  EXPECT_TRUE(log_.Contains(0, "BUG: device_id ghost not found in local cache"));

  // /devices deleted: the cache is emptied without any removal notice, the
  // subscriptions stay.
  store_.Delete("/devices");
  EXPECT_EQ(Dispatch("/devices"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"key /devices"}));
  EXPECT_TRUE(g_devices.devices.empty());
  EXPECT_TRUE(g_devices.mac_to_device_id.empty());
  EXPECT_EQ(g_devices.field_callbacks.size(), kDeviceFieldNames.size());
  EXPECT_EQ(DispatcherLines(), Head("/devices", 0));
}

TEST_F(DispatcherTest, MacsNodeAndBindings) {
  store_.Set("/devices/d1/macs/m1", "10.0.0.1");
  store_.Set("/devices/d1/macs/m2", "10.0.0.2");
  g_devices.load();

  // A macs node that exists: nothing but the two lines.
  EXPECT_EQ(Dispatch("/devices/d1/macs"), 1);
  EXPECT_EQ(log_.Messages(), Head("/devices/d1/macs", 2, "d1"));
  EXPECT_TRUE(RecordedChanges::Take().empty());

  // New and changed bindings.
  store_.Set("/devices/d1/macs/m3", "10.0.0.3");
  EXPECT_EQ(Dispatch("/devices/d1/macs/m3"), 1);
  EXPECT_EQ(DispatcherLines(), Head("/devices/d1/macs/m3", 3, "d1", "m3"));
  EXPECT_EQ(RecordedChanges::Take(), Events({"upd d1 macs", "key /devices/d1/macs/m3"}));
  store_.Set("/devices/d1/macs/m1", "10.0.0.9");
  EXPECT_EQ(Dispatch("/devices/d1/macs/m1"), 1);
  EXPECT_EQ(CachedMacs("d1"), "m1=10.0.0.9,m2=10.0.0.2,m3=10.0.0.3");
  store_.Set("/devices/d2/macs/mx", "10.0.0.7");
  EXPECT_EQ(Dispatch("/devices/d2/macs/mx"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"new d2", "upd d2 macs", "key /devices/d2/macs/mx"}));
  EXPECT_EQ(Owner("mx"), "d2");

  // Pieces after the MAC are ignored, but the whole key is read.
  store_.Set("/devices/d1/macs/m4/extra", "10.0.0.4");
  EXPECT_EQ(Dispatch("/devices/d1/macs/m4/extra"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"upd d1 macs", "key /devices/d1/macs/m4/extra"}));

  // A binding whose value can't be read gets an empty IP.
  store_.Delete("/devices/d1/macs/m2");
  MakeNode(store_, "/devices/d1/macs/m2");
  EXPECT_EQ(Dispatch("/devices/d1/macs/m2"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"upd d1 macs", "key /devices/d1/macs/m2"}));
  // The store refuses a piece starting with "." (code 2): present, unreadable.
  EXPECT_EQ(Dispatch("/devices/d1/macs/.m5"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"upd d1 macs", "key /devices/d1/macs/.m5"}));
  EXPECT_EQ(CachedMacs("d1"), "m1=10.0.0.9,m2=,m3=10.0.0.3,m4=10.0.0.4,.m5=");

  // Deleted bindings.
  store_.Delete("/devices/d1/macs/m1");
  EXPECT_EQ(Dispatch("/devices/d1/macs/m1"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"upd d1 macs", "key /devices/d1/macs/m1"}));
  EXPECT_EQ(CachedMacs("d1"), "m2=,m3=10.0.0.3,m4=10.0.0.4,.m5=");
  EXPECT_EQ(Owner("m1"), "none");
  store_.Delete("/devices/d2/macs/mx");
  EXPECT_EQ(Dispatch("/devices/d2/macs/mx"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"upd d2 macs", "key /devices/d2/macs/mx"}));
  EXPECT_EQ(CachedText("d2"), "absent") << "the last binding takes the record";

  // A deleted macs node empties the device's list; the record stays.
  store_.Delete("/devices/d1/macs");
  EXPECT_EQ(Dispatch("/devices/d1/macs"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"upd d1 macs", "key /devices/d1/macs"}));
  EXPECT_EQ(CachedMacs("d1"), "");
  EXPECT_TRUE(g_devices.mac_to_device_id.empty());
  EXPECT_EQ(Dispatch("/devices/d9/macs"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"new d9", "upd d9 macs", "key /devices/d9/macs"}));
}

TEST_F(DispatcherTest, FieldKeysUpdateTheCacheBeforeKeySubscribers) {
  // Stored text and the record's member as text afterwards, per field.
  const char* const values[][2] = {{"2", "blocked=2"},        {"-1", "onvelk=-1"},
                                   {"-1", "onguest=-1"},      {"p7", "profile=p7"},
                                   {"Den TV", "name=Den TV"}, {"tv", "type=tv"},
                                   {"linux", "os=linux"},     {"5.4", "os_version=5.4"},
                                   {"X1", "model=X1"},        {"Acme", "manufacturer=Acme"},
                                   {"3 deep", "scan=3"},      {"v9", "velk=v9"}};
  g_devices.update_scan_level("d1", 1);
  for (std::size_t i = 0; i < std::size(kFieldTypes); ++i) {
    const std::string field = kFieldTypes[i].field;
    const std::string key = "/devices/d1/" + field;
    store_.Set(key, values[i][0]);
    EXPECT_EQ(Dispatch(key), 1) << key;
    EXPECT_EQ(DispatcherLines(), Head(key, kFieldTypes[i].type, "d1"));
    EXPECT_EQ(RecordedChanges::Take(), Events({"upd d1 " + field, "key " + key}));
    EXPECT_NE(CachedText("d1").find(values[i][1]), std::string::npos) << CachedText("d1");
  }
  // Integer texts: atoi's reading, the store's for onguest.
  store_.Set("/devices/d1/traffic_blocked", "true");
  store_.Set("/devices/d1/onguest", "yes");
  EXPECT_EQ(Dispatch("/devices/d1/traffic_blocked"), 1);
  EXPECT_EQ(Dispatch("/devices/d1/onguest"), 1);
  EXPECT_NE(CachedText("d1").find("blocked=0 onvelk=-1 onguest=0 scan=3"), std::string::npos);

  // A device the cache doesn't hold is created first; the key subscribers
  // run last, with the cache free.
  ASSERT_EQ(orv::devMgmt::set_on_key_change("display_name$", ChecksCacheUnlocked), 0);
  store_.Set("/devices/d2/display_name", "Hall");
  EXPECT_EQ(Dispatch("/devices/d2/display_name"), 1);
  EXPECT_EQ(RecordedChanges::Take(),
            Events({"new d2", "upd d2 display_name", "key /devices/d2/display_name",
                    "unlocked /devices/d2/display_name"}));
  // Pieces after the field are ignored; the whole key is read and passed on.
  store_.Delete("/devices/d2/display_name");
  store_.Set("/devices/d2/display_name/inner", "Inner");
  EXPECT_EQ(Dispatch("/devices/d2/display_name/inner"), 1);
  EXPECT_EQ(RecordedChanges::Take(),
            Events({"upd d2 display_name", "key /devices/d2/display_name/inner"}));
  EXPECT_NE(CachedText("d2").find("name=Inner "), std::string::npos);
}

TEST_F(DispatcherTest, UnreadableOrDeletedFieldsChangeNothing) {
  for (const FieldType& f : kFieldTypes) {
    const std::string field = f.field;
    const std::string key = "/devices/d3/" + field;
    // Deleted: a BUG line, nothing else.
    std::vector<std::string> expected = Head(key, f.type, "d3");
    expected.push_back("0 handle_device_change: BUG: key " + key + " deleted");
    EXPECT_EQ(Dispatch(key), 0) << key;
    EXPECT_EQ(log_.Messages(), expected);
    // Unreadable (a node where the value should be): dropped silently,
    // except onguest, whose integer read falls back to 0.
    MakeNode(store_, key);
    if (field == "onguest") {
      EXPECT_EQ(Dispatch(key), 1);
      EXPECT_EQ(RecordedChanges::Take(), Events({"new d3", "upd d3 onguest", "key " + key}));
      continue;
    }
    EXPECT_EQ(Dispatch(key), 0) << key;
    EXPECT_EQ(log_.Messages(), Head(key, f.type, "d3"));
  }
  EXPECT_TRUE(RecordedChanges::Take().empty());
  g_devices.update_display_name("d3", "kept");
  const std::string filled = CachedText("d3");
  store_.Delete("/devices/d3/display_name");
  EXPECT_EQ(Dispatch("/devices/d3/display_name"), 0);
  MakeNode(store_, "/devices/d3/display_name");
  EXPECT_EQ(Dispatch("/devices/d3/display_name"), 0);
  // A piece below a value: the store reports it not found, so deleted.
  store_.Delete("/devices/d3/device_os");
  store_.Set("/devices/d3/device_os", "linux");
  EXPECT_EQ(Dispatch("/devices/d3/device_os/x"), 0);
  EXPECT_TRUE(log_.Contains(0, "BUG: key /devices/d3/device_os/x deleted"));
  // A device id the store refuses (code 2): present, but unreadable.
  EXPECT_EQ(Dispatch("/devices/.d3/display_name"), 0);
  EXPECT_EQ(log_.Messages(), Head("/devices/.d3/display_name", 8, ".d3"));
  EXPECT_TRUE(RecordedChanges::Take().empty());
  EXPECT_EQ(CachedText("d3"), filled);
  EXPECT_EQ(CachedText(".d3"), "absent");
}

TEST_F(DispatcherTest, OtherAndIgnoredKeys) {
  // Any other field is passed on without touching the cache or the store.
  EXPECT_EQ(Dispatch("/devices/d1/foo"), 1);
  EXPECT_EQ(DispatcherLines(), Head("/devices/d1/foo", 16, "d1"));
  EXPECT_EQ(RecordedChanges::Take(), Events({"key /devices/d1/foo"}));
  store_.Set("/devices/d1/Display_Name", "x");
  EXPECT_EQ(Dispatch("/devices/d1/Display_Name"), 1);
  EXPECT_EQ(RecordedChanges::Take(), Events({"key /devices/d1/Display_Name"}));
  EXPECT_EQ(CachedText("d1"), "absent");

  // Ignored keys: the two lines, no subscriber, result 0.
  store_.Set("/other/x", "1");
  store_.Set("/devices/d1/display_name", "x");
  const std::vector<std::vector<std::string>> ignored = {
      Head("/devices//display_name", 17), Head("/devices/d1/macs/", 17, "d1"), Head("/other/x", 17),
      Head("/devices/", 17), Head("/devicesX", 17)};
  for (const std::vector<std::string>& lines : ignored) {
    const std::string key = lines[0].substr(lines[0].rfind(' ') + 1);
    EXPECT_EQ(Dispatch(key), 0) << key;
    EXPECT_EQ(log_.Messages(), lines);
  }
  EXPECT_TRUE(RecordedChanges::Take().empty());
  EXPECT_TRUE(g_devices.devices.empty());
}

}  // namespace
