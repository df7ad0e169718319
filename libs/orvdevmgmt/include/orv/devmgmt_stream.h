// orv/devmgmt_stream.h: event streams, the library's events on the reader's
// own thread.
//
// A stream is a queue of events that the sync thread fills and a reader
// empties on a thread it owns: an event loop polls the stream's descriptor,
// a service without a loop waits in read(). Nothing of the reader runs on the
// sync thread and no lock of the library is held while the reader handles an
// event, so a handler may take its own locks and query the cache freely.
// Each component opens its own stream (any number per process), with its own
// filter and its own traffic-blocked reports.
//
//   orv::devMgmt::EventStream stream;
//   orv::devMgmt::StreamOptions options;
//   options.fields = {"display_name"};
//   if (stream.open(options) != 0) ...            // before or after init()
//   pollfd ready = {stream.fd(), POLLIN, 0};
//   std::vector<orv::devMgmt::StreamEvent> events;
//   while (poll(&ready, 1, -1) > 0 && stream.read(events, 64) >= 0) {
//     for (const auto& event : events) ...        // NEW_DEV: *event.device ...
//     events.clear();
//   }
//
// What a reader sees. A stream opened with a snapshot (the default) starts
// with one kNewDev per cached device, taken together with its registration
// under the cache's lock, then kSynced; every later change follows, none
// missed, none doubled. Opened while the library is stopped, the snapshot
// comes after init()'s load. Each later load of the cache (the sync thread
// reloads after it lost the store's notifications, and once after init())
// gives kReloaded with the ids that vanished, a fresh snapshot and kSynced.
// uninit() gives kStopped: the cache is empty; forget every device. A reader
// that applies kNewDev and kUpdated (a record, or none when the device left
// the cache), kRemoved, kReloaded's ids, and forgets everything on kResync
// and kStopped, holds what the cache holds once it has read kSynced.
//
// Bounded memory, no waiting. The sync thread never waits for a reader. In
// the default mode every event is kept, up to `max_queued`; a reader that
// falls that far behind loses its queue and reads kResync (with the number of
// events dropped), then a snapshot taken as it reads, then kSynced. In
// coalescing mode a stream keeps at most one entry per device (its latest
// record, or its removal), one per key and one traffic report per device,
// and never needs a resync; a reload's vanished devices come as kRemoved
// there, and kReloaded carries no ids.
//
// Threads. open(), read(), wait() and close() may be called from any thread,
// also from inside the library's callbacks; close() also while another thread
// reads or waits on the same stream (that reader then gets -1). Moving or
// destroying a stream while another thread uses it is the caller's bug.
//
// Errors, in `orverrno`: kInvalidKeyRegex (open), kStreamClosed "stream closed"
// (read and wait on a stream that isn't open).

#ifndef ORV_DEVMGMT_STREAM_H_
#define ORV_DEVMGMT_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orv/devmgmt_export.h"
#include "orv/devmgmt_types.h"

namespace orv {
namespace devmgmt_internal {
class StreamQueue;
}  // namespace devmgmt_internal

namespace devMgmt {

// EventKind is what a StreamEvent tells.
enum class EventKind {
  kNewDev,          // a device was created (or listed by a snapshot): `device`
  kUpdated,         // field `name` was written: `device`, null when it left the cache
  kRemoved,         // the device was removed
  kKeyChanged,      // key `name` changed (a key expression of the filter matched)
  kTrafficBlocked,  // the device's traffic-blocked report, `traffic_status`
  kReloaded,        // the cache was reloaded; `vanished` holds the ids it dropped
  kResync,          // `dropped` events were lost: forget everything, a snapshot follows
  kSynced,          // the snapshot before it is complete
  kStopped,         // uninit() stopped the library and emptied the cache
};

// event_kind_name returns the kind's name: "new_dev", "updated", "removed",
// "key", "traffic_blocked", "reloaded", "resync", "synced", "stopped".
ORVDEVMGMT_EXPORT const char* event_kind_name(EventKind kind);

// StreamEvent is one event, owned by the reader.
struct StreamEvent {
  EventKind kind = EventKind::kSynced;
  // 1, 2, 3, ... in the order this stream's reader receives its events.
  std::uint64_t sequence = 0;
  std::string device_id;  // device events and traffic reports
  std::string name;       // the field (kUpdated), the key (kKeyChanged)
  // The device's record as it was when the change was applied, copied under
  // the cache's lock; shared between the streams that got the event, never
  // changed.
  std::shared_ptr<const Device> device;
  // The traffic-blocked report as JSON text, the design's document:
  // {"device_id":..,"blocked":..,"macs":[..],"ips":[..]} (json_loads it for a
  // Jansson document of your own).
  std::string traffic_status;
  std::vector<std::string> vanished;  // kReloaded: sorted bytewise
  std::uint64_t dropped = 0;          // kResync
};

// StreamOptions is a stream's filter and delivery mode.
struct StreamOptions {
  // Device events: kNewDev and kRemoved for every device, kUpdated for the
  // fields named in `fields` (the names of set_on_dev_info_change), every
  // field when empty. False: no device events, no snapshot.
  bool devices = true;
  std::vector<std::string> fields;
  // Keys changed under /devices that one of these POSIX extended expressions
  // matches somewhere (as set_on_key_change): one kKeyChanged per key.
  std::vector<std::string> key_regexes;
  // The stream's own traffic-blocked reports (the content of
  // set_on_traffic_blocked_change's document).
  bool traffic_blocked = false;
  // kReloaded notices. Always on for a stream with a snapshot: its reader
  // needs the vanished ids.
  bool reloads = false;
  bool snapshot = true;   // see "What a reader sees"
  bool coalesce = false;  // one pending entry per device, see above
  // The bound of the default mode: events waiting, besides the last snapshot.
  std::size_t max_queued = 4096;
};

// EventStream is a movable handle of one open stream; destroying it closes
// the stream.
class ORVDEVMGMT_EXPORT EventStream {
 public:
  EventStream();
  EventStream(EventStream&& other) noexcept;
  EventStream& operator=(EventStream&& other) noexcept;
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;
  ~EventStream();

  // open closes the stream this handle held, if any, and opens a new one.
  // Returns 0; -1 with code 4 "invalid key_regex" (the handle stays closed).
  int open(const StreamOptions& options);

  // close stops the stream: once it returns, the library never touches it
  // again, and a read or wait on another thread returns -1. Idempotent.
  void close();

  bool is_open() const;

  // fd is a descriptor (an eventfd, non-blocking, close-on-exec) that is
  // readable while events wait; -1 when the stream isn't open. Don't read
  // it yourself: read() does. It stays valid until the handle is destroyed
  // or reopened.
  int fd() const;

  // read appends up to `max_events` waiting events to `events` and returns
  // how many; 0 when none waits. Never waits, except that a read after an
  // overflow takes the cache's lock, as a query does, for the snapshot.
  // -1 with code 9 "stream closed" when the stream isn't open.
  [[nodiscard]] int read(std::vector<StreamEvent>& events, std::size_t max_events);

  // wait is read that waits up to `timeout_ms` (negative: forever) for an
  // event; 0 when the time ran out. With `max_events` 0 it reads nothing and
  // returns 0 at once (-1 when the stream isn't open).
  [[nodiscard]] int wait(std::vector<StreamEvent>& events, std::size_t max_events, int timeout_ms);

 private:
  std::shared_ptr<devmgmt_internal::StreamQueue> queue_;
};

}  // namespace devMgmt
}  // namespace orv

#endif  // ORV_DEVMGMT_STREAM_H_
