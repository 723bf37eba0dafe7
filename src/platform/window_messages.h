// Window handles and window messages: the table of live windows, posting and sending messages
// to them from any thread, and finding a top-level window by class and title, also one that
// another process has published. The socket side of publishing lives in window_publish.cpp; the
// record shared by both sources is in window_internal.h. Drawing, focus and geometry are the
// shell's; here a window is only a name, a title and a place that takes messages.
//
// Threading contract:
//   - Any thread may create, destroy, post, send, find. The window table is guarded by one lock
//     (WindowTable::lock); no sink, procedure or socket call ever runs with that lock held.
//   - A window's procedure runs on its owner's thread: its sink decides which thread that is
//     (MessageQueue: the thread that made the queue; the shell's sink: the interface thread;
//     RecordingSink: whichever thread delivers). A send from the owner's own thread calls the
//     procedure at once instead of queueing, so a window can send to itself without deadlock.
//   - A thread blocked in a send does not handle messages sent to its own windows meanwhile;
//     two owners sending to each other at once wait until one of them times out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/device_errors.h"

namespace platform {

// ---- Handles and messages ----

// A window handle: an opaque non-zero number, never an address; 0 is "no window". Handles are
// multiples of 4 and are not reused within a process, so a stale handle never reaches a newer
// window.
using WindowHandle = uintptr_t;
inline constexpr WindowHandle kNoWindow = 0;

// Message numbers the services and the reader agree on.
inline constexpr uint32_t kMessageClose = 0x0010;    // close the window (retrieval manager)
inline constexpr uint32_t kMessageCommand = 0x0111;  // wParam = command id (40015 refresh...)
inline constexpr uint32_t kMessageUser = 0x0400;     // the reader's private messages start here
// Reserved for this layer: asks the window's owner to bring it to the front; wParam is 1 when
// its topmost owned pop-up should come forward with it.
inline constexpr uint32_t kMessageBringToFront = 0x7F00;

struct WindowMessage {
  WindowHandle window = kNoWindow;  // the addressee, as its own process numbers it
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

// The window procedure: handles one message on the owner's thread and returns the answer a
// sender receives (ignored for posted messages). May be empty: every message then answers 0.
using WindowProcedure = std::function<intptr_t(const WindowMessage&)>;

// ---- Sinks: how a window's owner receives its messages ----

struct DeliveryState;  // window_internal.h

// One message on its way to a window: posted (nobody waits) or sent (a sender waits for the
// answer). Copyable; whichever copy runs first handles it, later Run calls do nothing. When the
// last copy is dropped without having run, a waiting sender is told the window is gone (1400),
// so a sink that closes never leaves a sender hanging.
class WindowDelivery {
 public:
  explicit WindowDelivery(std::shared_ptr<DeliveryState> state);
  const WindowMessage& message() const;
  bool IsSent() const;
  // On the owner's thread: calls the window's procedure (if the window still lives) and hands
  // the answer back to the sender. A posted message to a destroyed window is dropped.
  void Run() const;

 private:
  std::shared_ptr<DeliveryState> state_;
};

// The owner side of a window. Deliver may be called on any thread (the sender's, or the thread
// that serves other processes) and must not wait for the owner: it queues the delivery so the
// owner's thread calls Run, in the order deliveries were handed over. It returns false when the
// owner takes no more messages; the sender then gets 1400.
class WindowSink {
 public:
  virtual ~WindowSink() = default;
  virtual bool Deliver(const WindowDelivery& delivery) = 0;
  // True on the owner's thread: a send from there runs the procedure directly.
  virtual bool IsOwnerThread() const = 0;
};

// A plain message queue for threads without the shell: the thread that constructs it owns it.
// Posted messages wait in the queue for GetMessage/PeekMessage; sent messages are handled inside
// those calls (on the owner's thread) and never returned.
class MessageQueue : public WindowSink {
 public:
  MessageQueue();
  ~MessageQueue() override;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  bool Deliver(const WindowDelivery& delivery) override;
  bool IsOwnerThread() const override;

  // Owner's thread. Waits up to timeoutMs for a posted message, handling sent ones meanwhile.
  // Returns 0 with the message filled in, 258 when none came in time, 6 once the queue is closed.
  DeviceError GetMessage(WindowMessage& message, uint32_t timeoutMs);
  // Owner's thread. Handles waiting sent messages, then gives the oldest posted one (removing it
  // when `remove` is set). False when no posted message waits.
  bool PeekMessage(WindowMessage& message, bool remove = true);
  // Drops everything queued (waiting senders get 1400) and refuses new deliveries. Any thread.
  void Close();

 private:
  // Guarded by lock_: the deliveries in arrival order and whether the queue has closed.
  std::mutex lock_;
  std::condition_variable arrived_;
  std::deque<WindowDelivery> queue_;
  bool closed_ = false;
  const std::thread::id owner_;  // set at construction, never changed
  // Owner's thread: runs the queued sent deliveries, then copies out the oldest posted message
  // (dropping it from the queue with `remove`). False when none is posted.
  bool TakePosted(std::unique_lock<std::mutex>& held, WindowMessage* out, bool remove);
};

// Tests: records every message delivered to its windows, then runs it at once on the delivering
// thread (the sender's, or the thread serving other processes). No loop needed.
class RecordingSink : public WindowSink {
 public:
  struct Entry {
    WindowMessage message;
    bool sent = false;  // delivered by a send rather than a post
  };
  bool Deliver(const WindowDelivery& delivery) override;
  bool IsOwnerThread() const override { return false; }
  // Everything recorded so far, in delivery order.
  std::vector<Entry> Entries() const;
  // Waits up to timeoutMs until at least `count` entries are recorded; true when they are.
  bool WaitForEntries(size_t count, uint32_t timeoutMs) const;

 private:
  // Guarded by lock_: the entries in delivery order.
  mutable std::mutex lock_;
  mutable std::condition_variable recorded_;
  std::vector<Entry> entries_;
};

// ---- Window life ----

// Creates a window owned by `sink`, with a child relation to `parent` when given (only windows
// without a parent are top-level: found by FindTopLevelWindow and publishable). Returns 0 and the
// new handle; 87 for an empty class name or no sink; 1400 when the parent is not a live local
// window.
DeviceError CreateWindowHandle(std::u16string_view className, std::u16string_view title,
                               WindowProcedure procedure, std::shared_ptr<WindowSink> sink,
                               WindowHandle parent, WindowHandle& window);

// Destroys a local window and its children (unpublishing them); their queued posted messages are
// dropped and senders still waiting get 1400. Returns 0; 1400 for an unknown handle; 5 for a
// handle that stands for another process's window (it is not ours to destroy).
DeviceError DestroyWindowHandle(WindowHandle window);

// True while `window` is a live local window, or stands for a window that its process still has
// published (asked over its socket; a peer that is gone makes the handle invalid for good).
bool IsWindowHandle(WindowHandle window);

// Title and class. Setting the title of a published window updates what other processes find.
// Return 0, or 1400 for an unknown handle; 50 to set the title of another process's window.
DeviceError SetWindowTitle(WindowHandle window, std::u16string_view title);
DeviceError GetWindowTitle(WindowHandle window, std::u16string& title);
DeviceError GetWindowClassName(WindowHandle window, std::u16string& className);

// Finds a top-level window: the class compared without regard to case (ASCII and Latin-1
// letters), the title exactly; an empty criterion matches any. Local windows come first, in the
// order they were made, then windows other processes published; for those the answer is a local
// handle that forwards to the peer (the same handle each time for the same peer window). Socket
// and info files left by dead publishers are removed on the way. Returns 0 when none matches.
WindowHandle FindTopLevelWindow(std::u16string_view className, std::u16string_view title);

// ---- Messages ----

// Queues a message for the window's owner and returns at once (a peer process has accepted it
// when this returns 0). Fails with 1400 for an unknown or destroyed window, an owner that takes
// no more messages or a peer process that is gone; 109 when a peer closes the connection; 1460
// when a peer does not accept it within kRemoteAcceptTimeoutMs.
DeviceError PostWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                              intptr_t lParam);

inline constexpr uint32_t kWaitForever = 0xFFFFFFFF;
// How long a caller waits for a peer process to accept a connection and a posted message.
inline constexpr uint32_t kRemoteAcceptTimeoutMs = 2000;
// The longest a send to another process's window waits for the answer.
inline constexpr uint32_t kRemoteSendTimeoutMs = 5000;

// Has the window's procedure handle the message on its owner's thread and waits for the answer
// (directly, when called on the owner's thread). A local send waits up to timeoutMs (forever by
// default); a send to another process waits at most kRemoteSendTimeoutMs. Returns 0 and the
// answer; 1400 as for a post, also when the window is destroyed before handling it; 1460 when
// the time ran out (a late answer is dropped); 109 when the peer died while handling it.
DeviceError SendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                              intptr_t lParam, intptr_t& answer, uint32_t timeoutMs = kWaitForever);

// On the owner's thread, for messages taken from a MessageQueue: runs the window's procedure.
// Returns its answer; 0 when the window is gone.
intptr_t DispatchWindowMessage(const WindowMessage& message);

// Posts kMessageBringToFront (wParam 1 when owned pop-ups should follow), locally or to a peer.
DeviceError BringWindowToFront(WindowHandle window, bool withOwnedPopups);

// ---- Publishing to other processes ----

// Makes a local top-level window findable by other processes on the same device root: this
// process listens on a Unix socket in PublishedWindowFolder() (one socket per process, served by
// one thread) and writes an info file with the window's class and title beside it. Returns 0
// (also when already published); 1400 for an unknown handle; 87 for a child window or another
// process's window; 5 when the fallback folder is not ours; or the socket's error.
DeviceError PublishWindow(WindowHandle window);

// Removes the window's info file; the socket closes with the last published window. Destroying
// a window does this too. Returns 0 (also when it was not published), or 1400.
DeviceError UnpublishWindow(WindowHandle window);

// Where published windows' sockets and info files live: DeviceRunFolder() when a socket path
// there fits a socket address, else "/tmp/nubrel-<uid>-<hash of the device root>", which every
// process on the same root computes alike.
std::string PublishedWindowFolder();

// Tests: destroys every local window, forgets every handle standing for a peer's window and
// stops serving other processes.
void ResetWindowTable();

}  // namespace platform
