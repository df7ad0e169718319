// orv/devmgmt_mutex.h: the locks of the device library, as clang's
// thread-safety analysis knows them.
//
// Mutex and RecursiveMutex are std::mutex and std::recursive_mutex (same
// cost, same behaviour) marked as capabilities; MutexLock holds one for the
// life of a scope. Data a lock guards is
// declared with guarded_by beside it, and a function that runs under its
// caller's hold says so with requires_capability, so that a build with
// `clang++ -Wthread-safety` checks every access:
//
//   orv::devMgmt::MutexLock hold(g_devices.mutex);
//   auto found = g_devices.devices.find("d1");  // checked: the lock is held
//
// lock(), unlock() and try_lock() also make both mutexes usable with the
// standard's lock types, which the analysis doesn't follow. Other compilers
// ignore the annotations.

#ifndef ORV_DEVMGMT_MUTEX_H_
#define ORV_DEVMGMT_MUTEX_H_

#include <mutex>

// GCC doesn't know the analysis' attributes and would warn about each.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
#endif

namespace orv {
namespace devmgmt_internal {
class CondVar;  // the library's own: waits on a held Mutex
}  // namespace devmgmt_internal

namespace devMgmt {

// Mutex is a std::mutex the analysis knows.
class __attribute__((capability("mutex"))) Mutex {
 public:
  constexpr Mutex() noexcept = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() __attribute__((acquire_capability())) { mutex_.lock(); }
  void unlock() __attribute__((release_capability())) { mutex_.unlock(); }
  bool try_lock() __attribute__((try_acquire_capability(true))) { return mutex_.try_lock(); }

 private:
  friend class ::orv::devmgmt_internal::CondVar;
  std::mutex mutex_;
};

// RecursiveMutex is a std::recursive_mutex the analysis knows. A thread that
// holds it may take it again from a function it calls; the analysis, which
// looks at one function at a time, refuses a second hold within one.
class __attribute__((capability("mutex"))) RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() __attribute__((acquire_capability())) { mutex_.lock(); }
  void unlock() __attribute__((release_capability())) { mutex_.unlock(); }
  bool try_lock() __attribute__((try_acquire_capability(true))) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// MutexLock takes a Mutex or a RecursiveMutex when made and releases it when
// destroyed, however the scope ends.
template <class M>
class __attribute__((scoped_lockable)) MutexLock {
 public:
  explicit MutexLock(M& mutex) __attribute__((acquire_capability(mutex))) : mutex_(mutex) {
    mutex_.lock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() __attribute__((release_capability())) { mutex_.unlock(); }

 private:
  M& mutex_;
};

}  // namespace devMgmt
}  // namespace orv

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif  // ORV_DEVMGMT_MUTEX_H_
