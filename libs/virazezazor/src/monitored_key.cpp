#include <errno.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "beneath.h"
#include "key_files.h"
#include "orv/log.h"
#include "orv/settings.h"
#include "root_pin.h"
#include "watch_health.h"
#include "watch_tree.h"

namespace orv {
namespace setMgmt {

using internal::WatchHealth;
using internal::WatchTree;

namespace {

// Large enough for a few hundred events per read; the queue itself is the
// kernel's.
constexpr std::size_t kReadBuffer = 64 * 1024;

// How often a watch busy with events looks at the store's root, at most.
constexpr auto kRootLookInterval = std::chrono::seconds(1);

// OneLine returns `text` with every control character written as "\xNN": a
// key or a message may hold a line end, the line must stay one line.
std::string OneLine(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      out += c;
    } else {
      out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    }
  }
  return out;
}

void LogCallbackFailure(const std::string& text, const char* what) {
  if (log::current_level >= log::kError) {
    log::print(0, log::kError,
               "notification callback for " + OneLine(text) + " threw: " + OneLine(what));
  }
}

// Unguarded is true when the environment asks for callbacks whose
// exceptions pass through (a test aid; see orv/settings.h).
bool Unguarded() {
  const char* value = std::getenv("ORV_SETTINGS_UNGUARDED_CALLBACKS");
  return value != nullptr && std::string_view(value) == "1";
}

void Report(MonitoredKey::Callback callback, const std::string& text, bool guarded) {
  if (callback == nullptr) return;
  orv::path changed;
  // As a view: add_piece's overload for a std::string goes through a stream.
  changed.add_piece(true, basic_string_view<char>(text));
  if (!guarded) {
    callback(changed);
    return;
  }
  // A failing client must not cost the other changes their notification.
  try {
    callback(changed);
  } catch (const std::exception& error) {
    LogCallbackFailure(text, error.what());
  } catch (...) {
    LogCallbackFailure(text, "an exception of unknown type");
  }
}

// HoleReason words why a node can't be watched; ENOSPC from
// inotify_add_watch means the kernel's watches ran out.
std::string HoleReason(int err) {
  if (err != ENOSPC) return internal::ErrorText(err);
  return internal::ErrorText(ENOSPC) + " (out of inotify watches: fs.inotify.max_user_watches)";
}

internal::Retry HoleRetry(int err) {
  return err == ENOSPC ? internal::Retry::kOutOfWatches : internal::Retry::kBackOff;
}

}  // namespace

struct MonitoredKey::State {
  std::unique_ptr<WatchTree> watch;
  // Set when the watch went away under the client; get_fd owes it one -1.
  bool lost = false;
  std::vector<char> buffer;
  // Why there is no watch, for orverrno and the log.
  WatchHealth health;
  // Callbacks' exceptions are caught unless the environment said otherwise.
  const bool guarded = !Unguarded();
  std::string watched;  // the key of the watch
  // The root the watch was set up below: its name and the identity of the
  // directory it named then. The watch follows the store only while the name
  // still gives that directory.
  std::string root_name;
  dev_t root_dev = 0;
  ino_t root_ino = 0;
  // When the root was last looked at, and whether events were read since:
  // a pass that read none (a quiet wait's end) always looks; one that did
  // looks at most once a second, which keeps the look off the path of each
  // change while the longest a replaced root goes unnoticed stays the
  // client's quiet wait.
  std::chrono::steady_clock::time_point root_looked_at{};
  bool read_since_look = false;
  // The root pinned for the owning thread while the watch holds (see
  // root_pin.h): the changes reported are read below the root watched.
  internal::RootPin pin;

  void Lose() {
    watch.reset();
    pin.reset();
    lost = true;
  }

  // RootReplaced is true when the store's root is no longer the directory
  // the watch was set up below (replaced, its link re-pointed, or gone).
  bool RootReplaced() const;
  // RootLookDue says whether this get_fd looks at the root (see above).
  bool RootLookDue();

  // Open sets the watch of `key` up and returns its descriptor, or -1 with
  // the reason recorded.
  int Open(const std::string& key_text, bool whole_tree);

  // Drain reads every pending event and appends the keys they changed.
  void Drain(std::vector<std::string>& changed);

  // CannotOpen records why the watch of `failed_key` below `root_fd` could
  // not be set up (errno `err`) and returns -1.
  int CannotOpen(const internal::RootFd& root_fd, const std::string& failed_key, int err);

  // Apply turns one event into the keys it changed. Returns false when the
  // watch is gone and the remaining events are moot.
  bool Apply(int wd, std::uint32_t mask, std::string_view name, std::vector<std::string>& changed);
};

void MonitoredKey::State::Drain(std::vector<std::string>& changed) {
  buffer.resize(kReadBuffer);
  while (watch) {
    const ssize_t got = ::read(watch->fd(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && log::current_level >= log::kError) {
        log::print(0, log::kError,
                   "reading the notifications of " + watched + ": " + std::strerror(errno));
      }
      return;
    }
    const char* const data = buffer.data();
    std::size_t offset = 0;
    while (offset + sizeof(inotify_event) <= static_cast<std::size_t>(got)) {
      // Copied out: the buffer promises no alignment for the header.
      inotify_event event;
      std::memcpy(&event, data + offset, sizeof(event));
      const char* name = data + offset + sizeof(event);
      offset += sizeof(event) + event.len;
      if (!Apply(event.wd, event.mask, std::string_view(name, ::strnlen(name, event.len)),
                 changed)) {
        return;
      }
    }
    // A read stops only when the next event doesn't fit: one that left room
    // for the largest event took all there was, and another read would only
    // come back empty-handed (a system call per wake-up saved).
    if (static_cast<std::size_t>(got) + sizeof(inotify_event) + NAME_MAX + 1 <= buffer.size()) {
      return;
    }
  }
}

bool MonitoredKey::State::Apply(int wd, std::uint32_t mask, std::string_view name,
                                std::vector<std::string>& changed) {
  if (mask & IN_Q_OVERFLOW) {
    // Changes were dropped: the client must read the tree anew, which get_fd
    // tells it.
    health.Lost(kIoError, internal::KeyFile(root_name, watched), "the event queue overflowed",
                false);
    Lose();
    return false;
  }
  const std::string* node = watch->KeyOf(wd);
  if (node == nullptr) return true;  // a watch dropped with its node
  if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
    if (!watch->IsTop(wd)) {
      // A node below: its parent's event has reported it already.
      if (mask & IN_IGNORED) watch->Forget(wd);
      return true;
    }
    if (!(mask & IN_IGNORED)) changed.push_back(*node);
    health.Lost(kNotFound, internal::KeyFile(root_name, watched), "the node was deleted or moved",
                false);
    Lose();
    return false;
  }
  if (name.empty() || internal::IsHiddenName(name)) return true;  // the store's own files
  const std::string child = internal::ChildKey(*node, name);
  if (mask & IN_ISDIR) {
    if (mask & (IN_DELETE | IN_MOVED_FROM)) {
      watch->DropNode(child);
      changed.push_back(child);
    } else if ((mask & (IN_CREATE | IN_MOVED_TO)) && watch->recursive()) {
      // Its values may have been written before the watch took hold.
      watch->AddNode(child, &changed);
      int err = 0;
      if (const std::string* unwatched = watch->Hole(err)) {
        // Changes below it would go unreported: as good as lost.
        health.CannotWatch(kIoError, internal::KeyFile(root_name, *unwatched), HoleReason(err),
                           HoleRetry(err));
        Lose();
        return false;
      }
    }
    return true;
  }
  if (mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM)) changed.push_back(child);
  return true;
}

MonitoredKey::MonitoredKey() : state_(new State) {}

MonitoredKey::~MonitoredKey() = default;

bool MonitoredKey::State::RootLookDue() {
  const auto now = std::chrono::steady_clock::now();
  if (read_since_look && now - root_looked_at < kRootLookInterval) return false;
  root_looked_at = now;
  read_since_look = false;
  return true;
}

bool MonitoredKey::State::RootReplaced() const {
  if (root() != root_name) return true;  // set_root chose another
  struct stat named;
  return ::stat(root_name.c_str(), &named) != 0 || named.st_dev != root_dev ||
         named.st_ino != root_ino;
}

int MonitoredKey::State::Open(const std::string& key_text, bool whole_tree) {
  watched = key_text;
  root_name = root();
  const internal::RootFd root_fd = internal::OpenRoot(key_text, false);
  struct stat held;
  if (!root_fd || ::fstat(root_fd->get(), &held) != 0) return CannotOpen(nullptr, key_text, errno);
  root_dev = held.st_dev;
  root_ino = held.st_ino;
  std::string failed_key = key_text;
  watch = WatchTree::Open(root_fd, key_text, whole_tree, failed_key);
  if (!watch) return CannotOpen(root_fd, failed_key, errno);
  health.Watching(internal::KeyFile(root_name, key_text));
  pin = std::make_shared<const internal::PinnedRoot>(internal::PinnedRoot{root_fd});
  internal::PinRoot(pin);
  return watch->fd();
}

int MonitoredKey::State::CannotOpen(const internal::RootFd& root_fd, const std::string& failed_key,
                                    int err) {
  const std::string directory = internal::KeyFile(root_name, failed_key);
  if (root_fd && (err == ELOOP || err == ENOTDIR)) {
    const internal::Diagnosis found = internal::Diagnose(root_fd->get(), failed_key);
    if (found.fault == internal::Fault::kLink) {
      health.CannotWatch(kSymbolicLink, directory,
                         internal::KeyFile(root_name, found.at) + " is a symbolic link",
                         internal::Retry::kAtOnce);
      return -1;
    }
  }
  if (err == ENOENT || err == ENOTDIR) {
    health.CannotWatch(kNotFound, directory, internal::ErrorText(err), internal::Retry::kAtOnce);
    return -1;
  }
  // Anything else can pass (descriptors, memory, watches run short; a node
  // made readable): tried again after the back-off.
  health.CannotWatch(kIoError, directory, HoleReason(err), HoleRetry(err));
  return -1;
}

int MonitoredKey::get_fd() {
  State& state = *state_;
  if (state.lost) {
    state.lost = false;
    state.health.Recall();
    return -1;
  }
  if (state.watch) {
    // Asked on every pass of the client's loop: a restore that swapped the
    // root, or a re-pointed root link, is noticed on the next quiet pass, or
    // the next busy one a second after the last look.
    if (!state.RootLookDue() || !state.RootReplaced()) return state.watch->fd();
    state.health.Lost(kIoError, internal::KeyFile(state.root_name, state.watched),
                      "the store's root " + state.root_name + " was replaced", true);
    state.Lose();
    state.lost = false;  // this is the one time get_fd says so
    return -1;
  }
  const std::string& text = key.str();
  if (!internal::CheckKey(text)) return -1;
  if (state.health.BackingOff()) {
    state.health.Recall();
    return -1;
  }
  return state.Open(text, recursive);
}

int MonitoredKey::read_notifications() {
  if (!state_->watch) return -1;
  state_->read_since_look = true;
  std::vector<std::string> changed;
  state_->Drain(changed);
  // Reported only now, so that a callback which cancels or reads again can't
  // pull the watch from under the loop above.
  const Callback report_to = callback;
  for (const std::string& text : changed) Report(report_to, text, state_->guarded);
  return static_cast<int>(changed.size());
}

int MonitoredKey::cancel() {
  state_->watch.reset();
  state_->pin.reset();
  state_->lost = false;
  return 0;
}

}  // namespace setMgmt
}  // namespace orv
