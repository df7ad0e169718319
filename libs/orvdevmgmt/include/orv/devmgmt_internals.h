// orv/devmgmt_internals.h: the device library's exported internals.
//
// The functions of orv/devmgmt.h forward to the objects declared here: the
// device cache `g_devices` (class Devices) and the key-subscription registry
// `g_monitored_keys` (class MonitoredKeys). They are exported for tools and
// tests that need to drive a cache or a registry directly:
//
//   json_t* status = g_devices.get_device_traffic_status("d1");
//   if (status != nullptr) { ...; json_decref(status); }
//
// Everything here is thread-safe as stated per member; the lock that guards a
// member is named beside it, in an attribute that clang's thread-safety
// analysis checks (orv/devmgmt_mutex.h).

#ifndef ORV_DEVMGMT_INTERNALS_H_
#define ORV_DEVMGMT_INTERNALS_H_

#include <regex.h>

#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "orv/devmgmt_export.h"
#include "orv/devmgmt_mutex.h"
#include "orv/devmgmt_types.h"

// GCC doesn't know the thread-safety attributes and would warn about each.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#endif

// Devices is the device cache: every device record by id and the reverse MAC
// index, with the device-info subscriptions. It has internal synchronisation
// (one recursive mutex) and may be used from several threads at once.
//
// Mutations (new_mac_ip ... update_*) never fail and record no error: an
// inconsistency between the MAC index and the records is logged at level 0 as
// "BUG: ..." and the operation carries on. Each calls the device-info
// callbacks before it releases the mutex; an id not in the cache is created
// first (NEW_DEV), except by remove_mac and remove_device_id.
class ORVDEVMGMT_EXPORT Devices {
 public:
  Devices() = default;
  Devices(const Devices&) = delete;
  Devices& operator=(const Devices&) = delete;
  // ~Devices takes no lock and notifies nobody.
  ~Devices();

  // State below is guarded by `mutex`.
  // MAC -> id of the device the MAC was last reported for.
  std::unordered_map<std::string, std::string> mac_to_device_id __attribute__((guarded_by(mutex)));
  // Device id -> its record. Records never move while they are in the map.
  std::unordered_map<std::string, orv::devMgmt::Device> devices __attribute__((guarded_by(mutex)));
  // Field name -> callbacks registered for it, in registration order. Never
  // holds an empty list. Outlives every record: clear() leaves it alone.
  std::unordered_map<std::string, std::vector<DevInfoChangeCallback>> field_callbacks
      __attribute__((guarded_by(mutex)));
  // Guards the three maps. Recursive, so that a device-info callback may call
  // back into the cache on the notifying thread.
  orv::devMgmt::RecursiveMutex mutex;

  // ---- Filling and emptying ----

  // load empties the cache and reads every device under /devices from the
  // settings store, announcing each with NEW_DEV. Holds the mutex throughout.
  void load();
  // clear empties the records and the MAC index; notifies nobody.
  void clear();

  // ---- Queries (see orv/devmgmt.h for results and orverrno) ----
  bool device_exists(const std::string& device_id);
  bool get_device(const std::string& device_id, orv::devMgmt::Device& device);
  int get_devices(std::vector<orv::devMgmt::Device>& devices_out);
  int get_device_onvelk(const std::string& device_id);
  int get_device_onguest(const std::string& device_id);
  int get_device_macs(const std::string& device_id, std::vector<std::string>& macs);
  int get_device_id_by_mac(const std::string& mac, std::string& device_id);
  int get_device_id_by_ip(const std::string& ip, std::string& device_id);
  int get_device_ip(const std::string& device_id, const std::string& mac, std::string& ip);

  // get_device_ref returns the record of `device_id`, creating an empty one
  // (and raising NEW_DEV) when absent. The reference is valid while the
  // record stays in the cache.
  // The caller holds the mutex, and keeps holding it while it uses the
  // reference.
  orv::devMgmt::Device& get_device_ref(const std::string& device_id)
      __attribute__((requires_capability(mutex)));

  // ---- MAC/IP bindings ----

  // new_mac_ip binds `mac` to the device with `ip` (adding the pair, or
  // changing its IP in place) and points the MAC index at the device. An
  // unchanged pair raises nothing; otherwise "macs" is updated.
  void new_mac_ip(const std::string& device_id, const std::string& mac, const std::string& ip);
  // remove_mac drops every pair of `mac` from the device (the record goes
  // when no pair is left) and the MAC's index entry; raises a "macs" update.
  // Note the argument order: MAC first.
  void remove_mac(const std::string& mac, const std::string& device_id);
  // remove_macs drops all pairs of the device (the record stays) and their
  // index entries; raises a "macs" update.
  void remove_macs(const std::string& device_id);
  // remove_device_id drops the device and its index entries; raises
  // DEV_INFO_REMOVED after the record is gone.
  void remove_device_id(const std::string& device_id);

  // ---- Field updates: store the value, raise DEV_INFO_UPDATED for the field
  // ---- named in the comment (even when the value is unchanged).
  void update_profile_id(const std::string& device_id, const std::string& value);    // profile_id
  void update_display_name(const std::string& device_id, const std::string& value);  // display_name
  void update_type(const std::string& device_id, const std::string& value);          // device_type
  void update_os(const std::string& device_id, const std::string& value);            // device_os
  void update_os_version(const std::string& device_id,
                         const std::string& value);                           // device_os_version
  void update_model(const std::string& device_id, const std::string& value);  // device_model
  void update_manufacturer(const std::string& device_id,
                           const std::string& value);  // device_manufacturer
  void update_velk_device_id(const std::string& device_id,
                             const std::string& value);             // velk_device_id
  void update_blocked(const std::string& device_id, int value);     // traffic_blocked
  void update_onvelk(const std::string& device_id, int value);      // onvelk
  void update_onguest(const std::string& device_id, int value);     // onguest
  void update_scan_level(const std::string& device_id, int value);  // scan_level

  // ---- Device-info notifications ----
  // NEW_DEV and DEV_INFO_REMOVED go once to every distinct registered
  // callback, in ascending order of function address; DEV_INFO_UPDATED to the
  // field's callbacks in registration order, repetitions included, as they
  // were registered when the notification began.
  // Their caller holds the mutex.
  void notify_new_dev(const std::string& device_id) __attribute__((requires_capability(mutex)));
  void notify_dev_info_updated(const std::string& device_id, const std::string& field_name)
      __attribute__((requires_capability(mutex)));
  void notify_dev_info_removed(const std::string& device_id)
      __attribute__((requires_capability(mutex)));

  // ---- Traffic status ----

  // get_device_traffic_status returns a new JSON object {"device_id",
  // "blocked", "macs", "ips"} for the device, owned by the caller; null when
  // the device is unknown, has no binding, or the document can't be built.
  json_t* get_device_traffic_status(const std::string& device_id);
};

// KeySpy is one key subscription: an expression text, compiled once
// (REG_EXTENDED), and the functions registered under it.
struct KeySpy {
  // KeySpy compiles `key_regex` and holds `callback`; throws std::exception
  // when the expression doesn't compile.
  KeySpy(const std::string& key_regex, KeyChangeCallback callback);
  KeySpy(const KeySpy&) = delete;
  KeySpy& operator=(const KeySpy&) = delete;
  // ~KeySpy empties `callbacks` and releases the compiled expression.
  ~KeySpy();

  std::string key_regex;                   // the text as registered
  regex_t regex;                           // compiled from key_regex
  std::list<KeyChangeCallback> callbacks;  // in registration order
};

// SubscriberLock is the lock of a subscription registry whose functions are
// called with no lock held (key subscriptions, the traffic-blocked and
// cache-reloaded slots). Besides excluding, it keeps the record of the calls
// made from its registry that are under way, so that a removal can wait for
// them: once a removal returns, the function removed is never called. Lock it
// like a mutex (std::lock_guard); it is not recursive. Its state stays in the
// library.
class __attribute__((capability("mutex"))) ORVDEVMGMT_EXPORT SubscriberLock {
 public:
  struct State;

  SubscriberLock();
  SubscriberLock(const SubscriberLock&) = delete;
  SubscriberLock& operator=(const SubscriberLock&) = delete;
  ~SubscriberLock();

  void lock() __attribute__((acquire_capability()));
  void unlock() __attribute__((release_capability()));

  // state is the library's view of the lock and its record of calls.
  State& state() const { return *state_; }

 private:
  State* const state_;  // owned
};

// MonitoredKeys is the registry of key subscriptions, one KeySpy per distinct
// expression text. It has internal synchronisation; the callbacks are called
// with no lock held, so they may (un)register key subscriptions themselves.
class MonitoredKeys {
 public:
  MonitoredKeys() = default;
  MonitoredKeys(const MonitoredKeys&) = delete;
  MonitoredKeys& operator=(const MonitoredKeys&) = delete;

  // In order of creation; no entry has an empty `callbacks`. Guarded by mutex.
  std::list<KeySpy> key_spies __attribute__((guarded_by(mutex)));
  // Guards key_spies and records the match_key walks under way. Never held
  // while a callback runs.
  SubscriberLock mutex;

  // add_key registers `callback` under `key_regex`. Returns 0; -1 with
  // orverrno code 4 "invalid key_regex" when the expression doesn't compile.
  ORVDEVMGMT_EXPORT int add_key(const std::string& key_regex, const KeyChangeCallback& callback);
  // remove_key drops every registration of `callback` under `key_regex`, and
  // the entry when none is left. Returns 0. Called on a thread that is not
  // itself in a walk, it then waits for the walks of other threads under way,
  // which may still call `callback`: once it returns, nothing does.
  ORVDEVMGMT_EXPORT int remove_key(const std::string& key_regex, const KeyChangeCallback& callback);
  // match_key calls, entry by entry in creation order, every function of
  // every expression that matches somewhere in `key`, and returns whether any
  // matched. The callbacks called are those registered when it began.
  ORVDEVMGMT_EXPORT bool match_key(const std::string& key);
};

// The process-wide device cache.
extern ORVDEVMGMT_EXPORT Devices g_devices;
// The process-wide key-subscription registry.
extern ORVDEVMGMT_EXPORT MonitoredKeys g_monitored_keys;

namespace orv {
namespace devMgmt {

// drop_all_subscriptions_for_testing drops every subscription of the library:
// key subscriptions, device-info callbacks, the traffic-blocked and the
// cache-reloaded function, each as its unset would. For tests, which start
// each case from a library nobody follows; a client has no use for it.
ORVDEVMGMT_EXPORT void drop_all_subscriptions_for_testing();

}  // namespace devMgmt
}  // namespace orv
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif  // ORV_DEVMGMT_INTERNALS_H_
