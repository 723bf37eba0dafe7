// Synchronisation the reader expects of its device: named mutexes that also exclude other
// processes, manual- and auto-reset events with single and any-of waits, recursive mutexes with
// a timed lock, and atomic counters. Threads and their priorities are in threads.h; nothing here
// starts a thread.
//
// Named mutexes between processes: a process that has a named mutex open holds an exclusive
// flock on "<DeviceRunFolder()>/mutex-<escaped name>.lock" until its last handle on that name is
// closed (or the process ends, however it ends: the kernel drops the lock). Between processes the
// unit of ownership is therefore the process; between the threads of one process the mutex is a
// recursive mutex owned by one thread at a time. Lock files are closed on exec, so a program the
// reader starts (the updater) never inherits its names.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_errors.h"

namespace platform {

// A wait time-out meaning "wait as long as it takes".
inline constexpr uint32_t kInfiniteWait = 0xFFFFFFFF;

// ---- Named mutexes ----

struct NamedMutexObject;  // one per name in this process; private to sync.cpp

// A handle on a named mutex. Move-only; closing (or destroying) the last handle of a name in this
// process gives up the name: a thread of this process that still owned it loses the ownership and
// other processes may create the name again. Several threads may wait on one handle, but it must
// not be closed while one of them does.
class NamedMutex {
 public:
  NamedMutex() = default;
  NamedMutex(NamedMutex&& other) noexcept;
  NamedMutex& operator=(NamedMutex&& other) noexcept;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  ~NamedMutex();

  bool IsOpen() const { return object_ != nullptr; }
  void Close();

 private:
  friend NamedMutex CreateNamedMutex(std::u16string_view, bool, DeviceError*);
  friend DeviceError WaitForNamedMutex(NamedMutex&, uint32_t);
  friend DeviceError ReleaseNamedMutex(NamedMutex&);
  std::shared_ptr<NamedMutexObject> object_;
};

// Creates the mutex called name (compared without regard to case), or opens it when it exists.
// error receives:
//   0    the name was free: this process now holds it; with initiallyOwned the calling thread
//        owns the mutex;
//   183  the name already exists, in this process or in another one. The handle is still open
//        (initiallyOwned is then ignored) and can be waited on: for a name held by another
//        process the wait lasts until that process gives the name up.
//   87   the name is empty; 3 when the device has no run folder; another device error when the
//        lock file cannot be opened. The handle is then closed.
// The reader's single-instance rule: the first reader creates "NubrelInstance" owned, a second
// reader gets 183 and leaves.
NamedMutex CreateNamedMutex(std::u16string_view name, bool initiallyOwned,
                            DeviceError* error = nullptr);

// Takes ownership for the calling thread (recursively: each wait needs its own release).
// Returns 0, 258 when the time-out (ms, or kInfiniteWait) passed first, 6 for a closed handle.
DeviceError WaitForNamedMutex(NamedMutex& mutex, uint32_t timeoutMs);

// Gives up one level of the calling thread's ownership. Returns 0, 288 when the calling thread
// does not own the mutex, 6 for a closed handle.
DeviceError ReleaseNamedMutex(NamedMutex& mutex);

// The lock file name (no folder) that stands for a mutex name: "mutex-" + the name folded to
// lower case with every byte outside [a-z0-9._-] written as %XX, "lock" as its extension; a very
// long name is cut and completed by a hash, so the file name stays within the host's limit.
// A name can never reach outside the run folder.
std::string NamedMutexLockFileName(std::u16string_view name);

// ---- Events ----

struct EventWaiter;  // a thread inside WaitForAnyEvent; private to sync.cpp

enum class EventReset {
  kManual,  // stays set until reset: every waiter is released
  kAuto,    // released waiter resets it: exactly one waiter gets through per set
};

// An event. Neither copyable nor movable (waiters refer to it); it must outlive its waits.
class Event {
 public:
  explicit Event(EventReset reset, bool initiallySet = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event();

 private:
  friend void SetEvent(Event&);
  friend void ResetEvent(Event&);
  friend DeviceError WaitForAnyEvent(std::span<Event* const>, uint32_t, size_t*);
  const bool manualReset_;
  bool signalled_;                     // guarded by the events lock in sync.cpp
  std::vector<EventWaiter*> waiters_;  // threads now waiting on this event; same lock
};

// Sets the event and releases its waiters (one of them for an auto-reset event).
void SetEvent(Event& event);
// Clears the event.
void ResetEvent(Event& event);

// Waits until the event is set. Returns 0 (an auto-reset event is consumed by this wait), or
// 258 when the time-out (ms, or kInfiniteWait) passed first.
DeviceError WaitForEvent(Event& event, uint32_t timeoutMs);

// Waits until any of the events is set. Returns 0 and the index (in events) of a set event in
// *index (the lowest index when several are set; only that one is consumed when it is an
// auto-reset event), 258 when the time-out passed first, 87 when events is empty or holds null.
DeviceError WaitForAnyEvent(std::span<Event* const> events, uint32_t timeoutMs, size_t* index);

// ---- Recursive mutexes ----

// A recursive mutex whose lock can give up after a time (the channel tree's per-node locks wait
// 60 s and their callers fall back on failure).
class RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock() { mutex_.lock(); }
  // True when the calling thread holds the lock (once more) within timeoutMs (kInfiniteWait:
  // waits as long as it takes).
  bool TryLockFor(uint32_t timeoutMs);
  void Unlock() { mutex_.unlock(); }

 private:
  std::recursive_timed_mutex mutex_;
};

// Holds a RecursiveMutex for a scope, when it got it within the time-out. Move-only.
class TimedLockGuard {
 public:
  TimedLockGuard(RecursiveMutex& mutex, uint32_t timeoutMs);
  TimedLockGuard(TimedLockGuard&& other) noexcept;
  TimedLockGuard& operator=(TimedLockGuard&&) = delete;
  TimedLockGuard(const TimedLockGuard&) = delete;
  TimedLockGuard& operator=(const TimedLockGuard&) = delete;
  ~TimedLockGuard();

  // Whether the lock was obtained; when false the caller must not touch what it guards.
  bool Locked() const { return mutex_ != nullptr; }
  explicit operator bool() const { return Locked(); }

 private:
  RecursiveMutex* mutex_;  // null when the lock was not obtained
};

// ---- Atomic counters ----

using AtomicCounter = std::atomic<int32_t>;

// Each returns the counter's NEW value.
int32_t AtomicIncrement(AtomicCounter& counter);
int32_t AtomicDecrement(AtomicCounter& counter);
// Stores value; returns the counter's previous value.
int32_t AtomicExchange(AtomicCounter& counter, int32_t value);
// Stores exchange when the counter equals comparand; returns the previous value either way.
int32_t AtomicCompareExchange(AtomicCounter& counter, int32_t exchange, int32_t comparand);

}  // namespace platform
