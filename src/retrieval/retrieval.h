// The background retrieval machinery: one process-wide RetrievalState, AddTask and the Queue...
// functions that are the only way into the queue, the manager thread of a run with its four
// workers, cancelling, progress and the new-items announcement. Tasks and the queue are
// retrieval_task.h's; the windows, the work of the kinds built elsewhere and the bubble are
// plugged in through retrieval_hooks.h.
//
// Threads: the interface thread adds and cancels tasks; one manager per run; four workers below
// normal priority that report by posted messages only. No thread is ever killed: stopping waits
// for a worker to end (its transfer ends through the abort signal or its time-outs).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/sync.h"
#include "platform/threads.h"
#include "platform/window_messages.h"
#include "retrieval/http_transfer.h"
#include "retrieval/retrieval_task.h"

namespace nubrel {

struct ChannelNode;

inline constexpr int kWorkerCount = 4;
inline constexpr uint32_t kManagerPollMs = 2000;   // idle timer reset and busy poll
inline constexpr uint32_t kTakeTaskWaitMs = 60000;
inline constexpr uint32_t kFirstWorkerStopWaitMs = 2000;
inline constexpr int kCancelBusyPolls = 16;        // CancelAll waits 16 x 1000 ms at most

struct RetrievalState {
  RetrievalQueue queue;
  std::mutex workerLock;  // worker handles, manager-start decision, stop protocol
  std::array<platform::Thread, kWorkerCount> workers;
  platform::Thread manager;
  std::mutex slotLock;  // running slots and the dialog's percentages
  std::array<RetrievalTask*, kWorkerCount> running{};
  std::array<int32_t, kWorkerCount> shownPercent{};
  std::atomic<platform::WindowHandle> progressWindow{platform::kNoWindow};
  platform::Event stop{platform::EventReset::kManual};
  // Set when a worker finished a task and the queue may be idle, so the manager notices the end
  // of a run at once instead of at its next poll.
  platform::Event workDone{platform::EventReset::kAuto};
  platform::AtomicCounter runningCount{0};
  std::atomic<bool> initialised{false};
  std::atomic<bool> managerRunning{false};
  std::atomic<bool> stopping{false};
  std::atomic<bool> closeWhenDone{false};
  std::atomic<bool> enclosureRan{false};
  // Signalled (manual) while no manager runs; waited on by WaitForRetrievalIdle.
  platform::Event idle{platform::EventReset::kManual, true};
};

RetrievalState& Retrieval();

// Creates the queue, events and locks, empties the worker table, removes an earlier new-items
// bubble, installs the channel tree's and the offline code's hooks into this queue and marks the
// machinery initialised.
void InitRetrieval();
// CancelAll when initialised, then back to not initialised (the hooks are removed).
void ShutdownRetrieval();

// The only way into the queue; see retrieval.cpp for the filters. Returns whether the task passed
// them (also true when it was discarded because the machinery is stopping); false for none, and
// false (the task freed) before InitRetrieval or when the queue is full.
bool AddTask(std::unique_ptr<RetrievalTask> task, bool startManager);

bool QueueWebPage(std::u16string_view url, uint32_t channelId, uint32_t itemKey, bool conditional,
                  int32_t depth, bool startManager, std::u16string_view extension = {});
bool QueueEnclosure(std::u16string_view url, uint32_t channelId, uint32_t itemKey,
                    bool conditional, int32_t sizeLimitMB, bool startManager);
bool QueueImage(std::u16string_view url, uint32_t channelId, bool conditional, bool startManager);
bool QueueSynchronize(uint32_t channelId);
// Kind 4 with the channel's title; sets the channel's queued mark and posts kMessageChannelChanged
// to `window` when accepted.
bool QueueRefresh(uint32_t channelId, platform::WindowHandle window, bool force);
// QueueRefresh with the refresh mode given outright (channel_refresh.h's RefreshMode, one of the
// refreshing ones), carried in the task's parameter.
bool QueueRefreshInMode(uint32_t channelId, platform::WindowHandle window, int32_t mode);
// Appended without filters and without starting a manager.
bool QueueNotifyMarker(uint32_t channelOrFolderId);

// The first queued task with that label (ignoring case) is removed; else the first running one
// is asked to stop. Whether either was found.
bool CancelByLabel(std::u16string_view label);
// Empties the queue, aborts running transfers, waits for the workers and stops them.
void CancelAll();

bool IsRetrievalBusy();
// Returns the previous flag.
bool SetCloseWhenDone(bool closeWhenDone);
// cacheOptions 1 ("Always"), or 0 ("Only when cradled") while the device is cradled.
bool MayCacheNow();
// The progress callback of every transfer a worker runs for `task`; false stops the transfer.
bool ReportProgress(int32_t percent, RetrievalTask* task);
// ReportProgress for the task the calling worker runs; an empty callback on other threads.
TransferProgress CurrentTaskProgress();

// The queue dialog, while open (kNoWindow when closed).
void SetProgressWindow(platform::WindowHandle window);
// The label of the task that worker slot runs (empty when idle), for the queue dialog.
OptionalText RunningLabel(int slot);

// Waits until no manager runs (a run that ended with tasks left starts again first). True when
// idle within the time.
bool WaitForRetrievalIdle(uint32_t timeoutMs);

}  // namespace nubrel
