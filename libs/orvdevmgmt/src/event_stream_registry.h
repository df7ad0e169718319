// event_stream_registry.h: the open event streams, and the hooks through
// which the cache, the loader, the dispatcher and uninit() feed them.
//
// Streams() is the one process-wide registry. It is built on first use and
// never destroyed, so that a stream closed by a static destructor, or a sync
// thread still applying a change at exit, never meets a freed registry.
//
// Locks, always taken in this order: the cache's mutex, then the registry's,
// then a stream's. Device events are pushed under the cache's mutex, where
// the device-info callbacks are called, so that each record copy and its
// place in the stream agree with every snapshot; key events and traffic
// reports are pushed where the key subscribers are called. With no stream
// open, every hook costs one atomic load.

#ifndef ORVDEVMGMT_SRC_EVENT_STREAM_REGISTRY_H_
#define ORVDEVMGMT_SRC_EVENT_STREAM_REGISTRY_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "event_stream_queue.h"
#include "orv/devmgmt_internals.h"
#include "orv/devmgmt_stream.h"

namespace orv {
namespace devmgmt_internal {

class StreamRegistry {
 public:
  StreamRegistry();
  StreamRegistry(const StreamRegistry&) = delete;
  StreamRegistry& operator=(const StreamRegistry&) = delete;

  // ---- For the handles ----

  // Open makes and registers a stream (with its snapshot, when the cache is
  // loaded) into `stream`. Returns 0; -1 with orverrno set.
  int Open(const orv::devMgmt::StreamOptions& options, std::shared_ptr<StreamQueue>& stream);
  // Close unregisters `stream` and marks it closed: nothing pushes into it
  // once Close returns. Takes no lock of the cache.
  void Close(StreamQueue& stream);
  // Resync puts the due snapshot into `stream`, under the cache's lock.
  void Resync(StreamQueue& stream);

  // ---- Hooks. Each does nothing for another Devices than g_devices ----

  // The device hooks' callers (the notify operations) hold cache.mutex.
  void OnNewDev(const Devices& cache, const std::string& device_id)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
      __attribute__((requires_capability(cache.mutex)))
#endif
      ;
  void OnUpdated(const Devices& cache, const std::string& device_id, const std::string& field)
#if defined(__clang__)
      __attribute__((requires_capability(cache.mutex)))
#endif
      ;
  void OnRemoved(const Devices& cache, const std::string& device_id)
#if defined(__clang__)
      __attribute__((requires_capability(cache.mutex)))
#endif
      ;
  // OnClearing is called by Devices::clear, which holds cache.mutex, before
  // it empties the cache: the next load reports the ids as vanished unless
  // they are back.
  void OnClearing(const Devices& cache)
#if defined(__clang__)
      __attribute__((requires_capability(cache.mutex)))
#endif
      ;
  // OnKeyChanged is called with each changed key after the cache took it,
  // before the key subscribers; no lock held.
  void OnKeyChanged(const std::string& key);
  // OnStopped is called by uninit() once the cache is emptied.
  void OnStopped();

  // Their caller (Devices::load, through StreamLoadScope) holds cache.mutex.
  void OnLoadBegins(const Devices& cache)
#if defined(__clang__)
      __attribute__((requires_capability(cache.mutex)))
#endif
      ;
  void OnLoadEnds(const Devices& cache)
#if defined(__clang__)
      __attribute__((requires_capability(cache.mutex)))
#endif
      ;

 private:
  // Records copies every cached record, sorted by id. Its caller holds
  // g_devices.mutex.
  static std::vector<Record> Records() __attribute__((requires_capability((g_devices.mutex))));
  // IsTheCache returns whether `cache` is g_devices. The hooks' callers hold
  // cache.mutex, so when it is, g_devices.mutex is held: the analysis, which
  // tells locks apart by name, not by address, is told so (the hooks return
  // at once when it isn't).
  static bool IsTheCache(const Devices& cache)
      __attribute__((assert_capability((g_devices.mutex))));
  // DeviceEvent pushes one device event to the streams `wants` picks.
  template <class Wants>
  void DeviceEvent(const Devices& cache, orv::devMgmt::EventKind kind, const std::string& device_id,
                   const std::string& field, Wants wants)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
      __attribute__((requires_capability(cache.mutex)))
#endif
      ;

  // How many streams are open, and how many of them want traffic reports:
  // written under mutex_, read without it by the hooks' fast path.
  std::atomic<int> open_{0};
  std::atomic<int> traffic_{0};
  const Regex traffic_regex_;  // the traffic-blocked report's expression

  orv::devMgmt::Mutex mutex_;
  std::vector<std::shared_ptr<StreamQueue>> streams_ __attribute__((guarded_by(mutex_)));

  // Loads under way (a callback may load again).
  int load_depth_ __attribute__((guarded_by((g_devices.mutex)))) = 0;
  // A load ended since the last uninit().
  bool loaded_ __attribute__((guarded_by((g_devices.mutex)))) = false;
  // loaded_ when the outermost load began.
  bool was_loaded_ __attribute__((guarded_by((g_devices.mutex)))) = false;
  // Sorted; emptied by clear() since the last load.
  std::vector<std::string> cleared_ids_ __attribute__((guarded_by((g_devices.mutex))));
  // Sorted; cached or cleared when the load began.
  std::vector<std::string> before_ids_ __attribute__((guarded_by((g_devices.mutex))));
};

// Streams returns the process-wide stream registry.
StreamRegistry& Streams();

// StreamLoadScope brackets one Devices::load for the streams: device events
// are held back during the load, and its end (however it ends) gives every
// stream kReloaded and a snapshot.
// Its maker holds cache.mutex for the scope's whole life.
class StreamLoadScope {
 public:
  explicit StreamLoadScope(const Devices& cache)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
      __attribute__((requires_capability(cache.mutex)))
#endif
      : cache_(cache) {
    Streams().OnLoadBegins(cache_);
  }
  StreamLoadScope(const StreamLoadScope&) = delete;
  StreamLoadScope& operator=(const StreamLoadScope&) = delete;
  ~StreamLoadScope();

 private:
  const Devices& cache_;
};

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_EVENT_STREAM_REGISTRY_H_
