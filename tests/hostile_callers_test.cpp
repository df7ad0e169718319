// Hostile subscribers and arguments: whatever a callback does with the
// library on its own thread, and whatever an argument points into, the cache
// stays memory-safe. Run under AddressSanitizer these fail loudly on a
// use-after-free; in a plain build they check what a user sees.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "orv/settings.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

using std::chrono::milliseconds;

std::vector<std::string> g_seen;  // what the subscribers saw, in order

// A NEW_DEV subscriber that takes the device straight out again, first
// through remove_device_id, then (for ids starting with "c") through clear().
void RemoveWhenNew(orv::DevInfoChangeType type, const std::string& id, const std::string&) {
  if (type != orv::NEW_DEV) return;
  if (id[0] == 'c') {
    g_devices.clear();
  } else {
    g_devices.remove_device_id(id);
  }
}

void Record(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  g_seen.push_back(std::to_string(type) + " " + id + " " + field);
}

class HostileCallersTest : public ::testing::Test {
 protected:
  void TearDown() override {
    orv::devMgmt::uninit();
    g_devices.clear();
    g_devices.field_callbacks.clear();
    g_seen.clear();
  }
};

TEST_F(HostileCallersTest, ChangeDroppedWhenNewDevSubscriberRemovesTheDevice) {
  TempStore store;
  store.Set("/devices/r1/display_name", "loaded");
  store.Set("/devices/c1/macs/m9", "10.0.0.9");
  orv::devMgmt::set_on_dev_info_change({"scan_level", "macs"}, RemoveWhenNew);
  orv::devMgmt::set_on_dev_info_change({"scan_level", "macs"}, Record);

  g_devices.update_scan_level("r2", 5);
  g_devices.new_mac_ip("r3", "m3", "10.0.0.3");
  g_devices.new_mac_ip("c4", "m4", "10.0.0.4");
  g_devices.remove_macs("r5");
  g_devices.load();

  std::vector<orv::devMgmt::Device> left;
  EXPECT_EQ(g_devices.get_devices(left), 0);
  EXPECT_TRUE(g_devices.mac_to_device_id.empty());
  // Nobody is told of a change that was dropped.
  for (const std::string& event : g_seen) EXPECT_NE(event[0], '1') << event;
}

TEST_F(HostileCallersTest, ArgumentsPointingIntoTheCache) {
  orv::devMgmt::set_on_dev_info_change({"macs"}, Record);
  g_devices.new_mac_ip("d1", "m1", "10.0.0.1");
  g_devices.new_mac_ip("d2", "m2", "10.0.0.2");
  g_seen.clear();

  const orv::devMgmt::Device& d1 = g_devices.devices.at("d1");
  g_devices.remove_mac(d1.macs[0].mac, d1.device_id);  // its last MAC: the record goes
  g_devices.remove_device_id(g_devices.devices.find("d2")->first);

  EXPECT_EQ(g_seen, (std::vector<std::string>{"1 d1 macs", "2 d2 "}));
  EXPECT_TRUE(g_devices.devices.empty());
  EXPECT_TRUE(g_devices.mac_to_device_id.empty());
}

// The child starts the library, has the sync thread inside a change and
// ends the process without uninit(); the field names the thread still reads
// must outlive it.
std::atomic<bool> g_in_change{false};
void SlowSubscriber(orv::DevInfoChangeType type, const std::string&, const std::string& field) {
  if (type != orv::DEV_INFO_UPDATED) return;
  g_in_change = true;
  std::this_thread::sleep_for(milliseconds(200));  // the process exits meanwhile
  if (field != "device_manufacturer") std::abort();
}

TEST_F(HostileCallersTest, ExitWithoutUninitWhileTheSyncThreadApplies) {
  TempStore store;
  store.Set("/devices/d1/macs/m1", "10.0.0.1");
  EXPECT_EXIT(
      {
        orv::devMgmt::set_on_dev_info_change({"device_manufacturer"}, SlowSubscriber);
        if (orv::devMgmt::init() != 0) std::_Exit(3);
        for (int i = 0; !g_in_change && i < 1000; ++i) {
          orv::setMgmt::setKey("/devices/d1/device_manufacturer", "n" + std::to_string(i));
          std::this_thread::sleep_for(milliseconds(10));
        }
        std::exit(g_in_change ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "");
}

// A key subscriber that holds the walk for a while, and one behind it that
// must not be called once its removal has returned.
std::atomic<bool> g_walk_started{false};
std::atomic<bool> g_unset_returned{false};
std::atomic<int> g_late_calls{0};
void HoldTheWalk(const std::string&) {
  g_walk_started = true;
  std::this_thread::sleep_for(milliseconds(200));
}
void Removed(const std::string&) {
  if (g_unset_returned) ++g_late_calls;
}
void RemovesItself(const std::string&) {
  ++g_late_calls;
  orv::devMgmt::unset_on_key_change("^/k$", RemovesItself);  // must not wait for itself
}

TEST_F(HostileCallersTest, NoCallAfterUnsetReturns) {
  ASSERT_EQ(orv::devMgmt::set_on_key_change("/devices/", HoldTheWalk), 0);
  ASSERT_EQ(orv::devMgmt::set_on_key_change("/devices/", Removed), 0);
  std::thread walker([] { g_monitored_keys.match_key("/devices/d1/display_name"); });
  while (!g_walk_started) std::this_thread::yield();
  orv::devMgmt::unset_on_key_change("/devices/", Removed);
  g_unset_returned = true;
  walker.join();
  EXPECT_EQ(g_late_calls, 0);
  orv::devMgmt::unset_on_key_change("/devices/", HoldTheWalk);

  ASSERT_EQ(orv::devMgmt::set_on_key_change("^/k$", RemovesItself), 0);
  EXPECT_TRUE(g_monitored_keys.match_key("/k"));
  EXPECT_FALSE(g_monitored_keys.match_key("/k"));
  EXPECT_EQ(g_late_calls, 1);
}

// uninit() from a callback on the sync thread is refused and changes nothing.
std::atomic<int> g_uninit_result{1};
int g_uninit_code = 0;
std::string g_uninit_text;
void StopFromCallback(const std::string&) {
  if (g_uninit_result != 1) return;
  const int result = orv::devMgmt::uninit();
  g_uninit_code = orverrno.code();
  g_uninit_text = orverrno.message();
  g_uninit_result = result;
}

TEST_F(HostileCallersTest, UninitFromACallbackIsRefused) {
  TempStore store;
  store.Set("/devices/d1/macs/m1", "10.0.0.1");
  ASSERT_EQ(orv::devMgmt::set_on_key_change("display_name", StopFromCallback), 0);
  ASSERT_EQ(orv::devMgmt::init(), 0);
  for (int i = 0; g_uninit_result == 1 && i < 500; ++i) {
    store.Set("/devices/d1/display_name", "n" + std::to_string(i));
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(g_uninit_result, -1);
  EXPECT_EQ(g_uninit_code, 35);
  EXPECT_EQ(g_uninit_text, "called from a callback");
  // Still running: the next change reaches the cache.
  store.Set("/devices/d1/display_name", "after");
  orv::devMgmt::Device device;
  for (int i = 0;
       i < 500 && !(g_devices.get_device("d1", device) && device.display_name == "after"); ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(device.display_name, "after");
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  orv::devMgmt::unset_on_key_change("display_name", StopFromCallback);
}

// Subscribers that throw: the sync thread logs a "BUG:" line and goes on with
// the next change, also when the store's notification reader lets the
// exception through (as the gateway's own utility library may).
void Throws(const std::string& key) { throw std::runtime_error("subscriber of " + key); }
void ThrowsWhenNew(orv::DevInfoChangeType type, const std::string&, const std::string&) {
  if (type == orv::NEW_DEV) throw std::runtime_error("no new devices");
}

TEST_F(HostileCallersTest, ThrowingSubscribersNeverStopTheSyncThread) {
  TempStore store;
  store.Set("/devices/d1/macs/m1", "10.0.0.1");
  LogCapture log(0);
  setenv("ORV_SETTINGS_UNGUARDED_CALLBACKS", "1", 1);
  ASSERT_EQ(orv::devMgmt::set_on_key_change("display_name", Throws), 0);
  ASSERT_EQ(orv::devMgmt::init(), 0);
  ASSERT_EQ(orv::devMgmt::wait_for_sync(5000), 0);
  store.Set("/devices/d1/display_name", "first");
  store.Set("/devices/d1/device_os", "second");
  orv::devMgmt::Device device;
  for (int i = 0; i < 500 && !(g_devices.get_device("d1", device) && device.device_os == "second");
       ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(device.display_name, "first");
  EXPECT_EQ(device.device_os, "second");
  EXPECT_TRUE(log.Contains(0,
                           "BUG: applying /devices/d1/display_name failed: subscriber of "
                           "/devices/d1/display_name"));
  orv::devMgmt::uninit();
  unsetenv("ORV_SETTINGS_UNGUARDED_CALLBACKS");
  orv::devMgmt::unset_on_key_change("display_name", Throws);

  // During init()'s own load the exception reaches the caller, and the
  // library stays stopped, ready for another init().
  orv::devMgmt::set_on_dev_info_change({"macs"}, ThrowsWhenNew);
  EXPECT_THROW(orv::devMgmt::init(), std::runtime_error);
  orv::devMgmt::unset_on_dev_info_change({"macs"}, ThrowsWhenNew);
  EXPECT_EQ(orv::devMgmt::init(), 0);
  orv::devMgmt::uninit();  // before the log capture goes
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
  TempStore store;
  store.Set("/devices/d1/macs/m1", "10.0.0.1");
  ASSERT_EQ(orv::devMgmt::set_on_key_change("display_name", HoldFirstChange), 0);
  ASSERT_EQ(orv::devMgmt::init(), 0);
  ASSERT_EQ(orv::devMgmt::wait_for_sync(5000), 0);
  g_hold = true;
  store.Set("/devices/d1/display_name", "first");
  while (g_applied == 0) std::this_thread::sleep_for(milliseconds(1));
  store.Set("/devices/d1/display_name", "pending");  // queued behind the held change
  std::thread stopper([] { orv::devMgmt::uninit(); });
  std::this_thread::sleep_for(milliseconds(200));  // the byte is in the pipe
  g_hold = false;
  stopper.join();
  EXPECT_EQ(g_applied, 1);
  orv::devMgmt::unset_on_key_change("display_name", HoldFirstChange);
}

}  // namespace
