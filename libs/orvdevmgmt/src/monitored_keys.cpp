// Key-change subscriptions: KeySpy entries and the MonitoredKeys registry.

#include <algorithm>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

#include "log_frame.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_internals.h"
#include "orv/error.h"
#include "subscribers.h"

using orv::devmgmt_internal::CallsUnderWay;
using orv::devmgmt_internal::Snapshot;

namespace {

// FindSpy returns the entry registered under exactly `key_regex`.
std::list<KeySpy>::iterator FindSpy(std::list<KeySpy>& spies, const std::string& key_regex) {
  return std::find_if(spies.begin(), spies.end(),
                      [&key_regex](const KeySpy& spy) { return spy.key_regex == key_regex; });
}

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
  orv::devmgmt_internal::WaitForCallsUnderWay(mutex);
  return 0;
}

bool MonitoredKeys::match_key(const std::string& key) {
  // The entries are matched under the lock and the callbacks of each
  // matching entry are copied; the lock is released before any callback
  // runs, so that a callback may (un)register key subscriptions, and an entry
  // it removes is never freed under a running walk. The lines and the calls
  // then come entry by entry, in creation order.
  struct Checked {
    std::string key_regex;  // only kept when the lines will be printed
    bool matched;
    std::size_t callbacks;  // how many of `due` are the entry's
  };
  const bool traced = orv::log::current_level >= orv::log::kInfo;
  std::vector<Checked> walk;
  Snapshot<KeyChangeCallback> due;
  std::optional<CallsUnderWay> under_way;
  {
    orv::devMgmt::MutexLock hold(mutex);
    if (key_spies.empty()) return false;
    for (const KeySpy& spy : key_spies) {
      // Anything but REG_NOMATCH counts as a match, errors included.
      const bool matched = regexec(&spy.regex, key.c_str(), 0, nullptr, 0) != REG_NOMATCH;
      if (!matched && !traced) continue;
      walk.push_back(Checked{traced ? spy.key_regex : std::string(), matched,
                             matched ? spy.callbacks.size() : 0});
      if (matched) due.Append(spy.callbacks.begin(), spy.callbacks.end());
    }
    under_way.emplace(mutex);
  }
  bool any = false;
  const KeyChangeCallback* next = due.begin();
  for (const Checked& entry : walk) {
    ORV_LOG(orv::log::kInfo, "Checking key %s against regex %s", key, entry.key_regex);
    if (!entry.matched) continue;
    ORV_LOG(orv::log::kInfo, "Key %s matches %s", key, entry.key_regex);
    any = true;
    for (const KeyChangeCallback* last = next + entry.callbacks; next != last; ++next) (*next)(key);
  }
  return any;
}
