// The device's 64-bit file time: 100-nanosecond units since 1 January 1601, UTC.
// Only the type and the exact host conversions live here; the clock, local time and calendar
// conversions are the time service's (device_time.h).
#pragma once

#include <cstdint>

namespace platform {

using FileTime = uint64_t;

// 100-ns units between 1601-01-01 and 1970-01-01.
inline constexpr FileTime kUnixEpochAsFileTime = 116444736000000000ULL;
inline constexpr FileTime kFileTimeUnitsPerSecond = 10000000ULL;

// Host seconds and nanoseconds since 1970 to a file time; times before 1601 become 0.
constexpr FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds = 0) {
  __int128 t = static_cast<__int128>(seconds) * 10000000 + nanoseconds / 100 +
               static_cast<__int128>(kUnixEpochAsFileTime);
  return t < 0 ? 0 : static_cast<FileTime>(t);
}

// A file time to host seconds since 1970 (floor) and the nanoseconds past them.
constexpr void FileTimeToUnix(FileTime time, int64_t& seconds, int64_t& nanoseconds) {
  __int128 rel = static_cast<__int128>(time) - static_cast<__int128>(kUnixEpochAsFileTime);
  __int128 sec = rel / 10000000;
  __int128 rem = rel % 10000000;
  if (rem < 0) {
    rem += 10000000;
    --sec;
  }
  seconds = static_cast<int64_t>(sec);
  nanoseconds = static_cast<int64_t>(rem) * 100;
}

}  // namespace platform
