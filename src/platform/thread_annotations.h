// Clang's thread-safety annotations, and the mutex types that carry them.
//
// Shared state names the mutex that guards it (`ZELM_GUARDED_BY(mutex_)`), helpers that expect
// the caller to hold it say so (`ZELM_REQUIRES(mutex_)`, named `...Locked`), and a written
// lock order is `ZELM_ACQUIRED_AFTER`. The clang build with `-Wthread-safety -Werror`
// (scripts/test) checks every one of them; other compilers see empty macros.
//
// `CMutex` is a plain (never recursive) mutex; `CMutexLock` holds one for a scope and can be
// unlocked early (for a condition wait, use `CMutex::Native`). Both are movable-free and
// copy-free. Thread safety: as std::mutex.
#pragma once

#include <mutex>

#if defined(__clang__)
#define ZELM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZELM_THREAD_ANNOTATION(x)
#endif

#define ZELM_CAPABILITY(x) ZELM_THREAD_ANNOTATION(capability(x))
#define ZELM_SCOPED_CAPABILITY ZELM_THREAD_ANNOTATION(scoped_lockable)
#define ZELM_GUARDED_BY(x) ZELM_THREAD_ANNOTATION(guarded_by(x))
#define ZELM_PT_GUARDED_BY(x) ZELM_THREAD_ANNOTATION(pt_guarded_by(x))
#define ZELM_ACQUIRED_AFTER(...) ZELM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ZELM_ACQUIRED_BEFORE(...) ZELM_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ZELM_REQUIRES(...) ZELM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZELM_EXCLUDES(...) ZELM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZELM_ACQUIRE(...) ZELM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZELM_RELEASE(...) ZELM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZELM_TRY_ACQUIRE(...) ZELM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ZELM_RETURN_CAPABILITY(x) ZELM_THREAD_ANNOTATION(lock_returned(x))
#define ZELM_NO_THREAD_SAFETY_ANALYSIS ZELM_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zelm {

class ZELM_CAPABILITY("mutex") CMutex final {
 public:
  CMutex() = default;
  CMutex(const CMutex&) = delete;
  CMutex& operator=(const CMutex&) = delete;

  void Lock() ZELM_ACQUIRE() { mutex_.lock(); }
  void Unlock() ZELM_RELEASE() { mutex_.unlock(); }
  bool TryLock() ZELM_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // The standard mutex underneath, for std::condition_variable waits.
  std::mutex& Native() ZELM_RETURN_CAPABILITY(this) { return mutex_; }

 private:
  std::mutex mutex_;
};

class ZELM_SCOPED_CAPABILITY CMutexLock final {
 public:
  explicit CMutexLock(CMutex& mutex) ZELM_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~CMutexLock() ZELM_RELEASE() {
    if (held_) mutex_.Unlock();
  }
  CMutexLock(const CMutexLock&) = delete;
  CMutexLock& operator=(const CMutexLock&) = delete;

  // Lets go before the scope ends.
  void Unlock() ZELM_RELEASE() {
    mutex_.Unlock();
    held_ = false;
  }

 private:
  CMutex& mutex_;
  bool held_ = true;
};

// Two mutexes at once without deadlock (std::scoped_lock's order), for a scope.
class ZELM_SCOPED_CAPABILITY CMutexLock2 final {
 public:
  CMutexLock2(CMutex& a, CMutex& b) ZELM_ACQUIRE(a, b) : a_(a), b_(b) {
    std::lock(a_.Native(), b_.Native());
  }
  ~CMutexLock2() ZELM_RELEASE() {
    a_.Native().unlock();
    b_.Native().unlock();
  }
  CMutexLock2(const CMutexLock2&) = delete;
  CMutexLock2& operator=(const CMutexLock2&) = delete;

 private:
  CMutex& a_;
  CMutex& b_;
};

}  // namespace zelm
