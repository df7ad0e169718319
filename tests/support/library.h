// The one support header of the device library's tests: a record of the
// calls subscribers get, a text rendering of cached records, and the fixture
// LibraryTest (a scratch store, the log caught, a clean library at the end).
//
//   class MyTest : public LibraryTest {};
//   TEST_F(MyTest, NameChangesReachSubscribers) {
//     orv::devMgmt::set_on_dev_info_change({"display_name"}, OnInfo<0>);
//     Set("/devices/d1/display_name", "TV");
//     Start();                                    // init, and the thread watches
//     Set("/devices/d1/display_name", "Radio");
//     ASSERT_TRUE(Calls::WaitFor("0 upd d1 display_name"));
//   }
//
// Calls reads: OnInfo<n> "<n> new|upd|del <id>[ <field>]", OnKey<n>
// "key<n> <key>", OnReport "report <the JSON document, compact>". After each
// call is recorded, the hook (when set) runs with its text on the calling
// thread: it may throw, query or (un)register, as a hostile subscriber does.

#ifndef ORV_TESTS_SUPPORT_LIBRARY_H_
#define ORV_TESTS_SUPPORT_LIBRARY_H_

#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

using Texts = std::vector<std::string>;

// Calls is the process-wide, thread-safe record of subscriber calls.
class Calls {
 public:
  using Hook = std::function<void(const std::string&)>;

  static void Add(const std::string& text) {
    std::unique_lock<std::mutex> hold(mutex_);
    texts_.push_back(text);
    changed_.notify_all();
    const Hook hook = hook_;
    hold.unlock();
    if (hook) hook(text);
  }
  // Take returns the calls recorded so far and forgets them.
  static Texts Take() {
    std::lock_guard<std::mutex> hold(mutex_);
    return std::exchange(texts_, Texts());
  }
  // WaitFor waits (8 s at most) until `text` was recorded `count` times.
  static bool WaitFor(const std::string& text, int count = 1) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::seconds(8), [&] {
      return std::count(texts_.begin(), texts_.end(), text) >= count;
    });
  }
  static void SetHook(Hook hook) {
    std::lock_guard<std::mutex> hold(mutex_);
    hook_ = std::move(hook);
  }

 private:
  static inline std::mutex mutex_;
  static inline std::condition_variable changed_;
  static inline Texts texts_;  // guarded by mutex_
  static inline Hook hook_;    // guarded by mutex_
};

template <int kN>
void OnInfo(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  static const char* const kTypes[] = {" new ", " upd ", " del "};
  Calls::Add(std::to_string(kN) + kTypes[type] + id + (field.empty() ? "" : " " + field));
}
template <int kN>
void OnKey(const std::string& key) {
  Calls::Add("key" + std::to_string(kN) + " " + key);
}
inline std::string Dump(const json_t* document) {
  const std::unique_ptr<char, void (*)(void*)> text(
      json_dumps(document, JSON_COMPACT | JSON_PRESERVE_ORDER), std::free);
  return text ? text.get() : "?";
}
inline void OnReport(json_t* document) {
  const std::string text = "report " + Dump(document);
  json_decref(document);  // it owns the document, also when the hook throws
  Calls::Add(text);
}

// Describe renders every member of a record, its bindings in order (sorted
// when `sorted`: a load and a run of changes may list them differently).
inline std::string Describe(const orv::devMgmt::Device& d, bool sorted = false) {
  Texts pairs;
  for (const orv::devMgmt::MacIp& b : d.macs) pairs.push_back(b.mac + "=" + b.ip);
  if (sorted) std::sort(pairs.begin(), pairs.end());
  std::string macs;
  for (const std::string& pair : pairs) macs += (macs.empty() ? "" : ",") + pair;
  return d.device_id + " p=" + d.profile_id + " [" + macs + "] name=" + d.display_name +
         " type=" + d.device_type + " os=" + d.device_os + "/" + d.device_os_version +
         " model=" + d.device_model + " by=" + d.device_manufacturer + " velk=" + d.velk_device_id +
         " blocked=" + std::to_string(d.blocked) + " onvelk=" + std::to_string(d.onvelk) +
         " onguest=" + std::to_string(d.onguest) + " scan=" + std::to_string(d.scan_level);
}

// Cached renders what a client gets for `id` ("absent" when nothing); Owner
// the device the MAC index names ("-" when none).
inline std::string Cached(const std::string& id) {
  orv::devMgmt::Device d;
  return orv::devMgmt::get_device(id, d) ? Describe(d) : "absent";
}
inline std::string Owner(const std::string& mac) {
  orv::devMgmt::MutexLock hold(g_devices.mutex);
  auto found = g_devices.mac_to_device_id.find(mac);
  return found == g_devices.mac_to_device_id.end() ? "-" : found->second;
}

// Render maps "dev <id>" to each record (bindings sorted), "mac <mac>" to
// the device the index names.
inline std::map<std::string, std::string> Render(Devices& cache) {
  std::map<std::string, std::string> out;
  orv::devMgmt::MutexLock hold(cache.mutex);
  for (const auto& entry : cache.devices) out["dev " + entry.first] = Describe(entry.second, true);
  for (const auto& entry : cache.mac_to_device_id) out["mac " + entry.first] = entry.second;
  return out;
}

// CacheDiffToStore waits (`timeout` at most) until g_devices holds what a
// fresh load of the store gives; returns "" then, else what differs.
inline std::string CacheDiffToStore(std::chrono::milliseconds timeout) {
  Devices fresh;
  fresh.load();
  const auto want = Render(fresh);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Render(g_devices) != want && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const auto got = Render(g_devices);
  std::vector<std::pair<std::string, std::string>> diff;
  std::set_symmetric_difference(got.begin(), got.end(), want.begin(), want.end(),
                                std::back_inserter(diff));
  std::string out;
  for (const auto& [key, text] : diff) {
    out +=
        key + ": " + text + (got.count(key) && got.at(key) == text ? " (cache)\n" : " (store)\n");
  }
  return out;
}

// Status is what get_sync_status gives now.
inline orv::devMgmt::SyncStatus Status() {
  orv::devMgmt::SyncStatus status;
  EXPECT_EQ(orv::devMgmt::get_sync_status(status), 0);
  return status;
}

// Eventually polls `done` every 5 ms until it holds (8 s at most); returns
// its last answer.
template <class Done>
bool Eventually(Done done) {
  for (int i = 0; i < 1600 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// Result renders a result and orverrno as "<result> <code> <text>", then
// records the sentinel 99 "sentinel" in orverrno.
inline std::string Result(int result) {
  const std::string out =
      std::to_string(result) + " " + std::to_string(orverrno.code()) + " " + orverrno.message();
  orverrno.set(99, "sentinel");
  return out;
}

class LibraryTest : public ::testing::Test {
 protected:
  // `log_level`: the highest level caught (every line of it is checked).
  explicit LibraryTest(int log_level = 4) : log_{log_level} {}
  void TearDown() override {
    orv::devMgmt::uninit();
    for (const LogLine& line : log_.Lines()) {  // every log line stayed one line
      EXPECT_TRUE(std::none_of(line.text.begin(), line.text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
      })) << line.text.substr(0, 200);
    }
    Calls::SetHook(nullptr);
    orv::devMgmt::drop_all_subscriptions_for_testing();
    orv::devMgmt::MutexLock hold(g_devices.mutex);
    g_devices.clear();
    Calls::Take();
  }

  // Start runs init and waits until the sync thread watches the store and
  // has reloaded the cache.
  void Start() {
    ASSERT_EQ(orv::devMgmt::init(), 0);
    ASSERT_EQ(orv::devMgmt::wait_for_sync(8000), 0);
  }
  void Set(const std::string& key, const std::string& value) { store_.Set(key, value); }
  // Logged waits until `message` (as LogCapture::Messages gives it) was
  // logged `times` times.
  bool Logged(const std::string& message, int times = 1) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (Count(message) < times) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  int Count(const std::string& message) const {
    const Texts lines = log_.Messages();
    return static_cast<int>(std::count(lines.begin(), lines.end(), message));
  }
  // LinesOf returns the messages logged by function `name`.
  Texts LinesOf(const std::string& name) const {
    Texts out;
    for (const std::string& line : log_.Messages()) {
      if (line.find(" " + name + ": ") == line.find(' ')) out.push_back(line);
    }
    return out;
  }

  TempStore store_;
  LogCapture log_;
};

#endif  // ORV_TESTS_SUPPORT_LIBRARY_H_
