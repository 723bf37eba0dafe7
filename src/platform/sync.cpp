// Named mutexes over flock lock files, events over per-waiter condition variables, timed
// recursive locks and atomic counters; see sync.h. Threads themselves are in threads.cpp.
//
// Map:
//   ---- Waiting helpers ----
//   ---- Named mutexes ----     name folding, lock file names, the table of names, wait/release
//   ---- Events ----
//   ---- Recursive mutexes and counters ----
//
// Lock files are never deleted: a process waiting on the old file while another unlinks it and a
// third creates a new one would let two processes hold the same name.
#include "platform/sync.h"

#include "platform/case_fold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/device.h"
#include "platform/utf.h"

namespace platform {

// ---- Waiting helpers ----

namespace {

using Clock = std::chrono::steady_clock;

// The end of a wait, or none for kInfiniteWait.
std::optional<Clock::time_point> DeadlineAfter(uint32_t timeoutMs) {
  if (timeoutMs == kInfiniteWait) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

bool Passed(const std::optional<Clock::time_point>& deadline) {
  return deadline && Clock::now() >= *deadline;
}

// Waits on cv until notified, the deadline, or at most `slice` (when given), whichever is first.
void WaitSome(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
              const std::optional<Clock::time_point>& deadline,
              std::optional<std::chrono::milliseconds> slice = std::nullopt) {
  std::optional<Clock::time_point> until = deadline;
  if (slice) {
    Clock::time_point sliceEnd = Clock::now() + *slice;
    if (!until || sliceEnd < *until) until = sliceEnd;
  }
  if (until) {
    cv.wait_until(lock, *until);
  } else {
    cv.wait(lock);
  }
}

}  // namespace

// ---- Named mutexes ----

// One per name open in this process. All fields are guarded by g_namedMutexes.lock.
struct NamedMutexObject {
  std::string key;             // the folded name, the table's key
  int fd = -1;                 // the open lock file (close-on-exec); open for the object's life
  bool holdsName = false;      // this process holds the flock; false while another process does
  int handles = 0;             // open NamedMutex handles on this object
  std::thread::id owner;       // the owning thread; default id when nobody owns it
  uint32_t recursion = 0;      // the owner's number of unreleased waits
  std::condition_variable released;  // signalled when ownership is given up
};

namespace {

// Process-wide: the named mutexes open in this process, by folded name.
struct NamedMutexTable {
  std::mutex lock;  // guards the map and every field of every object in it
  std::unordered_map<std::string, std::shared_ptr<NamedMutexObject>> byName;  // open names
};

NamedMutexTable g_namedMutexes;

// How often a wait for a name that another process holds looks at the lock file again.
constexpr std::chrono::milliseconds kForeignPollInterval(10);

// File names are limited to 255 bytes; the escaped name keeps well inside that.
constexpr size_t kMaxEscapedNameBytes = 180;

std::string FoldedKey(std::u16string_view name) {
  return ToUtf8(FoldCase(name));
}

uint64_t Fnv1a64(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::string EscapedKey(const std::string& key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : key) {
    bool safe = (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '.' || b == '_' || b == '-';
    if (safe) {
      out += static_cast<char>(b);
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  if (out.size() > kMaxEscapedNameBytes) {
    // Cut on an escape boundary so the kept part still reads back as the name's beginning.
    size_t cut = kMaxEscapedNameBytes;
    if (out[cut - 1] == '%') cut -= 1;
    else if (out[cut - 2] == '%') cut -= 2;
    char hash[17];
    uint64_t h = Fnv1a64(key);
    for (int i = 15; i >= 0; --i, h >>= 4) hash[i] = kHex[h & 15];
    hash[16] = '\0';
    out = out.substr(0, cut) + "~" + hash;
  }
  return out;
}

DeviceError EnsureRunFolder(std::string& folder) {
  if (Device().root.empty()) return kErrorPathNotFound;
  folder = DeviceRunFolder();
  for (const std::string& path : {DevicePrivateFolder(), folder}) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return DeviceErrorFromErrno(errno);
  }
  return kErrorSuccess;
}

// Tries to take the name for this process without blocking. Called under the table lock.
// Returns 0 when taken, 183 when another process holds it, another error on failure.
DeviceError TryTakeName(NamedMutexObject& object) {
  for (;;) {
    if (::flock(object.fd, LOCK_EX | LOCK_NB) == 0) {
      object.holdsName = true;
      return kErrorSuccess;
    }
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return kErrorAlreadyExists;
    return DeviceErrorFromErrno(errno);
  }
}

void DropHandle(std::shared_ptr<NamedMutexObject>& object) {
  if (!object) return;
  std::lock_guard<std::mutex> guard(g_namedMutexes.lock);
  if (--object->handles == 0) {
    // Closing the descriptor drops the flock: other processes may now take the name.
    ::close(object->fd);
    object->fd = -1;
    object->holdsName = false;
    g_namedMutexes.byName.erase(object->key);
  }
  object.reset();
}

}  // namespace

std::string NamedMutexLockFileName(std::u16string_view name) {
  return "mutex-" + EscapedKey(FoldedKey(name)) + ".lock";
}

NamedMutex::NamedMutex(NamedMutex&& other) noexcept : object_(std::move(other.object_)) {}

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
  if (this != &other) {
    Close();
    object_ = std::move(other.object_);
  }
  return *this;
}

NamedMutex::~NamedMutex() { Close(); }

void NamedMutex::Close() { DropHandle(object_); }

NamedMutex CreateNamedMutex(std::u16string_view name, bool initiallyOwned, DeviceError* error) {
  DeviceError ignored;
  DeviceError& result = error ? *error : ignored;
  NamedMutex handle;
  if (name.empty()) {
    result = kErrorInvalidParameter;
    return handle;
  }
  std::string key = FoldedKey(name);
  std::lock_guard<std::mutex> guard(g_namedMutexes.lock);

  if (auto found = g_namedMutexes.byName.find(key); found != g_namedMutexes.byName.end()) {
    ++found->second->handles;
    handle.object_ = found->second;
    result = kErrorAlreadyExists;
    return handle;
  }

  std::string folder;
  if (DeviceError err = EnsureRunFolder(folder)) {
    result = err;
    return handle;
  }
  std::string path = folder + "/" + NamedMutexLockFileName(name);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    result = DeviceErrorFromErrno(errno);
    return handle;
  }
  auto object = std::make_shared<NamedMutexObject>();
  object->key = key;
  object->fd = fd;
  DeviceError taken = TryTakeName(*object);
  if (taken != kErrorSuccess && taken != kErrorAlreadyExists) {
    ::close(fd);
    result = taken;
    return handle;
  }
  if (taken == kErrorSuccess && initiallyOwned) {
    object->owner = std::this_thread::get_id();
    object->recursion = 1;
  }
  object->handles = 1;
  g_namedMutexes.byName.emplace(key, object);
  handle.object_ = std::move(object);
  result = taken;
  return handle;
}

DeviceError WaitForNamedMutex(NamedMutex& mutex, uint32_t timeoutMs) {
  if (!mutex.object_) return kErrorInvalidHandle;
  NamedMutexObject& object = *mutex.object_;
  auto deadline = DeadlineAfter(timeoutMs);
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(g_namedMutexes.lock);
  for (;;) {
    if (!object.holdsName) {
      DeviceError err = TryTakeName(object);
      if (err != kErrorSuccess && err != kErrorAlreadyExists) return err;
    }
    if (object.holdsName) {
      if (object.owner == std::thread::id() || object.owner == self) {
        object.owner = self;
        ++object.recursion;
        return kErrorSuccess;
      }
    }
    if (Passed(deadline)) return kErrorWaitTimeout;
    // Another process gives the name up without telling us: look again now and then.
    if (object.holdsName) {
      WaitSome(object.released, lock, deadline);
    } else {
      WaitSome(object.released, lock, deadline, kForeignPollInterval);
    }
  }
}

DeviceError ReleaseNamedMutex(NamedMutex& mutex) {
  if (!mutex.object_) return kErrorInvalidHandle;
  NamedMutexObject& object = *mutex.object_;
  std::lock_guard<std::mutex> guard(g_namedMutexes.lock);
  if (object.owner != std::this_thread::get_id() || object.recursion == 0) return kErrorNotOwner;
  if (--object.recursion == 0) {
    object.owner = std::thread::id();
    object.released.notify_all();
  }
  return kErrorSuccess;
}

// ---- Events ----

// A thread inside WaitForAnyEvent, listed in the waiters of every event it waits on.
struct EventWaiter {
  std::condition_variable wake;  // notified by SetEvent on any of its events
};

namespace {

// Process-wide: guards the state and waiter lists of every Event. Held only for a few steps.
std::mutex g_eventsLock;

}  // namespace

Event::Event(EventReset reset, bool initiallySet)
    : manualReset_(reset == EventReset::kManual), signalled_(initiallySet) {}

Event::~Event() {
  std::lock_guard<std::mutex> guard(g_eventsLock);
  assert(waiters_.empty() && "an event was destroyed while a thread waited on it");
}

void SetEvent(Event& event) {
  std::lock_guard<std::mutex> guard(g_eventsLock);
  event.signalled_ = true;
  // Every waiter looks; for an auto-reset event the first to get the lock consumes it and the
  // others find it clear again and go on waiting.
  for (EventWaiter* waiter : event.waiters_) waiter->wake.notify_one();
}

void ResetEvent(Event& event) {
  std::lock_guard<std::mutex> guard(g_eventsLock);
  event.signalled_ = false;
}

DeviceError WaitForEvent(Event& event, uint32_t timeoutMs) {
  Event* one[] = {&event};
  size_t index = 0;
  return WaitForAnyEvent(one, timeoutMs, &index);
}

DeviceError WaitForAnyEvent(std::span<Event* const> events, uint32_t timeoutMs, size_t* index) {
  if (events.empty() || std::find(events.begin(), events.end(), nullptr) != events.end())
    return kErrorInvalidParameter;
  auto deadline = DeadlineAfter(timeoutMs);
  EventWaiter self;
  bool listed = false;
  std::unique_lock<std::mutex> lock(g_eventsLock);
  auto unlist = [&] {
    if (!listed) return;
    for (Event* event : events) std::erase(event->waiters_, &self);
    listed = false;
  };
  for (;;) {
    for (size_t i = 0; i < events.size(); ++i) {
      Event& event = *events[i];
      if (!event.signalled_) continue;
      if (!event.manualReset_) event.signalled_ = false;
      unlist();
      if (index) *index = i;
      return kErrorSuccess;
    }
    if (Passed(deadline)) {
      unlist();
      return kErrorWaitTimeout;
    }
    if (!listed) {
      for (Event* event : events) event->waiters_.push_back(&self);
      listed = true;
    }
    WaitSome(self.wake, lock, deadline);
  }
}

// ---- Recursive mutexes and counters ----

bool RecursiveMutex::TryLockFor(uint32_t timeoutMs) {
  if (timeoutMs == kInfiniteWait) {
    mutex_.lock();
    return true;
  }
  return mutex_.try_lock_for(std::chrono::milliseconds(timeoutMs));
}

TimedLockGuard::TimedLockGuard(RecursiveMutex& mutex, uint32_t timeoutMs)
    : mutex_(mutex.TryLockFor(timeoutMs) ? &mutex : nullptr) {}

TimedLockGuard::TimedLockGuard(TimedLockGuard&& other) noexcept : mutex_(other.mutex_) {
  other.mutex_ = nullptr;
}

TimedLockGuard::~TimedLockGuard() {
  if (mutex_) mutex_->Unlock();
}

// Atomic arithmetic wraps around; the new value is computed the same way, without overflow.
int32_t AtomicIncrement(AtomicCounter& counter) {
  return static_cast<int32_t>(static_cast<uint32_t>(counter.fetch_add(1)) + 1u);
}
int32_t AtomicDecrement(AtomicCounter& counter) {
  return static_cast<int32_t>(static_cast<uint32_t>(counter.fetch_sub(1)) - 1u);
}
int32_t AtomicExchange(AtomicCounter& counter, int32_t value) { return counter.exchange(value); }

int32_t AtomicCompareExchange(AtomicCounter& counter, int32_t exchange, int32_t comparand) {
  counter.compare_exchange_strong(comparand, exchange);
  return comparand;  // compare_exchange leaves the value it found in comparand
}

}  // namespace platform
