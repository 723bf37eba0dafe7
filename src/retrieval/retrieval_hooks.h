// What the rest of the program plugs into the retrieval machinery: the windows that receive its
// messages, the work of the task kinds built elsewhere (web pages, downloads, service
// synchronisation, web cache pruning) and the shell's new-items bubble. Each is set once at
// start-up (main window creation) and by tests; read from any thread afterwards.
//
// A work function that is not set is reported, never guessed at: its tasks end with -900 and a
// trace line, a service channel gets an empty address (result 2), pruning and uploads do nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "feeds/item_list.h"
#include "platform/window_messages.h"

namespace nubrel {

struct ChannelNode;
struct RetrievalTask;

// ---- Messages the machinery posts ----

inline constexpr uint32_t kMessageRunState = platform::kMessageUser;              // lParam 1 / 0
inline constexpr uint32_t kMessageChannelChanged = platform::kMessageUser + 2;    // lParam node
inline constexpr uint32_t kMessageEnclosureChanged = platform::kMessageUser + 3;  // lParam item
inline constexpr uint32_t kMessagePageStored = platform::kMessageUser + 4;        // lParam key
inline constexpr uint32_t kMessageWritePlaylists = platform::kMessageUser + 9;
// To the queue dialog: wParam the worker slot, lParam the percentage (0: took or finished).
inline constexpr uint32_t kMessageWorkerProgress = platform::kMessageUser + 2;

struct RetrievalWindows {
  platform::WindowHandle mainWindow = platform::kNoWindow;
  platform::WindowHandle navigatorBar = platform::kNoWindow;
};
void SetRetrievalWindows(RetrievalWindows windows);
RetrievalWindows CurrentRetrievalWindows();
// Posts to the main window (nothing while none is set).
void PostToMainWindow(uint32_t message, uintptr_t lParam);

// ---- Work of the kinds built elsewhere ----

struct RetrievalWork {
  // kTaskWebPage: fetch, rewrite and store a page; returns the task's result code.
  std::function<int32_t(RetrievalTask& task)> runWebPage;
  // kTaskEnclosure and kTaskImage: download into the channel's folders; result code.
  std::function<int32_t(RetrievalTask& task)> runDownload;
  // The read-change upload of a NewsGator channel: a kTaskSynchronize task, and the start of
  // every refresh of such a channel. Called with the channel's lock held.
  std::function<void(ChannelNode* channel)> uploadReadChanges;
  // The request address of a service subscription (sync id not 0); `forced` for a forced
  // refresh. Called with the channel's lock held.
  std::function<std::u16string(ChannelNode* channel, bool forced)> serviceItemsUrl;
  // Removes the channel's stored pages older than the retention ("2d"); after every merge.
  std::function<void(ChannelNode* channel, std::u16string_view retention)> pruneWebCache;
};
void SetRetrievalWork(RetrievalWork work);
void ResetRetrievalWork();
const RetrievalWork& CurrentRetrievalWork();

// ---- The new-items bubble ----

// The shell shows at most one bubble: show replaces an older one. Until the shell sets these,
// showing and removing write trace lines only.
struct NewItemsBubble {
  // count > 0; html is the bubble's text ("<html><body><p>3 new messages</p>...").
  std::function<void(int32_t count, std::u16string_view html)> show;
  std::function<void()> remove;
};
void SetNewItemsBubble(NewItemsBubble bubble);
void ShowNewItemsBubble(int32_t count);
void RemoveNewItemsBubble();

}  // namespace nubrel
