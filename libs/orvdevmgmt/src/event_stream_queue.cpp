#include "event_stream_queue.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace orv {
namespace devmgmt_internal {
namespace {

using orv::devMgmt::EventKind;
using orv::devMgmt::StreamEvent;

// MakeEventFd returns a non-blocking, close-on-exec eventfd numbered 3 or
// more (a process with its standard descriptors closed would otherwise get
// one that it later takes for stdin or stdout); -1 on failure.
int MakeEventFd() {
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

StreamEvent Marker(EventKind kind) {
  StreamEvent event;
  event.kind = kind;
  return event;
}

}  // namespace

Regex::Regex(const std::string& text)
    : valid_(regcomp(&regex_, text.c_str(), REG_EXTENDED | REG_NOSUB) == 0) {}

Regex::~Regex() {
  if (valid_) regfree(&regex_);
}

bool Regex::Matches(const std::string& text) const {
  // Anything but REG_NOMATCH counts as a match, as for key subscriptions.
  return valid_ && regexec(&regex_, text.c_str(), 0, nullptr, 0) != REG_NOMATCH;
}

StreamQueue::StreamQueue(const orv::devMgmt::StreamOptions& options)
    : options_(options), fd_(MakeEventFd()) {
  for (const std::string& text : options_.key_regexes) {
    key_regexes_.push_back(std::make_unique<Regex>(text));
  }
}

StreamQueue::~StreamQueue() {
  if (fd_ >= 0) ::close(fd_);
}

bool StreamQueue::WantsField(const std::string& field) const {
  if (!options_.devices) return false;
  return options_.fields.empty() ||
         std::find(options_.fields.begin(), options_.fields.end(), field) != options_.fields.end();
}

bool StreamQueue::WantsKey(const std::string& key) const {
  return std::any_of(key_regexes_.begin(), key_regexes_.end(),
                     [&key](const std::unique_ptr<Regex>& regex) { return regex->Matches(key); });
}

std::string StreamQueue::CoalesceKey(const Event& event) {
  switch (event.kind) {
    case EventKind::kNewDev:
    case EventKind::kUpdated:
    case EventKind::kRemoved:
      return "d" + event.device_id;
    case EventKind::kKeyChanged:
      return "k" + event.name;
    case EventKind::kTrafficBlocked:
      return "t" + event.device_id;
    default:
      return std::string();
  }
}

void StreamQueue::Push(Event event) {
  orv::devMgmt::MutexLock hold(mutex_);
  if (closed_) return;
  if (options_.coalesce) {
    AppendCoalesced(std::move(event));
  } else {
    Append(std::move(event));
  }
}

void StreamQueue::PushSnapshot(const std::vector<Record>& records) {
  orv::devMgmt::MutexLock hold(mutex_);
  if (closed_) return;
  if (resync_due_) {
    dropped_ += records.size() + 1;
    return;
  }
  snapshot_size_ = records.size();
  for (const Record& record : records) {
    Event event = Marker(EventKind::kNewDev);
    event.device_id = record->device_id;
    event.device = record;
    if (options_.coalesce) {
      AppendCoalesced(std::move(event));
    } else {
      Append(std::move(event));
    }
  }
  if (options_.coalesce) {
    AppendCoalesced(Marker(EventKind::kSynced));
  } else {
    Append(Marker(EventKind::kSynced));
  }
}

void StreamQueue::Stop() {
  orv::devMgmt::MutexLock hold(mutex_);
  if (closed_) return;
  // Whatever waits is history of a cache that is empty now. Coalesced, it
  // goes; in the default mode it is kept, past the bound too (one marker per
  // stop), and a due resync is told without its snapshot.
  if (options_.coalesce) {
    coalesced_.clear();
    pending_.clear();
  } else if (resync_due_) {
    resync_due_ = false;
    queue_.clear();
    Event resync = Marker(EventKind::kResync);
    resync.dropped = std::exchange(dropped_, 0);
    queue_.push_back(std::move(resync));
  }
  if (options_.coalesce) {
    coalesced_.push_back(Marker(EventKind::kStopped));
  } else {
    queue_.push_back(Marker(EventKind::kStopped));
  }
  Signal();
}

int StreamQueue::Read(std::vector<Event>& events, std::size_t max_events, bool& resync_due) {
  orv::devMgmt::MutexLock hold(mutex_);
  resync_due = false;
  if (closed_) return -1;
  if (resync_due_) {
    resync_due = true;
    return 0;
  }
  std::size_t moved = 0;
  if (options_.coalesce) {
    events.reserve(events.size() + std::min(max_events, coalesced_.size()));
    while (moved < max_events && !coalesced_.empty()) {
      const std::string key = CoalesceKey(coalesced_.front());
      if (!key.empty()) pending_.erase(key);
      events.push_back(std::move(coalesced_.front()));
      coalesced_.pop_front();
      events.back().sequence = ++sequence_;
      ++moved;
    }
  } else {
    events.reserve(events.size() + std::min(max_events, queue_.size()));
    while (moved < max_events && !queue_.empty()) {
      events.push_back(std::move(queue_.front()));
      queue_.pop_front();
      events.back().sequence = ++sequence_;
      ++moved;
    }
  }
  if (EmptyLocked()) ClearSignal();
  return static_cast<int>(moved);
}

void StreamQueue::Resync(const std::vector<Record>& records, bool snapshot) {
  orv::devMgmt::MutexLock hold(mutex_);
  if (closed_ || !resync_due_) return;
  resync_due_ = false;
  queue_.clear();
  Event resync = Marker(EventKind::kResync);
  resync.dropped = std::exchange(dropped_, 0);
  queue_.push_back(std::move(resync));
  if (snapshot) {
    snapshot_size_ = records.size();
    for (const Record& record : records) {
      Event event = Marker(EventKind::kNewDev);
      event.device_id = record->device_id;
      event.device = record;
      queue_.push_back(std::move(event));
    }
    queue_.push_back(Marker(EventKind::kSynced));
  }
  Signal();
}

void StreamQueue::Close() {
  orv::devMgmt::MutexLock hold(mutex_);
  closed_ = true;
  queue_.clear();
  coalesced_.clear();
  pending_.clear();
  Signal();  // a reader waiting on fd_ wakes and finds the stream closed
}

bool StreamQueue::closed() const {
  orv::devMgmt::MutexLock hold(mutex_);
  return closed_;
}

void StreamQueue::Append(Event event) {
  if (resync_due_) {
    ++dropped_;
    return;
  }
  const std::size_t bound = std::max<std::size_t>(options_.max_queued, 1) + snapshot_size_;
  if (queue_.size() >= bound) {
    // The reader is too far behind: what waits goes, and the reader starts
    // again from a snapshot taken when it reads.
    dropped_ = queue_.size() + 1;
    queue_.clear();
    queue_.shrink_to_fit();
    resync_due_ = true;
    Signal();
    return;
  }
  queue_.push_back(std::move(event));
  Signal();
}

void StreamQueue::AppendCoalesced(Event event) {
  // A record that left the cache is a removal, as far as state goes.
  if (event.kind == EventKind::kUpdated && event.device == nullptr) {
    event.kind = EventKind::kRemoved;
  }
  if (event.kind != EventKind::kKeyChanged) event.name.clear();  // which field no longer says much
  const std::string key = CoalesceKey(event);
  if (key.empty()) {
    if (event.kind == EventKind::kReloaded) {
      // The vanished ids come as removals, coalesced with each device's
      // other entries; the notice itself says only that a reload happened.
      for (const std::string& id : event.vanished) {
        Event removed = Marker(EventKind::kRemoved);
        removed.device_id = id;
        AppendCoalesced(std::move(removed));
      }
      event.vanished.clear();
    }
    // One marker of each kind at most, at its latest place: kSynced then
    // follows every entry of the snapshot it closes.
    coalesced_.remove_if([&event](const Event& queued) { return queued.kind == event.kind; });
    coalesced_.push_back(std::move(event));
    Signal();
    return;
  }
  auto found = pending_.find(key);
  if (found == pending_.end()) {
    pending_.emplace(key, coalesced_.insert(coalesced_.end(), std::move(event)));
    Signal();
    return;
  }
  // A device the reader hasn't heard of yet stays new, with its latest record.
  Event& queued = *found->second;
  if (queued.kind == EventKind::kNewDev && event.kind == EventKind::kUpdated) {
    event.kind = EventKind::kNewDev;
  }
  queued = std::move(event);
}

void StreamQueue::Signal() {
  if (signalled_) return;
  const std::uint64_t one = 1;
  if (::write(fd_, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) signalled_ = true;
}

void StreamQueue::ClearSignal() {
  if (!signalled_) return;
  std::uint64_t count;
  if (::read(fd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) signalled_ = false;
}

bool StreamQueue::EmptyLocked() const {
  return options_.coalesce ? coalesced_.empty() : queue_.empty();
}

}  // namespace devmgmt_internal
}  // namespace orv
