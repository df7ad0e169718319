// Faults survived by a running library: subscribers that throw, the store's
// root taken away and given back while no descriptor is left to watch it,
// values that turn into nodes, and callbacks that use the library from inside
// a notification. Each test fails if data is lost, the sync thread dies, or it
// deadlocks (every wait has a deadline, and so has stopping the library).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "support/sync_helpers.h"

namespace {

using std::chrono::seconds;
using Texts = std::vector<std::string>;

std::atomic<bool> g_throw_in_load{false};

// Seen renders what a query from inside a callback sees of d1.
std::string Seen() {
  orv::devMgmt::Device d1;
  std::string owner = "-";
  std::vector<orv::devMgmt::Device> all;
  orv::devMgmt::get_device("d1", d1);
  orv::devMgmt::get_device_id_by_mac("m1", owner);
  return "saw " + d1.display_name + " owner=" + owner + " blocked=" + std::to_string(d1.blocked) +
         " devices=" + std::to_string(orv::devMgmt::get_devices(all));
}

class FaultsTest : public LiveTest {
 protected:
  static std::string D1() { return RenderCache(g_devices)["dev d1"]; }
};

TEST_F(FaultsTest, ThrowingSubscribersDoNotStopTheSyncThread) {
  // Every device is there from the start: a value written into a new node is
  // reported twice when the node's watch is set up just then.
  for (const std::string id : {"a1", "boom0", "boom1", "kboom"}) {
    store_.Set("/devices/" + id + "/macs/m" + id, "10.0.0.1");
  }
  ASSERT_EQ(orv::devMgmt::set_on_key_change("display_name$", OnKey<1>), 0);
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  const std::thread::id test_thread = std::this_thread::get_id();
  g_hook = [test_thread](const std::string& event) {
    if (event == "0 new boom0" && g_throw_in_load && std::this_thread::get_id() != test_thread) {
      throw std::runtime_error("boom in load");
    }
    if (event == "0 upd boom1 display_name") throw std::runtime_error("boom in change");
    if (event == "key0 /devices/kboom/display_name") throw std::runtime_error("kboom");
    if (event.find("\"blocked\":1") != std::string::npos) throw std::runtime_error("report");
  };

  // A load that throws on the sync thread (init's own load, on this thread,
  // doesn't): the thread lives on, takes changes, and retries the load.
  g_throw_in_load = true;
  Start("boom0");
  ASSERT_TRUE(Logged(log_, "0 sync_thread_function: BUG: loading devices failed: boom in load"));
  SetAndWait("/devices/a1/display_name", "A", "key1 /devices/a1/display_name");
  g_throw_in_load = false;
  SetAndWait("/devices/a1/display_name", "B", "key1 /devices/a1/display_name", 2);
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, seconds(10)), "");

  // A device-info callback, a key callback and the traffic-blocked function
  // throw in turn: the change is in the cache, the later subscribers of that
  // change are skipped, the next change reaches every subscriber.
  const auto report = [](const char* blocked) {
    return R"(report {"device_id":"a1","blocked":)" + std::string(blocked) +
           R"(,"macs":["ma1"],"ips":["10.0.0.1"]})";
  };
  g_events.Clear();
  store_.Set("/devices/boom1/display_name", "X");
  store_.Set("/devices/kboom/display_name", "K");
  store_.Set("/devices/a1/traffic_blocked", "1");
  SetAndWait("/devices/a1/display_name", "C", "key1 /devices/a1/display_name");
  EXPECT_EQ(g_events.Texts(),
            (Texts{"0 upd boom1 display_name", "0 upd kboom display_name",
                   "key0 /devices/kboom/display_name", "key0 /devices/a1/traffic_blocked",
                   report("1"), "0 upd a1 display_name", "key0 /devices/a1/display_name",
                   "key1 /devices/a1/display_name"}));
  for (const std::string threw :
       {"/devices/boom1/display_name failed: boom in change",
        "/devices/kboom/display_name failed: kboom", "/devices/a1/traffic_blocked failed: report"}) {
    EXPECT_TRUE(Logged(log_, "0 ApplyChange: BUG: applying " + threw)) << threw;
  }
  SetAndWait("/devices/a1/traffic_blocked", "0", report("0"));
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, seconds(5)), "");
}

TEST_F(FaultsTest, RootRemovedAndRestored) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d2/display_name", "two");
  Start("d2");

  // The whole root goes: the cache empties, and nothing is there to watch.
  std::filesystem::remove_all(store_.root());
  ASSERT_TRUE(WaitUntil([] {
    std::vector<orv::devMgmt::Device> devices;
    return orv::devMgmt::get_devices(devices) == 0;
  }));
  ASSERT_TRUE(Logged(log_, kNoDescriptor));

  // Given back with other contents, but the process has no descriptor left
  // when the thread tries again (every 5 s) to watch it.
  store_.Set("/devices/d1/macs/m1", "i1b");
  store_.Set("/devices/d3/scan_level", "4");
  store_.Set("/devices/d3/display_name", "three");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest_free = open("/dev/null", O_RDONLY);
  close(lowest_free);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  const bool lost_again = Logged(log_, kNoDescriptor, 2);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(lost_again);

  // With descriptors again, the thread watches the store on its next try and
  // reloads.
  EXPECT_EQ(WaitForCacheToMatchStore(g_devices, seconds(8)), "");
  g_events.Clear();
  SetAndWait("/devices/d3/display_name", "back", "key0 /devices/d3/display_name");
  EXPECT_EQ(g_events.Texts(), (Texts{"0 upd d3 display_name", "key0 /devices/d3/display_name"}));
}

TEST_F(FaultsTest, ValuesTurnedIntoNodesAreDroppedWithoutHarm) {
  store_.Set("/devices/gate/scan_level", "2");
  store_.Set("/devices/d1/display_name", "old");
  store_.Set("/devices/d1/onguest", "3");
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d1/macs/m2", "i2");
  orv::devMgmt::set_on_dev_info_change({"display_name"}, HoldAtGate);
  Start("d1");
  EXPECT_EQ(D1(),
            "id=d1 profile= macs=m1=i1,m2=i2, name=old type= os=/ model= by= velk= "
            "blocked=0 onvelk=0 onguest=3 scan=2");

  // While the thread waits at the gate, values become nodes under the same
  // names; it then finds nodes where it was told of changed values.
  g_gate = 1;
  store_.Set("/devices/gate/display_name", "closed");
  ASSERT_TRUE(WaitUntil([] { return g_gate == 2; }, seconds(5)));
  for (const std::string key :
       {"/devices/d1/display_name", "/devices/d1/onguest", "/devices/d1/macs/m2"}) {
    store_.Delete(key);
    std::filesystem::create_directory(store_.root() + key);
  }
  g_events.Clear();
  g_gate = 0;
  SetAndWait("/devices/d1/device_os", "after", "key0 /devices/d1/device_os");

  // The name's change is dropped: old value, no subscriber told. onguest is
  // read as an integer with the default 0; the binding's IP reads empty.
  EXPECT_EQ(g_events.Texts(), (Texts{"key0 /devices/gate/display_name", "key0 /devices/d1/onguest",
                                     "0 upd d1 macs", "key0 /devices/d1/macs/m2",
                                     "0 upd d1 device_os", "key0 /devices/d1/device_os"}));
  EXPECT_EQ(D1(),
            "id=d1 profile= macs=m1=i1,m2=, name=old type= os=after/ model= by= velk= "
            "blocked=0 onvelk=0 onguest=0 scan=2");
}

TEST_F(FaultsTest, CallbacksMayUseTheLibraryFromInsideANotification) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d1/display_name", "zero");
  ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  // The first name update registers OnInfo<1> and OnKey<1>, the second
  // removes OnInfo<0> from the name; OnKey<0> and the report remove
  // themselves.
  g_hook = [](const std::string& event) {
    const bool name = event == "0 upd d1 display_name", key = event.rfind("key0 ", 0) == 0,
               report = event.rfind("report ", 0) == 0;
    if (name || key || report) g_events.Add(Seen());
    if (name && Seen().rfind("saw one ", 0) == 0) {
      orv::devMgmt::set_on_dev_info_change({"display_name", "device_os"}, OnInfo<1>);
      EXPECT_EQ(orv::devMgmt::set_on_key_change("device_os$", OnKey<1>), 0);
    } else if (name) {
      orv::devMgmt::unset_on_dev_info_change({"display_name"}, OnInfo<0>);
    }
    if (key) orv::devMgmt::unset_on_key_change("^/devices/", OnKey<0>);
    if (report) orv::devMgmt::unset_on_traffic_blocked_change(OnReport);
  };
  Start("d1");
  g_events.Clear();

  // Queries see the change; what a callback (un)registers applies from the
  // next change on.
  SetAndWait("/devices/d1/display_name", "one", "key0 /devices/d1/display_name");
  SetAndWait("/devices/d1/display_name", "two", "1 upd d1 display_name");
  SetAndWait("/devices/d1/device_os", "linux", "key1 /devices/d1/device_os");
  const std::string report = R"(report {"device_id":"d1","blocked":1,"macs":["m1"],"ips":["i1"]})";
  SetAndWait("/devices/d1/traffic_blocked", "1", report);
  store_.Set("/devices/d1/traffic_blocked", "0");  // unsubscribed: no report
  SetAndWait("/devices/d1/display_name", "three", "1 upd d1 display_name", 2);
  EXPECT_EQ(g_events.Texts(),
            (Texts{"0 upd d1 display_name", "saw one owner=d1 blocked=0 devices=1",
                   "key0 /devices/d1/display_name", "saw one owner=d1 blocked=0 devices=1",
                   "0 upd d1 display_name", "saw two owner=d1 blocked=0 devices=1",
                   "1 upd d1 display_name", "0 upd d1 device_os", "1 upd d1 device_os",
                   "key1 /devices/d1/device_os", report, "saw two owner=d1 blocked=1 devices=1",
                   "1 upd d1 display_name"}));
  const std::thread::id test_thread = std::this_thread::get_id();
  for (const RecordedEvent& event : g_events.Get()) EXPECT_NE(event.thread, test_thread);
}

}  // namespace
