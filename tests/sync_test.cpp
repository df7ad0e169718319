// Keeping the cache in step with the store's /devices tree: the load, each
// change the running library is told of (classified, applied to the cache,
// then passed to the key subscribers), and init/uninit around the sync thread.

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orv/settings.h"
#include "support/library.h"

namespace {

namespace api = orv::devMgmt;

constexpr char kLoading[] = "3 load: Loading devices from storage";
constexpr char kNoFd[] = "0 sync_thread_function: Could not get notification fd for /devices";
constexpr char kStopping[] = "2 sync_thread_function: stopping sync_devices thread...";

class SyncTest : public LibraryTest {
 protected:
  // Apply runs one store change ('S' set, 'D' delete) and waits until the thread has passed it: a
  // marker key written next has reached its subscriber. Returns the change's lines of
  // handle_device_change and the calls it made.
  Texts Apply(char change, const std::string& key, const std::string& value = "") {
    if (change == 'S') Set(key, value);
    if (change == 'D') store_.Delete(key);
    if (change == 'B') std::ofstream(store_.root() + key) << std::string(2 << 20, 'x');
    Set("/devices/zz/marker", std::to_string(++markers_));
    EXPECT_TRUE(Calls::WaitFor("key9 /devices/zz/marker")) << key;
    Texts out;
    Texts lines = LinesOf("handle_device_change");
    for (const std::string& call : Calls::Take()) lines.push_back(call);
    for (const std::string& line : lines) {
      if (line.find("/zz/") == std::string::npos && line.find("=zz,") == std::string::npos) {
        out.push_back(line);
      }
    }
    log_.Clear();
    return out;
  }
  int markers_ = 0;
};

TEST_F(SyncTest, LoadReadsEveryFieldWithItsDefaultAndConversion) {
  std::istringstream tree(R"(
      d1/profile_id p1 d1/display_name TV d1/device_type tv d1/device_os linux d1/other u
      d1/device_os_version 5.4 d1/device_model X1 d1/device_manufacturer Acme d1/velk_device_id v1
      d1/macs/m2 10.0.0.2 d1/macs/M1 10.0.0.1 d1/traffic_blocked 00 d1/onvelk 7 d1/onguest -1
      d1/scan_level 0 dA/onvelk -1 dA/traffic_blocked 0 dA/macs/shared 10.0.0.1
      dB/macs/shared 10.0.0.2)");  // traffic_blocked: 0 for "" and "0" only
  for (std::string key, value; tree >> key >> value;) Set("/devices/" + key, value);
  Set("/devices/dB/macs/novalue", "");
  std::filesystem::create_directory(store_.root() + "/devices/bare");
  api::set_on_dev_info_change({"x"}, OnInfo<0>);
  Calls::SetHook([](const std::string& call) {
    if (call.rfind("0 new ", 0) == 0) Calls::Add(Cached(call.substr(6)));
  });
  g_devices.new_mac_ip("gone", "m9", "");  // a reload drops what the store lacks, quietly
  Calls::Take();
  log_.Clear();

  g_devices.load();
  EXPECT_EQ(
      LinesOf("load"),
      (Texts{kLoading, "3 load: devid bare - blocked ", "3 load: devid d1 - mac M1 - ip 10.0.0.1",
             "3 load: devid d1 - mac m2 - ip 10.0.0.2", "3 load: devid d1 - blocked 00",
             "3 load: devid dA - mac shared - ip 10.0.0.1", "3 load: devid dA - blocked 0",
             "3 load: devid dB - mac novalue - ip ", "3 load: devid dB - mac shared - ip 10.0.0.2",
             "3 load: devid dB - blocked "}));
  EXPECT_EQ(Cached("d1"),
            "d1 p=p1 [M1=10.0.0.1,m2=10.0.0.2] name=TV type=tv os=linux/5.4 "
            "model=X1 by=Acme velk=v1 blocked=1 onvelk=7 onguest=-1 scan=0");
  EXPECT_EQ(Cached("dA"),
            "dA p= [shared=10.0.0.1] name= type= os=/ model= by= velk= blocked=0 "
            "onvelk=0 onguest=0 scan=2");
  EXPECT_EQ(Owner("shared") + Owner("M1") + Owner("m1") + Owner("novalue") + Owner("m9"),
            "dBd1-dB-");
  EXPECT_EQ(Cached("gone"), "absent");
  // Each device is announced, in the store's order, before its fields are read.
  Texts calls;
  for (const char* id : {"bare", "d1", "dA", "dB"}) {
    calls.push_back(std::string("0 new ") + id);
    calls.push_back(std::string(id) +
                    " p= [] name= type= os=/ model= by= velk= blocked=0 onvelk=0 "
                    "onguest=0 scan=0");
  }
  EXPECT_EQ(Calls::Take(), calls);
}

TEST_F(SyncTest, StoreChangesReachTheCacheThenTheKeySubscribers) {
  for (const char* key : {"d1/display_name", "d1/macs/m1", "d1/macs/m2", "zz/marker"}) {
    Set(std::string("/devices/") + key, "x");
  }
  api::set_on_dev_info_change(
      {"macs", "display_name", "onguest", "scan_level", "onvelk", "traffic_blocked", "device_os"},
      OnInfo<0>);
  ASSERT_EQ(api::set_on_key_change("^/devices", OnKey<0>), 0);
  ASSERT_EQ(api::set_on_key_change("marker$", OnKey<9>), 0);
  Start();
  Calls::Take();
  log_.Clear();
  struct Step {
    char change;
    std::string key, value, type, bug, calls, shown;  // shown: in Cached("d1") afterwards
  };
  const Step steps[] = {
      {'S', "/devices/d1/display_name", "Den", "8, device_id=d1, value=", "",
       "0 upd d1 display_name", " name=Den "},
      {'D', "/devices/d1/display_name", "",
       "8, device_id=d1, value=", "key /devices/d1/display_name deleted", "", " name=Den "},
      // A field whose new value can't be read (over the cap) is dropped: nobody hears of it.
      {'B', "/devices/d1/display_name", "", "8, device_id=d1, value=", "", "", " name=Den "},
      {'S', "/devices/d1/onguest", "-1", "6, device_id=d1, value=", "", "0 upd d1 onguest",
       " onguest=-1 "},
      // Read with the store's integer read: not a whole number gives 0, not atoi's 5.
      {'S', "/devices/d1/onguest", "5th", "6, device_id=d1, value=", "", "0 upd d1 onguest",
       " onguest=0 "},
      {'S', "/devices/d1/onvelk", "-1", "5, device_id=d1, value=", "", "0 upd d1 onvelk",
       " onvelk=-1 "},
      {'S', "/devices/d1/scan_level", "08th", "14, device_id=d1, value=", "", "0 upd d1 scan_level",
       " scan=8 "},
      {'S', "/devices/d1/traffic_blocked", "2x", "4, device_id=d1, value=", "",
       "0 upd d1 traffic_blocked", " blocked=2 "},
      {'S', "/devices/d1/foo", "x", "16, device_id=d1, value=", "", "", "[m1=x,m2=x]"},
      // A MAC whose IP can't be read (over the cap) is bound with an empty IP.
      {'B', "/devices/d1/macs/m3", "", "3, device_id=d1, value=m3", "", "0 upd d1 macs", ",m3=]"},
      {'D', "/devices/d1/macs/m2", "", "3, device_id=d1, value=m2", "", "0 upd d1 macs",
       "[m1=x,m3=]"},
      {'D', "/devices/d1/macs", "", "2, device_id=d1, value=", "", "0 upd d1 macs", "[]"},
      {'S', "/devices/d1/macs", "x", "2, device_id=d1, value=", "", "", "[]"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.key);
    Texts want = {"3 handle_device_change: Changed key " + s.key,
                  "3 handle_device_change: Key type " + s.type};
    if (!s.bug.empty()) want.push_back("0 handle_device_change: BUG: " + s.bug);
    if (!s.calls.empty()) want.push_back(s.calls);
    // A MAC list written says nothing until a MAC is, nor a field value that can't be read:
    // no key subscriber hears of them.
    const bool said =
        s.change == 'D' || (s.type[0] != '2' && (s.change != 'B' || s.type[0] == '3'));
    if (s.bug.empty() && said) want.push_back("key0 " + s.key);
    EXPECT_EQ(Apply(s.change, s.key, s.value), want);
    EXPECT_NE((Cached("d1") + " ").find(s.shown), std::string::npos) << Cached("d1");
  }
  // /devices deleted: the cache empties without DEV_INFO_REMOVED.
  store_.Delete("/devices");
  ASSERT_TRUE(Calls::WaitFor("key0 /devices"));
  EXPECT_EQ(Calls::Take(), Texts{"key0 /devices"});
  EXPECT_EQ(Cached("d1"), "absent");
}

// A log sink may wait on a thread that queries the cache: each load writes its
// first line before it takes the cache's mutex, on init()'s path, on the sync
// thread's reload and when called directly.
TEST_F(SyncTest, LoadWritesItsFirstLineBeforeTakingTheCacheLock) {
  Set("/devices/d1/macs/m1", "i1");
  const orv::log::Sink saved = orv::log::set_sink([](orv::log::level, std::string_view text) {
    if (text.find("Loading devices from storage") == std::string_view::npos) return;
    const bool held = !std::async(std::launch::async, [] {
                         if (!g_devices.mutex.try_lock()) return false;
                         g_devices.mutex.unlock();
                         return true;
                       }).get();
    Calls::Add(held ? "loading, cache locked" : "loading, cache free");
  });
  Start();
  g_devices.load();
  orv::log::set_sink(saved);
  EXPECT_EQ(Calls::Take(), Texts(3, "loading, cache free"));
}

// No pass of the sync thread clears its error record: a key subscriber reads
// what the store left after the last failure, a deleted device's "not found".
TEST_F(SyncTest, TheThreadsErrorRecordKeepsTheLastFailure) {
  Set("/devices/d1/display_name", "one");
  Set("/devices/d2/display_name", "two");
  ASSERT_EQ(api::set_on_key_change("^/devices/d2/display_name$", OnKey<0>), 0);
  Calls::SetHook([](const std::string& call) {
    if (call.rfind("key0 ", 0) == 0) {
      Calls::Add(std::to_string(orverrno.code()) + " " + orverrno.message());
    }
  });
  Start();
  store_.Delete("/devices/d1");
  for (int i = 0; i < 400 && api::device_exists("d1"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a pass or more in between
  Set("/devices/d2/display_name", "again");
  ASSERT_TRUE(Calls::WaitFor("key0 /devices/d2/display_name"));
  Texts calls;  // the hook's line comes right after
  for (int i = 0; i < 400 && calls.size() < 2; ++i) {
    for (const std::string& call : Calls::Take()) calls.push_back(call);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].rfind("4 key /devices/d1", 0), 0u) << calls[1];
  EXPECT_NE(calls[1].find("not found"), std::string::npos) << calls[1];
}

// A subscriber that keeps the sync thread busy while the test rewrites the
// store under it.
std::atomic<int> g_busy{0};  // 1: hold the thread; 2: the thread is held
void HoldTheThread(const std::string&) {
  if (g_busy == 0) return;
  g_busy = 2;
  while (g_busy == 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// AskIfLive asks wait_for_sync, from another thread, while a change runs.
void AskIfLive(const std::string&) {
  Calls::Add(std::async(std::launch::async, [] { return Result(api::wait_for_sync(0)); }).get());
}

// A device deleted and written anew before the thread gets to its deletion:
// the thread says so and reloads, once, and the cache counts as out of step
// until it has; its later changes reload nothing.
TEST_F(SyncTest, ADeviceWrittenAnewBeforeItsDeletionIsReloadedOnce) {
  Set("/devices/d1/macs/m1", "10.0.0.1");
  ASSERT_EQ(api::set_on_key_change("/zz/busy$", HoldTheThread), 0);
  ASSERT_EQ(api::set_on_key_change("marker$", OnKey<9>), 0);
  ASSERT_EQ(api::set_on_key_change("/d1/display_name$", AskIfLive), 0);
  Start();
  const std::uint64_t loads = Status().loads;
  g_busy = 1;
  Set("/devices/zz/busy", "1");
  ASSERT_TRUE(Eventually([] { return g_busy == 2; }));
  store_.Delete("/devices/d1");
  Set("/devices/d1/display_name", "new");
  g_busy = 0;
  ASSERT_TRUE(Eventually([&loads] { return Status().loads == loads + 1; }));
  EXPECT_TRUE(Logged("0 handle_device_change: BUG: change on /devices/d1"));
  EXPECT_EQ(Calls::Take(), Texts{"-1 110 timed out"});
  for (int i = 0; i < 3; ++i) Apply('S', "/devices/d1/display_name", std::to_string(i));
  EXPECT_EQ(Status().loads, loads + 1);
  EXPECT_EQ(Cached("d1").substr(0, 15), "d1 p= [] name=2");
}

TEST_F(SyncTest, InitLoadsAndStartsOnceAndUninitStopsAndEmpties) {
  const std::string name_key = "/devices/d1/display_name";
  Set(name_key, "first");
  api::set_on_dev_info_change({"display_name"}, OnInfo<0>);
  EXPECT_EQ(api::uninit(), 0);  // nothing started: nothing to do
  ASSERT_EQ(api::init(), 0);
  EXPECT_EQ(Cached("d1").substr(0, 19), "d1 p= [] name=first");  // loaded before init returns
  ASSERT_TRUE(Logged(kLoading, 2));
  EXPECT_EQ(Result(api::init()), "-1 16 already running");
  Set(name_key, "second");
  ASSERT_TRUE(Calls::WaitFor("0 upd d1 display_name"));
  EXPECT_EQ(Count(kLoading), 2);

  EXPECT_EQ(api::uninit(), 0);
  EXPECT_EQ(Cached("d1"), "absent");
  Calls::Take();
  Set(name_key, "while stopped");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Calls::Take(), Texts{});
  EXPECT_EQ(api::uninit(), 0);
  ASSERT_EQ(api::init(), 0);
  EXPECT_EQ(Cached("d1").substr(0, 27), "d1 p= [] name=while stopped");
  EXPECT_EQ(api::uninit(), 0);
  EXPECT_EQ(Count(kStopping), 2);
}

TEST_F(SyncTest, UninitStopsAtOnceWhileTheThreadWaitsForADescriptor) {
  ASSERT_EQ(api::init(), 0);  // no /devices: nothing to watch
  ASSERT_TRUE(Logged(kNoFd));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(api::uninit(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(Count(kStopping), 1);
  EXPECT_EQ(Count(kNoFd), 1);
}

TEST_F(SyncTest, InitWithoutAPipeKeepsTheLoadedCacheAndStartsNoThread) {
  Set("/devices/d1/macs/m1", "i1");
  // A log line and a load first: UBSan's checks of them read /proc, which
  // needs descriptors; once done they are cached.
  g_devices.remove_mac("m0", "none");
  g_devices.load();
  g_devices.clear();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit one_left = saved;  // enough to read the store, too few for a pipe
  one_left.rlim_cur = static_cast<rlim_t>(dup(0)) + 1;
  close(static_cast<int>(one_left.rlim_cur) - 1);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &one_left), 0);
  std::string ip;
  if (orv::setMgmt::getKey("/devices/d1/macs/m1", ip) < 0) {  // a walk needs two (no openat2)
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    GTEST_SKIP() << "the store can't read with one descriptor left here";
  }
  const int result = api::init();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(Result(result), "-1 1 ");
  EXPECT_EQ(Owner("m1"), "d1");
  EXPECT_EQ(api::uninit(), 0);  // nothing to stop or empty
  Set("/devices/d1/macs/m1", "i2");
  ASSERT_EQ(api::init(), 0);  // and a later init starts as if none had failed
  EXPECT_EQ(api::get_device_ip("d1", "m1", ip), 0);
  EXPECT_EQ(ip, "i2");  // loaded anew
  EXPECT_EQ(Count(kStopping), 0);
}

}  // namespace
