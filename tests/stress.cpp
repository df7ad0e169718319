// The long stress run, by hand (not part of the suite):
//
//   ORV_STRESS_SECONDS=600 build/tests/orv-stress
//
// A writer changes a scratch store as fast as it can (devices written whole
// and deleted, fields rewritten, MACs added and re-addressed, /devices removed
// and written anew in the middle of each round) while clients query the cache
// and (un)subscribe, with the sync thread running. After each 30 s round the
// cache must equal a fresh load of the store, record by record and in its MAC
// index, and no subscriber call may have broken its contract.
//
// Ids and MACs are never reused, traffic_blocked is "0" or "1", onvelk is
// never -1 and no field is deleted alone: what a change and a load read
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

const Texts kFields = {"profile_id", "display_name", "device_type", "device_os",
                       "device_os_version", "device_model", "device_manufacturer",
                       "velk_device_id", "traffic_blocked", "onvelk", "onguest", "scan_level"};
std::atomic<long> g_calls{0}, g_odd{0};

void Counted(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  ++g_calls;
  if (id.empty() || (type == orv::DEV_INFO_UPDATED) == field.empty()) ++g_odd;
}
void CountedKey(const std::string& key) {
  ++g_calls;
  if (key.rfind("/devices", 0) != 0) ++g_odd;
}

class Writer {
 public:
  explicit Writer(unsigned seed) : rng_(seed) {}
  void Change() {
    const int what = Pick(9);
    if (ids_.size() < 20 || (what == 0 && ids_.size() < 60)) return Create();
    const std::string id = ids_[Pick(static_cast<int>(ids_.size()) - 1)];
    if (what == 1) {
      Remove("/devices/" + id);
      ids_.erase(std::find(ids_.begin(), ids_.end(), id));
    } else if (what == 2) {
      Put("/devices/" + id + "/macs/m" + std::to_string(next_mac_++), Ip());
    } else {
      const int field = Pick(11);
      Put("/devices/" + id + "/" + kFields[field], Value(field));
    }
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
    static const int kHigh[] = {1, 3, 3, 5};
    if (field < 8) return Pick(9) == 0 ? "" : "t " + std::to_string(Pick(9999));
    return std::to_string(Pick(kHigh[field - 8] + (field == 10 ? 1 : 0)) - (field == 10 ? 1 : 0));
  }
  void Create() {
    const std::string id = "dev" + std::to_string(next_id_++);
    for (int field = 0; field < 12; ++field) Put("/devices/" + id + "/" + kFields[field], Value(field));
    for (int i = Pick(2); i >= 0; --i) Put("/devices/" + id + "/macs/m" + std::to_string(next_mac_++), Ip());
    ids_.push_back(id);
  }
  void Put(const std::string& key, const std::string& value) {
    ++changes;
    if (orv::setMgmt::setKey(key, value) != 0) ADD_FAILURE() << key << ": " << orverrno.message();
  }
  void Remove(const std::string& key) {
    ++changes;
    if (orv::setMgmt::deleteKey(key) != 0) ADD_FAILURE() << key << ": " << orverrno.message();
  }

  std::mt19937 rng_;
  std::vector<std::string> ids_;
  long next_id_ = 0, next_mac_ = 0;
};

class StressTest : public LibraryTest {};

TEST_F(StressTest, CacheEqualsTheStoreAfterEveryRoundOfChanges) {
  const char* wanted = getenv("ORV_STRESS_SECONDS");
  const long total = wanted != nullptr ? std::strtol(wanted, nullptr, 10) : 0;
  if (total <= 0) GTEST_SKIP() << "set ORV_STRESS_SECONDS to run";
  if (getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) {
    setenv("TMPDIR", "/dev/shm", 1);  // no write waits for a disk
  }
  TempStore store;
  orv::log::current_level = 0;
  Texts fields = kFields;
  fields.push_back("macs");
  api::set_on_dev_info_change(fields, Counted);
  ASSERT_EQ(api::set_on_key_change("^/devices", CountedKey), 0);
  Writer writer(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
  Start();
  for (long done = 0; done < total; done += 30) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int n = 0; n < 2; ++n) {
      clients.emplace_back([&stop, n] {
        std::mt19937 rng(n);
        for (api::Device device; !stop;) {
          const std::string id = "dev" + std::to_string(rng() % 1000);
          std::string owner = "dev";
          EXPECT_TRUE(!api::get_device(id, device) || device.device_id == id);
          api::get_device_id_by_mac("m" + std::to_string(rng() % 10000), owner);
          EXPECT_EQ(owner.rfind("dev", 0), 0u);
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
      });
    }
    clients.emplace_back([&stop, &fields] {
      for (int i = 0; !stop; ++i) {
        i % 2 ? api::unset_on_dev_info_change(fields, OnInfo<0>)
              : api::set_on_dev_info_change(fields, OnInfo<0>);
        i % 2 ? api::unset_on_key_change("macs", OnKey<0>) : api::set_on_key_change("macs", OnKey<0>);
        Calls::Take();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    const Clock::duration round = std::chrono::seconds(std::min(30L, total - done));
    const auto start = Clock::now();
    for (bool removed = false; Clock::now() < start + round;) {
      if (!removed && Clock::now() > start + round / 2) writer.RemoveRoot();
      removed = removed || Clock::now() > start + round / 2;
      writer.Change();
    }
    stop = true;
    for (std::thread& client : clients) client.join();
    ASSERT_EQ(CacheDiffToStore(std::chrono::seconds(15)), "") << "after " << writer.changes;
    ASSERT_EQ(g_odd, 0) << g_calls << " calls";
    std::printf("%ld s: %ld changes, %ld calls, the cache equal to the store\n",
                done + std::min(30L, total - done), writer.changes, g_calls.load());
  }
  Stop();
}

}  // namespace
