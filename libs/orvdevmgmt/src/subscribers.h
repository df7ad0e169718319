// subscribers.h: how a subscription registry calls its functions with no
// lock held and still keeps the promise of its removals: once a removal
// returns, the function removed is never called.
//
// A registry is guarded by a SubscriberLock (orv/devmgmt_internals.h). To
// call, it copies under that lock the functions due into a Snapshot, in the
// order and with the repetitions they are to be called, opens a CallsUnderWay
// and releases the lock; then it calls from the snapshot:
//
//   Snapshot<KeyChangeCallback> due;
//   std::optional<CallsUnderWay> under_way;
//   {
//     orv::devMgmt::MutexLock hold(lock);
//     due.Append(spy.callbacks.begin(), spy.callbacks.end());
//     under_way.emplace(lock);
//   }
//   for (KeyChangeCallback callback : due) callback(key);
//
// A removal drops the function under the lock, then calls
// WaitForCallsUnderWay before it releases it. CallbackSlot is a registry of
// one function built this way.

#ifndef ORVDEVMGMT_SRC_SUBSCRIBERS_H_
#define ORVDEVMGMT_SRC_SUBSCRIBERS_H_

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "orv/devmgmt_internals.h"

// The state behind a SubscriberLock: one per registry, so that a removal
// never waits for the calls of another registry.
struct SubscriberLock::State {
  std::mutex mutex;
  // Signalled, under mutex, each time a CallsUnderWay ends.
  std::condition_variable call_ended;
  // The CallsUnderWay open now: a number of its own and the calling thread
  // each. Guarded by mutex.
  std::vector<std::pair<std::uint64_t, std::thread::id>> calls;
  std::uint64_t calls_started = 0;  // guarded by mutex
};

namespace orv {
namespace devmgmt_internal {

// CallsUnderWay marks the calls a thread makes from one snapshot of a
// registry, from the snapshot to the last call, however they end.
class CallsUnderWay {
 public:
  // Its maker holds `lock`.
  explicit CallsUnderWay(SubscriberLock& lock)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
      __attribute__((requires_capability(lock)))
#endif
      ;
  CallsUnderWay(const CallsUnderWay&) = delete;
  CallsUnderWay& operator=(const CallsUnderWay&) = delete;
  // Takes the lock: it must not be held by this thread any more.
  ~CallsUnderWay();

 private:
  SubscriberLock::State& state_;
  const std::uint64_t number_;
};

// WaitForCallsUnderWay waits until the calls that other threads have under
// way from the registry of `lock` have ended: they call from a snapshot taken
// before the removal and may still call the function removed. Calls begun
// later took their snapshot after it and are not waited for. A thread that
// has calls of this registry under way itself doesn't wait (it would wait
// for itself, or for a thread that waits for it).
// Its caller holds `lock`, and still does when it returns.
void WaitForCallsUnderWay(SubscriberLock& lock)
#if defined(__clang__)  // GCC can't name a parameter in an attribute
    __attribute__((requires_capability(lock)))
#endif
    ;

// Snapshot holds the functions a registry is about to call, copied under its
// lock so that a callback may change the registry meanwhile. The first few fit
// inline and cost no allocation.
template <class Callback>
class Snapshot {
 public:
  Snapshot() = default;
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  template <class Iterator>
  void Append(Iterator first, Iterator last) {
    for (; first != last; ++first) Add(*first);
  }
  void Add(Callback callback) {
    if (heap_.empty() && size_ < kInline) {
      inline_[size_++] = callback;
      return;
    }
    if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
    heap_.push_back(callback);
    ++size_;
  }
  // KeepDistinct leaves each function once, in ascending order of address.
  void KeepDistinct() {
    Callback* data = heap_.empty() ? inline_ : heap_.data();
    std::sort(data, data + size_, std::less<Callback>());
    size_ = static_cast<std::size_t>(std::unique(data, data + size_) - data);
    if (!heap_.empty()) heap_.resize(size_);
  }

  const Callback* begin() const { return heap_.empty() ? inline_ : heap_.data(); }
  const Callback* end() const { return begin() + size_; }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kInline = 8;
  Callback inline_[kInline];
  std::vector<Callback> heap_;  // all of them, once they don't fit inline
  std::size_t size_ = 0;
};

// CallbackSlot is a registry of one function, which a new one replaces.
template <class Callback>
class CallbackSlot {
 public:
  CallbackSlot() = default;
  CallbackSlot(const CallbackSlot&) = delete;
  CallbackSlot& operator=(const CallbackSlot&) = delete;

  // Set puts `callback` in the slot in place of the one there, at once.
  void Set(Callback callback) {
    orv::devMgmt::MutexLock hold(lock_);
    callback_ = callback;
  }
  // Reset empties the slot, then waits for the calls from it under way on
  // other threads: once it returns, the function that was there isn't called.
  void Reset() {
    orv::devMgmt::MutexLock hold(lock_);
    callback_ = nullptr;
    WaitForCallsUnderWay(lock_);
  }
  // Call calls the function in the slot with `args`, with no lock held, and
  // returns true; returns false when the slot is empty. What the function
  // throws passes on.
  template <class... Args>
  bool Call(Args&&... args) {
    Callback callback = nullptr;
    std::optional<CallsUnderWay> under_way;
    {
      orv::devMgmt::MutexLock hold(lock_);
      callback = callback_;
      if (callback == nullptr) return false;
      under_way.emplace(lock_);
    }
    callback(std::forward<Args>(args)...);
    return true;
  }

 private:
  SubscriberLock lock_;
  Callback callback_ __attribute__((guarded_by(lock_))) = nullptr;
};

}  // namespace devmgmt_internal
}  // namespace orv

#endif  // ORVDEVMGMT_SRC_SUBSCRIBERS_H_
