// The plugged-in windows, work functions and bubble of retrieval_hooks.h. Each set is copied
// under a lock and called outside it, so a hook may itself queue tasks or post messages.
#include "retrieval/retrieval_hooks.h"

#include <mutex>

#include "core/string_table.h"
#include "core/trace_log.h"
#include "shared/text.h"

namespace nubrel {

namespace {

constexpr int kStringNewItemsBubble = 344;

struct HookState {
  std::mutex lock;
  RetrievalWindows windows;
  RetrievalWork work;
  NewItemsBubble bubble;
};

HookState& Hooks() {
  static HookState state;
  return state;
}

}  // namespace

void SetRetrievalWindows(RetrievalWindows windows) {
  std::lock_guard<std::mutex> hold(Hooks().lock);
  Hooks().windows = windows;
}

RetrievalWindows CurrentRetrievalWindows() {
  std::lock_guard<std::mutex> hold(Hooks().lock);
  return Hooks().windows;
}

void PostToMainWindow(uint32_t message, uintptr_t lParam) {
  const platform::WindowHandle main = CurrentRetrievalWindows().mainWindow;
  if (main != platform::kNoWindow) {
    platform::PostWindowMessage(main, message, 0, static_cast<intptr_t>(lParam));
  }
}

void SetRetrievalWork(RetrievalWork work) {
  std::lock_guard<std::mutex> hold(Hooks().lock);
  Hooks().work = std::move(work);
}

void ResetRetrievalWork() { SetRetrievalWork(RetrievalWork{}); }

const RetrievalWork& CurrentRetrievalWork() {
  // Written at start-up before any worker runs (as the channel tree's hooks are), so readers
  // need no lock; the reference stays valid for the process.
  return Hooks().work;
}

void SetNewItemsBubble(NewItemsBubble bubble) {
  std::lock_guard<std::mutex> hold(Hooks().lock);
  Hooks().bubble = std::move(bubble);
}

void ShowNewItemsBubble(int32_t count) {
  std::function<void(int32_t, std::u16string_view)> show;
  {
    std::lock_guard<std::mutex> hold(Hooks().lock);
    show = Hooks().bubble.show;
  }
  const std::u16string html = FormatString(LoadStringText(kStringNewItemsBubble), count);
  if (show) {
    show(count, html);
  } else {
    TraceNumber("New items notification : ", count);
  }
}

void RemoveNewItemsBubble() {
  std::function<void()> remove;
  {
    std::lock_guard<std::mutex> hold(Hooks().lock);
    remove = Hooks().bubble.remove;
  }
  if (remove) {
    remove();
  } else {
    Trace("New items notification removed");
  }
}

}  // namespace nubrel
