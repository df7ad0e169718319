#include "subscribers.h"

SubscriberLock::SubscriberLock() : state_(new State) {}

SubscriberLock::~SubscriberLock() { delete state_; }

void SubscriberLock::lock() { state_->mutex.lock(); }

void SubscriberLock::unlock() { state_->mutex.unlock(); }

namespace orv {
namespace devmgmt_internal {

CallsUnderWay::CallsUnderWay(SubscriberLock& lock)
    : state_(lock.state()), number_(++state_.calls_started) {
  state_.calls.emplace_back(number_, std::this_thread::get_id());
}

CallsUnderWay::~CallsUnderWay() {
  std::lock_guard<std::mutex> hold(state_.mutex);
  state_.calls.erase(std::find_if(state_.calls.begin(), state_.calls.end(),
                                  [this](const auto& call) { return call.first == number_; }));
  state_.call_ended.notify_all();
}

void WaitForCallsUnderWay(SubscriberLock& lock) {
  SubscriberLock::State& state = lock.state();
  const std::thread::id self = std::this_thread::get_id();
  std::vector<std::uint64_t> others;
  for (const auto& call : state.calls) {
    if (call.second == self) return;
    others.push_back(call.first);
  }
  if (others.empty()) return;
  // The condition variable waits on the mutex inside the lock; the caller's
  // hold stays the owner throughout, as it expects.
  std::unique_lock<std::mutex> inner(state.mutex, std::adopt_lock);
  state.call_ended.wait(inner, [&state, &others] {
    return std::none_of(state.calls.begin(), state.calls.end(), [&others](const auto& call) {
      return std::find(others.begin(), others.end(), call.first) != others.end();
    });
  });
  inner.release();
}

}  // namespace devmgmt_internal
}  // namespace orv
