// Window handles and messages: the table, posting and sending between threads of this process,
// the message queue, and windows published to other processes (peers re-run this program).
#include "platform/window_messages.h"

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/utf.h"
#include "platform/window_test_support.h"

namespace platform {
namespace {

using window_test::Peer;
using window_test::WindowTestRoot;

// Messages a peer window understands.
constexpr uint32_t kPeerAdd = kMessageUser + 1;        // sent: answers wParam + lParam
constexpr uint32_t kPeerPostCount = kMessageUser + 2;  // sent: how many posts came
constexpr uint32_t kPeerPostDigest = kMessageUser + 3; // sent: digest of the posts, in order
constexpr uint32_t kPeerDie = kMessageUser + 4;        // sent: the peer dies while handling it
constexpr uint32_t kPeerDestroySecond = kMessageUser + 5;  // sent: destroy the second window
constexpr uint32_t kPeerRetitle = kMessageUser + 6;    // sent: retitle to "Renamed"

constexpr const char16_t* kPeerClass = u"NubrelTestPeer";
constexpr const char16_t* kPeerTitle = u"Peer 100% \u00e9\nsecond line";
constexpr const char16_t* kPeerSecondTitle = u"Peer two";

// Order-sensitive digest of posted messages, the same in the test and in the peer.
uint64_t MixDigest(uint64_t digest, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  for (uint64_t part : {uint64_t{message}, uint64_t{wParam}, static_cast<uint64_t>(lParam)}) {
    digest ^= part + 0x9E3779B97F4A7C15ULL + (digest << 6) + (digest >> 2);
  }
  return digest;
}

// The peer: publishes two windows on its own message queue, reports 'R', then serves until the
// test lets it go or a close message comes.
int PeerPublisher() {
  auto queue = std::make_shared<MessageQueue>();
  uint64_t digest = 0;
  intptr_t posts = 0;
  WindowHandle first = kNoWindow, second = kNoWindow;
  bool done = false;
  auto procedure = [&](const WindowMessage& m) -> intptr_t {
    switch (m.message) {
      case kPeerAdd: return static_cast<intptr_t>(m.wParam) + m.lParam;
      case kPeerPostCount: return posts;
      case kPeerPostDigest: return static_cast<intptr_t>(digest);
      case kPeerDie: ::raise(SIGKILL); return 0;
      case kPeerDestroySecond: return static_cast<intptr_t>(DestroyWindowHandle(second));
      case kPeerRetitle: return static_cast<intptr_t>(SetWindowTitle(first, u"Renamed"));
      case kMessageClose: done = true; return 0;
      default:
        ++posts;
        digest = MixDigest(digest, m.message, m.wParam, m.lParam);
        return 0;
    }
  };
  if (CreateWindowHandle(kPeerClass, kPeerTitle, procedure, queue, kNoWindow, first) ||
      CreateWindowHandle(kPeerClass, kPeerSecondTitle, procedure, queue, kNoWindow, second) ||
      PublishWindow(first) || PublishWindow(second)) {
    return 2;
  }
  window_test::Report('R');
  auto start = window_test::Clock::now();
  while (!done && !window_test::Dismissed() &&
         window_test::MsSince(start) < window_test::kPeerLifetimeMs) {
    WindowMessage m;
    if (queue->GetMessage(m, 20) == kErrorSuccess) DispatchWindowMessage(m);
  }
  DestroyWindowHandle(first);
  DestroyWindowHandle(second);
  return 0;
}

const window_test::RoleRegistration kPublisherRole("window-publisher", PeerPublisher);

// The peer as a caller: sends kPeerAdd(2, 3) to the window titled "Caller's target".
int PeerCaller() {
  WindowHandle target = FindTopLevelWindow(u"", u"Caller's target");
  if (target == kNoWindow) return 2;
  intptr_t answer = 0;
  if (SendWindowMessage(target, kPeerAdd, 2, 3, answer)) return 3;
  return answer == 5 ? 0 : 4;
}

const window_test::RoleRegistration kCallerRole("window-caller", PeerCaller);

std::shared_ptr<RecordingSink> Recorder() { return std::make_shared<RecordingSink>(); }

WindowHandle MakeWindow(std::u16string_view cls, std::u16string_view title,
                        std::shared_ptr<WindowSink> sink, WindowProcedure procedure = {},
                        WindowHandle parent = kNoWindow) {
  WindowHandle window = kNoWindow;
  EXPECT_EQ(CreateWindowHandle(cls, title, std::move(procedure), std::move(sink), parent, window),
            kErrorSuccess);
  return window;
}

// ---- The window table ----

using WindowsTableTest = WindowTestRoot;

TEST_F(WindowsTableTest, CreationRefusesBadArguments) {
  auto sink = Recorder();
  WindowHandle parent = MakeWindow(u"Parent", u"", sink);
  WindowHandle gone = MakeWindow(u"Gone", u"", sink);
  ASSERT_EQ(DestroyWindowHandle(gone), kErrorSuccess);
  struct Row {
    const char* what;
    std::u16string_view cls;
    std::shared_ptr<WindowSink> sink;
    WindowHandle parent;
    DeviceError expected;
  } rows[] = {
      {"empty class", u"", sink, kNoWindow, kErrorInvalidParameter},
      {"no sink", u"X", nullptr, kNoWindow, kErrorInvalidParameter},
      {"destroyed parent", u"X", sink, gone, kErrorInvalidWindowHandle},
      {"made-up parent", u"X", sink, parent + 1, kErrorInvalidWindowHandle},
      {"live parent", u"X", sink, parent, kErrorSuccess},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    WindowHandle window = 12345;
    EXPECT_EQ(CreateWindowHandle(row.cls, u"t", {}, row.sink, row.parent, window), row.expected);
    EXPECT_EQ(window != kNoWindow, row.expected == kErrorSuccess);
  }
}

TEST_F(WindowsTableTest, HandlesAreDistinctAndKeepTheirNames) {
  auto sink = Recorder();
  std::vector<WindowHandle> handles;
  for (int i = 0; i < 5; ++i) {
    handles.push_back(MakeWindow(u"Class" + FromUtf8(std::to_string(i)), u"T", sink));
  }
  ASSERT_EQ(DestroyWindowHandle(handles[2]), kErrorSuccess);
  handles.push_back(MakeWindow(u"Class5", u"T", sink));
  for (size_t i = 0; i < handles.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NE(handles[i], kNoWindow);
    EXPECT_EQ(handles[i] % 4, 0u);  // the low bits stay free for flags callers add
    for (size_t j = 0; j < i; ++j) EXPECT_NE(handles[i], handles[j]);  // never reused
    std::u16string cls;
    DeviceError err = GetWindowClassName(handles[i], cls);
    if (i == 2) {
      EXPECT_EQ(err, kErrorInvalidWindowHandle);
    } else {
      EXPECT_EQ(err, kErrorSuccess);
      EXPECT_EQ(cls, u"Class" + FromUtf8(std::to_string(i)));
    }
  }
  std::u16string title;
  ASSERT_EQ(SetWindowTitle(handles[0], u"New \u00e9 title"), kErrorSuccess);
  ASSERT_EQ(GetWindowTitle(handles[0], title), kErrorSuccess);
  EXPECT_EQ(title, u"New \u00e9 title");
}

TEST_F(WindowsTableTest, DestroyedWindowAnswers1400EverywhereWithItsChildren) {
  auto sink = Recorder();
  WindowHandle top = MakeWindow(u"Top", u"top", sink);
  WindowHandle child = MakeWindow(u"Child", u"child", sink, {}, top);
  WindowHandle grandchild = MakeWindow(u"Grand", u"grand", sink, {}, child);
  WindowHandle other = MakeWindow(u"Other", u"other", sink);
  ASSERT_EQ(DestroyWindowHandle(top), kErrorSuccess);

  for (WindowHandle window : {top, child, grandchild, WindowHandle{0}, WindowHandle{4}}) {
    SCOPED_TRACE(window);
    std::u16string text;
    intptr_t answer = 7;
    EXPECT_FALSE(IsWindowHandle(window));
    EXPECT_EQ(PostWindowMessage(window, kMessageUser, 1, 2), kErrorInvalidWindowHandle);
    EXPECT_EQ(SendWindowMessage(window, kMessageUser, 1, 2, answer), kErrorInvalidWindowHandle);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(SetWindowTitle(window, u"x"), kErrorInvalidWindowHandle);
    EXPECT_EQ(GetWindowTitle(window, text), kErrorInvalidWindowHandle);
    EXPECT_EQ(GetWindowClassName(window, text), kErrorInvalidWindowHandle);
    EXPECT_EQ(DestroyWindowHandle(window), kErrorInvalidWindowHandle);
    EXPECT_EQ(PublishWindow(window), kErrorInvalidWindowHandle);
  }
  EXPECT_TRUE(IsWindowHandle(other));
  EXPECT_EQ(PostWindowMessage(other, kMessageUser, 1, 2), kErrorSuccess);
  EXPECT_EQ(sink->Entries().size(), 1u);  // nothing reached the destroyed ones
}

TEST_F(WindowsTableTest, FindsTopLevelWindowsByClassWithoutCaseAndTitleExactly) {
  auto sink = Recorder();
  WindowHandle reader = MakeWindow(u"NUBREL", u"Nubrel", sink);
  WindowHandle accented = MakeWindow(u"Caf\u00c9", u"Menu", sink);
  WindowHandle second = MakeWindow(u"nubrel", u"Other", sink);
  MakeWindow(u"Hidden", u"Nubrel child", sink, {}, reader);  // a child is never found
  struct Row {
    const char16_t* cls;
    const char16_t* title;
    WindowHandle expected;
  } rows[] = {
      {u"NUBREL", u"Nubrel", reader},
      {u"nubrel", u"Nubrel", reader},
      {u"NuBrEl", u"", reader},          // the oldest match comes first
      {u"", u"Nubrel", reader},
      {u"", u"", reader},
      {u"nubrel", u"Other", second},
      {u"nubrel", u"nubrel", kNoWindow},  // the title keeps its case
      {u"nubrel", u"Nubrel ", kNoWindow},
      {u"NUBRE", u"", kNoWindow},
      {u"caf\u00e9", u"Menu", accented},  // Latin-1 letters fold too
      {u"Hidden", u"", kNoWindow},
      {u"", u"Nubrel child", kNoWindow},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(ToUtf8(std::u16string(row.cls) + u" / " + row.title));
    EXPECT_EQ(FindTopLevelWindow(row.cls, row.title), row.expected);
  }
  ASSERT_EQ(DestroyWindowHandle(reader), kErrorSuccess);
  EXPECT_EQ(FindTopLevelWindow(u"nubrel", u""), second);
}

// ---- Messages between threads ----

using WindowsMessagesTest = WindowTestRoot;

TEST_F(WindowsMessagesTest, PostsFromManyThreadsKeepEachThreadsOrder) {
  auto queue = std::make_shared<MessageQueue>();
  std::vector<std::thread::id> handledOn;
  std::vector<WindowMessage> got;
  WindowHandle window = MakeWindow(u"Q", u"", queue, [&](const WindowMessage& m) {
    handledOn.push_back(std::this_thread::get_id());
    got.push_back(m);
    return intptr_t{0};
  });
  constexpr int kThreads = 4, kEach = 300;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (PostWindowMessage(window, kMessageUser, static_cast<uintptr_t>(t), i)) ++failures;
      }
    });
  }
  std::vector<intptr_t> next(kThreads, 0);
  auto start = window_test::Clock::now();
  while (got.size() < kThreads * kEach && window_test::MsSince(start) < 10000) {
    WindowMessage m;
    if (queue->GetMessage(m, 100) == kErrorSuccess) {
      EXPECT_EQ(m.window, window);
      DispatchWindowMessage(m);
    }
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kEach));
  for (const WindowMessage& m : got) {
    ASSERT_LT(m.wParam, static_cast<uintptr_t>(kThreads));
    ASSERT_EQ(m.lParam, next[m.wParam]) << "thread " << m.wParam << " out of order";
    ++next[m.wParam];
  }
  for (auto id : handledOn) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(WindowsMessagesTest, SendFromAnotherThreadIsAnsweredOnTheOwnersThread) {
  auto queue = std::make_shared<MessageQueue>();
  std::thread::id owner = std::this_thread::get_id();
  std::atomic<bool> onOwner{true};
  WindowHandle window = MakeWindow(u"Q", u"", queue, [&](const WindowMessage& m) {
    if (std::this_thread::get_id() != owner) onOwner = false;
    return static_cast<intptr_t>(m.wParam) * 1000 + m.lParam;
  });
  struct Row {
    uintptr_t wParam;
    intptr_t lParam;
  } rows[] = {{0, 0}, {3, 4}, {7, -9}, {123456, 1}};
  std::vector<DeviceError> errors(std::size(rows), 99);
  std::vector<intptr_t> answers(std::size(rows), 0);
  std::thread sender([&] {
    for (size_t i = 0; i < std::size(rows); ++i) {
      errors[i] = SendWindowMessage(window, kMessageUser, rows[i].wParam, rows[i].lParam,
                                    answers[i], 5000);
    }
    PostWindowMessage(window, kMessageClose, 0, 0);
  });
  // Sent messages are handled inside GetMessage and never come out of it; the post does.
  WindowMessage m;
  DeviceError err = queue->GetMessage(m, 10000);
  sender.join();
  ASSERT_EQ(err, kErrorSuccess);
  EXPECT_EQ(m.message, kMessageClose);
  EXPECT_TRUE(onOwner.load());
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(errors[i], kErrorSuccess);
    EXPECT_EQ(answers[i], static_cast<intptr_t>(rows[i].wParam) * 1000 + rows[i].lParam);
  }
}

TEST_F(WindowsMessagesTest, SendOnTheOwnersThreadRunsAtOnceEvenFromInsideTheProcedure) {
  auto queue = std::make_shared<MessageQueue>();
  WindowHandle window = kNoWindow;
  window = MakeWindow(u"Q", u"", queue, [&](const WindowMessage& m) -> intptr_t {
    if (m.wParam == 0) return m.lParam;
    intptr_t inner = 0;
    // Nobody pumps the queue here: a queued send would wait for ever.
    if (SendWindowMessage(window, m.message, m.wParam - 1, m.lParam + 1, inner, 1000)) return -1;
    return inner;
  });
  intptr_t answer = 0;
  ASSERT_EQ(SendWindowMessage(window, kMessageUser, 5, 10, answer, 1000), kErrorSuccess);
  EXPECT_EQ(answer, 15);
  WindowMessage m;
  EXPECT_FALSE(queue->PeekMessage(m));  // nothing was queued on the way
}

TEST_F(WindowsMessagesTest, WaitingSenderLearnsThatTheWindowIsGone) {
  enum class End { kWindowDestroyed, kQueueClosed, kOwnerTooSlow };
  for (End end : {End::kWindowDestroyed, End::kQueueClosed, End::kOwnerTooSlow}) {
    SCOPED_TRACE(static_cast<int>(end));
    auto queue = std::make_shared<MessageQueue>();
    std::atomic<int> handled{0};
    WindowHandle window = MakeWindow(u"Q", u"", queue, [&](const WindowMessage&) {
      ++handled;
      return intptr_t{1};
    });
    DeviceError err = 99;
    intptr_t answer = 5;
    uint32_t timeout = end == End::kOwnerTooSlow ? 50 : 10000;
    std::thread sender(
        [&] { err = SendWindowMessage(window, kMessageUser, 0, 0, answer, timeout); });
    // Let the send reach the queue before the owner acts.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (end == End::kWindowDestroyed) {
      EXPECT_EQ(DestroyWindowHandle(window), kErrorSuccess);
    }
    if (end == End::kQueueClosed) queue->Close();
    sender.join();
    EXPECT_EQ(err, end == End::kOwnerTooSlow ? kErrorTimeout : kErrorInvalidWindowHandle);
    EXPECT_EQ(answer, 0);
    // A late owner may still pump: the message is dropped or handled, never answered twice.
    WindowMessage m;
    EXPECT_FALSE(queue->PeekMessage(m));
    EXPECT_EQ(handled.load(), end == End::kOwnerTooSlow ? 1 : 0);
    DestroyWindowHandle(window);
  }
}

TEST_F(WindowsMessagesTest, QueueWaitsAreBoundedAndPeekCanLeaveTheMessage) {
  auto queue = std::make_shared<MessageQueue>();
  WindowHandle window = MakeWindow(u"Q", u"", queue);
  WindowMessage m;
  EXPECT_EQ(queue->GetMessage(m, 30), kErrorWaitTimeout);
  EXPECT_FALSE(queue->PeekMessage(m));
  ASSERT_EQ(PostWindowMessage(window, 1111, 1, 2), kErrorSuccess);
  ASSERT_EQ(PostWindowMessage(window, 2222, 3, 4), kErrorSuccess);
  ASSERT_TRUE(queue->PeekMessage(m, false));
  EXPECT_EQ(m.message, 1111u);
  ASSERT_TRUE(queue->PeekMessage(m, true));
  EXPECT_EQ(m.message, 1111u);
  ASSERT_EQ(queue->GetMessage(m, 0), kErrorSuccess);
  EXPECT_EQ(m.message, 2222u);
  EXPECT_EQ(m.wParam, 3u);
  EXPECT_EQ(m.lParam, 4);
  // A posted message whose window died before it was dispatched goes nowhere.
  ASSERT_EQ(PostWindowMessage(window, 3333, 0, 0), kErrorSuccess);
  queue->Close();
  EXPECT_EQ(queue->GetMessage(m, 30), kErrorInvalidHandle);
  EXPECT_EQ(PostWindowMessage(window, 4444, 0, 0), kErrorInvalidWindowHandle);
  // A send from another thread finds nobody to answer it (the owner itself would still run it).
  DeviceError err = 99;
  std::thread([&] {
    intptr_t answer = 0;
    err = SendWindowMessage(window, 4444, 0, 0, answer, 1000);
  }).join();
  EXPECT_EQ(err, kErrorInvalidWindowHandle);
}

// ---- Windows of other processes ----

using WindowsPeerTest = WindowTestRoot;

// Starts a publishing peer and waits until its windows are there.
void StartPublisher(Peer& peer) {
  ASSERT_TRUE(peer.Start("window-publisher"));
  ASSERT_EQ(peer.ReadReport(10000), 'R');
}

bool FolderHas(const std::string& name) {
  return std::filesystem::exists(PublishedWindowFolder() + "/" + name);
}

TEST_F(WindowsPeerTest, PostsAndSendsReachAnotherProcessWithOnlyIntegersCrossing) {
  Peer peer;
  StartPublisher(peer);
  WindowHandle window = FindTopLevelWindow(u"nubreltestpeer", kPeerTitle);
  ASSERT_NE(window, kNoWindow);
  EXPECT_EQ(FindTopLevelWindow(u"NUBRELTESTPEER", u""), window);  // the same proxy each time
  WindowHandle second = FindTopLevelWindow(u"", kPeerSecondTitle);
  ASSERT_NE(second, kNoWindow);
  EXPECT_NE(second, window);
  EXPECT_TRUE(IsWindowHandle(window));
  std::u16string text;
  ASSERT_EQ(GetWindowClassName(window, text), kErrorSuccess);
  EXPECT_EQ(text, kPeerClass);
  ASSERT_EQ(GetWindowTitle(window, text), kErrorSuccess);
  EXPECT_EQ(text, kPeerTitle);
  EXPECT_EQ(DestroyWindowHandle(window), kErrorAccessDenied);  // not ours
  EXPECT_EQ(SetWindowTitle(window, u"x"), kErrorNotSupported);
  EXPECT_EQ(PublishWindow(window), kErrorInvalidParameter);

  // Posts arrive in order, whole: extreme values of both parameters included.
  uint64_t digest = 0;
  const intptr_t lParams[] = {0, -1, INTPTR_MIN, INTPTR_MAX, 40015};
  int posts = 0;
  for (int i = 0; i < 40; ++i) {
    uint32_t message = kMessageUser + 100 + static_cast<uint32_t>(i);
    uintptr_t wParam = i == 3 ? UINTPTR_MAX : static_cast<uintptr_t>(i * 7);
    intptr_t lParam = lParams[i % std::size(lParams)];
    ASSERT_EQ(PostWindowMessage(window, message, wParam, lParam), kErrorSuccess);
    digest = MixDigest(digest, message, wParam, lParam);
    ++posts;
  }
  // A sent message overtakes posted ones still queued: ask until all posts are handled.
  intptr_t answer = 0;
  for (int attempt = 0; attempt < 500 && answer != posts; ++attempt) {
    ASSERT_EQ(SendWindowMessage(window, kPeerPostCount, 0, 0, answer), kErrorSuccess);
    if (answer != posts) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(answer, posts);
  ASSERT_EQ(SendWindowMessage(window, kPeerPostDigest, 0, 0, answer), kErrorSuccess);
  EXPECT_EQ(static_cast<uint64_t>(answer), digest);
  struct Row {
    uintptr_t wParam;
    intptr_t lParam;
  } rows[] = {{20, 22}, {0, -5}, {1u << 20, INTPTR_MIN / 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.lParam);
    ASSERT_EQ(SendWindowMessage(window, kPeerAdd, row.wParam, row.lParam, answer), kErrorSuccess);
    EXPECT_EQ(answer, static_cast<intptr_t>(row.wParam) + row.lParam);
  }

  // The peer retitles one window: finders see the new title.
  ASSERT_EQ(SendWindowMessage(window, kPeerRetitle, 0, 0, answer), kErrorSuccess);
  ASSERT_EQ(answer, 0);
  ASSERT_EQ(GetWindowTitle(window, text), kErrorSuccess);
  EXPECT_EQ(text, u"Renamed");
  EXPECT_EQ(FindTopLevelWindow(u"", u"Renamed"), window);
  EXPECT_EQ(FindTopLevelWindow(u"", kPeerTitle), kNoWindow);

  // The peer destroys its second window: that handle dies, the first lives on.
  ASSERT_EQ(SendWindowMessage(second, kPeerDestroySecond, 0, 0, answer), kErrorSuccess);
  EXPECT_EQ(PostWindowMessage(second, kMessageUser, 0, 0), kErrorInvalidWindowHandle);
  EXPECT_FALSE(IsWindowHandle(second));
  EXPECT_EQ(FindTopLevelWindow(u"", kPeerSecondTitle), kNoWindow);
  EXPECT_TRUE(IsWindowHandle(window));

  // A clean exit takes the socket and the info files along.
  ASSERT_EQ(PostWindowMessage(window, kMessageClose, 0, 0), kErrorSuccess);
  pid_t pid = peer.pid();
  EXPECT_EQ(peer.Reap(10000), 0);
  EXPECT_FALSE(FolderHas("p" + std::to_string(pid) + ".sock"));
  EXPECT_EQ(PostWindowMessage(window, kMessageUser, 0, 0), kErrorInvalidWindowHandle);
  EXPECT_FALSE(IsWindowHandle(window));
}

TEST_F(WindowsPeerTest, KilledPeerFailsQuicklyAndItsFilesAreSweptAway) {
  // Whatever is asked first after the kill finds out and cleans up.
  enum class First { kFind, kPost, kSend, kIsWindow };
  for (First first : {First::kFind, First::kPost, First::kSend, First::kIsWindow}) {
    SCOPED_TRACE(static_cast<int>(first));
    Peer peer;
    StartPublisher(peer);
    WindowHandle window = FindTopLevelWindow(kPeerClass, u"");
    ASSERT_NE(window, kNoWindow);
    pid_t pid = peer.pid();
    std::string socketName = "p" + std::to_string(pid) + ".sock";
    peer.Kill();
    ASSERT_EQ(peer.Reap(5000), 128 + SIGKILL);
    ASSERT_TRUE(FolderHas(socketName));  // nobody cleaned up after the dead

    intptr_t answer = 3;
    switch (first) {
      case First::kFind: EXPECT_EQ(FindTopLevelWindow(kPeerClass, u""), kNoWindow); break;
      case First::kPost:
        EXPECT_EQ(PostWindowMessage(window, kMessageUser, 0, 0), kErrorInvalidWindowHandle);
        break;
      case First::kSend:
        EXPECT_EQ(SendWindowMessage(window, kPeerAdd, 1, 1, answer), kErrorInvalidWindowHandle);
        EXPECT_EQ(answer, 0);
        break;
      case First::kIsWindow: EXPECT_FALSE(IsWindowHandle(window)); break;
    }
    EXPECT_FALSE(FolderHas(socketName));
    for (const auto& entry : std::filesystem::directory_iterator(PublishedWindowFolder())) {
      EXPECT_EQ(entry.path().filename().string().find(std::to_string(pid)), std::string::npos)
          << entry.path();
    }
    EXPECT_EQ(FindTopLevelWindow(kPeerClass, u""), kNoWindow);
    EXPECT_EQ(PostWindowMessage(window, kMessageUser, 0, 0), kErrorInvalidWindowHandle);
  }
}

TEST_F(WindowsPeerTest, PeerDyingWhileHandlingASendBreaksTheCallNotTheCaller) {
  Peer peer;
  StartPublisher(peer);
  WindowHandle window = FindTopLevelWindow(kPeerClass, u"");
  ASSERT_NE(window, kNoWindow);
  intptr_t answer = 9;
  // 109 (not 1460): the broken connection ends the wait, not the time-out.
  EXPECT_EQ(SendWindowMessage(window, kPeerDie, 0, 0, answer), kErrorBrokenPipe);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(peer.Reap(5000), 128 + SIGKILL);
  EXPECT_EQ(PostWindowMessage(window, kMessageUser, 0, 0), kErrorInvalidWindowHandle);
}

TEST_F(WindowsPeerTest, LocalWindowsArePublishedOnlyWhileTheyLive) {
  auto sink = Recorder();
  WindowHandle top = MakeWindow(u"Pub", u"Pub", sink);
  WindowHandle child = MakeWindow(u"PubChild", u"", sink, {}, top);
  EXPECT_EQ(PublishWindow(child), kErrorInvalidParameter);
  ASSERT_EQ(PublishWindow(top), kErrorSuccess);
  ASSERT_EQ(PublishWindow(top), kErrorSuccess);
  std::string socketName = "p" + std::to_string(::getpid()) + ".sock";
  std::string infoName = "w" + std::to_string(::getpid()) + "-" + std::to_string(top) + ".info";
  EXPECT_TRUE(FolderHas(socketName));
  EXPECT_TRUE(FolderHas(infoName));
  // This process finds its own window directly, not through a socket.
  EXPECT_EQ(FindTopLevelWindow(u"pub", u"Pub"), top);
  ASSERT_EQ(UnpublishWindow(top), kErrorSuccess);
  EXPECT_FALSE(FolderHas(infoName));
  EXPECT_FALSE(FolderHas(socketName));  // the last one out closes the socket
  ASSERT_EQ(PublishWindow(top), kErrorSuccess);
  ASSERT_EQ(DestroyWindowHandle(top), kErrorSuccess);
  EXPECT_FALSE(FolderHas(infoName));
  EXPECT_FALSE(FolderHas(socketName));
}

TEST_F(WindowsPeerTest, WindowMayRetitleAndDestroyItselfWhileAnsweringAPeer) {
  auto sink = Recorder();
  WindowHandle window = kNoWindow;
  std::atomic<DeviceError> retitled{99}, destroyed{99};
  // The recording sink runs this on the thread that serves peers: the last published window
  // going away stops that very thread.
  window = MakeWindow(u"Target", u"Caller's target", sink, [&](const WindowMessage& m) {
    retitled = SetWindowTitle(window, u"Going");
    destroyed = DestroyWindowHandle(window);
    return static_cast<intptr_t>(m.wParam) + m.lParam;
  });
  ASSERT_EQ(PublishWindow(window), kErrorSuccess);
  Peer peer;
  ASSERT_TRUE(peer.Start("window-caller"));
  EXPECT_EQ(peer.Reap(10000), 0);  // it got its answer, 5
  EXPECT_EQ(retitled.load(), kErrorSuccess);
  EXPECT_EQ(destroyed.load(), kErrorSuccess);
  EXPECT_FALSE(IsWindowHandle(window));
  EXPECT_FALSE(FolderHas("p" + std::to_string(::getpid()) + ".sock"));
  // Serving starts again for the next window.
  WindowHandle next = MakeWindow(u"Target", u"Caller's target", sink, [](const WindowMessage& m) {
    return static_cast<intptr_t>(m.wParam) + m.lParam;
  });
  ASSERT_EQ(PublishWindow(next), kErrorSuccess);
  Peer again;
  ASSERT_TRUE(again.Start("window-caller"));
  EXPECT_EQ(again.Reap(10000), 0);
  EXPECT_EQ(sink->Entries().size(), 2u);
}

class WindowsLongRootTest : public WindowTestRoot {
 protected:
  void SetUp() override { SetUpRoot(std::string(60, 'r') + "/" + std::string(60, 's')); }
};

TEST_F(WindowsLongRootTest, SocketMovesToAShortFolderBothSidesAgreeOn) {
  ASSERT_GT(DeviceRunFolder().size(), 108u);
  std::string folder = PublishedWindowFolder();
  EXPECT_EQ(folder.rfind("/tmp/nubrel-", 0), 0u) << folder;
  EXPECT_LT(folder.size() + 24, 108u);
  Peer peer;
  StartPublisher(peer);
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(FolderHas("p" + std::to_string(peer.pid()) + ".sock"));
  WindowHandle window = FindTopLevelWindow(kPeerClass, kPeerTitle);
  ASSERT_NE(window, kNoWindow);
  intptr_t answer = 0;
  ASSERT_EQ(SendWindowMessage(window, kPeerAdd, 40, 2, answer), kErrorSuccess);
  EXPECT_EQ(answer, 42);
  ASSERT_EQ(PostWindowMessage(window, kMessageClose, 0, 0), kErrorSuccess);
  EXPECT_EQ(peer.Reap(10000), 0);
}

}  // namespace
}  // namespace platform
