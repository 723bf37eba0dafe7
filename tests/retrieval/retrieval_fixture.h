// A device, a channel tree and recorded windows around the real retrieval machinery: the main
// window and the navigator bar record what the manager and workers post, and every test leaves
// the machinery shut down and its hooks removed.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "offline/local_files.h"
#include "platform/window_messages.h"
#include "retrieval/retrieval.h"
#include "retrieval/retrieval_hooks.h"
#include "shared/temp_device.h"
#include "subscriptions/channel_ids.h"
#include "subscriptions/channel_tree.h"

namespace nubrel::testing {

// Polls until the condition holds, at most `ms`; whether it came true.
inline bool Eventually(const std::function<bool()>& condition, int ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class RetrievalFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    ResetSettings();
    ResetChannelIdTable();
    ResetChannelTreeHooks();
    ResetOfflineTaskHooks();
    ResetRetrievalWork();
    SetNewItemsBubble({});
    ClearTransferAbort();
    ASSERT_EQ(platform::CreateWindowHandle(u"NubrelMain", u"Nubrel", mainProcedure(), mainSink_,
                                           platform::kNoWindow, main_),
              0);
    ASSERT_EQ(platform::CreateWindowHandle(u"NubrelBar", u"", barProcedure(), barSink_,
                                           platform::kNoWindow, bar_),
              0);
    SetRetrievalWindows({main_, bar_});
    root_ = CreateRootNode();
    ASSERT_NE(root_, nullptr);
  }

  void TearDown() override {
    ShutdownRetrieval();
    ASSERT_TRUE(WaitForRetrievalIdle(20000));
    SetRetrievalWindows({});
    SetProgressWindow(platform::kNoWindow);
    ResetRetrievalWork();
    SetNewItemsBubble({});
    ResetOfflineTaskHooks();
    ResetChannelTreeHooks();
    SetCloseWhenDone(false);
    FreeTree(root_);
    platform::DestroyWindowHandle(main_);
    platform::DestroyWindowHandle(bar_);
    ResetChannelIdTable();
    ResetSettings();
    ClearTransferAbort();
  }

  // Overridden by tests that act on a message as it arrives (on the posting thread).
  virtual platform::WindowProcedure mainProcedure() { return {}; }
  virtual platform::WindowProcedure barProcedure() { return {}; }

  ChannelNode* Channel(ChannelNode* parent, std::u16string_view title, std::u16string_view url) {
    ChannelNode* node = AppendChildNode(parent);
    SetNodeText(node, kNodeTitle, title);
    SetNodeText(node, kNodeXmlUrl, url);
    return node;
  }

  // The messages of one number a window received, in order.
  static std::vector<platform::WindowMessage> Received(const platform::RecordingSink& sink,
                                                       uint32_t message) {
    std::vector<platform::WindowMessage> out;
    for (const auto& entry : sink.Entries()) {
      if (entry.message.message == message) out.push_back(entry.message);
    }
    return out;
  }
  std::vector<intptr_t> RunStates() const {
    std::vector<intptr_t> states;
    for (const auto& m : Received(*barSink_, kMessageRunState)) states.push_back(m.lParam);
    return states;
  }

  TempDevice device_;
  std::shared_ptr<platform::RecordingSink> mainSink_ = std::make_shared<platform::RecordingSink>();
  std::shared_ptr<platform::RecordingSink> barSink_ = std::make_shared<platform::RecordingSink>();
  platform::WindowHandle main_ = platform::kNoWindow;
  platform::WindowHandle bar_ = platform::kNoWindow;
  ChannelNode* root_ = nullptr;
};

}  // namespace nubrel::testing
