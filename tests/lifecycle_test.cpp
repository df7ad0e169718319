// End-to-end tests of init/uninit and the sync thread: a real thread watches a
// temporary store while the test writes to it as another process would.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/event_recorder.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kLoading[] = "3 load: Loading devices from storage";
constexpr char kNoFd[] = "0 sync_thread_function: Could not get notification fd for /devices";
constexpr char kStopping[] = "2 sync_thread_function: stopping sync_devices thread...";
constexpr char kNameKey[] = "/devices/d1/display_name";
using Texts = std::vector<std::string>;
const Texts kFields = {"display_name", "macs"};
const Texts kNameChanged = {"sync updated d1 display_name", "sync key /devices/d1/display_name"};

EventRecorder g_events;
std::thread::id g_test_thread;

// The subscribers record "new d1", "updated d1 display_name", "removed d1" (a
// field name given with NEW_DEV or DEV_INFO_REMOVED shows) or "key <key>",
// after "test " or "sync " for the thread that calls them.
void Add(const std::string& text) {
  g_events.Add((std::this_thread::get_id() == g_test_thread ? "test " : "sync ") + text);
}
void OnDevInfo(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  static const char* const kNames[] = {"new", "updated", "removed"};
  Add(std::string(kNames[type]) + " " + id + (field.empty() ? "" : " " + field));
}
void OnKey(const std::string& key) { Add("key " + key); }

// Take waits for `count` events (at most `timeout`) and hands over all caught.
Texts Take(std::size_t count, milliseconds timeout = seconds(5)) {
  g_events.WaitFor([&](const EventRecorder::Events& e) { return e.size() >= count; }, timeout);
  const Texts texts = g_events.Texts();
  g_events.Clear();
  return texts;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_test_thread = std::this_thread::get_id();
    orv::devMgmt::set_on_dev_info_change(kFields, OnDevInfo);
    ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices", OnKey), 0);
  }
  void TearDown() override {
    EXPECT_EQ(orv::devMgmt::uninit(), 0);
    orv::devMgmt::unset_on_dev_info_change(kFields, OnDevInfo);
    orv::devMgmt::unset_on_key_change("^/devices", OnKey);
    g_devices.clear();
    g_events.Clear();
  }

  int CountLog(const std::string& message) const {
    const Texts messages = log_.Messages();
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
  }

  TempStore store_;
  LogCapture log_{3};
};

// init's load announces the devices on the test thread before init returns,
// the sync thread's own load once more; from then on the thread watches.
const Texts kD1Loaded = {"test new d1", "sync new d1"};

TEST_F(LifecycleTest, StartStopAndStartAgain) {
  store_.Set(kNameKey, "first");
  ASSERT_EQ(orv::devMgmt::init(), 0);
  EXPECT_EQ(Take(2), kD1Loaded);
  // Refused while running, without a reload; the running thread carries on.
  EXPECT_EQ(orv::devMgmt::init(), -1);
  EXPECT_EQ(orverrno.code(), 16);
  EXPECT_EQ(orverrno.message(), "already running");
  store_.Set(kNameKey, "still running");
  EXPECT_EQ(Take(2), kNameChanged);

  // Stopped (twice): empty, deaf, one stop line.
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_FALSE(orv::devMgmt::device_exists("d1"));
  store_.Set(kNameKey, "while stopped");
  EXPECT_EQ(Take(1, milliseconds(300)), Texts{});
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_EQ(CountLog(kStopping), 1);

  log_.Clear();
  ASSERT_EQ(orv::devMgmt::init(), 0);
  EXPECT_EQ(Take(2), kD1Loaded);
  orv::devMgmt::Device device;
  ASSERT_TRUE(orv::devMgmt::get_device("d1", device));
  EXPECT_EQ(device.display_name, "while stopped");
  EXPECT_EQ(CountLog(kLoading), 2);
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_EQ(CountLog(kStopping), 1);
}

TEST_F(LifecycleTest, StopsAtOnceWhileWaitingForTheDescriptor) {
  // No /devices node: the thread has nothing to watch and waits on its pipe.
  ASSERT_EQ(orv::devMgmt::init(), 0);
  ASSERT_TRUE(WaitUntil([&] { return CountLog(kNoFd) >= 1; }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(1));
  EXPECT_EQ(CountLog(kStopping), 1);
  EXPECT_EQ(CountLog(kNoFd), 1);
}

TEST_F(LifecycleTest, StoreChangesReachSubscribersOnTheSyncThread) {
  store_.Set(kNameKey, "TV");
  store_.Set("/devices/d2/macs/m2", "i2");
  ASSERT_EQ(orv::devMgmt::init(), 0);
  EXPECT_EQ(Take(4), (Texts{"test new d1", "test new d2", "sync new d1", "sync new d2"}));
  log_.Clear();
  // The cache takes the change and tells the device-info subscribers first.
  store_.Set(kNameKey, "Kitchen TV");
  EXPECT_EQ(Take(2), kNameChanged);
  orv::devMgmt::Device device;
  ASSERT_TRUE(orv::devMgmt::get_device("d1", device));
  EXPECT_EQ(device.display_name, "Kitchen TV");
  store_.Delete("/devices/d2");
  EXPECT_EQ(Take(2), (Texts{"sync removed d2", "sync key /devices/d2"}));
  std::string found;
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("m2", found), -1);

  // Deleting /devices loses the descriptor and empties the cache, without
  // DEV_INFO_REMOVED. What is written meanwhile comes in with one reload
  // (within the 5 s retry); then the new descriptor delivers changes again.
  store_.Delete("/devices");
  EXPECT_EQ(Take(1), Texts{"sync key /devices"});
  EXPECT_FALSE(orv::devMgmt::device_exists("d1"));
  store_.Set("/devices/d1/macs/m1", "i1b");
  store_.Set("/devices/d3/display_name", "new one");
  EXPECT_EQ(Take(2, seconds(8)), (Texts{"sync new d1", "sync new d3"}));
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", found), 0);
  EXPECT_EQ(found, "i1b");
  store_.Set("/devices/d3/display_name", "renamed");
  EXPECT_EQ(Take(2), (Texts{"sync updated d3 display_name", "sync key /devices/d3/display_name"}));
  EXPECT_EQ(CountLog(kNoFd), 1);
  EXPECT_EQ(CountLog(kLoading), 1);
}

TEST_F(LifecycleTest, InitWithoutPipeKeepsTheLoadedCache) {
  store_.Set("/devices/d1/macs/m1", "i1");
  // One free descriptor: enough to read the store a file at a time, too few
  // for a pipe.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit one_left = saved;
  one_left.rlim_cur = static_cast<rlim_t>(dup(0)) + 1;
  close(static_cast<int>(one_left.rlim_cur) - 1);
  orverrno.set(99, "stale");
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one_left), 0);
  const int result = orv::devMgmt::init();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(orverrno.code(), 1);
  EXPECT_EQ(orverrno.message(), "");
  std::string ip;
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "i1");
  EXPECT_EQ(Take(1), Texts{"test new d1"});
  // No thread, as before any init: uninit has nothing to stop or clear, and
  // the store's changes reach nobody.
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_EQ(CountLog(kStopping), 0);
  store_.Set("/devices/d1/macs/m1", "i2");
  EXPECT_EQ(Take(1, milliseconds(300)), Texts{});
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "i1");
  // With descriptors to spare, the library starts normally.
  ASSERT_EQ(orv::devMgmt::init(), 0);
  EXPECT_EQ(Take(2), kD1Loaded);
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "i2");
}

}  // namespace
