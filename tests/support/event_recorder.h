// EventRecorder: collects events reported from any thread and lets a test
// wait for them with a deadline.
//
//   EventRecorder events;
//   events.Add("new d1");                        // from a callback
//   ASSERT_TRUE(events.WaitForText("new d1"));   // on the test thread
//   EXPECT_THAT(events.Texts(), ElementsAre("new d1"));
//
// Each event is a text and the id of the thread that reported it. Header
// only, so that it needs nothing beyond the standard library.

#ifndef ORV_TESTS_SUPPORT_EVENT_RECORDER_H_
#define ORV_TESTS_SUPPORT_EVENT_RECORDER_H_

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RecordedEvent {
  std::string text;
  std::thread::id thread;
};

class EventRecorder {
 public:
  using Events = std::vector<RecordedEvent>;

  void Add(std::string text) {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.push_back(RecordedEvent{std::move(text), std::this_thread::get_id()});
    changed_.notify_all();
  }
  Events Get() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return events_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const RecordedEvent& event : Get()) texts.push_back(event.text);
    return texts;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    events_.clear();
  }

  // WaitFor returns once `done` holds for the events caught so far (true), or
  // when `timeout` has passed without that (false).
  bool WaitFor(const std::function<bool(const Events&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, timeout, [&] { return done(events_); });
  }
  // WaitForText waits for `count` events with the text `text`.
  bool WaitForText(const std::string& text, int count = 1,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return WaitFor(
        [&](const Events& events) {
          return std::count_if(events.begin(), events.end(), [&](const RecordedEvent& event) {
                   return event.text == text;
                 }) >= count;
        },
        timeout);
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Events events_;  // guarded by mutex_
};

// WaitUntil polls `done` until it holds (true) or `timeout` passes (false),
// for conditions that nobody signals, such as a log line.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

#endif  // ORV_TESTS_SUPPORT_EVENT_RECORDER_H_
