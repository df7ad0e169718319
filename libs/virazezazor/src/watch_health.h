// WatchHealth: why a MonitoredKey has no descriptor. The reason goes to the
// client (orverrno, on every get_fd that fails) and to the log (once per
// change of state: the sync thread of a client asks every few seconds).

#ifndef ORV_VIRAZEZAZOR_SRC_WATCH_HEALTH_H_
#define ORV_VIRAZEZAZOR_SRC_WATCH_HEALTH_H_

#include <chrono>
#include <string>

namespace orv {
namespace setMgmt {
namespace internal {

// When to try setting a watch up again after a failure.
enum class Retry {
  kAtOnce,        // on the next get_fd: the node is missing, or a link
  kBackOff,       // after the back-off: a node that can't be watched now
  kOutOfWatches,  // the same, and one state wherever the watches ran out
};

class WatchHealth {
 public:
  // CannotWatch records that `directory` (a full file name) can't be
  // watched: orverrno gets `code` and "cannot watch <directory>: <reason>",
  // and the log (level 0) "settings: " and that text when the state differs
  // from the last one logged. A `retry` other than kAtOnce starts or
  // lengthens the back-off.
  void CannotWatch(int code, const std::string& directory, const std::string& reason, Retry retry);

  // Lost records in orverrno that a working watch of `directory` went away
  // for `why`. Logged (level 0, "settings: lost the watch of ...") only with
  // `log`: the client hears of it anyway and reads the tree anew.
  void Lost(int code, const std::string& directory, const std::string& why, bool log);

  // Recall records the last reason in orverrno again.
  void Recall() const;

  // BackingOff is true while the kernel's watches ran out lately: setting a
  // watch up is not tried again before the back-off (1 s, doubling up to a
  // minute while the limit holds) has passed.
  bool BackingOff() const;

  // Watching notes that the watch of `directory` is up: the back-off ends,
  // and after a failure that was logged, a line (level 2) says so.
  void Watching(const std::string& directory);

 private:
  int code_ = 0;
  std::string text_;
  std::string logged_;  // the state last logged; empty while watching
  std::chrono::steady_clock::duration backoff_{};
  std::chrono::steady_clock::time_point retry_at_{};
};

}  // namespace internal
}  // namespace setMgmt
}  // namespace orv

#endif  // ORV_VIRAZEZAZOR_SRC_WATCH_HEALTH_H_
