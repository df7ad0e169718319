// event_stream_queue.h: one event stream's filter and queue.
//
// The registry (event_stream_registry.h) pushes events into a StreamQueue on
// the thread that changed the cache; the stream's reader takes them out on
// its own thread. A push never waits for the reader: the queue's lock is held
// by either side only to move entries.

#ifndef ORVDEVMGMT_SRC_EVENT_STREAM_QUEUE_H_
#define ORVDEVMGMT_SRC_EVENT_STREAM_QUEUE_H_

#include <regex.h>

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "orv/devmgmt_internals.h"
#include "orv/devmgmt_mutex.h"
#include "orv/devmgmt_stream.h"

namespace orv {
namespace devmgmt_internal {

using Record = std::shared_ptr<const orv::devMgmt::Device>;

// Regex is a compiled POSIX extended expression, released when it goes.
class Regex {
 public:
  // Regex compiles `text`; valid() is false when it doesn't compile.
  explicit Regex(const std::string& text);
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;
  ~Regex();
  bool valid() const { return valid_; }
  // Matches is true when the expression matches somewhere in `text`.
  bool Matches(const std::string& text) const;

 private:
  regex_t regex_;
  bool valid_;
};

class StreamQueue {
 public:
  // REQUIRES: every expression of options.key_regexes compiles.
  explicit StreamQueue(const orv::devMgmt::StreamOptions& options);
  StreamQueue(const StreamQueue&) = delete;
  StreamQueue& operator=(const StreamQueue&) = delete;
  ~StreamQueue();  // closes the descriptor

  // valid is false when the descriptor couldn't be made.
  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // ---- The filter: fixed at open ----
  bool WantsDevices() const { return options_.devices; }
  bool WantsField(const std::string& field) const;
  bool WantsKey(const std::string& key) const;
  bool WantsTraffic() const { return options_.traffic_blocked; }
  bool WantsSnapshot() const { return options_.devices && options_.snapshot; }
  bool WantsReloads() const { return options_.reloads || WantsSnapshot(); }

  // ---- The sync side (the registry, under its lock) ----

  // Push queues one event: in the default mode at the end (or, past the
  // bound, the queue is dropped and a resync is due); coalesced, in place of
  // the pending entry of the same device, key or report.
  void Push(orv::devMgmt::StreamEvent event);
  // PushSnapshot queues a kNewDev per record, then kSynced. Dropped while a
  // resync is due: the resync's own snapshot covers it.
  void PushSnapshot(const std::vector<Record>& records);
  // Stop queues kStopped; a resync due is delivered as kResync alone (the
  // cache is empty now).
  void Stop();

  // ---- The reader's side ----

  // Read moves up to `max_events` events into `events` and returns how many;
  // -1 when closed. Sets `resync_due` (and moves nothing) when the reader
  // must first have a snapshot put in with Resync.
  int Read(std::vector<orv::devMgmt::StreamEvent>& events, std::size_t max_events,
           bool& resync_due);
  // Resync replaces a due resync with kResync, a snapshot of `records` and
  // kSynced; kResync alone when `snapshot` is false (the stream takes no
  // snapshot, or init()'s load brings it). The caller holds the cache's lock,
  // so that no change slips in between.
  void Resync(const std::vector<Record>& records, bool snapshot)
      __attribute__((requires_capability((g_devices.mutex))));
  // Close marks the stream closed and wakes a reader waiting on fd().
  void Close();
  bool closed() const;

 private:
  using Event = orv::devMgmt::StreamEvent;
  // CoalesceKey is the identity an event is coalesced under; "" for markers.
  static std::string CoalesceKey(const Event& event);
  // Their caller holds mutex_.
  void Append(Event event) __attribute__((requires_capability(mutex_)));
  void AppendCoalesced(Event event) __attribute__((requires_capability(mutex_)));
  void Signal() __attribute__((requires_capability(mutex_)));
  void ClearSignal() __attribute__((requires_capability(mutex_)));
  bool EmptyLocked() const __attribute__((requires_capability(mutex_)));

  const orv::devMgmt::StreamOptions options_;
  std::vector<std::unique_ptr<Regex>> key_regexes_;  // compiled from options_
  const int fd_;  // the eventfd; written (made readable) under mutex_

  mutable orv::devMgmt::Mutex mutex_;
  bool closed_ __attribute__((guarded_by(mutex_))) = false;
  bool signalled_ __attribute__((guarded_by(mutex_))) = false;   // fd_ is readable
  std::deque<Event> queue_ __attribute__((guarded_by(mutex_)));  // the default mode
  // Coalescing mode, in first-pending order.
  std::list<Event> coalesced_ __attribute__((guarded_by(mutex_)));
  // Into coalesced_.
  std::unordered_map<std::string, std::list<Event>::iterator> pending_
      __attribute__((guarded_by(mutex_)));
  // Added to the bound: the last snapshot's size.
  std::size_t snapshot_size_ __attribute__((guarded_by(mutex_))) = 0;
  bool resync_due_ __attribute__((guarded_by(mutex_))) = false;
  std::uint64_t dropped_ __attribute__((guarded_by(mutex_))) = 0;  // since the resync became due
  // The last sequence number handed out.
  std::uint64_t sequence_ __attribute__((guarded_by(mutex_))) = 0;
};

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_EVENT_STREAM_QUEUE_H_
