// Named mutexes (within and between processes), events, timed recursive locks and counters.
// Map: ---- Named mutexes ---- (fixture with its own device root; a fork()ed holder),
//      ---- Events ----, ---- Recursive mutexes ----, ---- Atomic counters ----.
#include "platform/sync.h"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/device.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls cond every few ms for at most limitMs; true once it holds.
template <typename Cond>
bool Eventually(Cond cond, int limitMs = 5000) {
  auto start = Clock::now();
  while (!cond()) {
    if (MsSince(start) > limitMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A device root of its own for every test, so lock files never meet the user's.
class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Device();
    char pattern[] = "/tmp/nubrel-sync-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    DeviceConfig config;
    config.root = root_;
    SetDeviceConfig(config);
  }
  void TearDown() override {
    SetDeviceConfig(saved_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  DeviceConfig saved_;
  std::string root_;
};

// ---- Named mutexes ----

using SyncNamedMutexTest = SyncTest;

TEST_F(SyncNamedMutexTest, SecondCreationInThisProcessReports183WhateverTheCase) {
  DeviceError err = 99;
  NamedMutex first = CreateNamedMutex(u"NubrelInstance", true, &err);
  ASSERT_EQ(err, kErrorSuccess);
  ASSERT_TRUE(first.IsOpen());
  EXPECT_TRUE(std::filesystem::exists(DeviceRunFolder() + "/mutex-nubrelinstance.lock"));

  struct Row {
    const char16_t* name;
    DeviceError expected;
  } rows[] = {
      {u"NubrelInstance", kErrorAlreadyExists},
      {u"NUBRELINSTANCE", kErrorAlreadyExists},
      {u"nubrelinstance", kErrorAlreadyExists},
      {u"NubrelInstance2", kErrorSuccess},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name, row.name + std::char_traits<char16_t>::length(row.name)));
    err = 99;
    NamedMutex again = CreateNamedMutex(row.name, true, &err);
    EXPECT_EQ(err, row.expected);
    EXPECT_TRUE(again.IsOpen());
  }

  // The name is given up with its last handle only.
  NamedMutex second = CreateNamedMutex(u"nubrelINSTANCE", false, &err);
  EXPECT_EQ(err, kErrorAlreadyExists);
  first.Close();
  CreateNamedMutex(u"NubrelInstance", false, &err);
  EXPECT_EQ(err, kErrorAlreadyExists);
  second.Close();
  NamedMutex fresh = CreateNamedMutex(u"NubrelInstance", false, &err);
  EXPECT_EQ(err, kErrorSuccess);
}

TEST_F(SyncNamedMutexTest, BadNamesAndHandlesAreRefused) {
  DeviceError err = 99;
  NamedMutex empty = CreateNamedMutex(u"", true, &err);
  EXPECT_EQ(err, kErrorInvalidParameter);
  EXPECT_FALSE(empty.IsOpen());
  EXPECT_EQ(WaitForNamedMutex(empty, 0), kErrorInvalidHandle);
  EXPECT_EQ(ReleaseNamedMutex(empty), kErrorInvalidHandle);

  DeviceConfig noRoot;
  SetDeviceConfig(noRoot);
  NamedMutex rootless = CreateNamedMutex(u"Anything", true, &err);
  EXPECT_EQ(err, kErrorPathNotFound);
  EXPECT_FALSE(rootless.IsOpen());
}

TEST_F(SyncNamedMutexTest, LockFileNamesCannotLeaveTheRunFolder) {
  struct Row {
    std::u16string name;
    std::string expected;
  } rows[] = {
      {u"NubrelInstance", "mutex-nubrelinstance.lock"},
      {u"../../etc/passwd", "mutex-..%2F..%2Fetc%2Fpasswd.lock"},
      {u"a\\b c", "mutex-a%5Cb%20c.lock"},
      {u"100%", "mutex-100%25.lock"},
      {u"\u00C4rger \u0416", "mutex-%C3%A4rger%20%D0%B6.lock"},  // folded: a-umlaut, zhe
      {std::u16string(1, u'\0') + u"x", "mutex-%00x.lock"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(NamedMutexLockFileName(row.name), row.expected);
  }

  // Names past the host's file name limit are cut but stay apart.
  std::u16string longA(400, u'/');
  std::u16string longB = longA;
  longB.back() = u'x';
  std::string fileA = NamedMutexLockFileName(longA);
  std::string fileB = NamedMutexLockFileName(longB);
  EXPECT_LE(fileA.size(), 255u);
  EXPECT_NE(fileA, fileB);
  EXPECT_EQ(fileA.find('/'), std::string::npos);
  DeviceError err = 99;
  NamedMutex a = CreateNamedMutex(longA, true, &err);
  EXPECT_EQ(err, kErrorSuccess);
  NamedMutex b = CreateNamedMutex(longB, true, &err);
  EXPECT_EQ(err, kErrorSuccess);
  EXPECT_TRUE(std::filesystem::exists(DeviceRunFolder() + "/" + fileA));
}

TEST_F(SyncNamedMutexTest, OneThreadOwnsItAtATimeAndRecursively) {
  DeviceError err = 99;
  NamedMutex mine = CreateNamedMutex(u"Shared", true, &err);
  ASSERT_EQ(err, kErrorSuccess);
  EXPECT_EQ(WaitForNamedMutex(mine, 0), kErrorSuccess);  // owned twice now

  std::atomic<int> stage{0};
  DeviceError earlyWait = 99, foreignRelease = 99, lateWait = 99, openError = 99;
  std::thread other([&] {
    NamedMutex theirs = CreateNamedMutex(u"shared", true, &openError);
    earlyWait = WaitForNamedMutex(theirs, 30);
    foreignRelease = ReleaseNamedMutex(theirs);
    stage = 1;
    Eventually([&] { return stage == 2; });
    lateWait = WaitForNamedMutex(theirs, 5000);
    if (lateWait == kErrorSuccess) ReleaseNamedMutex(theirs);
    stage = 3;
  });
  EXPECT_TRUE(Eventually([&] { return stage == 1; }));
  EXPECT_EQ(openError, kErrorAlreadyExists);  // initiallyOwned was ignored
  EXPECT_EQ(earlyWait, kErrorWaitTimeout);
  EXPECT_EQ(foreignRelease, kErrorNotOwner);

  EXPECT_EQ(ReleaseNamedMutex(mine), kErrorSuccess);
  stage = 2;
  // Still owned once: the other thread must not get it yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(stage.load(), 2);
  EXPECT_EQ(ReleaseNamedMutex(mine), kErrorSuccess);
  EXPECT_TRUE(Eventually([&] { return stage == 3; }));
  other.join();
  EXPECT_EQ(lateWait, kErrorSuccess);
  EXPECT_EQ(ReleaseNamedMutex(mine), kErrorNotOwner);
}

// Reads one byte within limitMs; -1 when none came.
int ReadByteWithin(int fd, int limitMs) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, limitMs) != 1) return -1;
  unsigned char b = 0;
  return ::read(fd, &b, 1) == 1 ? b : -1;
}

// Reaps the child within limitMs, killing it when it overstays.
void ReapWithin(pid_t pid, int limitMs) {
  auto start = Clock::now();
  while (::waitpid(pid, nullptr, WNOHANG) == 0) {
    if (MsSince(start) > limitMs) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ADD_FAILURE() << "child did not end in time";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Kills and reaps a child that a failed check left behind.
struct ChildGuard {
  pid_t pid = -1;
  ~ChildGuard() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

TEST_F(SyncNamedMutexTest, NameHeldByAnotherProcessReports183UntilThatProcessEnds) {
  enum class End { kExits, kIsKilled };
  for (End end : {End::kExits, End::kIsKilled}) {
    SCOPED_TRACE(end == End::kExits ? "child exits" : "child is killed");
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    ChildGuard guard;
    if (pid == 0) {
      DeviceError err = 99;
      NamedMutex held = CreateNamedMutex(u"NubrelInstance", true, &err);
      unsigned char report = static_cast<unsigned char>(err);
      (void)!::write(toParent[1], &report, 1);
      // Hold the name until told to go (or killed); never longer than 10 s.
      ReadByteWithin(toChild[0], 10000);
      ::_exit(0);
    }
    guard.pid = pid;
    ::close(toParent[1]);
    ::close(toChild[0]);
    ASSERT_EQ(ReadByteWithin(toParent[0], 10000), static_cast<int>(kErrorSuccess));

    DeviceError err = 99;
    NamedMutex second = CreateNamedMutex(u"nubrelinstance", true, &err);
    EXPECT_EQ(err, kErrorAlreadyExists);
    ASSERT_TRUE(second.IsOpen());
    EXPECT_EQ(WaitForNamedMutex(second, 30), kErrorWaitTimeout);

    if (end == End::kExits) {
      unsigned char go = 1;
      ASSERT_EQ(::write(toChild[1], &go, 1), 1);
    } else {
      ::kill(pid, SIGKILL);
    }
    ReapWithin(pid, 10000);
    guard.pid = -1;
    ::close(toParent[0]);
    ::close(toChild[1]);

    // The waiting handle gets the name once the holder is gone...
    EXPECT_EQ(WaitForNamedMutex(second, 5000), kErrorSuccess);
    EXPECT_EQ(ReleaseNamedMutex(second), kErrorSuccess);
    second.Close();
    // ...and a fresh creation is the first again.
    NamedMutex again = CreateNamedMutex(u"NubrelInstance", true, &err);
    EXPECT_EQ(err, kErrorSuccess);
  }
}

// ---- Events ----

TEST(SyncEvent, AutoResetReleasesExactlyOneOfTwoWaiters) {
  Event event(EventReset::kAuto);
  std::atomic<int> released{0};
  std::atomic<int> timedOut{0};
  auto waiter = [&] {
    DeviceError err = WaitForEvent(event, 5000);
    (err == kErrorSuccess ? released : timedOut)++;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let both start waiting
  SetEvent(event);
  EXPECT_TRUE(Eventually([&] { return released == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(released.load(), 1) << "one set released both waiters";
  EXPECT_EQ(timedOut.load(), 0);
  SetEvent(event);
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
  // Both sets were consumed.
  EXPECT_EQ(WaitForEvent(event, 0), kErrorWaitTimeout);
}

TEST(SyncEvent, ManualResetReleasesEveryWaiterAndStaysSet) {
  Event event(EventReset::kManual);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForEvent(event, 5000) == kErrorSuccess) ++released;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  SetEvent(event);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(WaitForEvent(event, 0), kErrorSuccess);
  EXPECT_EQ(WaitForEvent(event, 0), kErrorSuccess);
  ResetEvent(event);
  EXPECT_EQ(WaitForEvent(event, 0), kErrorWaitTimeout);

  Event initiallySet(EventReset::kManual, true);
  EXPECT_EQ(WaitForEvent(initiallySet, 0), kErrorSuccess);
}

TEST(SyncEvent, WaitAnyReportsTheSignalledEventAndConsumesOnlyIt) {
  struct Row {
    const char* what;
    bool set0, set1;
    DeviceError expected;
    size_t index;
    bool left0, left1;  // set afterwards (both events auto-reset)
  } rows[] = {
      {"none set", false, false, kErrorWaitTimeout, 0, false, false},
      {"first set", true, false, kErrorSuccess, 0, false, false},
      {"second set", false, true, kErrorSuccess, 1, false, false},
      {"both set", true, true, kErrorSuccess, 0, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Event first(EventReset::kAuto, row.set0);
    Event second(EventReset::kAuto, row.set1);
    Event* both[] = {&first, &second};
    size_t index = 99;
    EXPECT_EQ(WaitForAnyEvent(both, 10, &index), row.expected);
    if (row.expected == kErrorSuccess) {
      EXPECT_EQ(index, row.index);
    }
    EXPECT_EQ(WaitForEvent(first, 0) == kErrorSuccess, row.left0);
    EXPECT_EQ(WaitForEvent(second, 0) == kErrorSuccess, row.left1);
  }

  // Set from another thread while the wait is under way: the retrieval workers' case (queue
  // not empty, stop).
  Event notEmpty(EventReset::kManual);
  Event stop(EventReset::kManual);
  Event* events[] = {&notEmpty, &stop};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetEvent(stop);
  });
  size_t index = 99;
  auto start = Clock::now();
  EXPECT_EQ(WaitForAnyEvent(events, 5000, &index), kErrorSuccess);
  EXPECT_LT(MsSince(start), 4000);
  EXPECT_EQ(index, 1u);
  stopper.join();

  Event* withNull[] = {&notEmpty, nullptr};
  EXPECT_EQ(WaitForAnyEvent(withNull, 0, &index), kErrorInvalidParameter);
  EXPECT_EQ(WaitForAnyEvent({}, 0, &index), kErrorInvalidParameter);
}

TEST(SyncEvent, TimeOutsAnswer258NoSoonerThanAsked) {
  for (uint32_t timeout : {0u, 25u, 120u}) {
    SCOPED_TRACE(timeout);
    Event event(EventReset::kAuto);
    Event other(EventReset::kManual);
    Event* both[] = {&event, &other};
    auto start = Clock::now();
    EXPECT_EQ(WaitForEvent(event, timeout), kErrorWaitTimeout);
    int64_t single = MsSince(start);
    EXPECT_GE(single, timeout);
    EXPECT_LT(single, timeout + 2000);
    start = Clock::now();
    size_t index = 99;
    EXPECT_EQ(WaitForAnyEvent(both, timeout, &index), kErrorWaitTimeout);
    int64_t any = MsSince(start);
    EXPECT_GE(any, timeout);
    EXPECT_LT(any, timeout + 2000);
  }
}

// ---- Recursive mutexes ----

TEST(SyncRecursiveMutex, TimedLockFromAnotherThreadTimesOutUntilFullyReleased) {
  RecursiveMutex mutex;
  ASSERT_TRUE(mutex.TryLockFor(0));
  {
    TimedLockGuard again(mutex, 0);  // recursive: the owner gets it at once
    EXPECT_TRUE(again.Locked());
  }
  ASSERT_TRUE(mutex.TryLockFor(kInfiniteWait));  // held twice now

  auto tryFromOtherThread = [&](uint32_t timeoutMs, int64_t* elapsed) {
    bool got = false;
    std::thread other([&] {
      auto start = Clock::now();
      TimedLockGuard guard(mutex, timeoutMs);
      got = guard.Locked();
      *elapsed = MsSince(start);
    });
    other.join();
    return got;
  };
  int64_t elapsed = 0;
  EXPECT_FALSE(tryFromOtherThread(40, &elapsed));
  EXPECT_GE(elapsed, 40);
  mutex.Unlock();
  EXPECT_FALSE(tryFromOtherThread(10, &elapsed)) << "one unlock of two released the lock";
  mutex.Unlock();
  EXPECT_TRUE(tryFromOtherThread(5000, &elapsed));

  // The guard unlocked when it left its scope: another thread can lock again.
  EXPECT_TRUE(tryFromOtherThread(0, &elapsed));
}

TEST(SyncRecursiveMutex, ReleasingTheLockWakesATimedWaiter) {
  RecursiveMutex mutex;
  mutex.Lock();
  std::atomic<bool> got{false};
  std::thread waiter([&] {
    TimedLockGuard guard(mutex, 5000);
    got = guard.Locked();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(got.load());
  mutex.Unlock();
  waiter.join();
  EXPECT_TRUE(got.load());
}

// ---- Atomic counters ----

TEST(SyncAtomicCounter, IncrementsReturnDistinctNewValuesUnderContention) {
  AtomicCounter counter{0};
  constexpr int kThreads = 4;
  constexpr int kEach = 5000;
  std::vector<std::vector<int32_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) seen[t].push_back(AtomicIncrement(counter));
    });
  }
  for (auto& t : threads) t.join();
  std::set<int32_t> all;
  for (const auto& values : seen) all.insert(values.begin(), values.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(*all.begin(), 1);
  EXPECT_EQ(*all.rbegin(), kThreads * kEach);
  EXPECT_EQ(counter.load(), kThreads * kEach);
}

TEST(SyncAtomicCounter, EachOperationReturnsWhatItPromises) {
  AtomicCounter counter{5};
  EXPECT_EQ(AtomicIncrement(counter), 6);
  EXPECT_EQ(AtomicDecrement(counter), 5);
  EXPECT_EQ(AtomicExchange(counter, 40), 5);
  EXPECT_EQ(counter.load(), 40);
  EXPECT_EQ(AtomicCompareExchange(counter, 7, 39), 40);  // no match: unchanged
  EXPECT_EQ(counter.load(), 40);
  EXPECT_EQ(AtomicCompareExchange(counter, 7, 40), 40);  // match: stored
  EXPECT_EQ(counter.load(), 7);
  AtomicExchange(counter, INT32_MAX);
  EXPECT_EQ(AtomicIncrement(counter), INT32_MIN);  // wraps like the device's counters
  EXPECT_EQ(AtomicDecrement(counter), INT32_MAX);
}

}  // namespace
}  // namespace platform
