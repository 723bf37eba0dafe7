// The system idle timer: the retrieval manager resets it while work remains so that the device
// does not suspend in the middle of a run. On a desktop the nearest thing is the session's screen
// saver and idle inhibition, reset through xdg-screensaver when a graphical session exists.
#pragma once

#include <cstdint>

namespace platform {

// Tells the system that the user (or long work) is active. Cheap to call often: the host is told
// at most once per kIdleResetIntervalMs; without a graphical session or xdg-screensaver it only
// counts. Never blocks, never fails.
void ResetSystemIdleTimer();

inline constexpr uint32_t kIdleResetIntervalMs = 30000;

// How many resets were asked for, and how many reached the host (tests).
uint64_t IdleTimerResetsRequested();
uint64_t IdleTimerResetsForwarded();

}  // namespace platform
