#include "watch_health.h"

#include <algorithm>
#include <cstdlib>

#include "orv/error.h"
#include "orv/log.h"

namespace orv {
namespace setMgmt {
namespace internal {

namespace {

constexpr auto kLongestBackoff = std::chrono::seconds(60);

// FirstBackoff is 1 s, unless the environment variable
// ORV_SETTINGS_WATCH_BACKOFF_MS (read once) says another number of
// milliseconds: tests reach the back-off's later steps in less than a second.
std::chrono::steady_clock::duration FirstBackoff() {
  static const std::chrono::steady_clock::duration first = [] {
    const char* text = std::getenv("ORV_SETTINGS_WATCH_BACKOFF_MS");
    const int ms = text != nullptr ? std::atoi(text) : 0;
    return std::chrono::steady_clock::duration(ms > 0 ? std::chrono::milliseconds(ms)
                                                      : std::chrono::milliseconds(1000));
  }();
  return first;
}

}  // namespace

void WatchHealth::CannotWatch(int code, const std::string& directory, const std::string& reason,
                              Retry retry) {
  code_ = code;
  text_ = "cannot watch " + directory + ": " + reason;
  Recall();
  if (retry != Retry::kAtOnce) {
    backoff_ = backoff_.count() == 0
                   ? FirstBackoff()
                   : std::min<std::chrono::steady_clock::duration>(2 * backoff_, kLongestBackoff);
    retry_at_ = std::chrono::steady_clock::now() + backoff_;
  }
  // Out of watches is one state, whichever node the watches ran out at.
  const std::string state = retry == Retry::kOutOfWatches ? std::string("out of watches") : text_;
  if (state == logged_) return;
  logged_ = state;
  if (log::current_level >= log::kError) log::print(0, log::kError, "settings: " + text_);
}

void WatchHealth::Lost(int code, const std::string& directory, const std::string& why, bool log) {
  code_ = code;
  text_ = "lost the watch of " + directory + ": " + why;
  Recall();
  if (log && log::current_level >= log::kError) log::print(0, log::kError, "settings: " + text_);
}

void WatchHealth::Recall() const { orverrno.set(code_, text_); }

bool WatchHealth::BackingOff() const {
  return backoff_.count() != 0 && std::chrono::steady_clock::now() < retry_at_;
}

void WatchHealth::Watching(const std::string& directory) {
  backoff_ = {};
  if (logged_.empty()) return;
  logged_.clear();
  if (log::current_level >= log::kNotice) {
    log::print(0, log::kNotice, "settings: watching " + directory + " again");
  }
}

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv
