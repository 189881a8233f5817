// A mutex and its scoped lock, annotated so that clang can check which
// members a lock guards (core/thread_annotations.h). Behaves exactly like
// std::mutex and std::lock_guard; lock()/unlock() in lower case let
// std::unique_lock and std::condition_variable_any work with it.
#pragma once

#include <mutex>

#include "core/thread_annotations.h"

namespace tide {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { m_mutex.lock(); }
  void Unlock() RELEASE() { m_mutex.unlock(); }
  // Tells the analysis that the caller holds the mutex where it cannot see
  // it (a callback run under the lock); checks nothing at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}
  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }

 private:
  std::mutex m_mutex;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex->Lock(); }
  ~MutexLock() RELEASE() { m_mutex->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const m_mutex;
};

}  // namespace tide
