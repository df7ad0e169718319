// EventStream, the client's handle of one stream.

#include <errno.h>
#include <poll.h>

#include <chrono>
#include <utility>

#include "event_stream_queue.h"
#include "event_stream_registry.h"
#include "orv/devmgmt.h"
#include "orv/devmgmt_stream.h"
#include "orv/error.h"

namespace orv {
namespace devMgmt {
namespace {

int Closed() {
  orverrno.set(kStreamClosed, "stream closed");
  return -1;
}

}  // namespace

const char* event_kind_name(EventKind kind) {
  switch (kind) {
    case EventKind::kNewDev:
      return "new_dev";
    case EventKind::kUpdated:
      return "updated";
    case EventKind::kRemoved:
      return "removed";
    case EventKind::kKeyChanged:
      return "key";
    case EventKind::kTrafficBlocked:
      return "traffic_blocked";
    case EventKind::kReloaded:
      return "reloaded";
    case EventKind::kResync:
      return "resync";
    case EventKind::kSynced:
      return "synced";
    case EventKind::kStopped:
      return "stopped";
  }
  return "?";
}

EventStream::EventStream() = default;

EventStream::EventStream(EventStream&& other) noexcept : queue_(std::move(other.queue_)) {}

EventStream& EventStream::operator=(EventStream&& other) noexcept {
  if (this != &other) {
    close();
    queue_ = std::move(other.queue_);
  }
  return *this;
}

EventStream::~EventStream() { close(); }

int EventStream::open(const StreamOptions& options) {
  close();
  std::shared_ptr<devmgmt_internal::StreamQueue> opened;
  if (devmgmt_internal::Streams().Open(options, opened) != 0) return -1;
  queue_ = std::move(opened);
  return 0;
}

// The queue itself stays with the handle until it is destroyed or reopened,
// so that a reader on another thread never loses it (nor its descriptor)
// under a poll.
void EventStream::close() {
  if (queue_ != nullptr) devmgmt_internal::Streams().Close(*queue_);
}

bool EventStream::is_open() const { return queue_ != nullptr && !queue_->closed(); }

int EventStream::fd() const { return is_open() ? queue_->fd() : -1; }

int EventStream::read(std::vector<StreamEvent>& events, std::size_t max_events) {
  if (queue_ == nullptr) return Closed();
  bool resync_due = false;
  int got = queue_->Read(events, max_events, resync_due);
  if (resync_due) {
    devmgmt_internal::Streams().Resync(*queue_);
    got = queue_->Read(events, max_events, resync_due);
  }
  return got < 0 ? Closed() : got;
}

int EventStream::wait(std::vector<StreamEvent>& events, std::size_t max_events, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    const int got = read(events, max_events);
    if (got != 0 || max_events == 0) return got;
    int wait_ms = -1;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return 0;
      wait_ms = static_cast<int>(left.count()) + 1;  // never wake a hair early
    }
    pollfd ready = {queue_->fd(), POLLIN, 0};
    if (poll(&ready, 1, wait_ms) < 0 && errno != EINTR) return read(events, max_events);
  }
}

}  // namespace devMgmt
}  // namespace orv
