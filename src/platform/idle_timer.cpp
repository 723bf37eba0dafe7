// The system idle timer on a desktop session; see idle_timer.h.
#include "platform/idle_timer.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "platform/processes.h"

namespace platform {

namespace {

// Process-wide; guarded by `lock` except the counters, which are atomic.
struct IdleTimerState {
  std::mutex lock;
  std::chrono::steady_clock::time_point lastForward{};  // when the host was last told
  bool forwardedOnce = false;
  std::atomic<uint64_t> requested{0};
  std::atomic<uint64_t> forwarded{0};
};

IdleTimerState& State() {
  static IdleTimerState state;
  return state;
}

bool HasGraphicalSession() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

}  // namespace

void ResetSystemIdleTimer() {
  IdleTimerState& state = State();
  state.requested.fetch_add(1, std::memory_order_relaxed);
  if (!HasGraphicalSession()) return;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> held(state.lock);
    if (state.forwardedOnce && now - state.lastForward < std::chrono::milliseconds(kIdleResetIntervalMs))
      return;
    state.forwardedOnce = true;
    state.lastForward = now;
  }
  std::string tool = FindHostTool("xdg-screensaver");
  if (tool.empty()) return;
  if (StartHostProgram(tool, {"reset"}) == kErrorSuccess)
    state.forwarded.fetch_add(1, std::memory_order_relaxed);
}

uint64_t IdleTimerResetsRequested() { return State().requested.load(); }
uint64_t IdleTimerResetsForwarded() { return State().forwarded.load(); }

}  // namespace platform
