// cond_var.h: a condition variable for the annotated Mutex.

#ifndef ORVDEVMGMT_SRC_COND_VAR_H_
#define ORVDEVMGMT_SRC_COND_VAR_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "orv/devmgmt_mutex.h"

namespace orv {
namespace devmgmt_internal {

using orv::devMgmt::Mutex;

// CondVar is a std::condition_variable for a Mutex. Each wait releases the
// held mutex while it waits and holds it again when it returns (spurious
// wake-ups included: wait in a loop on the guarded condition).
class CondVar {
 public:
  void notify_all() noexcept { cv_.notify_all(); }

  void Wait(Mutex& mutex) __attribute__((requires_capability(mutex)));
  // WaitUntil returns false when `deadline` passed.
  template <class Clock, class Duration>
  bool WaitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      __attribute__((requires_capability(mutex)));

 private:
  std::condition_variable cv_;
};

inline void CondVar::Wait(Mutex& mutex) {
  std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
  cv_.wait(held);
  held.release();  // the caller's MutexLock releases it
}

template <class Clock, class Duration>
bool CondVar::WaitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline) {
  std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
  std::cv_status status = std::cv_status::no_timeout;
  try {
    status = cv_.wait_until(held, deadline);
  } catch (...) {
    held.release();  // the clock threw with the mutex held again: the caller's to release
    throw;
  }
  held.release();
  return status == std::cv_status::no_timeout;
}

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_COND_VAR_H_
