// Helpers for tests that run the sync thread against a real store.
//
// CacheDiff(cache, expected) is "" when both caches hold the same, else their
// first differences. Records are compared member by member, a device's
// bindings as a multiset of (MAC, IP) pairs: a load lists them in the store's
// order, changes append each MAC where it was first seen, so a cache kept up
// by changes may hold the same pairs in another order, never other pairs. The
// MAC indexes must be equal.
//
//   // the store no longer changes:
//   EXPECT_EQ(WaitForCacheToMatchStore(g_devices, std::chrono::seconds(10)), "");
//
// HoldAtGate holds the sync thread inside a device-info callback, so that a
// test can change the store while no notification is being read:
//
//   orv::devMgmt::set_on_dev_info_change({"display_name"}, HoldAtGate);
//   g_gate = 1;
//   store.Set("/devices/gate/display_name", "x");  // the sync thread stops there
//   ASSERT_TRUE(WaitUntil([] { return g_gate == 2; }, std::chrono::seconds(10)));
//   ... change the store ...
//   g_gate = 0;
//
// Only an update of the display name of the device "gate" stops at an armed
// gate, once per arming. The callback keeps the cache locked while it waits,
// and gives up after a minute, so that a failing test can't hang.
//
// The subscribers' record: OnInfo<n> adds "<n> new|upd|del <id>[ <field>]",
// OnKey<n> "key<n> <key>" and OnReport "report <the document, compact>" to
// g_events, each then calling g_hook (when set) with that text, on the same
// thread: a test's hook may throw, query or (un)register.
//
// StopLibrary runs uninit with a deadline (a deadlocked sync thread can't be
// joined: it ends the process rather than wait for the harness's timeout),
// then empties the cache, every registry, g_events and g_hook.

#ifndef ORV_TESTS_SUPPORT_SYNC_HELPERS_H_
#define ORV_TESTS_SUPPORT_SYNC_HELPERS_H_

#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "support/event_recorder.h"
#include "support/log_capture.h"
#include "support/temp_store.h"

// RenderCache maps "dev <id>" to the whole record and "mac <mac>" to its owner.
inline std::map<std::string, std::string> RenderCache(Devices& cache) {
  std::map<std::string, std::string> out;
  std::lock_guard<std::recursive_mutex> hold(cache.mutex);
  for (const auto& [id, d] : cache.devices) {
    std::vector<std::string> pairs;
    for (const orv::devMgmt::MacIp& b : d.macs) pairs.push_back(b.mac + "=" + b.ip);
    std::sort(pairs.begin(), pairs.end());
    std::string text = "id=" + d.device_id + " profile=" + d.profile_id + " macs=";
    for (const std::string& pair : pairs) text += pair + ",";
    out["dev " + id] =
        text + " name=" + d.display_name + " type=" + d.device_type + " os=" + d.device_os + "/" +
        d.device_os_version + " model=" + d.device_model + " by=" + d.device_manufacturer +
        " velk=" + d.velk_device_id + " blocked=" + std::to_string(d.blocked) +
        " onvelk=" + std::to_string(d.onvelk) + " onguest=" + std::to_string(d.onguest) +
        " scan=" + std::to_string(d.scan_level);
  }
  for (const auto& [mac, id] : cache.mac_to_device_id) out["mac " + mac] = id;
  return out;
}

inline std::string CacheDiff(Devices& cache, Devices& expected) {
  auto got = RenderCache(cache), want = RenderCache(expected);
  for (const auto& entry : got) want.emplace(entry.first, "absent");
  std::string out;
  int shown = 0;
  for (const auto& [key, w] : want) {
    const std::string g = got.count(key) ? got.at(key) : "absent";
    if (g != w && ++shown <= 5) out += key + ": got {" + g + "} want {" + w + "}\n";
  }
  return shown > 5 ? out + "... " + std::to_string(shown - 5) + " more\n" : out;
}

inline std::string WaitForCacheToMatchStore(Devices& cache, std::chrono::milliseconds timeout) {
  Devices expected;
  expected.load();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    std::string diff = CacheDiff(cache, expected);
    if (diff.empty() || std::chrono::steady_clock::now() >= deadline) return diff;
  }
}

// g_gate: 0 open, 1 armed (the next HoldAtGate holds), 2 holding (until 0).
inline std::atomic<int> g_gate{0};
inline void HoldAtGate(orv::DevInfoChangeType type, const std::string& device_id,
                       const std::string& field_name) {
  int armed = 1;
  if (type == orv::DEV_INFO_UPDATED && device_id == "gate" && field_name == "display_name" &&
      g_gate.compare_exchange_strong(armed, 2)) {
    WaitUntil([] { return g_gate != 2; }, std::chrono::minutes(1));
  }
}

inline constexpr char kNoDescriptor[] =
    "0 sync_thread_function: Could not get notification fd for /devices";

inline EventRecorder g_events;
inline std::function<void(const std::string&)> g_hook;
inline void Record(const std::string& event) {
  g_events.Add(event);
  if (g_hook) g_hook(event);
}
template <int kN>
void OnInfo(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  static const char* const kTypes[] = {" new ", " upd ", " del "};
  Record(std::to_string(kN) + kTypes[type] + id + (field.empty() ? "" : " " + field));
}
template <int kN>
void OnKey(const std::string& key) {
  Record("key" + std::to_string(kN) + " " + key);
}
inline void OnReport(json_t* document) {
  char* text = json_dumps(document, JSON_COMPACT | JSON_PRESERVE_ORDER);
  const std::string event = std::string("report ") + (text != nullptr ? text : "?");
  std::free(text);
  json_decref(document);  // it owns the document, also when the hook throws
  Record(event);
}

// Logged waits until `log` caught `message` (as LogCapture::Messages gives
// it) `times` times.
inline bool Logged(const LogCapture& log, const std::string& message, int times = 1) {
  return WaitUntil(
      [&] {
        const std::vector<std::string> lines = log.Messages();
        return std::count(lines.begin(), lines.end(), message) >= times;
      },
      std::chrono::seconds(8));
}

inline void StopLibrary() {
  g_gate = 0;
  auto stopped = std::make_shared<std::promise<void>>();
  std::future<void> done = stopped->get_future();
  std::thread([stopped] {
    orv::devMgmt::uninit();
    stopped->set_value();
  }).detach();
  if (done.wait_for(std::chrono::seconds(15)) != std::future_status::ready) {
    ADD_FAILURE() << "uninit did not return: the sync thread is stuck";
    std::fflush(stdout);
    std::_Exit(1);
  }
  orv::devMgmt::unset_on_traffic_blocked_change(nullptr);
  std::lock_guard<std::recursive_mutex> cache(g_devices.mutex);  // the library's lock order
  std::lock_guard<std::mutex> keys(g_monitored_keys.mutex);
  g_monitored_keys.key_spies.clear();
  g_devices.field_callbacks.clear();
  g_devices.clear();
  g_hook = nullptr;
  g_events.Clear();
}

// LiveTest: a fixture for the running library on a scratch store. OnInfo<0>
// watches display_name, device_os and macs, OnKey<0> every key under
// /devices/; the log is caught from level 4, and at the end no caught line
// may hold a control character: each stayed one line.
class LiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orv::devMgmt::set_on_dev_info_change({"display_name", "device_os", "macs"}, OnInfo<0>);
    ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices/", OnKey<0>), 0);
  }
  void TearDown() override {
    for (const LogLine& line : log_.Lines()) {
      EXPECT_TRUE(std::none_of(line.text.begin(), line.text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
      })) << line.text.substr(0, 200);
    }
    StopLibrary();
  }
  // Start runs init and waits until the sync thread's load has announced
  // `id` too: from then on it watches the store.
  static void Start(const std::string& id) {
    ASSERT_EQ(orv::devMgmt::init(), 0);
    ASSERT_TRUE(g_events.WaitForText("0 new " + id, 2)) << id;
  }
  // SetAndWait writes a value and waits for the `count`th event `text`.
  void SetAndWait(const std::string& key, const std::string& value, const std::string& text,
                  int count = 1) {
    store_.Set(key, value);
    ASSERT_TRUE(g_events.WaitForText(text, count)) << text;
  }

  TempStore store_;
  LogCapture log_{4};
};

#endif  // ORV_TESTS_SUPPORT_SYNC_HELPERS_H_
