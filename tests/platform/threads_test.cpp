// Thread start with priorities, joins with a time-out, thread ids, and threads left running.
#include "platform/threads.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>

#include "platform/sync.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int NiceOf(uint32_t tid) {
  errno = 0;
  return ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

TEST(ThreadsPriority, BelowNormalLowersTheThreadRelativeToTheProcess) {
  const int processNice = NiceOf(static_cast<uint32_t>(::getpid()));
  if (processNice > 17) GTEST_SKIP() << "the process already runs at the lowest priority";

  struct Row {
    const char* what;
    ThreadPriority priority;
    int expectedNice;
  } rows[] = {
      {"normal", ThreadPriority::kNormal, processNice},
      {"below normal", ThreadPriority::kBelowNormal, processNice + 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Event done(EventReset::kManual);
    std::atomic<int> niceInside{-100};
    std::atomic<uint32_t> idInside{0};
    Thread thread;
    ASSERT_EQ(StartThread(
                  [&] {
                    idInside = CurrentThreadId();
                    niceInside = NiceOf(CurrentThreadId());
                    WaitForEvent(done, 5000);
                  },
                  row.priority, thread),
              kErrorSuccess);
    const uint32_t id = thread.Id();
    ASSERT_NE(id, 0u);
    // Read back from outside while the thread still runs, and from the thread itself.
    EXPECT_EQ(NiceOf(thread.Id()), row.expectedNice);
    SetEvent(done);
    ASSERT_EQ(JoinThread(thread, 5000), kErrorSuccess);
    EXPECT_EQ(niceInside.load(), row.expectedNice);
    EXPECT_EQ(idInside.load(), id);
    EXPECT_NE(idInside.load(), CurrentThreadId());
  }
  EXPECT_EQ(NiceOf(CurrentThreadId()), processNice) << "starting a thread changed the caller";
}

TEST(ThreadsPriority, ThreadsStartedByALoweredThreadAreNotLoweredTwice) {
  const int processNice = NiceOf(static_cast<uint32_t>(::getpid()));
  if (processNice > 15) GTEST_SKIP() << "no room below the process's priority";
  std::atomic<int> workerNice{-100};
  Thread manager;
  ASSERT_EQ(StartThread(
                [&] {
                  Thread worker;
                  if (StartThread([&] { workerNice = NiceOf(CurrentThreadId()); },
                                  ThreadPriority::kBelowNormal, worker) == kErrorSuccess)
                    JoinThread(worker, 5000);
                },
                ThreadPriority::kBelowNormal, manager),
            kErrorSuccess);
  ASSERT_EQ(JoinThread(manager, 5000), kErrorSuccess);
  EXPECT_EQ(workerNice.load(), processNice + 2);
}

TEST(ThreadsJoin, TimesOutWhileTheThreadRunsThenJoins) {
  Event go(EventReset::kManual);
  Thread thread;
  std::atomic<DeviceError> selfJoin{99};
  ASSERT_EQ(StartThread(
                [&] {
                  WaitForEvent(go, 5000);
                  selfJoin = JoinThread(thread, 0);
                },
                ThreadPriority::kNormal, thread),
            kErrorSuccess);
  const uint32_t id = thread.Id();

  auto start = Clock::now();
  EXPECT_EQ(JoinThread(thread, 40), kErrorWaitTimeout);
  EXPECT_GE(MsSince(start), 40);
  EXPECT_TRUE(thread.IsStarted());
  EXPECT_FALSE(thread.HasEnded());
  EXPECT_EQ(thread.Id(), id);

  SetEvent(go);
  EXPECT_EQ(JoinThread(thread, 5000), kErrorSuccess);
  EXPECT_EQ(selfJoin.load(), kErrorAccessDenied);
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_EQ(JoinThread(thread, 0), kErrorInvalidHandle);
}

TEST(ThreadsJoin, DroppingTheHandleOfARunningThreadLeavesItRunning) {
  // Shared so that the thread may outlive this test's frame safely.
  struct Shared {
    Event go{EventReset::kManual};
    Event finished{EventReset::kManual};
  };
  auto shared = std::make_shared<Shared>();
  auto start = Clock::now();
  {
    Thread thread;
    ASSERT_EQ(StartThread(
                  [shared] {
                    if (WaitForEvent(shared->go, 5000) == kErrorSuccess) SetEvent(shared->finished);
                  },
                  ThreadPriority::kBelowNormal, thread),
              kErrorSuccess);
  }  // the handle goes while the thread waits: no join, no kill
  EXPECT_LT(MsSince(start), 2000);
  SetEvent(shared->go);
  EXPECT_EQ(WaitForEvent(shared->finished, 5000), kErrorSuccess);
}

TEST(ThreadsSleep, SleepsAtLeastAsLongAsAsked) {
  for (uint32_t ms : {0u, 30u}) {
    SCOPED_TRACE(ms);
    auto start = Clock::now();
    Sleep(ms);
    int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, ms);
    EXPECT_LT(elapsed, ms + 2000);
  }
}

}  // namespace
}  // namespace platform
