// The retrieval machinery with its real manager and four workers: the filters of the queue,
// routing each kind to its work, the messages of a run, cancelling, progress and closing.
#include "retrieval/retrieval.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>

#include "core/settings.h"
#include "retrieval/http_transfer.h"
#include "retrieval/retrieval_fixture.h"
#include "support/feed_server.h"

namespace nubrel {
namespace {

using testing::Eventually;

// Holds every task that reaches it until Open(); records the labels it saw.
class Gate {
 public:
  int32_t Pass(RetrievalTask& task) {
    std::unique_lock<std::mutex> hold(lock_);
    seen_.push_back(task.label.value_or(u""));
    kinds_.push_back(task.kind);
    changed_.notify_all();
    changed_.wait(hold, [this] { return open_; });
    return result_;
  }
  void Open(int32_t result = 0) {
    std::lock_guard<std::mutex> hold(lock_);
    open_ = true;
    result_ = result;
    changed_.notify_all();
  }
  size_t Seen() {
    std::lock_guard<std::mutex> hold(lock_);
    return seen_.size();
  }
  std::vector<std::u16string> Labels() {
    std::lock_guard<std::mutex> hold(lock_);
    return seen_;
  }
  std::vector<int32_t> Kinds() {
    std::lock_guard<std::mutex> hold(lock_);
    return kinds_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::u16string> seen_;
  std::vector<int32_t> kinds_;
  bool open_ = false;
  int32_t result_ = 0;
};

class RetrievalTest : public testing::RetrievalFixture {
 protected:
  void RouteTo(Gate& gate) {
    RetrievalWork work;
    work.runWebPage = [&gate](RetrievalTask& task) { return gate.Pass(task); };
    work.runDownload = [&gate](RetrievalTask& task) { return gate.Pass(task); };
    work.uploadReadChanges = [&gate](ChannelNode*) {
      RetrievalTask synchronize;
      synchronize.kind = kTaskSynchronize;
      gate.Pass(synchronize);
    };
    SetRetrievalWork(std::move(work));
  }
  static int RunningCount() {
    int running = 0;
    for (int slot = 0; slot < kWorkerCount; ++slot) running += RunningLabel(slot) ? 1 : 0;
    return running;
  }
};

TEST_F(RetrievalTest, FiltersRefuseDuplicatesScriptsAndApostrophesButNotChannelTitles) {
  EXPECT_FALSE(QueueWebPage(u"http://a.example/x", 1, 0, false, 0, false));  // not initialised
  InitRetrieval();
  EXPECT_TRUE(QueueWebPage(u"http://a.example/x", 1, 0, false, 0, false));
  // Same label ignoring case, whatever the kind.
  EXPECT_FALSE(QueueWebPage(u"HTTP://A.EXAMPLE/X", 1, 0, false, 0, false));
  EXPECT_FALSE(QueueEnclosure(u"http://a.example/x", 1, 7, false, -1, false));
  EXPECT_FALSE(QueueImage(u"http://a.example/it's.gif", 1, false, false));
  EXPECT_FALSE(QueueImage(u"javascript:alert(1)", 1, false, false));
  EXPECT_TRUE(QueueImage(u"JAVASCRIPT:is-case-sensitive.gif", 1, false, false));
  EXPECT_FALSE(QueueWebPage(u"", 1, 0, false, 0, false));
  EXPECT_FALSE(AddTask(nullptr, false));

  auto refresh = std::make_unique<RetrievalTask>();
  refresh->kind = kTaskRefresh;
  refresh->label = u"Bob's javascript: notes";
  EXPECT_TRUE(AddTask(std::move(refresh), false));
  EXPECT_EQ(QueuedCount(Retrieval().queue), 3);
  EXPECT_TRUE(IsRetrievalBusy());
  EXPECT_TRUE(WaitForRetrievalIdle(0));  // nothing asked for a manager
}

TEST_F(RetrievalTest, FullQueueRefusesTheTaskWithoutDisturbingTheOthers) {
  InitRetrieval();
  for (int32_t i = 0; i < kQueueCapacity; ++i) {
    auto task = std::make_unique<RetrievalTask>();
    task->kind = kTaskSynchronize;
    ASSERT_TRUE(AddTask(std::move(task), false));
  }
  EXPECT_FALSE(QueueWebPage(u"http://a.example/one-too-many", 1, 0, false, 0, false));
  EXPECT_EQ(QueuedCount(Retrieval().queue), kQueueCapacity);
}

TEST_F(RetrievalTest, FourWorkersRunTasksAndAQueuedDuplicateOfARunningOneIsAccepted) {
  Gate gate;
  RouteTo(gate);
  InitRetrieval();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(QueueWebPage(u"http://a.example/" + std::u16string(1, u'a' + i), 1, 0, false, 0,
                             true));
  }
  ASSERT_TRUE(Eventually([&] { return gate.Seen() == 4; }));
  EXPECT_EQ(RunningCount(), 4);
  EXPECT_EQ(QueuedCount(Retrieval().queue), 1);  // the fifth waits for a free worker
  // Running tasks are not compared: the same address may be asked for again.
  EXPECT_TRUE(QueueWebPage(u"http://a.example/a", 1, 0, false, 0, true));
  EXPECT_FALSE(QueueWebPage(u"http://a.example/e", 1, 0, false, 0, true));  // still queued

  gate.Open();
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  EXPECT_EQ(gate.Seen(), 6u);
  EXPECT_FALSE(IsRetrievalBusy());
  EXPECT_EQ(RunStates(), (std::vector<intptr_t>{1, 0}));
}

TEST_F(RetrievalTest, EachKindReachesItsWorkAndEnclosuresAskForPlaylists) {
  ASSERT_TRUE(SetAutoGeneratePlaylists(true, false));
  ChannelNode* channel = Channel(root_, u"Talk", u"http://127.0.0.1:9/feed");
  AttachItems(channel, newList(channel, kFeedRss20));
  EXPECT_EQ(CountItems(channel, 0, kCountCachedEnclosures), 0);
  ASSERT_EQ(GetCachedEnclosures(channel), 0);
  Gate gate;
  gate.Open();
  RouteTo(gate);
  InitRetrieval();
  ASSERT_TRUE(QueueImage(u"http://a.example/i.png", GetNodeId(channel), false, false));
  ASSERT_TRUE(QueueEnclosure(u"http://a.example/e.mp3", GetNodeId(channel), 5, false, 3, false));
  ASSERT_TRUE(QueueSynchronize(GetNodeId(channel)));
  ASSERT_TRUE(WaitForRetrievalIdle(20000));

  std::multiset<int32_t> kinds;
  for (int32_t kind : gate.Kinds()) kinds.insert(kind);
  EXPECT_EQ(kinds, (std::multiset<int32_t>{kTaskEnclosure, kTaskImage, kTaskSynchronize}));
  EXPECT_EQ(Received(*mainSink_, kMessageWritePlaylists).size(), 1u);
  // A successful enclosure makes the channel count its stored files again.
  EXPECT_EQ(GetCachedEnclosures(channel), -1);
}

TEST_F(RetrievalTest, ARunAfterAnIdleOneStartsItsWorkersAfresh) {
  Gate gate;
  gate.Open();
  RouteTo(gate);
  InitRetrieval();
  ASSERT_TRUE(QueueWebPage(u"http://a.example/first", 1, 0, false, 0, true));
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  ASSERT_TRUE(QueueWebPage(u"http://a.example/second", 1, 0, false, 0, true));
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  EXPECT_EQ(gate.Labels(),
            (std::vector<std::u16string>{u"http://a.example/first", u"http://a.example/second"}));
  EXPECT_EQ(RunStates(), (std::vector<intptr_t>{1, 0, 1, 0}));
}

class WindDownTest : public RetrievalTest {
 protected:
  platform::WindowProcedure barProcedure() override {
    return [this](const platform::WindowMessage& message) -> intptr_t {
      if (message.message == kMessageRunState && message.lParam == 0 && !offered_.exchange(true)) {
        late_ = QueueWebPage(u"http://a.example/late", 1, 0, false, 0, true);
      }
      return 0;
    };
  }
  std::atomic<bool> offered_{false};
  std::atomic<bool> late_{false};
};

// Offered from the manager's own "run ended" message, after it saw the queue idle and stopped
// its workers.
TEST_F(WindDownTest, ATaskOfferedAfterTheQueueWentIdleIsStillRun) {
  Gate gate;
  gate.Open();
  RouteTo(gate);
  InitRetrieval();
  ASSERT_TRUE(QueueWebPage(u"http://a.example/first", 1, 0, false, 0, true));
  ASSERT_TRUE(Eventually([&] { return gate.Seen() == 2; }));
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  EXPECT_TRUE(late_.load());
  EXPECT_EQ(gate.Labels().back(), u"http://a.example/late");
  EXPECT_EQ(RunStates(), (std::vector<intptr_t>{1, 0, 1, 0}));
}

TEST_F(RetrievalTest, NotifyMarkerAloneWaitsForTheNextRun) {
  InitRetrieval();
  ASSERT_TRUE(QueueNotifyMarker(GetNodeId(root_)));
  EXPECT_TRUE(IsRetrievalBusy());
  EXPECT_TRUE(WaitForRetrievalIdle(0));
  EXPECT_TRUE(RunStates().empty());
}

TEST_F(RetrievalTest, CancelAllWithNothingToDoStillTellsTheNavigator) {
  InitRetrieval();
  CancelAll();
  EXPECT_EQ(RunStates(), (std::vector<intptr_t>{0}));
  EXPECT_FALSE(IsRetrievalBusy());
  EXPECT_FALSE(IsTransferAbortRaised());
}

TEST_F(RetrievalTest, CancelAllAbortsRunningTransfersAndDropsQueuedRefreshes) {
  testsupport::FeedServer server;
  auto serving = std::make_shared<std::atomic<bool>>(true);
  // Sends a little every 50 ms for 20 s: only an abort ends the transfer soon.
  server.Route("/slow", [serving](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("text/plain", [serving](size_t, httplib::DataSink& sink) {
      for (int i = 0; i < 400 && *serving; ++i) {
        if (!sink.write("x", 1)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      sink.done();
      return true;
    });
  });
  ASSERT_TRUE(server.Start());
  std::atomic<int32_t> result{1};
  RetrievalWork work;
  work.runWebPage = [&](RetrievalTask& task) {
    std::string body;
    UrlRequest request;
    request.url = task.label;
    result = loadUrlToMemory(request, body, nullptr, nullptr, nullptr, nullptr,
                             CurrentTaskProgress());
    return result.load();
  };
  SetRetrievalWork(std::move(work));
  ChannelNode* waiting = Channel(root_, u"Waiting", u"http://127.0.0.1:9/never");
  InitRetrieval();
  // Fill every worker with a slow page so that the refresh stays queued.
  for (int i = 0; i < kWorkerCount; ++i) {
    ASSERT_TRUE(QueueWebPage(server.Url16("/slow") + u"?" + std::u16string(1, u'0' + i), 1, 0,
                             false, 0, true));
  }
  ASSERT_TRUE(Eventually([&] { return RunningCount() == kWorkerCount; }));
  ASSERT_TRUE(QueueRefresh(GetNodeId(waiting), main_, true));
  EXPECT_TRUE(GetRefreshQueued(waiting));

  CancelAll();
  *serving = false;
  EXPECT_EQ(result.load(), kUrlAborted);
  EXPECT_FALSE(GetRefreshQueued(waiting));
  EXPECT_FALSE(IsRetrievalBusy());
  EXPECT_FALSE(IsTransferAbortRaised());
  const auto changed = Received(*mainSink_, kMessageChannelChanged);
  ASSERT_EQ(changed.size(), 2u);  // queued, then dropped
  EXPECT_EQ(changed.back().lParam, reinterpret_cast<intptr_t>(waiting));
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  EXPECT_EQ(RunStates().back(), 0);
}

TEST_F(RetrievalTest, CancelByLabelRemovesAQueuedTaskOrStopsARunningOne) {
  Gate gate;
  RouteTo(gate);
  InitRetrieval();
  EXPECT_FALSE(CancelByLabel(u"http://a.example/nowhere"));
  ASSERT_TRUE(QueueEnclosure(u"http://a.example/queued.mp3", 1, 1, false, -1, false));
  EXPECT_TRUE(CancelByLabel(u"HTTP://a.example/QUEUED.mp3"));
  EXPECT_EQ(QueuedCount(Retrieval().queue), 0);

  ASSERT_TRUE(QueueEnclosure(u"http://a.example/running.mp3", 1, 2, false, -1, true));
  ASSERT_TRUE(Eventually([&] { return gate.Seen() == 1; }));
  RetrievalTask* running = nullptr;
  {
    std::lock_guard<std::mutex> hold(Retrieval().slotLock);
    for (RetrievalTask* task : Retrieval().running) running = task ? task : running;
  }
  ASSERT_NE(running, nullptr);
  EXPECT_TRUE(ReportProgress(10, running));
  EXPECT_TRUE(CancelByLabel(u"http://a.example/running.mp3"));
  EXPECT_FALSE(ReportProgress(20, running));  // the transfer is told to stop
  gate.Open();
}

TEST_F(RetrievalTest, ProgressReachesTheQueueDialogForTheWorkersSlot) {
  auto dialogSink = std::make_shared<platform::RecordingSink>();
  platform::WindowHandle dialog = platform::kNoWindow;
  ASSERT_EQ(platform::CreateWindowHandle(u"Dialog", u"Queue", {}, dialogSink, platform::kNoWindow,
                                         dialog),
            0);
  SetProgressWindow(dialog);
  Gate gate;
  RouteTo(gate);
  InitRetrieval();
  ASSERT_TRUE(QueueWebPage(u"http://a.example/p", 1, 0, false, 0, true));
  ASSERT_TRUE(Eventually([&] { return gate.Seen() == 1; }));
  int slot = -1;
  for (int s = 0; s < kWorkerCount; ++s) slot = RunningLabel(s) ? s : slot;
  ASSERT_GE(slot, 0);
  EXPECT_EQ(*RunningLabel(slot), u"http://a.example/p");
  RetrievalTask* task = nullptr;
  {
    std::lock_guard<std::mutex> hold(Retrieval().slotLock);
    task = Retrieval().running[static_cast<size_t>(slot)];
  }
  EXPECT_TRUE(ReportProgress(42, task));
  gate.Open();
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  SetProgressWindow(platform::kNoWindow);

  std::vector<std::pair<uintptr_t, intptr_t>> seen;
  for (const auto& m : dialogSink->Entries()) {
    if (m.message.message == kMessageWorkerProgress) seen.emplace_back(m.message.wParam, m.message.lParam);
  }
  const auto s = static_cast<uintptr_t>(slot);
  EXPECT_EQ(seen, (std::vector<std::pair<uintptr_t, intptr_t>>{{s, 0}, {s, 42}, {s, 0}}));
  platform::DestroyWindowHandle(dialog);
}

TEST_F(RetrievalTest, CloseWhenDoneClosesTheMainWindowAfterTheRun) {
  Gate gate;
  gate.Open();
  RouteTo(gate);
  InitRetrieval();
  EXPECT_FALSE(SetCloseWhenDone(true));
  ASSERT_TRUE(QueueWebPage(u"http://a.example/last", 1, 0, false, 0, true));
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  EXPECT_EQ(Received(*mainSink_, platform::kMessageClose).size(), 1u);
  EXPECT_TRUE(SetCloseWhenDone(false));
}

TEST_F(RetrievalTest, WorkThatIsMissingOrFailsEndsTheTaskNotTheWorker) {
  RetrievalWork work;
  std::atomic<int> calls{0};
  work.runDownload = [&](RetrievalTask&) -> int32_t {
    ++calls;
    throw std::runtime_error("broken download");
  };
  SetRetrievalWork(std::move(work));
  InitRetrieval();
  ASSERT_TRUE(QueueWebPage(u"http://a.example/no-page-work", 1, 0, false, 0, true));
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(QueueImage(u"http://a.example/" + std::u16string(1, u'a' + i), 1, false, true));
  }
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  EXPECT_EQ(calls.load(), 6);  // every worker survived the failures
  EXPECT_FALSE(IsRetrievalBusy());
}

TEST(MayCacheNow, FollowsTheCacheOptionAndTheCradle) {
  testing::TempDevice device;
  ResetSettings();
  struct Case {
    int32_t option;
    int cradled;
    bool expected;
  };
  for (const Case& c : {Case{1, 0, true}, Case{0, 0, false}, Case{0, 1, true}}) {
    platform::DeviceConfig config = platform::Device();
    config.cradled = c.cradled;
    platform::SetDeviceConfig(config);
    ASSERT_TRUE(SetCacheOptions(c.option, false));
    EXPECT_EQ(MayCacheNow(), c.expected) << c.option << " cradled " << c.cradled;
  }
  ResetSettings();
}

}  // namespace
}  // namespace nubrel
