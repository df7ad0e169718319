// Proves that the cache converges on the store under load, and that queries
// and (un)registrations from other threads meanwhile are safe. A writer
// changes a scratch store (on tmpfs) as fast as it can (fields; MACs added,
// re-addressed and removed; devices created and deleted; /devices removed and
// written anew) while client threads query the cache and (un)subscribe, with
// the real sync thread running. Each time the writer stops, the cache must
// equal a fresh load of the store, record by record, binding by binding and
// in its MAC index, within a deadline; every subscriber call must be
// well-formed.
//
// Two modes: a pace that the notifications keep up with (no descriptor may
// be lost), and bursts that overflow the kernel's event queue, so that the
// reload path must bring the cache back. The short version (a round of 2 to
// 3 s per mode) runs in every build. The long one: with ORV_STRESS_SECONDS=n
// each mode runs about n/2 seconds, in rounds of 30 s, each checked, e.g.
//
//   ORV_STRESS_SECONDS=600 build/tests/stress_test

#include <gtest/gtest.h>
#include <jansson.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "support/log_capture.h"
#include "support/store_writer.h"
#include "support/sync_helpers.h"
#include "support/temp_store.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const char* const kChurnRegexes[] = {"^/devices/dev[0-9]+/macs/", "display_name$", "onguest"};
constexpr char kMarkerRegex[] = "^/devices/gate/marker[0-9]+$";
constexpr int kPaceEvery = 50;  // changes between two markers

std::vector<std::string> FieldNames() {
  std::vector<std::string> names(std::begin(kWriterFields), std::end(kWriterFields));
  names.push_back("macs");
  return names;
}

// Calls the subscribers got; g_odd counts those that broke their contract.
std::atomic<long> g_dev_info{0}, g_keys{0}, g_reports{0}, g_odd{0};
std::atomic<int> g_seen_marker{0};  // the highest marker that reached the key subscribers

// kChurn: registered and removed by a client thread while changes come.
template <bool kChurn>
void OnDevInfo(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  static const std::vector<std::string> names = FieldNames();
  ++g_dev_info;
  const bool named = std::find(names.begin(), names.end(), field) != names.end();
  if (id.empty() || !(type == orv::DEV_INFO_UPDATED ? named : field.empty())) ++g_odd;
}
template <bool kChurn>
void OnKey(const std::string& key) {
  ++g_keys;
  if (kChurn && key.rfind("/devices/", 0) != 0) ++g_odd;
}
void OnReport(json_t* document) {
  ++g_reports;
  if (json_array_size(json_object_get(document, "macs")) == 0) ++g_odd;
  json_decref(document);
}
void SeeMarker(const std::string& key) {
  const int marker = std::atoi(key.c_str() + key.rfind('r') + 1);
  if (marker > g_seen_marker) g_seen_marker = marker;  // only the sync thread writes it
}

// UseTmpfs points $TMPDIR at /dev/shm unless it is set, so that the store
// never waits for a disk.
bool UseTmpfs() {
  return getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0 &&
         setenv("TMPDIR", "/dev/shm", 1) == 0;
}

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::atomic<long>* count : {&g_dev_info, &g_keys, &g_reports, &g_odd}) *count = 0;
    g_seen_marker = 0;
    orv::devMgmt::set_on_dev_info_change({"display_name"}, HoldAtGate);
    orv::devMgmt::set_on_dev_info_change(FieldNames(), OnDevInfo<false>);
    ASSERT_EQ(orv::devMgmt::set_on_key_change("^/devices", OnKey<false>), 0);
    ASSERT_EQ(orv::devMgmt::set_on_key_change(kMarkerRegex, SeeMarker), 0);
    ASSERT_EQ(orv::devMgmt::set_on_traffic_blocked_change(OnReport), 0);
  }

  void TearDown() override {
    g_gate = 0;
    stop_ = true;
    for (std::thread& client : clients_) client.join();
    std::vector<std::string> names = FieldNames();
    names.push_back("other");
    for (DevInfoChangeCallback callback : {HoldAtGate, OnDevInfo<false>, OnDevInfo<true>}) {
      orv::devMgmt::unset_on_dev_info_change(names, callback);
    }
    orv::devMgmt::unset_on_key_change("^/devices", OnKey<false>);
    orv::devMgmt::unset_on_key_change(kMarkerRegex, SeeMarker);
    for (const char* regex : kChurnRegexes) orv::devMgmt::unset_on_key_change(regex, OnKey<true>);
    orv::devMgmt::unset_on_traffic_blocked_change(OnReport);
    EXPECT_TRUE(g_devices.field_callbacks.empty());  // the churn left nothing behind
    EXPECT_TRUE(g_monitored_keys.key_spies.empty());
    StopLibrary();
  }

  // Query asks random questions; each answer must be whole in itself.
  void Query(unsigned seed) {
    std::mt19937 rng(seed);
    for (; !stop_; ++queries_) {
      const std::string id = "dev" + std::to_string(rng() % (g_writer_ids + 1));
      const std::string mac = "m" + std::to_string(rng() % (g_writer_macs + 1));
      orv::devMgmt::Device device;
      std::vector<std::string> macs;
      std::string owner = "dev", ip;
      EXPECT_TRUE(!orv::devMgmt::get_device(id, device) || device.device_id == id) << id;
      orv::devMgmt::get_device_macs(id, macs);
      std::sort(macs.begin(), macs.end());
      EXPECT_TRUE(std::adjacent_find(macs.begin(), macs.end()) == macs.end()) << id;
      orv::devMgmt::get_device_id_by_mac(mac, owner);
      EXPECT_EQ(owner.rfind("dev", 0), 0u) << owner;
      orv::devMgmt::get_device_ip(owner, mac, ip);
      orv::devMgmt::get_device_id_by_ip("10.0.0." + std::to_string(rng() % 256), owner);
      std::this_thread::sleep_for(std::chrono::microseconds(100));  // a pace, not a wait
    }
  }

  // Subscribe registers and removes subscriptions of all three kinds.
  void Subscribe(unsigned seed) {
    std::mt19937 rng(seed);
    for (; !stop_; ++registrations_) {
      const char* regex = kChurnRegexes[rng() % 3];
      std::vector<std::string> names = {"other"};
      for (const std::string& name : FieldNames()) {
        if (rng() % 3 == 0) names.push_back(name);
      }
      const unsigned action = rng() % 5;
      if (action == 0) orv::devMgmt::set_on_dev_info_change(names, OnDevInfo<true>);
      if (action == 1) orv::devMgmt::unset_on_dev_info_change(names, OnDevInfo<true>);
      EXPECT_TRUE(action != 2 || orv::devMgmt::set_on_key_change(regex, OnKey<true>) == 0);
      if (action == 3) orv::devMgmt::unset_on_key_change(regex, OnKey<true>);
      if (action == 4) orv::devMgmt::unset_on_traffic_blocked_change(OnReport);
      EXPECT_TRUE(action != 4 || orv::devMgmt::set_on_traffic_blocked_change(OnReport) == 0);
      std::this_thread::sleep_for(std::chrono::microseconds(200));  // a pace, not a wait
    }
  }

  // PacedRound waits after every kPaceEvery changes until the key
  // subscribers have seen the marker written before the last batch.
  static void PacedRound(StoreWriter& writer, Clock::duration length) {
    for (const auto end = Clock::now() + length; Clock::now() < end;) {
      for (int i = 0; i < kPaceEvery; ++i) writer.Change(true);
      const int marker = writer.Mark();
      ASSERT_TRUE(WaitUntil([marker] { return g_seen_marker >= marker - 1; }, seconds(30)))
          << "the cache fell behind the paced writer at marker " << marker;
      writer.Confirm(marker - 1);
    }
  }

  // Watched returns once the key subscribers have seen a marker: the library
  // watches the store (markers written while it doesn't are never reported).
  static void Watched(StoreWriter& writer) {
    const auto deadline = Clock::now() + seconds(30);
    int marker = writer.Mark();
    while (!WaitUntil([&marker] { return g_seen_marker >= marker; }, milliseconds(500))) {
      ASSERT_LT(Clock::now(), deadline) << "the library never watched the store";
      marker = writer.Mark();
    }
    writer.Confirm(marker);
  }

  // Burst waits until the library watches the store, stops the sync thread at
  // the gate, overflows the kernel's queue and lets the thread go.
  static void Burst(StoreWriter& writer) {
    ASSERT_NO_FATAL_FAILURE(Watched(writer));
    g_gate = 1;
    writer.NameGate();
    const bool holding = WaitUntil([] { return g_gate == 2; }, seconds(30));
    // A write is four events: the hidden file created, closed and renamed
    // from, the value renamed to. 1.5 times the queue's size overflows it.
    long queued = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (holding) writer.Burst(queued * 3 / 8 + 1);
    g_gate = 0;
    ASSERT_TRUE(holding) << "the sync thread never reached the gate";
  }

  // BurstRound bursts after a quarter of the round, then every 10 s, and
  // removes /devices at three quarters.
  static void BurstRound(StoreWriter& writer, Clock::duration length) {
    const auto start = Clock::now();
    bool root_removed = false;
    for (auto next_burst = start + length / 4; Clock::now() < start + length;) {
      if (Clock::now() >= next_burst) {
        Burst(writer);
        next_burst = Clock::now() + seconds(10);
      } else if (!root_removed && Clock::now() >= start + length * 3 / 4) {
        writer.RemoveRoot();  // and writes devices anew at once
        for (int i = 0; i < kWriterMinDevices; ++i) writer.Change(false);
        root_removed = true;
      } else {
        // Markers without waiting: MACs confirmed meanwhile may be removed.
        for (int i = 0; i < kPaceEvery; ++i) writer.Change(false);
        writer.Confirm(g_seen_marker);
        writer.Mark();
      }
    }
  }

  void Run(bool paced) {
    const char* wanted = getenv("ORV_STRESS_SECONDS");
    const long total = wanted != nullptr ? std::strtol(wanted, nullptr, 10) / 2 : 0;
    const Clock::duration round = seconds(total > 0 ? 30 : paced ? 3 : 2);
    const unsigned seed = static_cast<unsigned>(Clock::now().time_since_epoch().count());
    StoreWriter writer(seed);
    writer.Mark();
    for (int i = 0; i < kWriterMinDevices; ++i) writer.Change(false);
    ASSERT_EQ(orv::devMgmt::init(), 0);
    ASSERT_NO_FATAL_FAILURE(Watched(writer));
    clients_.emplace_back(&StressTest::Query, this, seed + 1);
    clients_.emplace_back(&StressTest::Subscribe, this, seed + 2);
    const auto end = Clock::now() + seconds(total);
    for (int number = 1; number == 1 || Clock::now() < end; ++number) {
      const long changes = writer.changes, removed = writer.removed, bursts = writer.bursts;
      const long losses_before = Losses();
      std::thread([&] { paced ? PacedRound(writer, round) : BurstRound(writer, round); }).join();
      const auto stopped = Clock::now();
      ASSERT_EQ(WaitForCacheToMatchStore(g_devices, seconds(30)), "") << "seed " << seed;
      const long losses = Losses() - losses_before;
      std::vector<orv::devMgmt::Device> devices;
      std::printf(
          "[ stress   ] %s round %d, seed %u: %ld changes, %ld MACs removed, %ld bursts, %ld "
          "descriptors lost; the cache equals the store %lld ms after the writer stopped; %d "
          "devices, %ld queries, %ld registrations, %ld device, %ld key, %ld traffic calls\n",
          paced ? "paced" : "burst", number, seed, writer.changes - changes,
          writer.removed - removed, writer.bursts - bursts, losses,
          static_cast<long long>((Clock::now() - stopped) / milliseconds(1)),
          orv::devMgmt::get_devices(devices), queries_.load(), registrations_.load(),
          g_dev_info.load(), g_keys.load(), g_reports.load());
      // Paced, the cache came back by changes alone; each burst overflowed.
      EXPECT_TRUE(paced ? losses == 0 : losses >= writer.bursts - bursts) << losses;
      EXPECT_GT(devices.size(), std::size_t{kWriterMinDevices / 2});
    }
    EXPECT_EQ(g_odd, 0);
    EXPECT_GT(g_dev_info, 0);
    EXPECT_GT(g_keys, 0);
    EXPECT_TRUE(!paced || g_reports > 0);
  }

  long Losses() const {
    const std::vector<std::string> lines = log_.Messages();
    return std::count(lines.begin(), lines.end(), kNoDescriptor);
  }

  const bool tmpfs_ = UseTmpfs();
  TempStore store_;
  LogCapture log_{0};
  std::atomic<bool> stop_{false};
  std::atomic<long> queries_{0}, registrations_{0};
  std::vector<std::thread> clients_;
};

TEST_F(StressTest, KeepsUpWithAPacedWriter) { Run(true); }

TEST_F(StressTest, RecoversFromQueueOverflowBursts) { Run(false); }

}  // namespace
