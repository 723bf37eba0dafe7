// The paged task queue on its own: order across page boundaries, removal from the middle, the
// capacity, and how taking a task waits.
#include "retrieval/retrieval_task.h"

#include <gtest/gtest.h>

#include <vector>

namespace nubrel {
namespace {

std::unique_ptr<RetrievalTask> Numbered(uint32_t n) {
  auto task = std::make_unique<RetrievalTask>();
  task->channelId = n;
  return task;
}

std::vector<uint32_t> Drain(RetrievalQueue& queue) {
  std::vector<uint32_t> ids;
  while (auto task = RemoveTaskAt(queue, 0)) ids.push_back(task->channelId);
  return ids;
}

TEST(RetrievalQueue, RemovalsKeepFirstInFirstOutAcrossPages) {
  RetrievalQueue queue;
  constexpr uint32_t kTasks = 1203;  // three pages, the last one partly filled
  for (uint32_t i = 0; i < kTasks; ++i) ASSERT_TRUE(AppendTask(queue, Numbered(i)));
  EXPECT_EQ(QueuedCount(queue), static_cast<int32_t>(kTasks));

  // Out of the middle of the first page, the last slot of a page, and the first of the next.
  for (int32_t position : {17, 498, 499, 998}) {
    auto removed = RemoveTaskAt(queue, position);
    ASSERT_NE(removed, nullptr);
  }
  EXPECT_EQ(RemoveTaskAt(queue, QueuedCount(queue)), nullptr);
  EXPECT_EQ(RemoveTaskAt(queue, -1), nullptr);

  std::vector<uint32_t> expected;
  for (uint32_t i = 0; i < kTasks; ++i) expected.push_back(i);
  // Each removal shifts the later entries, so the numbers removed are 17, 499, 501 and 1001.
  for (uint32_t gone : {1001u, 501u, 499u, 17u}) expected.erase(expected.begin() + gone);
  EXPECT_EQ(Drain(queue), expected);
  EXPECT_EQ(QueuedCount(queue), 0);
}

TEST(RetrievalQueue, FullQueueRefusesAndRemovalMakesRoom) {
  RetrievalQueue queue;
  for (int32_t i = 0; i < kQueueCapacity; ++i) {
    ASSERT_TRUE(AppendTask(queue, Numbered(static_cast<uint32_t>(i))));
  }
  EXPECT_FALSE(AppendTask(queue, Numbered(99999)));
  EXPECT_EQ(QueuedCount(queue), kQueueCapacity);
  EXPECT_EQ(TaskAt(queue, kQueueCapacity - 1)->channelId, static_cast<uint32_t>(kQueueCapacity - 1));

  ASSERT_NE(RemoveTaskAt(queue, 0), nullptr);
  EXPECT_TRUE(AppendTask(queue, Numbered(99999)));
  EXPECT_EQ(TaskAt(queue, kQueueCapacity - 1)->channelId, 99999u);
  EXPECT_FALSE(AppendTask(queue, nullptr));
}

TEST(RetrievalQueue, TakingWaitsForATaskAndGivesUpOnStopOrTimeOut) {
  RetrievalQueue queue;
  platform::Event stop(platform::EventReset::kManual);
  EXPECT_EQ(TakeNextTask(queue, stop, 10), nullptr);  // time-out on an empty queue

  ASSERT_TRUE(AppendTask(queue, Numbered(7)));
  auto taken = TakeNextTask(queue, stop, 1000);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->channelId, 7u);
  // The not-empty event went down with the last entry: the next wait times out again.
  EXPECT_EQ(TakeNextTask(queue, stop, 10), nullptr);

  ASSERT_TRUE(AppendTask(queue, Numbered(8)));
  platform::SetEvent(stop);
  // With work queued and the stop event set, the work is still handed out; once the queue is
  // empty the stop event ends the wait at once.
  ASSERT_NE(TakeNextTask(queue, stop, 10), nullptr);
  EXPECT_EQ(TakeNextTask(queue, stop, 60000), nullptr);
}

TEST(RetrievalQueue, ClearVisitsInOrderAndEmptiesEveryPage) {
  RetrievalQueue queue;
  for (uint32_t i = 0; i < 600; ++i) ASSERT_TRUE(AppendTask(queue, Numbered(i)));
  std::vector<uint32_t> seen;
  ClearQueue(
      queue,
      [](RetrievalTask& task, void* context) {
        static_cast<std::vector<uint32_t>*>(context)->push_back(task.channelId);
      },
      &seen);
  ASSERT_EQ(seen.size(), 600u);
  EXPECT_EQ(seen.front(), 0u);
  EXPECT_EQ(seen.back(), 599u);
  EXPECT_EQ(QueuedCount(queue), 0);
  for (const auto& page : queue.pages) EXPECT_EQ(page, nullptr);
  platform::Event stop(platform::EventReset::kManual);
  EXPECT_EQ(TakeNextTask(queue, stop, 10), nullptr);
}

}  // namespace
}  // namespace nubrel
