// Opening files with the wait for a storage card that is not ready; see file_open.h.
#include "shared/file_open.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

namespace nubrel {

namespace {

// The wait that OpenFileWithRetry uses. Guarded by `lock`; the function is copied out under the
// lock and called outside it, so a slow (real) wait never holds other openers up.
struct OpenRetryState {
  std::mutex lock;
  OpenRetrySleep sleep;  // empty: the real sleep
};

OpenRetryState& RetryState() {
  static OpenRetryState state;
  return state;
}

void WaitBeforeNextLook(uint32_t milliseconds) {
  OpenRetrySleep sleep;
  {
    std::lock_guard<std::mutex> guard(RetryState().lock);
    sleep = RetryState().sleep;
  }
  if (sleep) {
    sleep(milliseconds);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

}  // namespace

platform::FileHandle OpenFileWithRetry(std::u16string_view path, uint32_t access, uint32_t share,
                                       platform::Disposition disposition, uint32_t attributes,
                                       platform::DeviceError* error) {
  for (int attempt = 1; attempt <= kOpenRetryAttempts; ++attempt) {
    uint32_t current = 0;
    if (platform::GetFileAttributes(path, current) != platform::kErrorStorageNotReady) break;
    if (attempt < kOpenRetryAttempts) WaitBeforeNextLook(kOpenRetryWaitMilliseconds);
  }
  return platform::OpenFile(path, access, share, disposition, attributes, error);
}

OpenRetrySleep SetOpenRetrySleepForTests(OpenRetrySleep sleep) {
  std::lock_guard<std::mutex> guard(RetryState().lock);
  return std::exchange(RetryState().sleep, std::move(sleep));
}

}  // namespace nubrel
