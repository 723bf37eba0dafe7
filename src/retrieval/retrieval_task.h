// The unit of background work (RetrievalTask) and the paged first-in, first-out queue that holds
// tasks until a worker takes them (RetrievalQueue). The machinery around them (AddTask, the
// manager and workers, cancelling) is retrieval.h's; what each kind of task does is the work its
// kind is routed to (retrieval_hooks.h, channel_refresh.h).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "feeds/item_list.h"
#include "platform/sync.h"

namespace nubrel {

enum RetrievalTaskKind : int32_t {
  kTaskWebPage = 0,       // label: page URL; parameter: link depth (negative: store as fetched)
  kTaskEnclosure = 1,     // label: enclosure URL; parameter: size limit in MB (negative: none)
  kTaskImage = 2,         // label: image URL
  kTaskSynchronize = 3,   // no label; send the channel's read state to its service
  kTaskRefresh = 4,       // label: the channel's title (empty when none); parameter: 0, or a mode
  kTaskNotifyMarker = 5,  // no label; the channel or folder whose new items the run announces
};

// One unit of work. Owned by the queue from the moment it is offered (a refused task is freed at
// once); all fields start as zero.
struct RetrievalTask {
  int32_t kind = kTaskWebPage;
  OptionalText label;      // what duplicates, cancelling, the queue dialog and the trace use
  OptionalText extension;  // kTaskWebPage: replaces the local file's extension (".gif")
  uint32_t channelId = 0;  // the channel (kTaskNotifyMarker: channel or folder) served
  uint32_t itemKey = 0;    // the item served; 0 for none
  int32_t parameter = 0;   // see the kinds
  int32_t result = 0;      // 0, or a transfer result code, -900 or -901, after the task ran
  bool conditional = false;  // kinds 0-2: nothing when the local file exists; 4: only if due
  // Set by CancelByLabel (interface thread) while a worker runs the task; the task's progress
  // callback then answers "stop".
  std::atomic<bool> cancelRequested{false};
};

// ---- The queue ----

inline constexpr size_t kQueuePageSlots = 20;
inline constexpr size_t kQueuePageTasks = 500;
inline constexpr int32_t kQueueCapacity = static_cast<int32_t>(kQueuePageSlots * kQueuePageTasks);

using QueuePage = std::array<std::unique_ptr<RetrievalTask>, kQueuePageTasks>;

// Entry i lies in page i / 500 at position i % 500. A page is allocated when the first entry
// falls into it and kept until ClearQueue, so a busy queue costs one allocation per 500 tasks.
struct RetrievalQueue {
  std::array<std::unique_ptr<QueuePage>, kQueuePageSlots> pages;
  int32_t count = 0;
  platform::Event notEmpty{platform::EventReset::kManual};  // set by every append
  platform::RecursiveMutex lock;                            // guards pages and count
};

// Holds the queue lock for a scope (re-entrant: the operations below take it again).
class QueueLock {
 public:
  explicit QueueLock(RetrievalQueue& queue) : mutex_(queue.lock) { mutex_.Lock(); }
  ~QueueLock() { mutex_.Unlock(); }
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;

 private:
  platform::RecursiveMutex& mutex_;
};

// Appends under the queue lock and sets the not-empty event. A full queue (kQueueCapacity) or a
// page that cannot be allocated refuses the task: it is freed and false returned.
bool AppendTask(RetrievalQueue& queue, std::unique_ptr<RetrievalTask> task);

// The entry at `position` (null when out of range); under the queue lock.
RetrievalTask* TaskAt(RetrievalQueue& queue, int32_t position);

// Removes the entry at `position` under the queue lock, moving every later entry one place
// forward across page boundaries; resets the not-empty event when the queue becomes empty.
// Null when out of range.
std::unique_ptr<RetrievalTask> RemoveTaskAt(RetrievalQueue& queue, int32_t position);

// Waits up to timeoutMs on the not-empty event and `stop` together; only when the not-empty
// event ended the wait is the head removed. Null on time-out, on stop, or when another worker
// took the last entry first.
std::unique_ptr<RetrievalTask> TakeNextTask(RetrievalQueue& queue, platform::Event& stop,
                                            uint32_t timeoutMs);

// Frees every page (and the tasks in it), count 0, resets the not-empty event. visit (optional)
// sees each queued task first, in order, under the queue lock.
void ClearQueue(RetrievalQueue& queue, void (*visit)(RetrievalTask& task, void* context) = nullptr,
                void* context = nullptr);

// The number of queued tasks, read under the queue lock.
int32_t QueuedCount(RetrievalQueue& queue);

}  // namespace nubrel
