// The long stress run, by hand (not part of the suite):
//
//   ORV_STRESS_SECONDS=600 build/tests/orv-stress
//
// A writer changes a scratch store (on tmpfs when $TMPDIR is unset) as fast
// as it can: devices written whole and deleted, fields rewritten, MACs added
// and re-addressed, /devices removed and written anew in the middle of each
// round. Meanwhile clients query and (un)subscribe, with the sync thread
// running. After each 30 s round the cache must equal a fresh load of the
// store, record by record and in its MAC index.
//
// Ids and MACs are never reused, traffic_blocked is "0" or "1", onvelk never
// -1, and no field is deleted alone: what a change and a load read
// differently stays out, so that the two must agree.

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orv/settings.h"
#include "support/library.h"

namespace {

namespace api = orv::devMgmt;
using Clock = std::chrono::steady_clock;

const Texts kFields = {
    "profile_id",   "display_name",        "device_type",    "device_os",       "device_os_version",
    "device_model", "device_manufacturer", "velk_device_id", "traffic_blocked", "onvelk",
    "onguest",      "scan_level"};

class Writer {
 public:
  // Change makes one random change.
  void Change() {
    const int what = Pick(9);
    if (ids_.size() < 20 || (what == 0 && ids_.size() < 60)) {
      ids_.push_back("dev" + std::to_string(next_id_++));
      for (int field = 0; field < 12; ++field) Put(ids_.back(), kFields[field], Value(field));
      for (int i = Pick(2); i >= 0; --i)
        Put(ids_.back(), "macs/m" + std::to_string(next_mac_++), Ip());
      return;
    }
    const int at = Pick(static_cast<int>(ids_.size()) - 1);
    const int field = Pick(11);
    if (what == 1)
      Remove("/devices/" + ids_[at]), ids_.erase(ids_.begin() + at);
    else if (what == 2)
      Put(ids_[at], "macs/m" + std::to_string(next_mac_++), Ip());
    else
      Put(ids_[at], kFields[field], Value(field));
  }
  void RemoveRoot() {
    Remove("/devices");
    ids_.clear();
  }
  long changes = 0;

 private:
  int Pick(int high) { return std::uniform_int_distribution<int>(0, high)(rng_); }
  std::string Ip() { return Pick(9) == 0 ? "" : "10.0.0." + std::to_string(Pick(255)); }
  std::string Value(int field) {
    if (field < 8) return Pick(9) == 0 ? "" : "t " + std::to_string(Pick(9999));
    return std::to_string(field == 10 ? Pick(4) - 1 : Pick(field == 8 ? 1 : 5));
  }
  void Put(const std::string& id, const std::string& name, const std::string& value) {
    ++changes;
    const std::string key = "/devices/" + id + "/" + name;
    if (orv::setMgmt::setKey(key, value) != 0) ADD_FAILURE() << key << ": " << orverrno.message();
  }
  void Remove(const std::string& key) {
    ++changes;
    if (orv::setMgmt::deleteKey(key) != 0) ADD_FAILURE() << key << ": " << orverrno.message();
  }

  std::mt19937 rng_{static_cast<unsigned>(Clock::now().time_since_epoch().count())};
  std::vector<std::string> ids_;
  long next_id_ = 0, next_mac_ = 0;
};

using StressTest = LibraryTest;

TEST_F(StressTest, CacheEqualsTheStoreAfterEveryRoundOfChanges) {
  const char* wanted = getenv("ORV_STRESS_SECONDS");
  const long total = wanted != nullptr ? std::strtol(wanted, nullptr, 10) : 0;
  if (total <= 0) GTEST_SKIP() << "set ORV_STRESS_SECONDS to run";
  if (getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  TempStore store;
  orv::log::current_level = 0;
  Texts fields = kFields;
  fields.push_back("macs");
  Writer writer;
  Start();
  for (long done = 0; done < total; done += 30) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (unsigned n = 0; n < 2; ++n) {  // query, and (un)subscribe now and then
      clients.emplace_back([&stop, &fields, n] {
        std::mt19937 rng(n);
        for (api::Device device; !stop;
             std::this_thread::sleep_for(std::chrono::microseconds(100))) {
          const std::string id = "dev" + std::to_string(rng() % 1000);
          std::string owner = "dev";
          EXPECT_TRUE(!api::get_device(id, device) || device.device_id == id);
          api::get_device_id_by_mac("m" + std::to_string(rng() % 10000), owner);
          EXPECT_EQ(owner.rfind("dev", 0), 0u);
          if (rng() % 4 == 0) api::set_on_dev_info_change(fields, OnInfo<0>);
          if (rng() % 4 == 0) api::unset_on_dev_info_change(fields, OnInfo<0>);
          if (rng() % 4 == 0) api::set_on_key_change("macs", OnKey<0>);
          if (rng() % 4 == 0) api::unset_on_key_change("macs", OnKey<0>);
          Calls::Take();
        }
      });
    }
    const auto round = std::chrono::seconds(std::min(30L, total - done));
    const auto start = Clock::now();
    for (bool removed = false; Clock::now() < start + round; writer.Change()) {
      if (!removed && Clock::now() > start + round / 2) writer.RemoveRoot(), removed = true;
    }
    stop = true;
    for (std::thread& client : clients) client.join();
    ASSERT_EQ(CacheDiffToStore(std::chrono::seconds(15)), "") << "after " << writer.changes;
    std::printf("%ld s: %ld changes, the cache equal to the store\n",
                done + std::min(30L, total - done), writer.changes);
  }
  orv::devMgmt::uninit();
}

}  // namespace
