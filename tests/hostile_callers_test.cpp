// Hostile subscribers and arguments: whatever a callback does with the
// library on its own thread, and whatever an argument points into, the cache
// stays memory-safe. Under AddressSanitizer these fail loudly on a
// use-after-free; in a plain build they check what a user sees. Subscribers
// that throw: the sync thread lives on and the cache ends equal to the store.
// (Keys and values with odd bytes are among the models' cases.)

#include <unistd.h>

#include <stdexcept>

#include "orv/settings.h"
#include "support/library.h"

namespace {

namespace api = orv::devMgmt;
using std::chrono::milliseconds;
using std::chrono::seconds;

using HostileCallersTest = LibraryTest;

// A NEW_DEV subscriber that takes the device straight out again: through
// remove_device_id, or for ids starting with "c" through clear().
void RemoveWhenNew(orv::DevInfoChangeType type, const std::string& id, const std::string&) {
  if (type != orv::NEW_DEV) return;
  if (id[0] == 'c') {
    g_devices.clear();
  } else {
    g_devices.remove_device_id(id);
  }
}

TEST_F(HostileCallersTest, ChangeDroppedWhenNewDevSubscriberRemovesTheDevice) {
  Set("/devices/r1/display_name", "loaded");
  Set("/devices/c1/macs/m9", "10.0.0.9");
  api::set_on_dev_info_change({"scan_level", "macs"}, RemoveWhenNew);
  api::set_on_dev_info_change({"scan_level", "macs"}, OnInfo<0>);
  g_devices.update_scan_level("r2", 5);
  g_devices.new_mac_ip("r3", "m3", "10.0.0.3");
  g_devices.new_mac_ip("c4", "m4", "10.0.0.4");
  g_devices.remove_macs("r5");
  g_devices.load();
  std::vector<api::Device> left;
  EXPECT_EQ(g_devices.get_devices(left), 0);
  EXPECT_TRUE(g_devices.mac_to_device_id.empty());
  // Nobody hears of an update to a device that is gone.
  for (const std::string& call : Calls::Take()) EXPECT_EQ(call.find(" upd "), std::string::npos);
}

TEST_F(HostileCallersTest, ArgumentsPointingIntoTheCache) {
  api::set_on_dev_info_change({"macs"}, OnInfo<0>);
  g_devices.new_mac_ip("d1", "m1", "10.0.0.1");
  g_devices.new_mac_ip("d2", "m2", "10.0.0.2");
  Calls::Take();
  const api::Device& d1 = g_devices.devices.at("d1");
  g_devices.remove_mac(d1.macs[0].mac, d1.device_id);  // its last MAC: the record goes
  g_devices.remove_device_id(g_devices.devices.find("d2")->first);
  EXPECT_EQ(Calls::Take(), (Texts{"0 upd d1 macs", "0 del d2"}));
  EXPECT_TRUE(g_devices.devices.empty() && g_devices.mac_to_device_id.empty());
  // An id that is a string of the device's own full list, which the new pair
  // moves: the index and the callbacks still get the id.
  g_devices.new_mac_ip("d3", "m3", "d3");
  const api::Device& d3 = g_devices.devices.at("d3");
  g_devices.new_mac_ip(d3.macs[0].ip, "m4", d3.macs[0].mac);
  EXPECT_EQ(Owner("m4"), "d3");
  EXPECT_EQ(Cached("d3").substr(0, 19), "d3 p= [m3=d3,m4=m3]");
  EXPECT_EQ(Calls::Take(), (Texts{"0 new d3", "0 upd d3 macs", "0 upd d3 macs"}));
}

// The child has the sync thread inside a change when it exits without
// uninit(): the field name the subscriber reads afterwards must still be there.
std::atomic<bool> g_in_change{false};
void SlowSubscriber(orv::DevInfoChangeType type, const std::string&, const std::string& field) {
  if (type != orv::DEV_INFO_UPDATED) return;
  g_in_change = true;
  std::this_thread::sleep_for(milliseconds(200));  // the process exits meanwhile
  if (field != "device_manufacturer") std::abort();
}

TEST_F(HostileCallersTest, ExitWithoutUninitWhileTheSyncThreadApplies) {
  Set("/devices/d1/macs/m1", "10.0.0.1");
  EXPECT_EXIT(
      {
        api::set_on_dev_info_change({"device_manufacturer"}, SlowSubscriber);
        if (api::init() != 0 || api::wait_for_sync(5000) != 0) std::_Exit(3);
        orv::setMgmt::setKey("/devices/d1/device_manufacturer", "x");
        while (!g_in_change) std::this_thread::sleep_for(milliseconds(1));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// A key subscriber holds the walk while the one behind it is removed: once
// the removal returned, that one is never called.
std::atomic<bool> g_walk_started{false}, g_unset_returned{false};
std::atomic<int> g_late_calls{0};
void HoldTheWalk(const std::string&) {
  g_walk_started = true;
  std::this_thread::sleep_for(milliseconds(200));
}
void Removed(const std::string&) { g_late_calls += g_unset_returned ? 1 : 0; }

TEST_F(HostileCallersTest, NoCallAfterUnsetReturns) {
  ASSERT_EQ(api::set_on_key_change("/devices/", HoldTheWalk), 0);
  ASSERT_EQ(api::set_on_key_change("/devices/", Removed), 0);
  std::thread walker([] { g_monitored_keys.match_key("/devices/d1/display_name"); });
  while (!g_walk_started) std::this_thread::yield();
  api::unset_on_key_change("/devices/", Removed);
  g_unset_returned = true;
  walker.join();
  EXPECT_EQ(g_late_calls, 0);
}

// The slots' functions: one is being called on another thread when it is
// unset, from a thread that is itself inside a key walk (so the key
// registry's own wait doesn't apply): unset returns only after it ended.
std::atomic<bool> g_in_slot{false}, g_slot_unset{false};
std::atomic<int> g_ended_after_unset{0};
void SlowSlotCall() {
  g_in_slot = true;
  std::this_thread::sleep_for(milliseconds(200));
  g_ended_after_unset += g_slot_unset ? 1 : 0;
}
void SlowReport(json_t* status) {
  json_decref(status);
  SlowSlotCall();
}
void SlowReloaded(const Texts&) { SlowSlotCall(); }
void UnsetsReportsInAWalk(const std::string&) {
  while (!g_in_slot) std::this_thread::yield();
  EXPECT_EQ(api::unset_on_traffic_blocked_change(nullptr), 0);
  g_slot_unset = true;
}

TEST_F(HostileCallersTest, SlotUnsetWaitsForTheCallOfAnotherThread) {
  g_devices.new_mac_ip("d1", "m1", "i1");
  ASSERT_EQ(api::set_on_traffic_blocked_change(SlowReport), 0);
  ASSERT_EQ(api::set_on_key_change("^/u$", UnsetsReportsInAWalk), 0);
  std::thread reporter([] { g_monitored_keys.match_key("/devices/d1/traffic_blocked"); });
  EXPECT_TRUE(g_monitored_keys.match_key("/u"));
  reporter.join();
  EXPECT_EQ(g_ended_after_unset, 0);

  g_in_slot = g_slot_unset = false;
  api::set_on_cache_reloaded(SlowReloaded);
  Set("/devices/d1/macs/m1", "i1");
  ASSERT_EQ(api::init(), 0);  // the sync thread's first reload reports
  while (!g_in_slot) std::this_thread::yield();
  api::unset_on_cache_reloaded(nullptr);
  g_slot_unset = true;
  EXPECT_EQ(api::uninit(), 0);  // the call under way, if any, has ended
  EXPECT_EQ(g_ended_after_unset, 0);
}

TEST_F(HostileCallersTest, UninitAndWaitFromACallbackAreRefused) {
  Set("/devices/d1/macs/m1", "10.0.0.1");
  ASSERT_EQ(api::set_on_key_change("display_name", OnKey<0>), 0);
  Calls::SetHook([](const std::string& call) {
    if (call.rfind("key0 ", 0) != 0) return;
    Calls::Add("uninit " + Result(api::uninit()));
    Calls::Add("wait " + Result(api::wait_for_sync(0)));
  });
  ASSERT_EQ(api::init(), 0);
  ASSERT_EQ(api::wait_for_sync(5000), 0);
  Set("/devices/d1/display_name", "x");
  ASSERT_TRUE(Calls::WaitFor("uninit -1 35 called from a callback"));
  ASSERT_TRUE(Calls::WaitFor("wait -1 35 called from a callback"));
  Calls::SetHook(nullptr);
  Set("/devices/d1/display_name", "after");  // still running
  ASSERT_TRUE(Calls::WaitFor("key0 /devices/d1/display_name", 2));
  EXPECT_EQ(api::uninit(), 0);
}

// During init()'s own load a subscriber's exception reaches the caller; the
// library stays stopped, ready for another init().
void ThrowsWhenNew(orv::DevInfoChangeType type, const std::string&, const std::string&) {
  if (type == orv::NEW_DEV) throw std::runtime_error("no new devices");
}

TEST_F(HostileCallersTest, InitPassesOnASubscribersException) {
  Set("/devices/d1/macs/m1", "10.0.0.1");
  api::set_on_dev_info_change({"macs"}, ThrowsWhenNew);
  EXPECT_THROW(api::init(), std::runtime_error);
  EXPECT_EQ(api::wait_for_sync(0), -1);
  EXPECT_EQ(orverrno.message(), "not running");
  api::unset_on_dev_info_change({"macs"}, ThrowsWhenNew);
  EXPECT_EQ(api::init(), 0);
}

// At uninit() the wake-up byte wins over changes pending in the same wait:
// they are left unread.
std::atomic<bool> g_hold{false};
std::atomic<int> g_applied{0};
void HoldFirstChange(const std::string&) {
  ++g_applied;
  while (g_hold) std::this_thread::sleep_for(milliseconds(1));
}

TEST_F(HostileCallersTest, StopByteWinsOverPendingChanges) {
  Set("/devices/d1/macs/m1", "10.0.0.1");
  ASSERT_EQ(api::set_on_key_change("display_name", HoldFirstChange), 0);
  ASSERT_EQ(api::init(), 0);
  ASSERT_EQ(api::wait_for_sync(5000), 0);
  g_hold = true;
  Set("/devices/d1/display_name", "first");
  while (g_applied == 0) std::this_thread::sleep_for(milliseconds(1));
  Set("/devices/d1/display_name", "pending");  // queued behind the held change
  std::thread stopper([] { api::uninit(); });
  std::this_thread::sleep_for(milliseconds(200));  // the byte is in the pipe
  g_hold = false;
  stopper.join();
  EXPECT_EQ(g_applied, 1);
}

TEST_F(HostileCallersTest, ThrowingSubscribersDoNotStopTheSyncThread) {
  for (const std::string id : {"a1", "boom0", "boom1", "kboom"}) {
    Set("/devices/" + id + "/macs/m" + id, "10.0.0.1");
  }
  api::set_on_dev_info_change({"display_name"}, OnInfo<0>);
  ASSERT_EQ(api::set_on_key_change("^/devices/", OnKey<0>), 0);
  ASSERT_EQ(api::set_on_key_change("display_name$", OnKey<1>), 0);
  ASSERT_EQ(api::set_on_traffic_blocked_change(OnReport), 0);
  api::set_on_cache_reloaded([](const Texts&) { throw std::runtime_error("reloaded"); });
  // As the gateway's own store may, this one lets subscribers' exceptions
  // through: the library alone keeps the thread alive.
  setenv("ORV_SETTINGS_UNGUARDED_CALLBACKS", "1", 1);
  orv::log::current_level = 0;  // the thread's BUG lines are written at threshold 0 too
  static std::atomic<bool> throw_in_load{true};
  const std::thread::id test_thread = std::this_thread::get_id();
  Calls::SetHook([test_thread](const std::string& call) {
    if (call == "0 new boom0" && throw_in_load && std::this_thread::get_id() != test_thread) {
      throw std::runtime_error("boom in load");
    }
    if (call == "0 upd boom1 display_name") throw std::runtime_error("boom in change");
    if (call == "key0 /devices/kboom/display_name") throw std::runtime_error("kboom");
    if (call.find("\"blocked\":1") != std::string::npos) throw std::runtime_error("report");
  });
  // The sync thread's load throws: it lives on, takes changes, and loads
  // again on its next pass.
  ASSERT_EQ(api::init(), 0);
  ASSERT_TRUE(Logged("0 sync_thread_function: BUG: loading devices failed: boom in load"));
  Set("/devices/a1/display_name", "A");
  ASSERT_TRUE(Calls::WaitFor("key1 /devices/a1/display_name"));
  throw_in_load = false;
  Set("/devices/a1/display_name", "B");
  ASSERT_TRUE(Calls::WaitFor("key1 /devices/a1/display_name", 2));
  EXPECT_EQ(CacheDiffToStore(seconds(5)), "");
  EXPECT_TRUE(Logged("0 sync_thread_function: BUG: the cache-reloaded callback failed: reloaded"));

  // Each kind of subscriber throws in turn: the change is in the cache, the
  // later subscribers of that change are skipped, the next change reaches all.
  Calls::Take();
  Set("/devices/boom1/display_name", "X");
  Set("/devices/kboom/display_name", "K");
  Set("/devices/a1/traffic_blocked", "1");
  Set("/devices/a1/display_name", "C");
  ASSERT_TRUE(Calls::WaitFor("key1 /devices/a1/display_name"));
  const std::string report =
      R"(report {"device_id":"a1","blocked":1,"macs":["ma1"],"ips":["10.0.0.1"]})";
  EXPECT_EQ(Calls::Take(),
            (Texts{"0 upd boom1 display_name", "0 upd kboom display_name",
                   "key0 /devices/kboom/display_name", "key0 /devices/a1/traffic_blocked", report,
                   "0 upd a1 display_name", "key0 /devices/a1/display_name",
                   "key1 /devices/a1/display_name"}));
  for (const std::string threw : {"/devices/boom1/display_name failed: boom in change",
                                  "/devices/kboom/display_name failed: kboom",
                                  "/devices/a1/traffic_blocked failed: report"}) {
    EXPECT_EQ(Count("0 sync_thread_function: BUG: applying " + threw), 1) << threw;
  }
  EXPECT_EQ(CacheDiffToStore(seconds(5)), "");
  unsetenv("ORV_SETTINGS_UNGUARDED_CALLBACKS");
}

}  // namespace
