// Opening a file the way every part of the program opens one: patiently, because a storage card
// that was just inserted (or the device waking up) answers "not ready" for a few seconds.
// The open itself, share modes and errors are the file service's (platform/files.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/files.h"

namespace nubrel {

inline constexpr int kOpenRetryAttempts = 4;             // looks at the file's attributes, in all
inline constexpr uint32_t kOpenRetryWaitMilliseconds = 2000;  // between two looks

// Reads the file's attributes first; while that answers 120 (storage not ready) it waits 2000 ms
// and looks again, at most 4 looks in all (3 waits), then opens the file as asked whatever the
// last look said. Returns the open file, or a closed handle with *error (optional) set to the
// open's failure; the arguments are those of platform::OpenFile. Blocks the calling thread
// for up to 6 seconds when the card never becomes ready.
platform::FileHandle OpenFileWithRetry(std::u16string_view path, uint32_t access, uint32_t share,
                                       platform::Disposition disposition,
                                       uint32_t attributes = platform::kFileAttributeNormal,
                                       platform::DeviceError* error = nullptr);

// Tests replace the wait so that they can count the waits instead of sleeping through them.
// The function receives the milliseconds to wait; an empty function restores the real sleep.
// Returns the function that was in place (empty for the real sleep). Safe from any thread.
using OpenRetrySleep = std::function<void(uint32_t milliseconds)>;
OpenRetrySleep SetOpenRetrySleepForTests(OpenRetrySleep sleep);

}  // namespace nubrel
