// Threads over std::thread, per-thread nice values for priorities, joins with a time-out; see
// threads.h. The new thread reports its host id and sets its own priority before its body runs,
// so a started Thread always has its id.
#include "platform/threads.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include "platform/sync.h"

namespace platform {

// Shared by a Thread handle and its running thread; every field guarded by `lock`.
struct ThreadState {
  std::mutex lock;
  std::condition_variable changed;  // signalled when `started` or `ended` becomes true
  bool started = false;             // the thread has set its priority and published its id
  bool ended = false;               // the thread's body has returned (or thrown)
  uint32_t id = 0;                  // the thread's host id
};

namespace {

// Two nice steps: enough for the scheduler to favour the interface thread, little enough that
// background work still makes progress on a busy machine.
constexpr int kBelowNormalNiceSteps = 2;

// Priorities are relative to the process: the main thread's nice value, whatever nice value the
// starting thread itself runs at (the retrieval manager, below normal, starts the workers).
void ApplyPriority(ThreadPriority priority, pid_t tid) {
  errno = 0;
  int processNice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
  if (processNice == -1 && errno != 0) return;
  int target = processNice + (priority == ThreadPriority::kBelowNormal ? kBelowNormalNiceSteps : 0);
  if (target > 19) target = 19;
  // Raising a lowered thread back may need a privilege the host does not give: then the thread
  // keeps the priority it inherited, which is allowed.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), target);
}

// Marks the state ended when the body leaves, however it leaves.
struct EndMarker {
  ThreadState& state;
  ~EndMarker() {
    std::lock_guard<std::mutex> guard(state.lock);
    state.ended = true;
    state.changed.notify_all();
  }
};

}  // namespace

Thread::Thread(Thread&& other) noexcept
    : state_(std::move(other.state_)), thread_(std::move(other.thread_)), id_(other.id_) {
  other.id_ = 0;
}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Release();
    state_ = std::move(other.state_);
    thread_ = std::move(other.thread_);
    id_ = other.id_;
    other.id_ = 0;
  }
  return *this;
}

Thread::~Thread() { Release(); }

bool Thread::HasEnded() const {
  if (!state_) return true;
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->ended;
}

void Thread::Release() {
  if (thread_.joinable()) {
    if (HasEnded()) {
      thread_.join();
    } else {
      thread_.detach();  // never killed: it finishes on its own
    }
  }
  state_.reset();
  id_ = 0;
}

DeviceError StartThread(std::function<void()> body, ThreadPriority priority, Thread& thread) {
  thread.Release();
  auto state = std::make_shared<ThreadState>();
  std::thread host;
  try {
    host = std::thread([state, priority, body = std::move(body)]() mutable {
      {
        pid_t tid = ::gettid();
        ApplyPriority(priority, tid);
        std::lock_guard<std::mutex> guard(state->lock);
        state->id = static_cast<uint32_t>(tid);
        state->started = true;
        state->changed.notify_all();
      }
      EndMarker marker{*state};
      body();
    });
  } catch (const std::system_error&) {
    return kErrorNotEnoughMemory;
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
  {
    std::unique_lock<std::mutex> lock(state->lock);
    state->changed.wait(lock, [&] { return state->started; });
    thread.id_ = state->id;
  }
  thread.state_ = std::move(state);
  thread.thread_ = std::move(host);
  return kErrorSuccess;
}

DeviceError JoinThread(Thread& thread, uint32_t timeoutMs) {
  if (!thread.state_ || !thread.thread_.joinable()) return kErrorInvalidHandle;
  if (thread.thread_.get_id() == std::this_thread::get_id()) return kErrorAccessDenied;
  {
    std::unique_lock<std::mutex> lock(thread.state_->lock);
    auto ended = [&] { return thread.state_->ended; };
    if (timeoutMs == kInfiniteWait) {
      thread.state_->changed.wait(lock, ended);
    } else if (!thread.state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ended)) {
      return kErrorWaitTimeout;
    }
  }
  // The body has returned; what is left of the thread ends at once.
  thread.thread_.join();
  thread.Release();
  return kErrorSuccess;
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::gettid()); }

void Sleep(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

}  // namespace platform
