// LogCapture: collects the lines the utility library's logger prints.
//
//   LogCapture log(3);                 // threshold 3 while it lives
//   ... code that logs ...
//   EXPECT_TRUE(log.Contains(3, "[orvdevmgmt:"));
//
// While a LogCapture lives, every printed line goes to it instead of stderr
// and orv::log::current_level holds the level given; both are restored when
// it goes. Thread-safe: lines may come from any thread.

#ifndef ORV_TESTS_SUPPORT_LOG_CAPTURE_H_
#define ORV_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <mutex>
#include <string>
#include <vector>

#include "orv/log.h"

struct LogLine {
  int level;
  std::string text;
};

class LogCapture {
 public:
  explicit LogCapture(int level);
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture();

  // Lines returns a copy of every line caught so far, in order.
  std::vector<LogLine> Lines() const;
  // Texts returns the texts of the lines caught so far with the frame's
  // "[file:line][function()]: " prefix cut off, each as "<level> <rest>",
  // e.g. "3 get_device_id_by_mac: mac=m1, device_id=d1".
  std::vector<std::string> Messages() const;
  // Contains is true when a caught line of `level` holds `fragment`.
  bool Contains(int level, const std::string& fragment) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;  // guarded by mutex_
  int saved_level_;
  orv::log::Sink saved_sink_;
};

#endif  // ORV_TESTS_SUPPORT_LOG_CAPTURE_H_
