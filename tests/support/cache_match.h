// CacheMatch: compares a device cache with a fresh load of the store.
//
//   // the store no longer changes:
//   EXPECT_EQ(WaitForCacheToMatchStore(g_devices, std::chrono::seconds(10)), "");
//
// Records are compared member by member. A device's bindings are compared as
// a multiset of (MAC, IP) pairs: a load lists them in the store's order (the
// host store lists names sorted) while changes append each MAC where it was
// first seen, so a cache kept up to date by changes may hold the same pairs in
// another order than a reload, never other pairs. The MAC index must equal the
// loaded one, and every binding of the cache must be indexed under its own
// device with nothing else in the index: exact as long as the store holds each
// MAC under one device only (a MAC reported for two devices stays in both
// lists, the index naming the last one reported).
//
// Header only; the difference is a text, empty when the caches are equal.

#ifndef ORV_TESTS_SUPPORT_CACHE_MATCH_H_
#define ORV_TESTS_SUPPORT_CACHE_MATCH_H_

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orv/devmgmt_internals.h"

namespace cache_match_internal {

// RecordText renders every member of `device`, bindings sorted.
inline std::string RecordText(const orv::devMgmt::Device& device) {
  std::vector<std::pair<std::string, std::string>> bindings;
  for (const orv::devMgmt::MacIp& binding : device.macs)
    bindings.emplace_back(binding.mac, binding.ip);
  std::sort(bindings.begin(), bindings.end());
  std::string text = "id=" + device.device_id + " profile=" + device.profile_id + " macs=[";
  for (const auto& binding : bindings) text += binding.first + "=" + binding.second + ",";
  return text + "] name=" + device.display_name + " type=" + device.device_type +
         " os=" + device.device_os + " os_version=" + device.device_os_version +
         " model=" + device.device_model + " manufacturer=" + device.device_manufacturer +
         " velk=" + device.velk_device_id + " blocked=" + std::to_string(device.blocked) +
         " onvelk=" + std::to_string(device.onvelk) + " onguest=" + std::to_string(device.onguest) +
         " scan=" + std::to_string(device.scan_level);
}

struct Snapshot {
  std::map<std::string, std::string> records;  // id -> RecordText
  std::map<std::string, std::string> index;    // MAC -> id
  std::string broken;                          // index entries that don't fit the records
};

inline Snapshot Take(Devices& cache) {
  Snapshot out;
  std::lock_guard<std::recursive_mutex> hold(cache.mutex);
  std::size_t bindings = 0;
  for (const auto& entry : cache.devices) {
    out.records[entry.first] = RecordText(entry.second);
    for (const orv::devMgmt::MacIp& binding : entry.second.macs) {
      ++bindings;
      const auto owner = cache.mac_to_device_id.find(binding.mac);
      if (owner == cache.mac_to_device_id.end() || owner->second != entry.first) {
        out.broken += "binding " + binding.mac + " of " + entry.first + " not indexed to it; ";
      }
    }
  }
  out.index.insert(cache.mac_to_device_id.begin(), cache.mac_to_device_id.end());
  if (bindings != out.index.size()) {
    out.broken += std::to_string(out.index.size()) + " index entries for " +
                  std::to_string(bindings) + " bindings; ";
  }
  return out;
}

// Differences appends to `out` the first few keys whose values differ.
inline void Differences(const std::map<std::string, std::string>& actual,
                        const std::map<std::string, std::string>& expected, const char* what,
                        std::string& out) {
  int shown = 0;
  auto report = [&](const std::string& key, const std::string& got, const std::string& want) {
    if (++shown <= 5)
      out += std::string(what) + " " + key + ": got {" + got + "} want {" + want + "}\n";
  };
  for (const auto& entry : expected) {
    const auto found = actual.find(entry.first);
    if (found == actual.end()) {
      report(entry.first, "absent", entry.second);
    } else if (found->second != entry.second) {
      report(entry.first, found->second, entry.second);
    }
  }
  for (const auto& entry : actual) {
    if (expected.count(entry.first) == 0) report(entry.first, entry.second, "absent");
  }
  if (shown > 5) out += "... " + std::to_string(shown - 5) + " more " + what + " differences\n";
}

}  // namespace cache_match_internal

// CacheDiff returns "" when `cache` holds what `expected` holds (see above),
// else a description of the first differences.
inline std::string CacheDiff(Devices& cache, Devices& expected) {
  const cache_match_internal::Snapshot got = cache_match_internal::Take(cache);
  const cache_match_internal::Snapshot want = cache_match_internal::Take(expected);
  std::string out;
  cache_match_internal::Differences(got.records, want.records, "device", out);
  cache_match_internal::Differences(got.index, want.index, "mac", out);
  if (!got.broken.empty()) out += "index of the cache: " + got.broken + "\n";
  if (!want.broken.empty()) out += "index of the load: " + want.broken + "\n";
  return out;
}

// WaitForCacheToMatchStore loads the store into a private cache once and
// polls until `cache` equals it ("") or `timeout` passes (the last
// difference). The store must not change meanwhile.
inline std::string WaitForCacheToMatchStore(Devices& cache, std::chrono::milliseconds timeout) {
  Devices expected;
  expected.load();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::string diff = CacheDiff(cache, expected);
    if (diff.empty() || std::chrono::steady_clock::now() >= deadline) return diff;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

#endif  // ORV_TESTS_SUPPORT_CACHE_MATCH_H_
