// The retrieval machinery of retrieval.h: the filters of AddTask, the manager of a run, the four
// workers, the stop and cancel protocol, progress and the new-items announcement.
//
// Two kinds of stopping are kept apart. CancelAll sets `stopping`, which discards every task
// offered until it is done; the end of an ordinary run only tells the workers to leave
// (`workersLeaving`), so a task offered while a run winds down is queued, not lost, and the
// manager starts a new run for it.
#include "retrieval/retrieval.h"

#include <exception>
#include <new>
#include <vector>

#include "core/settings.h"
#include "core/trace_log.h"
#include "offline/local_files.h"
#include "platform/idle_timer.h"
#include "retrieval/channel_refresh.h"
#include "retrieval/connectivity.h"
#include "retrieval/retrieval_hooks.h"
#include "shared/text.h"
#include "subscriptions/channel_ids.h"
#include "subscriptions/channel_tree.h"

namespace nubrel {

namespace {

constexpr uint32_t kCancelPollMs = 50;
constexpr uint32_t kCancelWaitMs = kCancelBusyPolls * 1000;

// Not in RetrievalState's public record: what only this file's threads share.
std::atomic<bool> workersLeaving{false};
std::atomic<uint32_t> notifyScopeId{0};
std::atomic<bool> notifyScopeSet{false};

// The task the calling worker runs, for CurrentTaskProgress.
thread_local RetrievalTask* currentTask = nullptr;

void PostToNavigator(intptr_t running) {
  const platform::WindowHandle bar = CurrentRetrievalWindows().navigatorBar;
  if (bar != platform::kNoWindow) platform::PostWindowMessage(bar, kMessageRunState, 0, running);
}

void PostProgress(int slot, int32_t percent) {
  const platform::WindowHandle dialog = Retrieval().progressWindow.load();
  if (dialog != platform::kNoWindow) {
    platform::PostWindowMessage(dialog, kMessageWorkerProgress, static_cast<uintptr_t>(slot),
                                percent);
  }
}

// The channel's refresh is over (or will not run): its row stops showing it as queued. The
// interface may have deleted the channel meanwhile, so it is locked only while still registered.
void ClearRefreshMark(ChannelNode* channel) {
  ChannelNode* held = channel ? LockRegisteredNode(channel, NodeLockTimeout()) : nullptr;
  if (!held) return;
  held->refreshQueued = false;
  UnlockNode(held);
  PostToMainWindow(kMessageChannelChanged, reinterpret_cast<uintptr_t>(channel));
}

void DropRefreshMark(const RetrievalTask& task) {
  if (task.kind == kTaskRefresh) ClearRefreshMark(FindNodeById(task.channelId));
}

bool RejectedLabel(const RetrievalTask& task) {
  if (!task.label || task.label->empty()) return false;
  if (task.kind == kTaskRefresh) return false;  // a channel title may well hold an apostrophe
  return task.label->find(u'\'') != std::u16string::npos ||
         task.label->find(u"javascript:") != std::u16string::npos;
}

// Under the queue lock: whether a queued task carries the same label, ignoring case. Running
// tasks are not compared, so a URL may be queued again while its earlier download runs.
bool IsQueuedLabel(RetrievalQueue& queue, std::u16string_view label) {
  for (int32_t i = 0; i < queue.count; ++i) {
    const RetrievalTask* queued = TaskAt(queue, i);
    if (queued && queued->label && EqualsNoCase(*queued->label, label)) return true;
  }
  return false;
}

void RunManager();

void StartManagerIfIdle() {
  RetrievalState& state = Retrieval();
  // Workers queue tasks too, and they exist only while a manager runs: answering from the flag
  // before taking the worker lock keeps a worker from waiting on a lock held by the code that is
  // waiting for that worker to end.
  if (state.managerRunning.load()) return;
  std::lock_guard<std::mutex> hold(state.workerLock);
  if (state.managerRunning.load() || state.stopping.load()) return;
  state.managerRunning = true;
  platform::ResetEvent(state.idle);
  if (platform::StartThread(RunManager, platform::ThreadPriority::kBelowNormal, state.manager) !=
      0) {
    Trace("RETRIEVE: unable to start the retrieval manager");
    state.managerRunning = false;
    platform::SetEvent(state.idle);
  }
}

// The task's own work; runs inside the worker's connection. Its failures are the task's (-900).
int32_t RunTaskWork(RetrievalTask& task) {
  const RetrievalWork& work = CurrentRetrievalWork();
  auto noWork = [&task] {
    TraceNumber("RETRIEVE: no work for task kind ", task.kind);
    return kUrlTaskFault;
  };
  auto routed = [&](const std::function<int32_t(RetrievalTask&)>& run) {
    return run ? run(task) : noWork();
  };
  switch (task.kind) {
    case kTaskWebPage:
      return routed(work.runWebPage);
    case kTaskEnclosure:
      Retrieval().enclosureRan = true;
      return routed(work.runDownload);
    case kTaskImage:
      return routed(work.runDownload);
    case kTaskSynchronize: {
      ChannelNode* channel = FindNodeById(task.channelId);
      if (!channel) return kUrlSuccess;
      if (!work.uploadReadChanges) return noWork();
      NodeLockGuard held(channel);
      if (held) work.uploadReadChanges(channel);
      return kUrlSuccess;
    }
    case kTaskRefresh: {
      ChannelNode* channel = FindNodeById(task.channelId);
      if (!channel) return kUrlSuccess;
      const int32_t mode = task.parameter != 0 ? task.parameter
                           : task.conditional   ? kRefreshIfDue
                                                : kRefreshForced;
      refreshChannel(channel, mode);
      ClearRefreshMark(channel);
      return kUrlSuccess;
    }
    case kTaskNotifyMarker:
      notifyScopeId = task.channelId;
      notifyScopeSet = true;
      return kUrlSuccess;
    default:
      return kUrlTaskFault;
  }
}

// One task on worker `slot`, every step guarded: a failure in the work is the task's result,
// a failure around it is dropped and the worker goes on.
void RunOneTask(int slot, std::unique_ptr<RetrievalTask> task) {
  RetrievalState& state = Retrieval();
  // However the cycle ends, the slot is emptied, the dialog told and the task counted as done
  // exactly once, so the manager never waits for a task that is gone.
  struct SlotGuard {
    RetrievalState& state;
    int slot;
    ~SlotGuard() {
      {
        std::lock_guard<std::mutex> hold(state.slotLock);
        state.running[static_cast<size_t>(slot)] = nullptr;
      }
      PostProgress(slot, 0);
      platform::AtomicDecrement(state.runningCount);
      platform::SetEvent(state.workDone);
    }
  };
  platform::AtomicIncrement(state.runningCount);
  SlotGuard guard{state, slot};
  {
    std::lock_guard<std::mutex> hold(state.slotLock);
    state.running[static_cast<size_t>(slot)] = task.get();
    state.shownPercent[static_cast<size_t>(slot)] = 0;
  }
  PostProgress(slot, 0);
  if (task->label) TraceText("RETRIEVE: task : ", *task->label);

  platform::NetworkConnection connection;
  try {
    connection = connectNetwork();
  } catch (...) {
  }
  if (!connection.IsOpen()) {
    // Nothing ran; a refresh must not keep its queued mark for a task that is gone.
    try {
      DropRefreshMark(*task);
    } catch (...) {
    }
    return;
  }
  currentTask = task.get();
  try {
    task->result = RunTaskWork(*task);
  } catch (...) {
    task->result = kUrlTaskFault;
  }
  currentTask = nullptr;
  try {
    if (task->result == kUrlSuccess &&
        (task->kind == kTaskWebPage || task->kind == kTaskEnclosure)) {
      ChannelNode* channel = FindNodeById(task->channelId);
      if (ChannelNode* held = channel ? LockRegisteredNode(channel, NodeLockTimeout()) : nullptr) {
        ResetCachedCounts(held);
        UnlockNode(held);
      }
    }
  } catch (...) {
  }
  try {
    releaseNetwork(connection);
  } catch (...) {
  }
}

void RunWorker(int slot) {
  RetrievalState& state = Retrieval();
  try {
    while (!workersLeaving.load() && !state.stopping.load()) {
      std::unique_ptr<RetrievalTask> task;
      try {
        task = TakeNextTask(state.queue, state.stop, kTakeTaskWaitMs);
      } catch (...) {
        continue;
      }
      if (task) RunOneTask(slot, std::move(task));
    }
  } catch (...) {
    // Outside every guarded step: this worker ends, the others go on with the queue.
    // RunOneTask's slot guard has already emptied the slot and counted the task as done.
    Trace("Cache thread exception");
  }
}

// Waits for every worker to leave. None is ever killed: a worker busy past the first wait is
// waited for, since ending it by force would leave a node lock held or a file half-written; its
// transfer ends through the abort signal or the transfer time-outs.
void StopWorkers() {
  RetrievalState& state = Retrieval();
  std::lock_guard<std::mutex> hold(state.workerLock);
  workersLeaving = true;
  platform::SetEvent(state.stop);
  bool first = true;
  for (size_t slot = 0; slot < state.workers.size(); ++slot) {
    platform::Thread& worker = state.workers[slot];
    if (!worker.IsStarted()) continue;
    if (platform::JoinThread(worker, first ? kFirstWorkerStopWaitMs : 0) != 0) {
      TraceNumber("RETRIEVE: waiting for cache thread ", static_cast<int64_t>(slot));
      platform::JoinThread(worker, platform::kInfiniteWait);
    }
    first = false;
  }
  platform::ResetEvent(state.stop);
  workersLeaving = false;
  state.runningCount = 0;
}

void StartWorkers() {
  RetrievalState& state = Retrieval();
  std::lock_guard<std::mutex> hold(state.workerLock);
  for (int slot = 0; slot < kWorkerCount; ++slot) {
    platform::Thread& worker = state.workers[static_cast<size_t>(slot)];
    if (worker.IsStarted() && !worker.HasEnded()) continue;
    if (worker.IsStarted()) platform::JoinThread(worker, platform::kInfiniteWait);
    if (platform::StartThread([slot] { RunWorker(slot); }, platform::ThreadPriority::kBelowNormal,
                              worker) != 0) {
      TraceNumber("RETRIEVE: unable to start cache thread ", slot);
    }
  }
}

void AnnounceNewItems() {
  RemoveNewItemsBubble();
  if (!NotifyNewItems() || !notifyScopeSet.load()) return;
  ChannelNode* scope = FindNodeById(notifyScopeId.load());
  if (!scope) return;
  // A channel counts itself; a folder every channel below it.
  const uint32_t walk = HasFeedUrl(scope) ? 0 : kWalkChildren;
  const int32_t count = CountItems(scope, walk, kCountNew);
  if (count > 0) ShowNewItemsBubble(count);
}

void RunManager() {
  RetrievalState& state = Retrieval();
  for (;;) {
    notifyScopeSet = false;
    notifyScopeId = 0;
    PostToNavigator(1);
    StartWorkers();
    while (!state.stopping.load()) {
      platform::ResetSystemIdleTimer();
      // Woken early by a worker that finished a task, so the end of a run is seen at once;
      // otherwise the poll keeps the device awake at the same rate.
      platform::WaitForEvent(state.workDone, kManagerPollMs);
      if (!IsRetrievalBusy()) break;
    }
    StopWorkers();
    PostToNavigator(0);
    if (state.enclosureRan.exchange(false) && AutoGeneratePlaylists()) {
      PostToMainWindow(kMessageWritePlaylists, 0);
    }
    AnnounceNewItems();
    if (state.closeWhenDone.load()) PostToMainWindow(platform::kMessageClose, 0);

    std::lock_guard<std::mutex> hold(state.workerLock);
    // A task accepted while this run wound down is never left behind: it gets a run of its own.
    if (QueuedCount(state.queue) > 0 && !state.stopping.load()) continue;
    state.managerRunning = false;
    platform::SetEvent(state.idle);
    return;
  }
}

std::unique_ptr<RetrievalTask> NewTask(int32_t kind, std::u16string_view label, uint32_t channelId) {
  auto task = std::unique_ptr<RetrievalTask>(new (std::nothrow) RetrievalTask());
  if (!task) return nullptr;
  task->kind = kind;
  task->label = std::u16string(label);
  task->channelId = channelId;
  return task;
}

// AddTask, also telling whether the task is now in the queue (false when it was discarded).
bool OfferTask(std::unique_ptr<RetrievalTask> task, bool startManager, bool* queued) {
  if (queued) *queued = false;
  RetrievalState& state = Retrieval();
  if (!task || !state.initialised.load()) return false;
  if (RejectedLabel(*task)) return false;
  {
    QueueLock hold(state.queue);
    if (task->label && !task->label->empty() && IsQueuedLabel(state.queue, *task->label)) {
      return false;
    }
    if (!state.stopping.load()) {
      if (!AppendTask(state.queue, std::move(task))) {
        Trace("RETRIEVE: queue full, task refused");
        return false;
      }
      if (queued) *queued = true;
    }
  }
  if (startManager && !state.stopping.load()) StartManagerIfIdle();
  return true;
}

}  // namespace

RetrievalState& Retrieval() {
  static RetrievalState state;
  return state;
}

void InitRetrieval() {
  RetrievalState& state = Retrieval();
  if (state.initialised.load()) return;
  ClearQueue(state.queue);
  {
    std::lock_guard<std::mutex> hold(state.slotLock);
    state.running.fill(nullptr);
    state.shownPercent.fill(0);
  }
  state.stopping = false;
  state.closeWhenDone = false;
  state.enclosureRan = false;
  state.runningCount = 0;
  if (!state.managerRunning.load()) platform::SetEvent(state.idle);
  RemoveNewItemsBubble();

  ChannelTreeHooks tree;
  tree.loadItems = [](ChannelNode* node) { return refreshChannel(node, kRefreshLoad); };
  tree.queueRefresh = [](uint32_t id, platform::WindowHandle window, bool force) {
    QueueRefresh(id, window, force);
  };
  tree.queueNotifyMarker = [](uint32_t id) { QueueNotifyMarker(id); };
  SetChannelTreeHooks(std::move(tree));

  OfflineTaskHooks offline;
  offline.queueImage = [](std::u16string_view url, uint32_t channelId, bool conditional,
                          bool startManager) {
    return QueueImage(url, channelId, conditional, startManager);
  };
  offline.queueEnclosure = [](std::u16string_view url, uint32_t channelId, uint32_t itemKey,
                              bool conditional, int32_t sizeLimitMB, bool startManager) {
    return QueueEnclosure(url, channelId, itemKey, conditional, sizeLimitMB, startManager);
  };
  offline.cancelByLabel = [](std::u16string_view url) { CancelByLabel(url); };
  SetOfflineTaskHooks(std::move(offline));

  state.initialised = true;
}

void ShutdownRetrieval() {
  RetrievalState& state = Retrieval();
  if (!state.initialised.load()) return;
  CancelAll();
  // From here on the queue refuses everything; the hooks stay, since loading a channel's items
  // (the tree's loader) is still wanted while the reader saves and closes.
  state.initialised = false;
  WaitForRetrievalIdle(platform::kInfiniteWait);
}

bool AddTask(std::unique_ptr<RetrievalTask> task, bool startManager) {
  return OfferTask(std::move(task), startManager, nullptr);
}

bool QueueWebPage(std::u16string_view url, uint32_t channelId, uint32_t itemKey, bool conditional,
                  int32_t depth, bool startManager, std::u16string_view extension) {
  if (url.empty()) return false;
  auto task = NewTask(kTaskWebPage, url, channelId);
  if (!task) return false;
  task->itemKey = itemKey;
  task->conditional = conditional;
  task->parameter = depth;
  if (!extension.empty()) task->extension = std::u16string(extension);
  return AddTask(std::move(task), startManager);
}

bool QueueEnclosure(std::u16string_view url, uint32_t channelId, uint32_t itemKey,
                    bool conditional, int32_t sizeLimitMB, bool startManager) {
  if (url.empty()) return false;
  auto task = NewTask(kTaskEnclosure, url, channelId);
  if (!task) return false;
  task->itemKey = itemKey;
  task->conditional = conditional;
  task->parameter = sizeLimitMB;
  return AddTask(std::move(task), startManager);
}

bool QueueImage(std::u16string_view url, uint32_t channelId, bool conditional, bool startManager) {
  if (url.empty()) return false;
  auto task = NewTask(kTaskImage, url, channelId);
  if (!task) return false;
  task->conditional = conditional;
  return AddTask(std::move(task), startManager);
}

bool QueueSynchronize(uint32_t channelId) {
  auto task = NewTask(kTaskSynchronize, {}, channelId);
  if (!task) return false;
  task->label.reset();
  return AddTask(std::move(task), true);
}

bool QueueRefresh(uint32_t channelId, platform::WindowHandle window, bool force) {
  return QueueRefreshInMode(channelId, window, force ? kRefreshForced : kRefreshIfDue);
}

bool QueueRefreshInMode(uint32_t channelId, platform::WindowHandle window, int32_t mode) {
  ChannelNode* channel = FindNodeById(channelId);
  const OptionalText title = channel ? GetNodeText(channel, kNodeTitle) : std::nullopt;
  auto task = NewTask(kTaskRefresh, title ? std::u16string_view(*title) : u"", channelId);
  if (!task) return false;
  task->conditional = mode == kRefreshIfDue;
  if (mode != kRefreshIfDue && mode != kRefreshForced) task->parameter = mode;
  bool queued = false;
  const bool accepted = OfferTask(std::move(task), true, &queued);
  // Only a task that is really waiting marks the channel: one discarded while the queue is
  // being cancelled would otherwise leave its row showing "queued" for good.
  if (accepted && queued && channel) {
    SetRefreshQueued(channel, true);
    if (window != platform::kNoWindow) {
      platform::PostWindowMessage(window, kMessageChannelChanged, 0,
                                  static_cast<intptr_t>(reinterpret_cast<uintptr_t>(channel)));
    }
  }
  return accepted;
}

bool QueueNotifyMarker(uint32_t channelOrFolderId) {
  RetrievalState& state = Retrieval();
  if (!state.initialised.load() || state.stopping.load()) return false;
  auto task = NewTask(kTaskNotifyMarker, {}, channelOrFolderId);
  if (!task) return false;
  task->label.reset();
  return AppendTask(state.queue, std::move(task));
}

bool CancelByLabel(std::u16string_view label) {
  RetrievalState& state = Retrieval();
  std::unique_ptr<RetrievalTask> removed;
  {
    QueueLock hold(state.queue);
    for (int32_t i = 0; i < state.queue.count && !removed; ++i) {
      const RetrievalTask* queued = TaskAt(state.queue, i);
      if (queued && queued->label && EqualsNoCase(*queued->label, label)) {
        removed = RemoveTaskAt(state.queue, i);
      }
    }
  }
  if (removed) {
    DropRefreshMark(*removed);  // outside the queue lock, as in CancelAll
    return true;
  }
  std::lock_guard<std::mutex> hold(state.slotLock);
  for (RetrievalTask* running : state.running) {
    if (running && running->label && EqualsNoCase(*running->label, label)) {
      running->cancelRequested = true;
      return true;
    }
  }
  return false;
}

void CancelAll() {
  RetrievalState& state = Retrieval();
  state.stopping = true;
  // The dropped refreshes' marks are cleared after the queue lock is released: a worker holds its
  // channel's lock while it queues images and pages, so taking channel locks under the queue
  // lock could make both wait.
  std::vector<uint32_t> droppedRefreshes;
  ClearQueue(
      state.queue,
      [](RetrievalTask& task, void* context) {
        if (task.kind == kTaskRefresh) {
          static_cast<std::vector<uint32_t>*>(context)->push_back(task.channelId);
        }
      },
      &droppedRefreshes);
  for (uint32_t id : droppedRefreshes) ClearRefreshMark(FindNodeById(id));
  RaiseTransferAbort();
  // Polled finer than once a second so that Stop returns as soon as the workers are idle; the
  // whole wait stays bounded at 16 seconds.
  for (uint32_t waited = 0; IsRetrievalBusy() && waited < kCancelWaitMs; waited += kCancelPollMs) {
    platform::Sleep(kCancelPollMs);
  }
  StopWorkers();
  state.stopping = false;
  ClearTransferAbort();
  for (int slot = 0; slot < kWorkerCount; ++slot) {
    {
      std::lock_guard<std::mutex> hold(state.slotLock);
      state.running[static_cast<size_t>(slot)] = nullptr;
    }
    PostProgress(slot, 0);
  }
  PostToNavigator(0);
}

bool IsRetrievalBusy() {
  RetrievalState& state = Retrieval();
  QueueLock hold(state.queue);
  return state.queue.count > 0 || state.runningCount.load() > 0;
}

bool SetCloseWhenDone(bool closeWhenDone) { return Retrieval().closeWhenDone.exchange(closeWhenDone); }

bool MayCacheNow() {
  switch (CacheOptions()) {
    case 1:
      return true;
    case 0:
      return IsCradled();
    default:
      return false;
  }
}

bool ReportProgress(int32_t percent, RetrievalTask* task) {
  TraceNumber("Caching percent completed : ", percent);
  RetrievalState& state = Retrieval();
  const platform::WindowHandle dialog = state.progressWindow.load();
  if (dialog != platform::kNoWindow && task) {
    int slot = -1;
    {
      std::lock_guard<std::mutex> hold(state.slotLock);
      for (int s = 0; s < kWorkerCount; ++s) {
        if (state.running[static_cast<size_t>(s)] == task) slot = s;
      }
    }
    if (slot >= 0) PostProgress(slot, percent);
  }
  return !(task && task->cancelRequested.load());
}

TransferProgress CurrentTaskProgress() {
  RetrievalTask* task = currentTask;
  if (!task) return {};
  return [task](int32_t percent) { return ReportProgress(percent, task); };
}

void SetProgressWindow(platform::WindowHandle window) { Retrieval().progressWindow = window; }

OptionalText RunningLabel(int slot) {
  if (slot < 0 || slot >= kWorkerCount) return std::nullopt;
  RetrievalState& state = Retrieval();
  std::lock_guard<std::mutex> hold(state.slotLock);
  const RetrievalTask* task = state.running[static_cast<size_t>(slot)];
  if (!task) return std::nullopt;
  return task->label ? task->label : OptionalText(std::u16string());
}

bool WaitForRetrievalIdle(uint32_t timeoutMs) {
  return platform::WaitForEvent(Retrieval().idle, timeoutMs) == 0;
}

}  // namespace nubrel
