// The reader's single-instance rule across two real processes: the first holds the named mutex
// "NubrelInstance" and publishes its main window; a second start is refused the mutex, finds
// that window by class and title, posts it the Refresh command and sends it a question.
#include <gtest/gtest.h>

#include <thread>

#include "platform/sync.h"
#include "platform/window_messages.h"
#include "platform/window_test_support.h"

namespace platform {
namespace {

constexpr uint32_t kCommandRefresh = 40015;
constexpr uint32_t kMessageUnreadCount = 1124;

// What the second reader saw, as its exit code.
enum SecondReaderExit : int {
  kSawEverything = 0,
  kGotTheMutex = 10,
  kMutexError = 11,
  kWindowNotFound = 12,
  kPostFailed = 13,
  kSendFailed = 14,
  kWrongAnswer = 15,
};

// The second reader, as start-up does it: the mutex first, then up to 3 looks for the window.
int SecondReader() {
  DeviceError err = 99;
  NamedMutex instance = CreateNamedMutex(u"NubrelInstance", true, &err);
  if (err == kErrorSuccess) return kGotTheMutex;
  if (err != kErrorAlreadyExists) return kMutexError;
  WindowHandle reader = kNoWindow;
  for (int attempt = 0; attempt < 3 && reader == kNoWindow; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    reader = FindTopLevelWindow(u"NUBREL", u"Nubrel");
  }
  if (reader == kNoWindow) return kWindowNotFound;
  if (PostWindowMessage(reader, kMessageCommand, kCommandRefresh, 0)) return kPostFailed;
  intptr_t answer = 0;
  if (SendWindowMessage(reader, kMessageUnreadCount, 20, 22, answer)) return kSendFailed;
  return answer == 42 ? kSawEverything : kWrongAnswer;
}

const window_test::RoleRegistration kSecondReaderRole("second-reader", SecondReader);

using SingleInstanceTest = window_test::WindowTestRoot;

TEST_F(SingleInstanceTest, SecondReaderIsRefusedTheMutexAndMessagesTheFirst) {
  DeviceError err = 99;
  NamedMutex instance = CreateNamedMutex(u"NubrelInstance", true, &err);
  ASSERT_EQ(err, kErrorSuccess);
  auto sink = std::make_shared<RecordingSink>();
  WindowHandle main = kNoWindow;
  auto answerUnreadCount = [](const WindowMessage& m) -> intptr_t {
    if (m.message != kMessageUnreadCount) return 0;
    return static_cast<intptr_t>(m.wParam) + m.lParam;
  };
  ASSERT_EQ(CreateWindowHandle(u"Nubrel", u"Nubrel", answerUnreadCount, sink, kNoWindow, main),
            kErrorSuccess);
  ASSERT_EQ(PublishWindow(main), kErrorSuccess);

  window_test::Peer second;
  ASSERT_TRUE(second.Start("second-reader"));
  EXPECT_EQ(second.Reap(20000), kSawEverything);

  ASSERT_TRUE(sink->WaitForEntries(2, 1000));
  auto entries = sink->Entries();
  ASSERT_EQ(entries.size(), 2u);
  struct Expected {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
    bool sent;
  } expected[] = {
      {kMessageCommand, kCommandRefresh, 0, false},
      {kMessageUnreadCount, 20, 22, true},
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].message.window, main);
    EXPECT_EQ(entries[i].message.message, expected[i].message);
    EXPECT_EQ(entries[i].message.wParam, expected[i].wParam);
    EXPECT_EQ(entries[i].message.lParam, expected[i].lParam);
    EXPECT_EQ(entries[i].sent, expected[i].sent);
  }
}

}  // namespace
}  // namespace platform
