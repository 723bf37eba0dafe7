// Threads as the reader uses them: started at normal or below-normal priority, joined with a
// time-out, identified by a 32-bit number for the trace log, and put to sleep. Threads are never
// killed: a thread that will not end in time is left to finish on its own.
// Locks, events and counters are in sync.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "platform/device_errors.h"

namespace platform {

enum class ThreadPriority {
  kNormal,       // the process's own scheduling priority
  kBelowNormal,  // a little below it (two nice steps), so the interface thread stays responsive
};

struct ThreadState;  // shared by the handle and the running thread; private to threads.cpp

// A started thread. Move-only. Destroying a handle whose thread has ended joins it; destroying
// one whose thread still runs lets that thread run on by itself (it is never killed).
class Thread {
 public:
  Thread() = default;
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();

  // Whether the handle refers to a thread that has not been joined.
  bool IsStarted() const { return state_ != nullptr; }
  // The thread's id as CurrentThreadId() reports it inside the thread; 0 for an empty handle.
  uint32_t Id() const { return id_; }
  // Whether the thread's function has returned.
  bool HasEnded() const;

 private:
  friend DeviceError StartThread(std::function<void()>, ThreadPriority, Thread&);
  friend DeviceError JoinThread(Thread&, uint32_t);
  void Release();
  std::shared_ptr<ThreadState> state_;
  std::thread thread_;
  uint32_t id_ = 0;
};

// Starts body on a new thread at the given priority; thread receives its handle (a handle it
// held before is released first as its destructor would). Returns 0, or 8 when the host could
// not start a thread. A priority the host refuses to lower is not an error: the thread then runs
// at normal priority.
DeviceError StartThread(std::function<void()> body, ThreadPriority priority, Thread& thread);

// Waits up to timeoutMs (or kInfiniteWait from sync.h, 0xFFFFFFFF) for the thread to end.
// Returns 0 when it ended (the handle is then empty), 258 when it still runs (the handle stays
// usable for another wait), 6 for an empty handle, 5 when a thread tries to join itself.
DeviceError JoinThread(Thread& thread, uint32_t timeoutMs);

// The calling thread's id: the host's thread id, unique among running threads of the system,
// printed by the trace log as "[%08lx]".
uint32_t CurrentThreadId();

// Suspends the calling thread for ms milliseconds; 0 only yields the processor.
void Sleep(uint32_t ms);

}  // namespace platform
