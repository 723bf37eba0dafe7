// The paged task queue of retrieval_task.h. Entries move forward on removal from the head, page
// by page, so the order is exactly first in, first out and no page is ever left with a gap.
#include "retrieval/retrieval_task.h"

#include <algorithm>
#include <new>

namespace nubrel {

namespace {

std::unique_ptr<RetrievalTask>& Slot(RetrievalQueue& queue, int32_t position) {
  return (*queue.pages[static_cast<size_t>(position) / kQueuePageTasks])
      [static_cast<size_t>(position) % kQueuePageTasks];
}

}  // namespace

bool AppendTask(RetrievalQueue& queue, std::unique_ptr<RetrievalTask> task) {
  if (!task) return false;
  QueueLock hold(queue);
  if (queue.count >= kQueueCapacity) return false;  // the task is freed on return
  std::unique_ptr<QueuePage>& page = queue.pages[static_cast<size_t>(queue.count) / kQueuePageTasks];
  if (!page) {
    page.reset(new (std::nothrow) QueuePage());
    if (!page) return false;
  }
  Slot(queue, queue.count) = std::move(task);
  ++queue.count;
  platform::SetEvent(queue.notEmpty);
  return true;
}

RetrievalTask* TaskAt(RetrievalQueue& queue, int32_t position) {
  QueueLock hold(queue);
  if (position < 0 || position >= queue.count) return nullptr;
  return Slot(queue, position).get();
}

std::unique_ptr<RetrievalTask> RemoveTaskAt(RetrievalQueue& queue, int32_t position) {
  QueueLock hold(queue);
  if (position < 0 || position >= queue.count) return nullptr;
  std::unique_ptr<RetrievalTask> removed = std::move(Slot(queue, position));
  // Within each page the rest moves down one place; the page's last slot takes the first entry
  // of the next page. Pages past the last entry are untouched.
  size_t pageIndex = static_cast<size_t>(position) / kQueuePageTasks;
  size_t from = static_cast<size_t>(position) % kQueuePageTasks;
  const size_t lastPage = static_cast<size_t>(queue.count - 1) / kQueuePageTasks;
  for (; pageIndex <= lastPage; ++pageIndex, from = 0) {
    QueuePage& page = *queue.pages[pageIndex];
    std::move(page.begin() + static_cast<std::ptrdiff_t>(from) + 1, page.end(),
              page.begin() + static_cast<std::ptrdiff_t>(from));
    if (pageIndex < lastPage) page.back() = std::move((*queue.pages[pageIndex + 1])[0]);
  }
  --queue.count;
  if (queue.count == 0) platform::ResetEvent(queue.notEmpty);
  return removed;
}

std::unique_ptr<RetrievalTask> TakeNextTask(RetrievalQueue& queue, platform::Event& stop,
                                            uint32_t timeoutMs) {
  platform::Event* events[] = {&queue.notEmpty, &stop};
  size_t which = 0;
  if (platform::WaitForAnyEvent(events, timeoutMs, &which) != 0 || which != 0) return nullptr;
  // Several idle workers wake on the same event; those that come too late find nothing.
  return RemoveTaskAt(queue, 0);
}

void ClearQueue(RetrievalQueue& queue, void (*visit)(RetrievalTask& task, void* context),
                void* context) {
  QueueLock hold(queue);
  if (visit) {
    for (int32_t i = 0; i < queue.count; ++i) visit(*Slot(queue, i), context);
  }
  for (auto& page : queue.pages) page.reset();
  queue.count = 0;
  platform::ResetEvent(queue.notEmpty);
}

int32_t QueuedCount(RetrievalQueue& queue) {
  QueueLock hold(queue);
  return queue.count;
}

}  // namespace nubrel
