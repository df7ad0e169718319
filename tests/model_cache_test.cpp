// The cache against the store while the library runs: random runs of store
// changes (fields, MACs, MAC lists, devices and /devices itself deleted and
// written again, ids that prefix each other, the store's queue overflowing
// while the thread is busy), then wait_for_sync and a change seen through:
// the cache equals a fresh load of the store, and what a subscriber was told
// (NEW_DEV, DEV_INFO_REMOVED, the reloads' vanished ids) adds up to the
// devices the cache holds.
//
// Only changes whose outcome the design fixes are made: values that the load
// and the change dispatcher read alike; no field deleted alone; neither a
// device's last MAC nor its MAC list while a change of one is queued (the
// record goes, by design), nor all a device holds (a node left empty is no
// change the store reports).

#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <set>
#include <utility>

#include "orv/settings.h"
#include "support/library.h"
#include "support/model.h"

namespace {

namespace api = orv::devMgmt;
namespace sm = orv::setMgmt;

// /devices is deleted in many cases: the thread asks for it again every
// 20 ms, not every 5 s.
const bool kShortRetry = setenv("ORV_SYNC_RETRY_MS", "20", 0) == 0;

const char* const kIds[] = {"d1", "d10", "d1x"};
const char* const kMacs[] = {"m1", "m10", "M1"};
const char* const kIps[] = {"10.0.0.1", ""};
// Fields, each with values that the load and a change turn into the same
// member.
struct Field {
  const char* name;
  std::vector<std::string> values;
};
const Field kFields[] = {{"display_name", {"TV", "", "t\xc3\xa9l\xc3\xa9\n\x01"}},
                         {"traffic_blocked", {"0", "1"}},
                         {"onvelk", {"0", "1"}},
                         {"onguest", {"0", "1", "-1"}},
                         {"scan_level", {"0", "3"}},
                         {"device_model", {"X1", "X10"}}};

enum Kind {
  kField,
  kMac,
  kDeleteMac,
  kDeleteMacs,
  kDeleteDevice,
  kDeleteAll,
  kOverflow,
  kSettle,
  kBusy  // the thread held in a callback until the next settle
};
struct Change {
  Kind kind;
  int id, slot, value;  // indexes into kIds, kFields or kMacs, and the values
};

void showValue(const Change& c, std::ostream& out) {
  static const char* const kKinds[] = {"field", "mac",        "del-mac",  "del-macs",
                                       "del-device", "del-/devices", "overflow", "settle", "busy"};
  out << kKinds[c.kind] << " " << kIds[c.id] << " " << c.slot << " " << c.value;
}

rc::Gen<Change> GenChange(bool live) {
  return rc::gen::construct<Change>(
      live ? rc::gen::weightedElement<Kind>({{12, kField},
                                             {10, kMac},
                                             {4, kDeleteMac},
                                             {2, kDeleteMacs},
                                             {4, kDeleteDevice},
                                             {2, kDeleteAll},
                                             {1, kOverflow},
                                             {2, kSettle},
                                             {2, kBusy}})
           : rc::gen::element(kField, kMac),
      rc::gen::inRange(0, 3), rc::gen::inRange(0, 6), rc::gen::inRange(0, 3));
}

// What the subscribers were told, and what didn't add up.
std::mutex g_mutex;
std::set<std::string> g_believed;  // guarded by g_mutex: the ids a subscriber holds
Texts g_wrong;                     // guarded by g_mutex
std::atomic<int> g_markers{0};
std::atomic<bool> g_hold{false}, g_holding{false};

void OnDevice(orv::DevInfoChangeType type, const std::string& id, const std::string& field) {
  std::lock_guard<std::mutex> hold(g_mutex);
  if (type == orv::NEW_DEV) g_believed.insert(id);
  if (type == orv::DEV_INFO_REMOVED && g_believed.erase(id) == 0) g_wrong.push_back("del " + id);
  // A MAC list's last MAC removed drops the record: the subscriber asks.
  if (field == "macs" && !api::device_exists(id)) g_believed.erase(id);
}

void OnReloaded(const Texts& vanished) {
  std::lock_guard<std::mutex> hold(g_mutex);
  for (const std::string& id : vanished) {
    if (g_believed.erase(id) == 0 || api::device_exists(id)) g_wrong.push_back("vanished " + id);
  }
}

void OnMarker(const std::string&) { ++g_markers; }

// Holds the sync thread while g_hold is set (5 s at most).
void OnHold(const std::string&) {
  g_holding = true;
  for (int i = 0; i < 500 && g_hold; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  g_holding = false;
}

class CacheModelTest : public LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kShortRetry);
    orv::log::current_level = 0;  // the floods' lines would cost more than the rest
    std::vector<std::string> fields = {"macs"};
    for (const Field& field : kFields) fields.push_back(field.name);
    api::set_on_dev_info_change(fields, OnDevice);
    api::set_on_cache_reloaded(OnReloaded);
    ASSERT_EQ(api::set_on_key_change("^/devices/zz/marker$", OnMarker), 0);
    ASSERT_EQ(api::set_on_key_change("^/devices/zz/hold$", OnHold), 0);
  }

  static std::string Key(const Change& c, const std::string& rest) {
    return std::string("/devices/") + kIds[c.id] + rest;
  }
  // A MAC of its own per device: a MAC shared by two devices is named in the
  // index by the last reported, which a load and a run of changes see apart.
  static std::string MacKey(const Change& c) {
    return Key(c, std::string("/macs/") + kMacs[c.slot % 3] + "@" + kIds[c.id]);
  }
  int MacCount(const Change& c) {
    Texts macs;
    return std::max(sm::enumSubkeys(Key(c, "/macs"), macs), 0);
  }
  int Children(const Change& c) {
    Texts names;
    return std::max(sm::enumSubkeys(Key(c, ""), names), 0);
  }

  void Make(const Change& c, bool settle_deletions) {
    const Field& field = kFields[c.slot];
    std::string ip;
    switch (c.kind) {
      case kField:
        return Set(Key(c, "/") + field.name, field.values[c.value % field.values.size()]);
      case kMac:
        return Set(MacKey(c), kIps[c.value % 2]);
      case kDeleteMac:  // never the last: the record would go with it
        if (MacCount(c) > 1 && sm::getKey(MacKey(c), ip) >= 0) store_.Delete(MacKey(c));
        return;
      case kDeleteMacs:  // never all a device holds: an empty node is no change to report
        if (MacCount(c) == 0 || Children(c) < 2) return;
        Settle();  // a MAC's change still queued would find it gone and drop the record
        return store_.Delete(Key(c, "/macs"));
      case kDeleteDevice:
        if (sm::deleteKey(Key(c, "")) == 0 && settle_deletions) Settle();
        return;
      case kDeleteAll:
        sm::deleteKey("/devices");
        return;
      case kOverflow:  // once a case: it takes a while
        if (!std::exchange(flooded_, true)) Overflow();
        return;
      case kSettle:
        return Settle();
      case kBusy:
        if (!g_hold) Hold();
        return;
    }
  }

  // Settle waits until the thread is in sync and has applied a marker
  // written after everything else.
  void Settle() {
    g_hold = false;
    for (int attempt = 0; attempt < 40; ++attempt) {
      const int seen = g_markers;
      Set("/devices/zz/marker", std::to_string(attempt));  // makes /devices if it went
      RC_ASSERT(api::wait_for_sync(8000) == 0);
      for (int i = 0; i < 50 && g_markers == seen; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      if (g_markers != seen) return;  // else the watch was lost meanwhile
    }
    RC_FAIL("the marker never came through");
  }

  // Hold makes the thread wait in a key callback until g_hold is cleared.
  void Hold() {
    Settle();
    g_hold = true;
    Set("/devices/zz/hold", "1");
    for (int i = 0; i < 500 && !g_holding; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // Overflow holds the thread in a key callback while more changes than the
  // kernel queues are made.
  void Overflow() {
    Hold();
    api::SyncStatus before, after;
    api::get_sync_status(before);
    int queue_limit = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue_limit;
    // A rename is two events and makes no file: the cheapest flood.
    const std::string a = store_.root() + "/devices/zz/flood", b = a + "2";
    std::ofstream{a};
    for (int i = 0; i < queue_limit / 2 + 100; ++i) {
      std::rename(i % 2 ? b.c_str() : a.c_str(), i % 2 ? a.c_str() : b.c_str());
    }
    g_hold = false;
    Settle();
    api::get_sync_status(after);
    RC_ASSERT(after.descriptors_lost == before.descriptors_lost + 1);
  }

  // Render is the cache's or a load's devices but the marker's: a
  // scan_level the store doesn't hold reads as a load gives it (a record
  // made by a change has 0).
  std::map<std::string, std::string> Rendered(Devices& cache) {
    std::map<std::string, std::string> out;
    std::lock_guard<std::recursive_mutex> hold(cache.mutex);
    for (auto& [id, device] : cache.devices) {
      if (id == "zz") continue;
      std::string level;
      orv::devMgmt::Device copy = device;
      if (sm::getKey("/devices/" + id + "/scan_level", level) < 0) copy.scan_level = 2;
      out["dev " + id] = Describe(copy, true);
    }
    for (const auto& [mac, id] : cache.mac_to_device_id) {
      if (id != "zz") out["mac " + mac] = id;
    }
    return out;
  }

  bool flooded_ = false;

  void Check(const std::vector<Change>& before, const std::vector<Change>& changes,
             bool settle_deletions) {
    g_hold = false;
    api::uninit();
    sm::deleteKey("/devices");
    {
      std::lock_guard<std::mutex> hold(g_mutex);
      g_believed.clear();
      g_wrong.clear();
    }
    Set("/devices/zz/macs/zz-m", "");
    for (const Change& c : before) Make(c, false);
    RC_ASSERT(api::init() == 0);
    RC_ASSERT(api::wait_for_sync(8000) == 0);
    flooded_ = false;
    for (const Change& c : changes) Make(c, settle_deletions);
    Settle();
    Devices fresh;
    fresh.load();
    RC_ASSERT(Rendered(g_devices) == Rendered(fresh));
    std::set<std::string> cached;
    for (const auto& entry : Rendered(g_devices)) {
      if (entry.first.rfind("dev ", 0) == 0) cached.insert(entry.first.substr(4));
    }
    std::lock_guard<std::mutex> hold(g_mutex);
    g_believed.erase("zz");
    RC_ASSERT(g_wrong == Texts());
    RC_ASSERT(g_believed == cached);
    api::SyncStatus status;
    api::get_sync_status(status);
    RC_ASSERT(status.watching && status.last_store_error.empty());
  }
};

TEST_F(CacheModelTest, CacheAndSubscribersEndAsAFreshLoad) {
  CheckModel(30, 20, [this] {
    Check(*rc::gen::container<std::vector<Change>>(GenChange(false)),
          *rc::gen::container<std::vector<Change>>(GenChange(true)), true);
  });
}

// Issue 21 item 5, being fixed on main: a device deleted and written anew
// before the thread gets to the deletion keeps its old MACs and fields (shrunk:
// d1 with a MAC; the thread busy; d1 deleted; its name written). Enable both
// once the fix is merged.
TEST_F(CacheModelTest, DISABLED_ADeviceDeletedAndWrittenAnewWhileTheThreadIsBusyIsPutRight) {
  CheckModel(1, 1, [this] {
    Check({{kMac, 0, 0, 0}}, {{kBusy, 0, 0, 0}, {kDeleteDevice, 0, 0, 0}, {kField, 0, 0, 0}},
          false);
  });
}
TEST_F(CacheModelTest, DISABLED_ReusedIdsAreRightWithoutAPause) {
  CheckModel(40, 20, [this] {
    Check(*rc::gen::container<std::vector<Change>>(GenChange(false)),
          *rc::gen::container<std::vector<Change>>(GenChange(true)), false);
  });
}

}  // namespace
