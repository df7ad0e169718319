// End-to-end tests of init/uninit and the sync thread: a real thread watches a
// temporary store while the test writes to it as another process would.

#include <fcntl.h>
#include <gmock/gmock.h>
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

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr char kLoading[] = "3 load: Loading devices from storage";
constexpr char kNoDescriptor[] =
    "0 sync_thread_function: Could not get notification fd for /devices";
constexpr char kStopping[] = "2 sync_thread_function: stopping sync_devices thread...";
const std::vector<std::string> kFields = {"display_name", "macs"};
constexpr char kEveryKey[] = "^/devices";

EventRecorder& Events() {
  static EventRecorder events;
  return events;
}

// OnDevInfo records "new d1", "updated d1 display_name" or "removed d1"; a
// field name given with NEW_DEV or DEV_INFO_REMOVED shows in the text.
void OnDevInfo(orv::DevInfoChangeType type, const std::string& device_id,
               const std::string& field_name) {
  static const char* const kNames[] = {"new", "updated", "removed"};
  std::string text = std::string(kNames[type]) + " " + device_id;
  if (!field_name.empty()) text += " " + field_name;
  Events().Add(text);
}

void OnKey(const std::string& key) { Events().Add("key " + key); }

// FileLimit leaves the process exactly one free descriptor while it lives:
// enough to read the store one file at a time, too few for a pipe.
class FileLimit {
 public:
  FileLimit() {
    EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &saved_), 0);
    const int lowest_free = open("/dev/null", O_RDONLY);
    EXPECT_GE(lowest_free, 0);
    close(lowest_free);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  }
  FileLimit(const FileLimit&) = delete;
  FileLimit& operator=(const FileLimit&) = delete;
  ~FileLimit() { EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved_), 0); }

 private:
  rlimit saved_{};
};

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Events().Clear();
    orv::devMgmt::set_on_dev_info_change(kFields, OnDevInfo);
    ASSERT_EQ(orv::devMgmt::set_on_key_change(kEveryKey, OnKey), 0);
  }

  void TearDown() override {
    EXPECT_EQ(orv::devMgmt::uninit(), 0);
    orv::devMgmt::unset_on_dev_info_change(kFields, OnDevInfo);
    orv::devMgmt::unset_on_key_change(kEveryKey, OnKey);
    g_devices.clear();
  }

  // FromSyncThread is a predicate: `text` was reported by another thread.
  std::function<bool(const EventRecorder::Events&)> FromSyncThread(const std::string& text) const {
    return [this, text](const EventRecorder::Events& events) {
      return std::any_of(events.begin(), events.end(), [&](const RecordedEvent& event) {
        return event.text == text && event.thread != test_thread_;
      });
    };
  }

  // Start runs init and returns once the sync thread has announced every
  // device of `device_ids` again: from then on it watches the store, so each
  // later write reaches the subscribers as a change.
  void Start(const std::vector<std::string>& device_ids) {
    ASSERT_EQ(orv::devMgmt::init(), 0);
    for (const std::string& id : device_ids) {
      ASSERT_TRUE(Events().WaitFor(FromSyncThread("new " + id))) << id;
    }
    Events().Clear();
  }

  // ExpectFromSyncThread checks the events caught, in order, and that one
  // thread other than the test's reported them all.
  void ExpectFromSyncThread(const std::vector<std::string>& expected) const {
    const EventRecorder::Events events = Events().Get();
    EXPECT_THAT(Events().Texts(), ElementsAreArray(expected));
    for (const RecordedEvent& event : events) {
      EXPECT_NE(event.thread, test_thread_) << event.text;
      EXPECT_EQ(event.thread, events.front().thread) << event.text;
    }
  }

  int CountLog(const std::string& message) const {
    const std::vector<std::string> messages = log_.Messages();
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
  }

  // NoEventFor waits `timeout` for any event and is true when none came.
  static bool NoEventFor(std::chrono::milliseconds timeout) {
    return !Events().WaitFor([](const EventRecorder::Events& events) { return !events.empty(); },
                             timeout);
  }

  const std::thread::id test_thread_ = std::this_thread::get_id();
  TempStore store_;
  LogCapture log_{3};
};

TEST_F(LifecycleTest, StoreChangesReachSubscribersOnTheSyncThread) {
  store_.Set("/devices/d1/display_name", "TV");
  store_.Set("/devices/d1/macs/m1", "i1");
  Start({"d1"});

  // The device-info subscriber hears of the change before the key subscriber.
  store_.Set("/devices/d1/display_name", "Kitchen TV");
  ASSERT_TRUE(Events().WaitForText("key /devices/d1/display_name"));
  ExpectFromSyncThread({"updated d1 display_name", "key /devices/d1/display_name"});
  orv::devMgmt::Device device;
  ASSERT_TRUE(orv::devMgmt::get_device("d1", device));
  EXPECT_EQ(device.display_name, "Kitchen TV");

  Events().Clear();
  store_.Set("/devices/d1/macs/m2", "i2");
  ASSERT_TRUE(Events().WaitForText("key /devices/d1/macs/m2"));
  ExpectFromSyncThread({"updated d1 macs", "key /devices/d1/macs/m2"});
  std::string owner;
  EXPECT_EQ(orv::devMgmt::get_device_id_by_ip("i2", owner), 0);
  EXPECT_EQ(owner, "d1");

  Events().Clear();
  store_.Delete("/devices/d1");
  ASSERT_TRUE(Events().WaitForText("key /devices/d1"));
  ExpectFromSyncThread({"removed d1", "key /devices/d1"});
  EXPECT_FALSE(orv::devMgmt::device_exists("d1"));
  EXPECT_EQ(orv::devMgmt::get_device_id_by_mac("m1", owner), -1);
}

TEST_F(LifecycleTest, StartStopAndStartAgain) {
  // Not started: uninit does nothing, not even empty the cache.
  g_devices.new_mac_ip("d9", "m9", "i9");
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_TRUE(orv::devMgmt::device_exists("d9"));
  EXPECT_EQ(CountLog(kStopping), 0);
  g_devices.clear();
  Events().Clear();

  store_.Set("/devices/d1/display_name", "first");
  Start({"d1"});
  orverrno.set(0, "");
  EXPECT_EQ(orv::devMgmt::init(), -1);
  EXPECT_EQ(orverrno.code(), 16);
  EXPECT_EQ(orverrno.message(), "already running");
  // The running thread carries on.
  store_.Set("/devices/d1/display_name", "still running");
  ASSERT_TRUE(Events().WaitForText("key /devices/d1/display_name"));
  ExpectFromSyncThread({"updated d1 display_name", "key /devices/d1/display_name"});

  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_EQ(CountLog(kStopping), 1);
  std::vector<orv::devMgmt::Device> devices;
  EXPECT_EQ(orv::devMgmt::get_devices(devices), 0);
  // Stopped: the store's changes reach nobody.
  Events().Clear();
  store_.Set("/devices/d1/display_name", "while stopped");
  EXPECT_TRUE(NoEventFor(std::chrono::milliseconds(300)));
  EXPECT_FALSE(orv::devMgmt::device_exists("d1"));
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_EQ(CountLog(kStopping), 1);

  // Started again: init reloads on this thread, before it returns, and a new
  // thread takes the changes.
  log_.Clear();
  ASSERT_EQ(orv::devMgmt::init(), 0);
  orv::devMgmt::Device device;
  ASSERT_TRUE(orv::devMgmt::get_device("d1", device));
  EXPECT_EQ(device.display_name, "while stopped");
  const EventRecorder::Events first = Events().Get();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.front().text, "new d1");
  EXPECT_EQ(first.front().thread, test_thread_);
  ASSERT_TRUE(Events().WaitFor(FromSyncThread("new d1")));
  EXPECT_EQ(CountLog(kLoading), 2);
  Events().Clear();
  store_.Set("/devices/d1/display_name", "second run");
  ASSERT_TRUE(Events().WaitForText("key /devices/d1/display_name"));
  ExpectFromSyncThread({"updated d1 display_name", "key /devices/d1/display_name"});
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_EQ(CountLog(kStopping), 1);
  EXPECT_FALSE(orv::devMgmt::device_exists("d1"));
}

TEST_F(LifecycleTest, StopsAtOnceWhileWaitingForTheDescriptor) {
  // No /devices node: the thread has nothing to watch and waits on its pipe.
  ASSERT_EQ(orv::devMgmt::init(), 0);
  ASSERT_TRUE(WaitUntil([&] { return CountLog(kNoDescriptor) >= 1; }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(CountLog(kStopping), 1);
  EXPECT_EQ(CountLog(kNoDescriptor), 1);
}

TEST_F(LifecycleTest, DescriptorLostAndRegainedReloadsOnce) {
  store_.Set("/devices/d1/macs/m1", "i1");
  store_.Set("/devices/d2/display_name", "gone later");
  Start({"d1", "d2"});
  log_.Clear();

  // Deleting /devices empties the cache without DEV_INFO_REMOVED.
  store_.Delete("/devices");
  ASSERT_TRUE(Events().WaitForText("key /devices"));
  ExpectFromSyncThread({"key /devices"});
  std::vector<orv::devMgmt::Device> devices;
  EXPECT_EQ(orv::devMgmt::get_devices(devices), 0);

  // Written while nothing is watched; the reload brings them in.
  Events().Clear();
  store_.Set("/devices/d1/macs/m1", "i1b");
  store_.Set("/devices/d3/display_name", "new one");
  ASSERT_TRUE(
      Events().WaitFor([](const EventRecorder::Events& events) { return events.size() >= 2; },
                       std::chrono::seconds(8)));
  ExpectFromSyncThread({"new d1", "new d3"});
  EXPECT_EQ(CountLog(kNoDescriptor), 1);
  EXPECT_EQ(CountLog(kLoading), 1);
  std::string ip;
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "i1b");
  EXPECT_FALSE(orv::devMgmt::device_exists("d2"));

  // The new descriptor delivers changes again, without another reload.
  Events().Clear();
  store_.Set("/devices/d3/display_name", "renamed");
  ASSERT_TRUE(Events().WaitForText("key /devices/d3/display_name"));
  ExpectFromSyncThread({"updated d3 display_name", "key /devices/d3/display_name"});
  EXPECT_EQ(CountLog(kLoading), 1);
}

TEST_F(LifecycleTest, InitWithoutPipeKeepsTheLoadedCache) {
  store_.Set("/devices/d1/macs/m1", "i1");
  orverrno.set(99, "stale");
  {
    FileLimit one_descriptor_left;
    EXPECT_EQ(orv::devMgmt::init(), -1);
  }
  EXPECT_EQ(orverrno.code(), 1);
  EXPECT_EQ(orverrno.message(), "");
  std::string ip;
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "i1");
  ASSERT_THAT(Events().Texts(), ElementsAre("new d1"));
  EXPECT_EQ(Events().Get().front().thread, test_thread_);

  // No thread: nothing to stop, and the store's changes reach nobody.
  EXPECT_EQ(orv::devMgmt::uninit(), 0);
  EXPECT_EQ(CountLog(kStopping), 0);
  EXPECT_TRUE(orv::devMgmt::device_exists("d1"));
  Events().Clear();
  store_.Set("/devices/d1/macs/m1", "i2");
  EXPECT_TRUE(NoEventFor(std::chrono::milliseconds(300)));
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "i1");

  // With descriptors to spare, the library starts normally.
  Start({"d1"});
  EXPECT_EQ(orv::devMgmt::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "i2");
}

}  // namespace
