// The sync thread's health as a user reads it: wait_for_sync and
// get_sync_status when the thread is in step, while /devices is gone, while
// the store backs off for want of inotify watches (its later, longer steps
// too). Whenever wait_for_sync says the cache is live, it is: the cache then
// equals a fresh load, changes made meanwhile included. (After an overflow
// while the thread is busy: model_cache_test.)
//
// inotify_add_watch is interposed (the executable's definition comes before
// libc's for the shared utility library) to run out of watches at will.

#include <dlfcn.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "orv/settings.h"
#include "support/library.h"

namespace {

std::atomic<bool> g_no_watches{false};
std::atomic<int> g_watch_calls{0};

// Short waits: the thread asks for a missing /devices every 20 ms, and the
// store's back-off starts at 20 ms instead of 1 s (and doubles as usual).
const bool kShortWaits = setenv("ORV_SYNC_RETRY_MS", "20", 0) == 0 &&
                         setenv("ORV_SETTINGS_WATCH_BACKOFF_MS", "20", 0) == 0;

}  // namespace

extern "C" int inotify_add_watch(int fd, const char* name, uint32_t mask) __THROW {
  static const auto real =
      reinterpret_cast<decltype(&inotify_add_watch)>(dlsym(RTLD_NEXT, "inotify_add_watch"));
  ++g_watch_calls;
  if (!g_no_watches) return real(fd, name, mask);
  errno = ENOSPC;
  return -1;
}

namespace {

namespace api = orv::devMgmt;

class HealthTest : public LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kShortWaits);
    Set("/devices/d1/macs/m1", "10.0.0.1");
  }
  // Figures gives what a status page shows of the thread's state.
  std::string Figures() {
    const api::SyncStatus s = Status();
    return std::string(s.running ? "running" : "stopped") + (s.watching ? " watching" : "") +
           " loads=" + std::to_string(s.loads) + " lost=" + std::to_string(s.descriptors_lost) +
           " devices=" + std::to_string(s.last_load_devices);
  }
  // ExpectLive checks what wait_for_sync promises once it returns 0, which it
  // does as soon as the thread is in step.
  void ExpectLive(const std::string& figures) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(api::wait_for_sync(8000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    // Live means following: a write the reload just missed is still queued
    // (the watch came first) and comes through at once.
    EXPECT_EQ(CacheDiffToStore(std::chrono::milliseconds(2000)), "");
    EXPECT_EQ(Status().last_store_error, "");
    EXPECT_EQ(Figures(), figures);
  }
  const std::string root_ = store_.root();
};

TEST_F(HealthTest, LiveAtOnceAndEveryChangeFromThenOnIsApplied) {
  EXPECT_EQ(Result(api::wait_for_sync(0)), "-1 107 not running");
  ASSERT_EQ(api::set_on_key_change("^/devices/", OnKey<0>), 0);
  ASSERT_EQ(api::init(), 0);
  ExpectLive("running watching loads=2 lost=0 devices=1");  // init()'s load and the thread's
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t before_ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
  Set("/devices/d1/traffic_blocked", "1");
  EXPECT_TRUE(Calls::WaitFor("key0 /devices/d1/traffic_blocked"));
  EXPECT_TRUE(Eventually([] { return Status().changes_applied == 1; }));
  clock_gettime(CLOCK_REALTIME, &now);
  EXPECT_GE(Status().last_change_ms, before_ms);
  EXPECT_LE(Status().last_change_ms, now.tv_sec * 1000LL + now.tv_nsec / 1000000);
  // A change the cache refuses (a field deleted) is not one applied.
  store_.Delete("/devices/d1/traffic_blocked");
  Set("/devices/d1/display_name", "after");
  EXPECT_TRUE(Calls::WaitFor("key0 /devices/d1/display_name"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the count follows the call
  EXPECT_EQ(Status().changes_applied, 2u);
  api::uninit();
  EXPECT_EQ(Figures(), "stopped loads=2 lost=0 devices=1");
}

// Each reload reports the devices dropped since the previous one, once.
void OnReloaded(const Texts& vanished) {
  std::string ids = "vanished";
  for (const std::string& id : vanished) ids += " " + id;
  Calls::Add(ids);
}

TEST_F(HealthTest, NotLiveWhileDevicesIsGoneAndLiveAgainWhenBack) {
  Start();
  api::set_on_cache_reloaded(OnReloaded);
  api::set_on_cache_reloaded(nullptr);  // ignored: OnReloaded stays
  store_.Delete("/devices");
  ASSERT_TRUE(Eventually([] { return !Status().watching; }));
  for (int i = 0; i < 3; ++i) {  // the thread's later passes say the same
    EXPECT_EQ(Result(api::wait_for_sync(30)), "-1 110 timed out");
    EXPECT_EQ(Figures(), "running loads=2 lost=1 devices=1");
  }
  EXPECT_EQ(Status().last_store_error,
            "cannot watch " + root_ + "/devices: No such file or directory");
  Set("/devices/d2/display_name", "back");
  ExpectLive("running watching loads=3 lost=1 devices=1");
  store_.Delete("/devices");
  ASSERT_TRUE(Eventually([] { return !Status().watching; }));
  Set("/devices/d3/display_name", "again");
  ExpectLive("running watching loads=4 lost=2 devices=1");
  // A restart starts its figures afresh and forgets what the last run dropped.
  store_.Delete("/devices");
  ASSERT_TRUE(Eventually([] { return !Status().watching; }));
  api::uninit();
  Set("/devices/d4/display_name", "restarted");
  ASSERT_EQ(api::init(), 0);
  ExpectLive("running watching loads=2 lost=0 devices=1");
  EXPECT_EQ(Calls::Take(), (Texts{"vanished d1", "vanished d2", "vanished"}));
}

TEST_F(HealthTest, NotLiveDuringTheBackOffsLaterStepsAndLiveOnceItEnds) {
  g_no_watches = true;
  ASSERT_EQ(api::init(), 0);
  ASSERT_TRUE(Eventually([] { return !Status().last_store_error.empty(); }));
  // 20, 40, 80, 160, 320 ms...: some 0.7 s reach the sixth step; the thread
  // (every 20 ms) finds the store backing off and says so each time.
  const auto start = std::chrono::steady_clock::now();
  g_watch_calls = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(700)) {
    EXPECT_EQ(Result(api::wait_for_sync(20)), "-1 110 timed out");
    EXPECT_EQ(Figures(), "running loads=1 lost=0 devices=1");
    EXPECT_EQ(Status().last_store_error.rfind("cannot watch " + root_ + "/devices", 0), 0u);
  }
  EXPECT_LE(g_watch_calls, 8) << "attempts beyond the back-off's steps";
  EXPECT_NE(Status().last_store_error.find("No space left on device"), std::string::npos);
  Set("/devices/d2/display_name", "meanwhile");
  g_no_watches = false;
  ExpectLive("running watching loads=2 lost=0 devices=2");
}

// A process with its standard descriptors closed: the descriptors the
// library and the store keep (the root's too, opened anew) must not be taken
// for "no descriptor", nor hold 0 (which the process may open as its input).
TEST_F(HealthTest, SyncsWithStandardDescriptorsClosed) {
  EXPECT_EXIT(
      {
        close(0);
        close(1);
        orv::setMgmt::set_root(root_);  // forgets the kept root directory
        if (api::init() != 0) std::_Exit(2);
        char link[256] = "";
        if (readlink("/proc/self/fd/0", link, sizeof link - 1) > 0 &&
            (link == root_ || std::string(link).rfind("anon_inode:inotify", 0) == 0)) {
          std::_Exit(4);
        }
        std::_Exit(api::wait_for_sync(3000) == 0 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
