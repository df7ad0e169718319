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

// Writer makes random changes, keeping the rules above.
class Writer {
 public:
  void Change() {
    const int what = Pick(9), at = Pick(static_cast<int>(ids_.size()) - 1), field = Pick(11);
    if (ids_.size() < 20 || (what == 0 && ids_.size() < 60)) {
      ids_.push_back("dev" + std::to_string(next_id_++));
      for (int f = 0; f < 12; ++f) Write(ids_.back() + "/" + kFields[f], Value(f));
      for (int i = Pick(2); i >= 0; --i)
        Write(ids_.back() + "/macs/m" + std::to_string(next_mac_++), Ip());
    } else if (what == 1) {
      Write(ids_[at], nullptr);
      ids_.erase(ids_.begin() + at);
    } else {
      what == 2 ? Write(ids_[at] + "/macs/m" + std::to_string(next_mac_++), Ip())
                : Write(ids_[at] + "/" + kFields[field], Value(field));
    }
  }
  // Write sets /devices/<path>, or deletes it when `value` is null.
  void Write(const std::string& path, const char* value) {
    const std::string key = "/devices" + (path.empty() ? "" : "/" + path);
    if ((value ? orv::setMgmt::setKey(key, value) : orv::setMgmt::deleteKey(key)) != 0) {
      ADD_FAILURE() << key << ": " << orverrno.message();
    }
    if (path.empty()) ids_.clear();
    ++changes;
  }
  long changes = 0;

 private:
  int Pick(int high) { return std::uniform_int_distribution<int>(0, std::max(high, 0))(rng_); }
  const char* Ip() {
    text_ = Pick(9) == 0 ? "" : "10.0.0." + std::to_string(Pick(255));
    return text_.c_str();
  }
  const char* Value(int field) {
    if (field < 8)
      text_ = Pick(9) == 0 ? "" : "t " + std::to_string(Pick(9999));
    else
      text_ = std::to_string(field == 10 ? Pick(4) - 1 : Pick(field == 8 ? 1 : 5));
    return text_.c_str();
  }

  std::mt19937 rng_{static_cast<unsigned>(Clock::now().time_since_epoch().count())};
  std::vector<std::string> ids_;
  std::string text_;
  long next_id_ = 0, next_mac_ = 0;
};

using StressTest = LibraryTest;

TEST_F(StressTest, CacheEqualsTheStoreAfterEveryRoundOfChanges) {
  const char* wanted = getenv("ORV_STRESS_SECONDS");
  const long total = wanted != nullptr ? std::strtol(wanted, nullptr, 10) : 0;
  if (total <= 0) GTEST_SKIP() << "set ORV_STRESS_SECONDS to run";
  if (getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  TempStore store;
  Texts fields = kFields;
  fields.push_back("macs");
  Writer writer;
  orv::log::current_level = 0;  // before any thread reads it
  ASSERT_EQ(api::init(), 0);    // the thread loads once it watches the store
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
          rng() % 2 ? api::set_on_dev_info_change(fields, OnInfo<0>)
                    : api::unset_on_dev_info_change(fields, OnInfo<0>);
          Calls::Take();
        }
      });
    }
    const auto round = std::chrono::seconds(std::min(30L, total - done));
    const auto start = Clock::now();
    for (bool removed = false; Clock::now() < start + round; writer.Change()) {
      if (!removed && Clock::now() > start + round / 2) writer.Write("", nullptr);
      removed = removed || Clock::now() > start + round / 2;
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
