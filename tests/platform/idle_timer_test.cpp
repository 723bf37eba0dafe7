// Resetting the idle timer reaches the desktop session at most once per interval.
#include "platform/idle_timer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/processes.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

TEST(IdleTimer, ForwardsToTheSessionAtMostOncePerInterval) {
  char pattern[] = "/tmp/nubrel-idle-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string log = dir + "/calls";
  const std::string tool = dir + "/xdg-screensaver";
  {
    std::ofstream script(tool);
    script << "#!/bin/sh\necho \"$@\" >> " << log << "\n";
  }
  ::chmod(tool.c_str(), 0755);
  SetHostToolOverride("xdg-screensaver", tool);
  ::setenv("DISPLAY", ":99", 1);

  const uint64_t before = IdleTimerResetsRequested();
  const uint64_t forwardedBefore = IdleTimerResetsForwarded();
  for (int i = 0; i < 5; ++i) ResetSystemIdleTimer();
  EXPECT_EQ(IdleTimerResetsRequested() - before, 5u);
  EXPECT_EQ(IdleTimerResetsForwarded() - forwardedBefore, 1u);

  // The script runs detached: wait (bounded) for its one line.
  std::string calls;
  for (int i = 0; i < 200 && calls.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(log);
    std::getline(in, calls);
  }
  EXPECT_EQ(calls, "reset");

  SetHostToolOverride("xdg-screensaver", "");
  ::unsetenv("DISPLAY");
  fs::remove_all(dir);
}

TEST(IdleTimer, WithoutASessionItOnlyCounts) {
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  const uint64_t forwarded = IdleTimerResetsForwarded();
  ResetSystemIdleTimer();
  EXPECT_EQ(IdleTimerResetsForwarded(), forwarded);
}

}  // namespace
}  // namespace platform
