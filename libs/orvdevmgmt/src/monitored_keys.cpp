// Key-change subscriptions: KeySpy entries and the MonitoredKeys registry.

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "log_frame.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"

namespace {

// FindSpy returns the entry registered under exactly `key_regex`.
std::list<KeySpy>::iterator FindSpy(std::list<KeySpy>& spies, const std::string& key_regex) {
  return std::find_if(spies.begin(), spies.end(),
                      [&key_regex](const KeySpy& spy) { return spy.key_regex == key_regex; });
}

// WaitForOtherWalks waits until the walks of other threads under way now
// have ended: they work on a copy taken before a removal and may still call
// the removed function. A thread in a walk itself doesn't wait (it would wait
// for itself, or for a walk that waits for it).
// Its caller holds keys.mutex.
void WaitForOtherWalks(MonitoredKeys& keys)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
    __attribute__((requires_capability(keys.mutex)))
#endif
{
  const std::thread::id self = std::this_thread::get_id();
  std::vector<unsigned long long> others;
  for (const auto& walk : keys.walks) {
    if (walk.second == self) return;
    others.push_back(walk.first);
  }
  while (std::any_of(keys.walks.begin(), keys.walks.end(), [&others](const auto& walk) {
    return std::find(others.begin(), others.end(), walk.first) != others.end();
  })) {
    keys.walk_ended.Wait(keys.mutex);
  }
}

// Walk marks one match_key walk under way, from its snapshot to its last
// callback, however it ends.
class Walk {
 public:
  // Its maker holds keys.mutex.
  explicit Walk(MonitoredKeys& keys)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
      __attribute__((requires_capability(keys.mutex)))
#endif
      : keys_(keys), number_(++keys.walks_started) {
    keys.walks.emplace_back(number_, std::this_thread::get_id());
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;
  ~Walk() {
    orv::devMgmt::MutexLock hold(keys_.mutex);
    keys_.walks.erase(std::find_if(keys_.walks.begin(), keys_.walks.end(),
                                   [this](const auto& walk) { return walk.first == number_; }));
    keys_.walk_ended.notify_all();
  }

 private:
  MonitoredKeys& keys_;
  const unsigned long long number_;
};

}  // namespace

KeySpy::KeySpy(const std::string& key_regex_text, KeyChangeCallback callback)
    : key_regex(key_regex_text) {
  if (regcomp(&regex, key_regex.c_str(), REG_EXTENDED) != 0) throw std::exception();
  ORV_LOG(orv::log::kInfo, "Monitoring key %s", key_regex);
  try {
    callbacks.push_back(callback);
  } catch (...) {
    regfree(&regex);  // the destructor won't run for a half-made entry
    throw;
  }
}

KeySpy::~KeySpy() {
  callbacks.clear();
  regfree(&regex);
}

int MonitoredKeys::add_key(const std::string& key_regex, const KeyChangeCallback& callback) {
  orv::devMgmt::MutexLock hold(mutex);
  auto spy = FindSpy(key_spies, key_regex);
  if (spy != key_spies.end()) {
    spy->callbacks.push_back(callback);
    return 0;
  }
  try {
    key_spies.emplace_back(key_regex, callback);
  } catch (const std::exception&) {
    // emplace_back leaves the list as it was when the entry can't be made.
    ORV_LOG(orv::log::kError, "Failed to monitor key %s", key_regex);
    orverrno.set(orv::devMgmt::kInvalidKeyRegex, "invalid key_regex");
    return -1;
  }
  return 0;
}

int MonitoredKeys::remove_key(const std::string& key_regex, const KeyChangeCallback& callback) {
  orv::devMgmt::MutexLock hold(mutex);
  auto spy = FindSpy(key_spies, key_regex);
  if (spy == key_spies.end()) {
    ORV_LOG(orv::log::kNotice, "Key %s not monitored", key_regex);
    return 0;
  }
  spy->callbacks.remove(callback);
  if (spy->callbacks.empty()) {
    key_spies.erase(spy);
    ORV_LOG(orv::log::kInfo, "Key regex %s completely removed", key_regex);
  }
  WaitForOtherWalks(*this);
  return 0;
}

bool MonitoredKeys::match_key(const std::string& key) {
  // The entries are matched under the lock and a copy of each matching
  // entry's callbacks is taken; the lock is released before any callback
  // runs, so that a callback may (un)register key subscriptions, and an entry
  // it removes is never freed under a running walk. The lines and the calls
  // then come entry by entry, in creation order.
  struct Checked {
    std::string key_regex;  // only kept when the lines will be printed
    bool matched;
    std::vector<KeyChangeCallback> callbacks;
  };
  const bool traced = orv::log::current_level >= orv::log::kInfo;
  std::vector<Checked> walk;
  std::optional<Walk> under_way;
  {
    orv::devMgmt::MutexLock hold(mutex);
    if (key_spies.empty()) return false;
    under_way.emplace(*this);
    for (const KeySpy& spy : key_spies) {
      // Anything but REG_NOMATCH counts as a match, errors included.
      const bool matched = regexec(&spy.regex, key.c_str(), 0, nullptr, 0) != REG_NOMATCH;
      if (!matched && !traced) continue;
      walk.push_back(Checked{
          traced ? spy.key_regex : std::string(), matched,
          matched ? std::vector<KeyChangeCallback>(spy.callbacks.begin(), spy.callbacks.end())
                  : std::vector<KeyChangeCallback>()});
    }
  }
  bool any = false;
  for (const Checked& entry : walk) {
    ORV_LOG(orv::log::kInfo, "Checking key %s against regex %s", key, entry.key_regex);
    if (!entry.matched) continue;
    ORV_LOG(orv::log::kInfo, "Key %s matches %s", key, entry.key_regex);
    any = true;
    for (KeyChangeCallback callback : entry.callbacks) callback(key);
  }
  return any;
}
