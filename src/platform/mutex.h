// SPDX-License-Identifier: MIT
// Locks that the compiler can check: std::mutex and std::shared_mutex with
// clang's thread-safety attributes, their scoped holders, and a condition
// variable that waits with one of them. Fields they guard say so with
// GUARDED_BY; see thread_annotations.h for the order in which they are taken.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/thread_annotations.h"

namespace tarvel {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // Takes the lock when it is free, and says whether it did; never waits.
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` from its construction to the end of its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  // Says that the caller has taken the lock already, by TryLock.
  struct Adopt {};

  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  // Holds a lock already taken, releasing it at the end of the scope.
  MutexLock(Mutex& mutex, Adopt) REQUIRES(mutex) : mutex_(mutex) {}
  ~MutexLock() RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Waits for a change that another thread makes under a Mutex and announces
// with Notify. Every wait may also end without one, so callers wait in a loop
// that checks the guarded state: a loop the compiler can check, where a
// predicate lambda would hide the lock from it.
class CondVar {
 public:
  using Clock = std::chrono::steady_clock;

  // Releases `mutex` while it waits, and holds it again on return.
  void Wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    changed_.wait(lock);
    lock.release();
  }
  // As Wait, at most until `deadline`; false once it has passed.
  bool WaitUntil(Mutex& mutex, Clock::time_point deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    bool inTime = changed_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return inTime;
  }
  void NotifyOne() { changed_.notify_one(); }
  void NotifyAll() { changed_.notify_all(); }

 private:
  std::condition_variable changed_;
};

// A lock that many threads may hold shared, or one exclusively.
class CAPABILITY("shared mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  void LockShared() ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds `mutex` shared from its construction to the end of its scope.
class SCOPED_CAPABILITY SharedLock {
 public:
  explicit SharedLock(SharedMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.LockShared();
  }
  ~SharedLock() RELEASE() { mutex_.UnlockShared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds `mutex` exclusively from its construction to the end of its scope.
class SCOPED_CAPABILITY ExclusiveLock {
 public:
  explicit ExclusiveLock(SharedMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~ExclusiveLock() RELEASE() { mutex_.Unlock(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SharedMutex& mutex_;
};

}  // namespace tarvel
