// StoreWriter: random changes to the device tree of the current store, for
// stress tests. It keeps a model of what it wrote, and makes only changes
// after which a cache kept up by the store's notifications and a fresh load
// of the store must agree:
//
//   StoreWriter writer(seed);
//   writer.Change(true);         // one random change
//   int marker = writer.Mark();  // a marker key under /devices/gate
//   ... once a key subscriber has seen it: writer.Confirm(marker);
//
// A change and a load read some texts differently, and a notification says
// only which key changed, not how. So:
//  - traffic_blocked is "0" or "1", onvelk never -1, integers plain digits;
//  - a device is written whole (a record made by a change holds scan_level
//    0 where a load defaults it to 2); no field is deleted on its own (the
//    cache keeps the old value);
//  - ids and MACs are never reused: a node deleted and made anew before its
//    deletion is read counts as a change of the new one;
//  - a removal that empties a device's list drops its record and fields
//    while the store keeps the node, and a write of a MAC read only after
//    the MAC went reads as an early removal. So a device keeps a MAC, and
//    only a confirmed MAC is removed: one last written before a marker that
//    the sync thread has passed on;
//  - a "macs" node goes only when the caller knows that the descriptor is
//    never lost (a reload replays recent removals onto the emptied list).
//
// Markers are keys of their own: an old notification of a key reads its
// newest value, so no value can tell how far the sync thread has come.

#ifndef ORV_TESTS_SUPPORT_STORE_WRITER_H_
#define ORV_TESTS_SUPPORT_STORE_WRITER_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "orv/error.h"
#include "orv/settings.h"

// The fields a writer sets: 8 texts, then 4 integers in [low, high].
inline const char* const kWriterFields[] = {
    "profile_id",   "display_name",        "device_type",    "device_os",       "device_os_version",
    "device_model", "device_manufacturer", "velk_device_id", "traffic_blocked", "onvelk",
    "onguest",      "scan_level"};
inline constexpr int kWriterLow[] = {0, 0, -1, 0}, kWriterHigh[] = {1, 3, 3, 5};
inline constexpr int kWriterMinDevices = 20, kWriterMaxDevices = 60;

// Ids and MACs handed out so far, by every writer: "dev<n>", "m<n>" with n
// below these.
inline std::atomic<long> g_writer_ids{0}, g_writer_macs{0};

class StoreWriter {
 public:
  explicit StoreWriter(unsigned seed) : rng_(seed) {}

  // Mark writes the next marker, /devices/gate/marker<n>, and drops the last.
  int Mark() {
    if (!gate_written_) Put("/devices/gate/scan_level", "2");  // the last went with /devices
    Put("/devices/gate/marker" + std::to_string(++marker_), "");
    if (gate_written_) Remove("/devices/gate/marker" + std::to_string(marker_ - 1));
    gate_written_ = true;
    return marker_;
  }
  // Confirm tells that the sync thread has passed on `marker`.
  void Confirm(int marker) { confirmed_ = std::max(confirmed_, marker); }
  // NameGate writes the display name of the device "gate".
  void NameGate() { Put("/devices/gate/display_name", "n" + std::to_string(marker_)); }

  // Change makes one random change; `macs_nodes`: may delete a "macs" node.
  void Change(bool macs_nodes) {
    const int count = static_cast<int>(devices_.size()), pick = Uniform(0, 99);
    if (count < kWriterMinDevices || (pick < 6 && count < kWriterMaxDevices)) return Create();
    auto chosen = std::next(devices_.begin(), Uniform(0, count - 1));
    if (pick < 11) {
      Remove("/devices/" + chosen->first);
      devices_.erase(chosen);
      return;
    }
    const std::string& id = chosen->first;
    Device& device = chosen->second;
    std::vector<Mac>& macs = device.macs;
    const int at = Uniform(0, std::max(0, static_cast<int>(macs.size()) - 1));
    if (pick < 12 && macs_nodes && device.has_macs_node && Confirmed(macs)) {
      Remove(Key(id, "macs"));
      macs.clear();
      device.has_macs_node = false;
    } else if (pick < 24 && device.has_macs_node) {
      macs.push_back(NewMac());
      Put(Key(id, "macs/" + macs.back().name), Ip());
    } else if (pick < 44 && !macs.empty()) {
      macs[at].written_at = marker_;
      Put(Key(id, "macs/" + macs[at].name), Ip());
    } else if (pick < 54 && macs.size() > 1 && Confirmed({macs[at]})) {
      Remove(Key(id, "macs/" + macs[at].name));
      macs.erase(macs.begin() + at);
      ++removed;
    } else {
      UpdateField(id);
    }
  }

  // Burst rewrites `count` fields of random devices as fast as it can.
  void Burst(long count) {
    for (long i = 0; i < count; ++i) {
      UpdateField(std::next(devices_.begin(), Uniform(0, int(devices_.size()) - 1))->first);
    }
    ++bursts;
  }

  // RemoveRoot deletes /devices; the next changes write devices anew.
  void RemoveRoot() {
    Remove("/devices");
    devices_.clear();
    gate_written_ = false;
    Mark();
  }

  long changes = 0, removed = 0, bursts = 0;  // setKey and deleteKey calls, MACs removed, bursts

 private:
  struct Mac {
    std::string name;
    int written_at;  // the last marker written before its last write
  };
  struct Device {
    std::vector<Mac> macs;
    bool has_macs_node = true;
  };

  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  static std::string Key(const std::string& id, const std::string& field) {
    return "/devices/" + id + "/" + field;
  }
  bool Confirmed(const std::vector<Mac>& macs) const {
    return std::all_of(macs.begin(), macs.end(),
                       [this](const Mac& mac) { return mac.written_at < confirmed_; });
  }
  Mac NewMac() { return Mac{"m" + std::to_string(g_writer_macs++), marker_}; }
  std::string Ip() {
    if (Uniform(0, 9) == 0) return "";
    return "10.0." + std::to_string(Uniform(0, 3)) + "." + std::to_string(Uniform(0, 255));
  }
  std::string Value(int field) {
    if (field >= 8) return std::to_string(Uniform(kWriterLow[field - 8], kWriterHigh[field - 8]));
    return Uniform(0, 9) == 0 ? "" : "t " + std::to_string(Uniform(0, 9999));
  }

  void Create() {
    const std::string id = "dev" + std::to_string(g_writer_ids++);
    std::vector<std::pair<std::string, std::string>> writes;
    for (int field = 0; field < 12; ++field)
      writes.emplace_back(kWriterFields[field], Value(field));
    for (int i = Uniform(1, 3); i > 0; --i) {
      devices_[id].macs.push_back(NewMac());
      writes.emplace_back("macs/" + devices_[id].macs.back().name, Ip());
    }
    std::shuffle(writes.begin(), writes.end(), rng_);  // any key may come first
    for (const auto& write : writes) Put(Key(id, write.first), write.second);
  }

  void UpdateField(const std::string& id) {
    const int field = Uniform(0, 11);
    Put(Key(id, kWriterFields[field]), Value(field));
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
  std::map<std::string, Device> devices_;  // by id
  int marker_ = 0, confirmed_ = 0;  // confirmed_: the sync thread passed on every marker up to it
  bool gate_written_ = false;
};

#endif  // ORV_TESTS_SUPPORT_STORE_WRITER_H_
