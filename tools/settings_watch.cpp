#include "settings_watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "orv/error.h"
#include "orv/settings.h"
#include "settings_json.h"
#include "settings_tree.h"
#include "terminal_text.h"

namespace orv_tools {
namespace {

// How long to wait before asking again for a watch that can't be set up.
constexpr int kRetryMs = 1000;

// SignalFd turns SIGINT and SIGTERM into a readable descriptor for as long
// as it lives, so that the poll loop stops cleanly between two changes.
class SignalFd {
 public:
  SignalFd() {
    sigemptyset(&mask_);
    sigaddset(&mask_, SIGINT);
    sigaddset(&mask_, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask_, &old_);
    fd_ = signalfd(-1, &mask_, SFD_CLOEXEC);
  }
  SignalFd(const SignalFd&) = delete;
  SignalFd& operator=(const SignalFd&) = delete;
  ~SignalFd() {
    if (fd_ >= 0) close(fd_);
    sigprocmask(SIG_SETMASK, &old_, nullptr);
  }
  int get() const { return fd_; }

  // Take consumes the pending signal, which would otherwise be delivered
  // once the mask is restored.
  void Take() const {
    signalfd_siginfo info;
    while (read(fd_, &info, sizeof info) < 0 && errno == EINTR) {
    }
  }

 private:
  sigset_t mask_;
  sigset_t old_;
  int fd_ = -1;
};

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

JsonPtr Event(const char* kind, const std::string& key) {
  JsonPtr event(json_object());
  json_object_set_new(event.get(), "event", json_string(kind));
  json_object_set_new(event.get(), "key", TextJson(key));
  return event;
}

// State reads what `key` holds now: "set" with its value, "node" or
// "deleted".
const char* State(const std::string& key, std::string& value) {
  orv::storage::NodeInfo info;
  if (orv::setMgmt::statKey(key, info) < 0) return "deleted";
  if (info.kind == orv::storage::NodeInfo::kNode) return "node";
  return orv::setMgmt::getKey(key, value) < 0 ? "deleted" : "set";
}

// The store's callbacks carry no context: one function per output form.
int PrintText(const orv::path& changed) {
  std::string value;
  const std::string kind = State(changed.str(), value);
  const std::string key = Printable(changed.str());
  PrintLine(kind == "set" ? kind + " " + key + "=" + Printable(value) : kind + " " + key);
  return 0;
}

int PrintJson(const orv::path& changed) {
  std::string value;
  const char* kind = State(changed.str(), value);
  JsonPtr event = Event(kind, changed.str());
  if (std::string(kind) == "set") json_object_set_new(event.get(), "value", TextJson(value));
  PrintLine(CompactJson(event.get()));
  return 0;
}

void PrintHealth(bool watching, const std::string& key, bool json) {
  if (json) {
    JsonPtr event = Event(watching ? "watching" : "lost", key);
    if (!watching) json_object_set_new(event.get(), "reason", TextJson(orverrno.message()));
    PrintLine(CompactJson(event.get()));
  } else {
    PrintLine(watching ? "watching " + Printable(key)
                       : "lost " + Printable(key) + ": " + Printable(orverrno.message()));
  }
  std::fflush(stdout);
}

}  // namespace

int WatchTree(const std::string& key, bool json) {
  // A bad key or a value would never be watched: say so rather than wait.
  // A node that is not there yet is waited for.
  std::vector<std::string> names;
  if (orv::setMgmt::enumSubkeys(key, names) < 0 && orverrno.code() != orv::setMgmt::kNotFound) {
    return StoreFailure();
  }
  const SignalFd signals;
  if (signals.get() < 0) return Fail(kExitFailed, "can't wait for signals");
  orv::setMgmt::MonitoredKey watch;
  watch.key.add_piece(true, key);
  watch.recursive = true;
  watch.callback = json ? PrintJson : PrintText;
  bool watching = false;
  for (;;) {
    const int fd = watch.get_fd();
    if ((fd > 0) != watching) {  // a node not there yet is no loss: no line
      watching = fd > 0;
      PrintHealth(watching, key, json);
    }
    pollfd waits[2] = {{signals.get(), POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = poll(waits, fd > 0 ? 2 : 1, fd > 0 ? -1 : kRetryMs);
    if (ready < 0 && errno != EINTR) return Fail(kExitFailed, "can't wait for changes");
    if (waits[0].revents != 0) {
      signals.Take();
      return kExitOk;
    }
    if (fd > 0 && waits[1].revents != 0) watch.read_notifications();
    if (std::fflush(stdout) != 0) return Fail(kExitFailed, "can't write the output");
  }
}

}  // namespace orv_tools
