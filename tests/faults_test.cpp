// Faults survived by a running library: subscribers that throw, the store's
// root taken away and given back while no descriptor is left to watch it,
// values that can't be read, and callbacks that use the library from inside
// a notification. Each test fails if data is lost, the sync thread dies, or it
// deadlocks (every wait has a deadline, and so has stopping the library).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <jansson.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "support/cache_match.h"
#include "support/event_recorder.h"
#include "support/log_capture.h"
#include "support/sync_gate.h"
#include "support/temp_store.h"

namespace {

using std::chrono::seconds;

constexpr char kNoDescriptor[] =
    "0 sync_thread_function: Could not get notification fd for /devices";
const std::vector<std::string> kFields = {"display_name", "device_os", "macs"};

EventRecorder& Events() {
  static EventRecorder events;
  return events;
}

std::thread::id g_test_thread;
std::atomic<bool> g_throw_in_load{false};

const char* TypeName(orv::DevInfoChangeType type) {
  return type == orv::NEW_DEV ? "new" : type == orv::DEV_INFO_UPDATED ? "upd" : "del";
}

// Throwing throws from a load of the sync thread when it announces a device
// "boom*", and from the update of boom1's display name.
void Throwing(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  Events().Add(std::string(TypeName(type)) + " " + id + (field.empty() ? "" : " " + field));
  const bool boom = id.rfind("boom", 0) == 0;
  if (type == orv::NEW_DEV && boom && g_throw_in_load &&
      std::this_thread::get_id() != g_test_thread) {
    throw std::runtime_error("boom in load");
  }
  if (type == orv::DEV_INFO_UPDATED && id == "boom1") throw std::runtime_error("boom in change");
}
void ThrowingKey(const std::string& key) {
  Events().Add("key " + key);
  if (key.find("kboom") != std::string::npos) throw std::runtime_error("kboom");
}
void LaterKey(const std::string& key) { Events().Add("key2 " + key); }
void ThrowingReport(json_t* document) {
  const json_int_t blocked = json_integer_value(json_object_get(document, "blocked"));
  json_decref(document);  // it owns the document, also when it throws
  Events().Add("report blocked=" + std::to_string(blocked));
  if (blocked == 1) throw std::runtime_error("report");
}

// Reentrant and its friends use the library from inside their notifications.
std::string NameOfD1() {
  orv::devMgmt::Device device;
  std::string owner = "-";
  orv::devMgmt::get_device_id_by_mac("m1", owner);
  std::vector<orv::devMgmt::Device> all;
  return (orv::devMgmt::get_device("d1", device) ? device.display_name : "absent") +
         " owner=" + owner + " devices=" + std::to_string(orv::devMgmt::get_devices(all));
}
void Late(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  Events().Add(std::string("late ") + TypeName(type) + " " + id + " " + field);
}
void LateKey(const std::string& key) { Events().Add("latekey " + key); }
void Reentrant(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  if (type != orv::DEV_INFO_UPDATED) return Events().Add(std::string(TypeName(type)) + " " + id);
  Events().Add("dev " + NameOfD1());
  if (NameOfD1().rfind("one ", 0) == 0) {
    orv::devMgmt::set_on_dev_info_change({field, "device_os"}, Late);
    EXPECT_EQ(orv::devMgmt::set_on_key_change("device_os$", LateKey), 0);
  } else {
    orv::devMgmt::unset_on_dev_info_change({field}, Reentrant);
  }
}
void ReentrantKey(const std::string& key) {
  Events().Add("key " + key + " " + NameOfD1());
  orv::devMgmt::unset_on_key_change("display_name$", ReentrantKey);
}
void ReentrantReport(json_t* document) {
  orv::devMgmt::Device device;
  orv::devMgmt::get_device("d1", device);
  Events().Add(
      "report blocked=" + std::to_string(json_integer_value(json_object_get(document, "blocked"))) +
      " cached=" + std::to_string(device.blocked));
  json_decref(document);
  orv::devMgmt::unset_on_traffic_blocked_change(ReentrantReport);
}

// FreeDescriptors leaves the process `count` free descriptors while it lives.
class FreeDescriptors {
 public:
  explicit FreeDescriptors(int count) {
    EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &saved_), 0);
    const int lowest_free = open("/dev/null", O_RDONLY);
    EXPECT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(lowest_free + count);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  }
  FreeDescriptors(const FreeDescriptors&) = delete;
  FreeDescriptors& operator=(const FreeDescriptors&) = delete;
  ~FreeDescriptors() { EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved_), 0); }

 private:
  rlimit saved_{};
};

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Events().Clear();
    g_test_thread = std::this_thread::get_id();
  }

  void TearDown() override {
    TheGate().Release();
    // A deadlocked sync thread can't be joined: end the run now rather than
    // at the harness's timeout.
    auto stopped = std::make_shared<std::promise<void>>();
    std::future<void> done = stopped->get_future();
    std::thread([stopped] {
      orv::devMgmt::uninit();
      stopped->set_value();
    }).detach();
    if (done.wait_for(seconds(15)) != std::future_status::ready) {
      ADD_FAILURE() << "uninit did not return: the sync thread is stuck";
      std::fflush(stdout);
      std::_Exit(1);
    }
    for (DevInfoChangeCallback callback : {Throwing, Late, Reentrant, HoldAtGate}) {
      orv::devMgmt::unset_on_dev_info_change(kFields, callback);
    }
    orv::devMgmt::unset_on_key_change("^/devices/", ThrowingKey);
    orv::devMgmt::unset_on_key_change("display_name$", LaterKey);
    orv::devMgmt::unset_on_key_change("display_name$", ReentrantKey);
    orv::devMgmt::unset_on_key_change("device_os$", LateKey);
    orv::devMgmt::unset_on_traffic_blocked_change(nullptr);
    EXPECT_TRUE(g_devices.field_callbacks.empty());
    EXPECT_TRUE(g_monitored_keys.key_spies.empty());
    g_devices.clear();
  }

  // Start runs init and waits until the sync thread has announced
  // `device_id`: from then on it watches the store.
  void Start(const std::string& device_id) {
    ASSERT_EQ(orv::devMgmt::init(), 0);
    const std::string wanted = "new " + device_id;
    ASSERT_TRUE(Events().WaitFor([&](const EventRecorder::Events& events) {
      for (const RecordedEvent& event : events) {
        if (event.text == wanted && event.thread != g_test_thread) return true;
      }
      return false;
    })) << wanted;
  }

  // SetAndWait writes a value and waits for the event `text`.
  void SetAndWait(const std::string& key, const std::string& value, const std::string& text,
                  int count = 1) {
    store_.Set(key, value);
    ASSERT_TRUE(Events().WaitForText(text, count)) << text;
  }

  // Logged waits until `message` was logged `times` times.
  bool Logged(const std::string& message, int times = 1) {
    return WaitUntil(
        [&] {
          const std::vector<std::string> lines = log_.Messages();
          return std::count(lines.begin(), lines.end(), message) >= times;
        },
        seconds(8));
  }

  std::string Cached(const std::string& id) {
    orv::devMgmt::Device device;
    if (!orv::devMgmt::get_device(id, device)) return "absent";
    std::string macs;
    for (const orv::devMgmt::MacIp& binding : device.macs) {
      macs += binding.mac + "=" + binding.ip + " ";
    }
    return device.display_name + " | " + macs + "| os=" + device.device_os +
           " onguest=" + std::to_string(device.onguest);
  }

  TempStore store_;
  LogCapture log_{0};
};

TEST_F(FaultsTest, ThrowingSubscribersDoNotStopTheSyncThread) {
  // Every device is there from the start: a value written into a new node is
  // reported twice when the node's watch is set up just then.
  for (const char* id : {"a1", "boom0", "boom1", "kboom", "z9"}) {
    store_.Set(std::string("/devices/") + id + "/macs/m" + id, "10.0.0.1");
  }
  orv::devMgmt::set_on_dev_info_change(kFields, Throwing);
  ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices/", ThrowingKey), 0);
  ASSERT_EQ(orv::devMgmt::set_on_key_change("display_name$", LaterKey), 0);
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(ThrowingReport), 0);

  // A load that throws on the sync thread (init's own load, on this thread,
  // doesn't): the thread lives on, takes changes, and retries the load.
  g_throw_in_load = true;
  Start("boom0");
  ASSERT_TRUE(Logged("0 sync_thread_function: BUG: loading devices failed: boom in load"));
  SetAndWait("/devices/a1/display_name", "A", "key2 /devices/a1/display_name");
  g_throw_in_load = false;
  Events().Clear();
  SetAndWait("/devices/a1/display_name", "B", "key2 /devices/a1/display_name");
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, seconds(10)), "");

  // A device-info callback throws in a change: the change is in the cache,
  // its key subscribers are skipped, the next change goes through.
  Events().Clear();
  store_.Set("/devices/boom1/display_name", "X");
  ASSERT_TRUE(
      Logged("0 notification callback for /devices/boom1/display_name threw: boom in change"));
  SetAndWait("/devices/a1/device_os", "linux", "key /devices/a1/device_os");
  EXPECT_EQ(Events().Texts(),
            (std::vector<std::string>{"upd boom1 display_name", "upd a1 device_os",
                                      "key /devices/a1/device_os"}));
  EXPECT_EQ(Cached("boom1"), "X | mboom1=10.0.0.1 | os= onguest=0");

  // A key callback throws: the later subscribers of that key are skipped.
  Events().Clear();
  store_.Set("/devices/kboom/display_name", "K");
  ASSERT_TRUE(Logged("0 notification callback for /devices/kboom/display_name threw: kboom"));
  SetAndWait("/devices/a1/display_name", "C", "key2 /devices/a1/display_name");
  EXPECT_EQ(Events().Texts(),
            (std::vector<std::string>{"upd kboom display_name", "key /devices/kboom/display_name",
                                      "upd a1 display_name", "key /devices/a1/display_name",
                                      "key2 /devices/a1/display_name"}));

  // The traffic-blocked function throws: the next report still comes.
  store_.Set("/devices/a1/traffic_blocked", "1");
  ASSERT_TRUE(Logged("0 notification callback for /devices/a1/traffic_blocked threw: report"));
  SetAndWait("/devices/a1/traffic_blocked", "0", "report blocked=0");
  EXPECT_EQ(Cached("a1"), "C | ma1=10.0.0.1 | os=linux onguest=0");
}

TEST_F(FaultsTest, RootRemovedAndRestored) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d2/display_name", "two");
  orv::devMgmt::set_on_dev_info_change(kFields, Throwing);
  ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices/", ThrowingKey), 0);
  Start("d2");

  // The whole root goes: the cache empties, and nothing is there to watch.
  std::filesystem::remove_all(store_.root());
  ASSERT_TRUE(WaitUntil([] {
    std::vector<orv::devMgmt::Device> devices;
    return orv::devMgmt::get_devices(devices) == 0;
  }));
  ASSERT_TRUE(Logged(kNoDescriptor));

  // Given back with other contents, but the process has no descriptor left
  // when the thread tries again (every 5 s) to watch it.
  store_.Set("/devices/d1/macs/m1", "i1b");
  store_.Set("/devices/d3/scan_level", "4");
  store_.Set("/devices/d3/display_name", "three");
  {
    FreeDescriptors none(0);
    ASSERT_TRUE(Logged(kNoDescriptor, 2));
  }
  // With descriptors again, the thread watches the store on its next try and
  // reloads.
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, seconds(8)), "");
  EXPECT_EQ(Cached("d1"), " | m1=i1b | os= onguest=0");
  EXPECT_EQ(Cached("d2"), "absent");
  Events().Clear();
  SetAndWait("/devices/d3/display_name", "back", "key /devices/d3/display_name");
  EXPECT_EQ(Events().Texts(),
            (std::vector<std::string>{"upd d3 display_name", "key /devices/d3/display_name"}));
}

TEST_F(FaultsTest, UnreadableValuesAreDroppedWithoutHarm) {
  store_.Set("/devices/gate/scan_level", "2");
  store_.Set("/devices/d1/display_name", "old");
  store_.Set("/devices/d1/onguest", "3");
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d1/macs/m2", "i2");
  orv::devMgmt::set_on_dev_info_change({"display_name"}, HoldAtGate);
  orv::devMgmt::set_on_dev_info_change(kFields, Throwing);
  ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices/", ThrowingKey), 0);
  Start("d1");
  EXPECT_EQ(Cached("d1"), "old | m1=i1 m2=i2 | os= onguest=3");

  // While the thread waits at the gate, values become nodes under the same
  // names; it then finds nodes where it was told of changed values.
  TheGate().Arm();
  store_.Set("/devices/gate/display_name", "closed");
  ASSERT_TRUE(TheGate().WaitHolding(seconds(5)));
  for (const char* key :
       {"/devices/d1/display_name", "/devices/d1/onguest", "/devices/d1/macs/m2"}) {
    store_.Delete(key);
    std::filesystem::create_directory(store_.root() + key);
  }
  Events().Clear();
  TheGate().Release();
  SetAndWait("/devices/d1/device_os", "after", "key /devices/d1/device_os");

  // The name's change is dropped: old value, no subscriber told. onguest is
  // read as an integer with the default 0; the binding's IP reads empty.
  EXPECT_EQ(
      Events().Texts(),
      (std::vector<std::string>{"upd gate display_name", "key /devices/gate/display_name",
                                "key /devices/d1/onguest", "upd d1 macs", "key /devices/d1/macs/m2",
                                "upd d1 device_os", "key /devices/d1/device_os"}));
  EXPECT_EQ(Cached("d1"), "old | m1=i1 m2= | os=after onguest=0");
}

TEST_F(FaultsTest, CallbacksMayUseTheLibraryFromInsideANotification) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d1/display_name", "zero");
  orv::devMgmt::set_on_dev_info_change({"display_name"}, Reentrant);
  ASSERT_EQ(orv::devMgmt::set_on_key_change("display_name$", ReentrantKey), 0);
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(ReentrantReport), 0);
  Start("d1");
  Events().Clear();

  // Queries see the change; what a callback (un)registers applies from the
  // next change on.
  SetAndWait("/devices/d1/display_name", "one",
             "key /devices/d1/display_name one owner=d1 devices=1");
  SetAndWait("/devices/d1/display_name", "two", "late upd d1 display_name");
  SetAndWait("/devices/d1/device_os", "linux", "latekey /devices/d1/device_os");
  SetAndWait("/devices/d1/traffic_blocked", "1", "report blocked=1 cached=1");
  store_.Set("/devices/d1/traffic_blocked", "0");  // unsubscribed: no report
  SetAndWait("/devices/d1/display_name", "three", "late upd d1 display_name", 2);
  EXPECT_EQ(Events().Texts(),
            (std::vector<std::string>{"dev one owner=d1 devices=1",
                                      "key /devices/d1/display_name one owner=d1 devices=1",
                                      "dev two owner=d1 devices=1", "late upd d1 display_name",
                                      "late upd d1 device_os", "latekey /devices/d1/device_os",
                                      "report blocked=1 cached=1", "late upd d1 display_name"}));
  for (const RecordedEvent& event : Events().Get()) EXPECT_NE(event.thread, g_test_thread);
}

}  // namespace
