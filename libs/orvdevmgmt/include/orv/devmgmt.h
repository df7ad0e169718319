// orv/devmgmt.h: the device-management client library.
//
// The library keeps, in every process that links it, a thread-safe in-memory
// copy of the gateway's settings tree /devices: one orv::devMgmt::Device per
// device, with its attributes and the MAC/IP pairs seen for it. init() loads
// the tree and starts a background thread, the sync thread, that applies every
// change the settings store reports; uninit() stops it and empties the cache.
//
//   orv::devMgmt::init();
//   std::string owner;
//   if (orv::devMgmt::get_device_id_by_mac("aa:bb:cc:dd:ee:ff", owner) == 0) ...
//   orv::devMgmt::set_on_dev_info_change({"display_name"}, on_device_event);
//   ...
//   orv::devMgmt::uninit();   // before the library is unloaded or the process ends
//
// Threads. Every function may be called from any thread; the cache has one
// recursive mutex, and each query sees the cache whole. init() and uninit() are
// to be called in pairs, from one thread at a time.
//
// Callbacks. Device-info callbacks run on the thread that changed the cache
// (the sync thread, or the caller of init() during its load) WITH THE CACHE
// LOCKED; key-change and traffic-blocked callbacks run on the sync thread
// after the cache has taken the change, with no lock of the library held.
// What a callback may do, on its own thread:
//   - query the cache, change it (the Devices mutations, clear(), load()),
//     and register or remove subscriptions of any kind: all of it is
//     memory-safe. A NEW_DEV callback that removes the device it is told of
//     (or clears the cache) makes the change that created it drop itself:
//     nobody is told of an update to a device that is gone.
//   - throw: on the sync thread the exception is caught, logged at level 0 as
//     "BUG: applying <key> failed: <what>", and the next change is applied as
//     usual (the callbacks after the thrower miss that one change); during
//     init()'s load it passes on to the caller of init() (see init()).
//   - not: wait for another thread that uses the cache (a device-info
//     callback holds its lock), or call uninit() (refused, see uninit()).
// Unset. A function removed with unset_* is never called once that call has
// returned, with one exception: a removal made from inside a notification,
// on the thread that is notifying, does not reach the notification under way
// (it is not waited for, which would wait for itself). A NEW_DEV or
// DEV_INFO_REMOVED notification calls its subscribers from a copy of the set,
// so a function that one of them removes is still called for that device;
// this holds on the sync thread and, during init()'s load, on the caller of
// init(). Later notifications never call it.
// The removals wait for a call under way on another thread: unset_on_key_change,
// unset_on_traffic_blocked_change and unset_on_cache_reloaded wait for the
// callback to return, unset_on_dev_info_change for the cache's lock. Hence the
// rule: never unset while holding a lock that your own callback takes; the
// callback would wait for the lock and the unset for the callback (deadlock).
//
// Event streams (orv/devmgmt_stream.h) give a component the same events on a
// thread of its own, with no lock of the library held while it handles them:
// a descriptor for any event loop, a gap-free snapshot, no event lost
// silently. Prefer them to callbacks in a service with its own locks.
//
// Copies. A lone device-info callback of a field gets the caller's strings;
// when more than one is registered, each gets copies (a callback may free
// what the arguments point into), taken once per notification.
//
// Reloads. The sync thread reloads the whole cache each time it takes hold of
// the store's notifications: once just after init() (so init() announces
// every device twice: its own load, then that reload) and again whenever the
// notifications were lost (/devices deleted, the store's queue overflowed). A
// reload empties the cache without notifying and announces every device as
// NEW_DEV again: a device that vanished meanwhile leaves no DEV_INFO_REMOVED.
//
// Errors. A failing function records a code and a text in the calling
// thread's error record `orverrno` (orv/error.h) and returns its failure value;
// a success never clears orverrno, on client threads or on the sync thread (a
// key-change callback reads what the thread's last failure left, e.g. the
// store's "not found" for a deleted key). Out-parameters are written only on
// success; vectors handed in are appended to, never cleared. The codes are
// named below (kPipeFailed ... kTimedOut). The settings store records its own
// codes on the same orverrno (see orv/settings.h): 2 bad key, 3 file-system
// error, 4 "key ... not found", 5 a value where a node is needed or the
// reverse, 6 a symbolic link, 7 a value over the size cap; the sync thread's
// store calls leave them there. Our "not running" uses none of them.
//
// Texts (ids, MACs, IPs, field names, keys) are compared byte for byte: no
// case folding, no normalisation of MAC separators.

#ifndef ORV_DEVMGMT_H_
#define ORV_DEVMGMT_H_

#include <string>
#include <vector>

#include "orv/devmgmt_export.h"
#include "orv/devmgmt_types.h"
#include "orv/error.h"  // orverrno

namespace orv {
namespace devMgmt {

// ---- Error codes, in orverrno, with their texts ----

inline constexpr int kPipeFailed = 1;           // (no text) init() could not make its wake-up pipe
inline constexpr int kDeviceNotFound = 4;       // "not found": a device id not in the cache
inline constexpr int kStreamClosed = 9;         // "stream closed": an EventStream not open
inline constexpr int kInvalidKeyRegex = 4;      // "invalid key_regex": set_on_key_change()
inline constexpr int kAddressNotFound = 5;      // "not found": a MAC or IP lookup without a match
inline constexpr int kAlreadyRunning = 16;      // "already running": init() while running
inline constexpr int kNullCallback = 22;        // "null callback": a registration of null
inline constexpr int kCalledFromCallback = 35;  // "called from a callback": see uninit(), init()
inline constexpr int kNotRunning = 107;         // "not running": wait_for_sync() while stopped
inline constexpr int kTimedOut = 110;           // "timed out": wait_for_sync() ran out of time

// ---- Lifecycle ----

// init loads every device under /devices into the cache (announcing each to
// the device-info callbacks as NEW_DEV, on this thread), then starts the sync
// thread. Returns 0; -1 with code 1 when the wake-up pipe can't be created
// (the cache is loaded but no change will reach it), or with code 16 "already
// running" when the library runs already (the running thread is untouched).
// An exception thrown by a NEW_DEV callback during the load passes on to the
// caller: the library is then not started (the cache keeps the devices loaded
// so far) and init() may be called again.
ORVDEVMGMT_EXPORT int init();

// uninit stops the sync thread, waiting for the change it is applying, and
// empties the cache (no DEV_INFO_REMOVED is raised). Subscriptions stay and
// apply again after the next init(). Does nothing when not running. Returns 0;
// -1 with code 35 "called from a callback", changing nothing, when called on
// the sync thread (from one of its callbacks): our choice, since stopping the
// thread from itself could not wait for it. The process must call it before
// it ends; if it doesn't, the library stops the thread at exit.
ORVDEVMGMT_EXPORT int uninit();

// wait_for_sync waits until the sync thread holds the store's notifications
// and has reloaded the cache since it took hold of them: from then on every
// change is reported (to key-change and traffic-blocked subscribers too).
// Returns 0; -1 with kTimedOut after `timeout_ms`, kNotRunning when the
// library is not started (or stops meanwhile, or this process is a child of
// fork() that has not started it), or kCalledFromCallback on the sync thread.
ORVDEVMGMT_EXPORT int wait_for_sync(int timeout_ms);

// get_sync_status fills `status` (see SyncStatus in orv/devmgmt_types.h) and
// returns 0. The store's error text says why the thread can't watch /devices
// (a missing or unreadable store root, no inotify watches left, ...).
ORVDEVMGMT_EXPORT int get_sync_status(SyncStatus& status);

// set_on_cache_reloaded makes `callback` be called on the sync thread after
// each reload the thread makes (see Reloads above), with no lock held, with
// the ids of the devices the reload dropped: a subscriber that keeps state
// per device drops theirs. One function at a time: registering again
// replaces it; a null callback is ignored. unset_on_cache_reloaded stops the
// calls (`callback` is not read); it waits for a call under way on another
// thread (see Unset).
ORVDEVMGMT_EXPORT void set_on_cache_reloaded(const CacheReloadedCallback& callback);
ORVDEVMGMT_EXPORT void unset_on_cache_reloaded(const CacheReloadedCallback& callback);

// ---- Queries: each copies out of the cache under its mutex ----

// device_exists is true when `device_id` is in the cache. Records no error.
ORVDEVMGMT_EXPORT bool device_exists(const std::string& device_id);

// get_device copies the device's record into `device` and returns true;
// false with code 4 "not found" for an unknown id.
ORVDEVMGMT_EXPORT bool get_device(const std::string& device_id, Device& device);

// get_devices appends a copy of every cached record to `devices` (in no
// particular order) and returns the vector's new size.
ORVDEVMGMT_EXPORT int get_devices(std::vector<Device>& devices);

// get_device_onvelk and get_device_onguest return the device's flag; -1 with
// code 4 "not found" for an unknown id.
ORVDEVMGMT_EXPORT int get_device_onvelk(const std::string& device_id);
ORVDEVMGMT_EXPORT int get_device_onguest(const std::string& device_id);

// get_device_macs appends the device's MACs, in binding order, to `macs` and
// returns the vector's new size; 0 with code 4 "not found" for an unknown id.
ORVDEVMGMT_EXPORT int get_device_macs(const std::string& device_id, std::vector<std::string>& macs);

// get_device_id_by_mac sets `device_id` to the device the MAC index names for
// `mac` and returns 0; -1 with code 5 "not found" when none. When a MAC was
// reported for two devices, the index names the one reported last.
ORVDEVMGMT_EXPORT int get_device_id_by_mac(const std::string& mac, std::string& device_id);

// get_device_id_by_ip sets `device_id` to the first device found with a
// binding to `ip` (an empty `ip` finds a binding without IP) and returns 0;
// -1 with code 5 "not found". It walks every binding: there is no IP index.
ORVDEVMGMT_EXPORT int get_device_id_by_ip(const std::string& ip, std::string& device_id);

// get_device_ip sets `ip` to the IP of the device's first binding of `mac`
// and returns 0; -1 with code 5 "not found" for an unknown device or MAC.
ORVDEVMGMT_EXPORT int get_device_ip(const std::string& device_id, const std::string& mac,
                                    std::string& ip);

// ---- Device fields ----

// DeviceField is one field of a Device that a device-info subscriber can
// name: `name` is its storage key name under /devices/<id>/ and the name
// DEV_INFO_UPDATED carries; `text` points to the member of a text field,
// `number` to that of an integer field; both are null for "macs", the
// bindings (Device::macs).
struct DeviceField {
  const char* name;
  std::string Device::*text;
  int Device::*number;
};

// device_fields returns every field, in the order a load reads them:
// "profile_id", "macs", the other texts, then the integers ("traffic_blocked"
// first). device_field_names returns their names in the same order, ready
// for set_on_dev_info_change. Both lists are built once and live until the
// process ends.
ORVDEVMGMT_EXPORT const std::vector<DeviceField>& device_fields();
ORVDEVMGMT_EXPORT const std::vector<std::string>& device_field_names();

// ---- Device-info subscriptions ----

// set_on_dev_info_change registers `callback` for each of `field_names`:
// DEV_INFO_UPDATED for those fields (any of device_field_names()), and
// NEW_DEV and DEV_INFO_REMOVED once per event whatever the fields.
// Registering twice for a field means two calls per update of it. A null
// callback is ignored.
ORVDEVMGMT_EXPORT void set_on_dev_info_change(const std::vector<std::string>& field_names,
                                              const DevInfoChangeCallback& callback);

// unset_on_dev_info_change removes every registration of `callback` for each
// of `field_names`. Names or callbacks not registered are ignored. It takes
// the cache's lock, so it waits for a notification under way on another
// thread.
ORVDEVMGMT_EXPORT void unset_on_dev_info_change(const std::vector<std::string>& field_names,
                                                const DevInfoChangeCallback& callback);

// ---- Key-change subscriptions ----

// set_on_key_change calls `callback` with the full key of every changed key
// under /devices that the POSIX extended regular expression `key_regex`
// matches somewhere (anchor it with ^ and $ to match whole keys). Returns 0;
// -1 with code 4 "invalid key_regex" when the expression doesn't compile, or
// code 22 "null callback". Registering twice means two calls per key.
ORVDEVMGMT_EXPORT int set_on_key_change(const std::string& key_regex,
                                        const KeyChangeCallback& callback);

// unset_on_key_change removes every registration of `callback` under exactly
// the text `key_regex`. Returns 0. It waits for a notification under way on
// another thread that may still call `callback` (see Unset).
ORVDEVMGMT_EXPORT int unset_on_key_change(const std::string& key_regex,
                                          const KeyChangeCallback& callback);

// ---- Traffic-blocked reports ----

// set_on_traffic_blocked_change makes `callback` receive, each time a
// device's "traffic_blocked" key changes, a JSON object
//   {"device_id": "<id>", "blocked": <int>, "macs": ["<mac>", ...],
//    "ips": ["<ip>", ...]}
// ("ips"[i] is the IP of "macs"[i], except that a MAC or IP which is not
// UTF-8 is left out of its array while its partner stays, so the arrays are
// then out of step); the callback owns it and must release it with
// json_decref. A device without bindings, or whose id is not UTF-8, gives no
// report (and no log line). One slot holds the function: registering again
// replaces it, and also subscribes once more, so that after three
// registrations each change gives three reports, all to the latest function;
// one unset removes them all. Returns 0; -1 with code 22 "null callback"
// (nothing registered), or as set_on_key_change.
ORVDEVMGMT_EXPORT int set_on_traffic_blocked_change(const TrafficBlockedCallback& callback);

// unset_on_traffic_blocked_change stops the reports; `callback` is not read.
// Returns 0. It waits for a report under way on another thread (see Unset).
ORVDEVMGMT_EXPORT int unset_on_traffic_blocked_change(const TrafficBlockedCallback& callback);

}  // namespace devMgmt
}  // namespace orv

#endif  // ORV_DEVMGMT_H_
