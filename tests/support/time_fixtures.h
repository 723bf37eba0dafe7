// Test helpers for anything that depends on the clock's zone or builds times from calendar fields:
// a scoped TZ and a UTC file time from its fields.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/device_time.h"

namespace testsupport {

// Sets TZ for one test and puts the previous zone back afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = ::getenv("TZ")) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneScope() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;

 private:
  std::optional<std::string> saved_;
};

// The UTC file time of a calendar instant; a date the calendar refuses fails the test.
inline platform::FileTime Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  platform::SystemTime st;
  st.year = static_cast<uint16_t>(y);
  st.month = static_cast<uint16_t>(mo);
  st.day = static_cast<uint16_t>(d);
  st.hour = static_cast<uint16_t>(h);
  st.minute = static_cast<uint16_t>(mi);
  st.second = static_cast<uint16_t>(s);
  st.milliseconds = static_cast<uint16_t>(ms);
  platform::FileTime t = 0;
  EXPECT_EQ(platform::SystemTimeToFileTime(st, t), platform::kErrorSuccess);
  return t;
}

}  // namespace testsupport
