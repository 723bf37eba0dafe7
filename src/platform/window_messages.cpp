// The window table, deliveries and answers, the message queue and the recording sink, and the
// post/send/find entry points; see window_messages.h. Sockets, info files and the thread that
// serves other processes are in window_publish.cpp.
//
// Map:
//   ---- Answers and deliveries ----   ReplySlot, DeliveryState, WindowDelivery
//   ---- Sinks ----                    MessageQueue, RecordingSink
//   ---- Window life ----              create, destroy, title, class, find
//   ---- Messages ----                 post, send, dispatch
#include "platform/window_messages.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/case_fold.h"
#include "platform/window_internal.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// The live local window's sink and procedure, copied out under the table lock.
struct LocalTarget {
  std::shared_ptr<WindowSink> sink;
  WindowProcedure procedure;
};

std::optional<PeerWindow> PeerOf(WindowHandle window, bool* known) {
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> held(table.lock);
  auto it = table.windows.find(window);
  *known = it != table.windows.end();
  if (!*known) return std::nullopt;
  return it->second.peer;
}

// A peer answered that its window is gone, or nobody listens any more: the handle dies with it.
void ForgetPeerHandle(WindowHandle window) {
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> held(table.lock);
  auto it = table.windows.find(window);
  if (it != table.windows.end() && it->second.peer) table.windows.erase(it);
}

DeviceError CallPeerHandle(WindowHandle window, const PeerWindow& peer, uint32_t request,
                           const WindowMessage& message, uint32_t answerTimeoutMs,
                           intptr_t* answer) {
  DeviceError err = CallPeer(peer, request, message, answerTimeoutMs, answer);
  if (err == kErrorInvalidWindowHandle) ForgetPeerHandle(window);
  return err;
}

WindowMessage PeerMessage(const PeerWindow& peer, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) {
  WindowMessage m;
  m.window = static_cast<WindowHandle>(peer.handle);
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  return m;
}

}  // namespace

WindowTable& Windows() {
  // Never destroyed: the serving thread and late senders may still look windows up while the
  // process exits.
  static WindowTable* table = new WindowTable;
  return *table;
}

bool ClassNamesEqual(std::u16string_view a, std::u16string_view b) { return SameDeviceName(a, b); }

// ---- Answers and deliveries ----

void ReplySlot::Finish(DeviceError err, intptr_t value) {
  {
    std::lock_guard<std::mutex> held(lock);
    if (finished) return;
    finished = true;
    error = err;
    answer = err == kErrorSuccess ? value : 0;
  }
  done.notify_all();
  if (onFinish) onFinish(err, err == kErrorSuccess ? value : 0);
}

DeviceError ReplySlot::Wait(uint32_t timeoutMs, intptr_t& value) {
  std::unique_lock<std::mutex> held(lock);
  if (timeoutMs == kWaitForever) {
    done.wait(held, [this] { return finished; });
  } else if (!done.wait_for(held, std::chrono::milliseconds(timeoutMs),
                            [this] { return finished; })) {
    return kErrorTimeout;
  }
  value = answer;
  return error;
}

DeliveryState::~DeliveryState() {
  if (reply && !ran.load()) reply->Finish(kErrorInvalidWindowHandle, 0);
}

WindowDelivery::WindowDelivery(std::shared_ptr<DeliveryState> state) : state_(std::move(state)) {}

const WindowMessage& WindowDelivery::message() const { return state_->message; }

bool WindowDelivery::IsSent() const { return state_->reply != nullptr; }

void WindowDelivery::Run() const {
  if (state_->ran.exchange(true)) return;
  LocalTarget target;
  bool alive = false;
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> held(table.lock);
    auto it = table.windows.find(state_->message.window);
    if (it != table.windows.end() && it->second.sink) {
      alive = true;
      target.procedure = it->second.procedure;
      if (state_->reply) state_->reply->handling = true;
    }
  }
  if (!alive) {
    if (state_->reply) state_->reply->Finish(kErrorInvalidWindowHandle, 0);
    return;
  }
  intptr_t answer = target.procedure ? target.procedure(state_->message) : 0;
  if (state_->reply) state_->reply->Finish(kErrorSuccess, answer);
}

DeviceError DeliverToLocalWindow(const WindowMessage& message, std::shared_ptr<ReplySlot> reply,
                                 bool onlyPublished) {
  std::shared_ptr<WindowSink> sink;
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> held(table.lock);
    auto it = table.windows.find(message.window);
    if (it == table.windows.end() || !it->second.sink) return kErrorInvalidWindowHandle;
    if (onlyPublished && !it->second.published) return kErrorInvalidWindowHandle;
    sink = it->second.sink;
    if (reply) {
      auto& pending = it->second.pendingSends;
      pending.erase(std::remove_if(pending.begin(), pending.end(),
                                   [](const std::weak_ptr<ReplySlot>& w) { return w.expired(); }),
                    pending.end());
      pending.push_back(reply);
    }
  }
  auto state = std::make_shared<DeliveryState>();
  state->message = message;
  state->reply = std::move(reply);
  WindowDelivery delivery(std::move(state));
  if (delivery.IsSent() && sink->IsOwnerThread()) {
    delivery.Run();
    return kErrorSuccess;
  }
  // A refused delivery dies with this function; a sent one then answers 1400 by itself.
  return sink->Deliver(delivery) ? kErrorSuccess : kErrorInvalidWindowHandle;
}

// ---- Sinks ----

MessageQueue::MessageQueue() : owner_(std::this_thread::get_id()) {}

MessageQueue::~MessageQueue() { Close(); }

bool MessageQueue::Deliver(const WindowDelivery& delivery) {
  {
    std::lock_guard<std::mutex> held(lock_);
    if (closed_) return false;
    queue_.push_back(delivery);
  }
  arrived_.notify_all();
  return true;
}

bool MessageQueue::IsOwnerThread() const { return std::this_thread::get_id() == owner_; }

void MessageQueue::Close() {
  std::deque<WindowDelivery> dropped;
  {
    std::lock_guard<std::mutex> held(lock_);
    closed_ = true;
    dropped.swap(queue_);
  }
  arrived_.notify_all();
  // `dropped` goes out of scope here, outside the lock: waiting senders learn of it then.
}

bool MessageQueue::TakePosted(std::unique_lock<std::mutex>& held, WindowMessage* out, bool remove) {
  for (;;) {
    auto sent = std::find_if(queue_.begin(), queue_.end(),
                             [](const WindowDelivery& d) { return d.IsSent(); });
    if (sent == queue_.end()) break;
    WindowDelivery delivery = *sent;
    queue_.erase(sent);
    held.unlock();
    delivery.Run();
    held.lock();
  }
  auto posted = std::find_if(queue_.begin(), queue_.end(),
                             [](const WindowDelivery& d) { return !d.IsSent(); });
  if (posted == queue_.end()) return false;
  *out = posted->message();
  // The caller dispatches the copy; a posted delivery owes nobody an answer, so dropping it is
  // all that is left.
  if (remove) queue_.erase(posted);
  return true;
}

DeviceError MessageQueue::GetMessage(WindowMessage& message, uint32_t timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> held(lock_);
  for (;;) {
    if (closed_) return kErrorInvalidHandle;
    if (TakePosted(held, &message, true)) return kErrorSuccess;
    if (closed_) return kErrorInvalidHandle;
    if (timeoutMs == kWaitForever) {
      arrived_.wait(held);
    } else if (arrived_.wait_until(held, deadline) == std::cv_status::timeout) {
      if (TakePosted(held, &message, true)) return kErrorSuccess;
      return closed_ ? kErrorInvalidHandle : kErrorWaitTimeout;
    }
  }
}

bool MessageQueue::PeekMessage(WindowMessage& message, bool remove) {
  std::unique_lock<std::mutex> held(lock_);
  if (closed_) return false;
  return TakePosted(held, &message, remove);
}

bool RecordingSink::Deliver(const WindowDelivery& delivery) {
  {
    std::lock_guard<std::mutex> held(lock_);
    entries_.push_back({delivery.message(), delivery.IsSent()});
  }
  recorded_.notify_all();
  delivery.Run();
  return true;
}

std::vector<RecordingSink::Entry> RecordingSink::Entries() const {
  std::lock_guard<std::mutex> held(lock_);
  return entries_;
}

bool RecordingSink::WaitForEntries(size_t count, uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> held(lock_);
  return recorded_.wait_for(held, std::chrono::milliseconds(timeoutMs),
                            [&] { return entries_.size() >= count; });
}

// ---- Window life ----

DeviceError CreateWindowHandle(std::u16string_view className, std::u16string_view title,
                               WindowProcedure procedure, std::shared_ptr<WindowSink> sink,
                               WindowHandle parent, WindowHandle& window) {
  window = kNoWindow;
  if (className.empty() || !sink) return kErrorInvalidParameter;
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> held(table.lock);
  if (parent != kNoWindow) {
    auto it = table.windows.find(parent);
    if (it == table.windows.end() || it->second.peer) return kErrorInvalidWindowHandle;
  }
  WindowRecord record;
  record.className = className;
  record.title = title;
  record.procedure = std::move(procedure);
  record.sink = std::move(sink);
  record.parent = parent;
  table.lastHandle += 4;
  window = table.lastHandle;
  table.windows.emplace(window, std::move(record));
  return kErrorSuccess;
}

DeviceError DestroyWindowHandle(WindowHandle window) {
  std::vector<WindowHandle> published;
  std::vector<std::shared_ptr<ReplySlot>> abandoned;
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> held(table.lock);
    auto it = table.windows.find(window);
    if (it == table.windows.end()) return kErrorInvalidWindowHandle;
    if (it->second.peer) return kErrorAccessDenied;
    // The window and, level by level, every window below it.
    std::vector<WindowHandle> doomed{window};
    for (size_t i = 0; i < doomed.size(); ++i) {
      for (const auto& [handle, record] : table.windows) {
        if (record.parent == doomed[i] && !record.peer) doomed.push_back(handle);
      }
    }
    for (WindowHandle handle : doomed) {
      auto node = table.windows.find(handle);
      if (node->second.published) published.push_back(handle);
      for (auto& weak : node->second.pendingSends) {
        auto slot = weak.lock();
        if (slot && !slot->handling) abandoned.push_back(std::move(slot));
      }
      table.windows.erase(node);
    }
  }
  for (auto& slot : abandoned) slot->Finish(kErrorInvalidWindowHandle, 0);
  if (!published.empty()) ForgetPublishedWindows(published);
  return kErrorSuccess;
}

bool IsWindowHandle(WindowHandle window) {
  bool known = false;
  std::optional<PeerWindow> peer = PeerOf(window, &known);
  if (!known) return false;
  if (!peer) return true;
  return CallPeerHandle(window, *peer, kRequestQuery, PeerMessage(*peer, 0, 0, 0),
                        kRemoteAcceptTimeoutMs, nullptr) == kErrorSuccess;
}

DeviceError SetWindowTitle(WindowHandle window, std::u16string_view title) {
  bool published = false;
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> held(table.lock);
    auto it = table.windows.find(window);
    if (it == table.windows.end()) return kErrorInvalidWindowHandle;
    if (it->second.peer) return kErrorNotSupported;
    it->second.title = title;
    published = it->second.published;
  }
  if (published) RefreshPublishedTitle(window);
  return kErrorSuccess;
}

DeviceError GetWindowTitle(WindowHandle window, std::u16string& title) {
  bool known = false;
  std::optional<PeerWindow> peer = PeerOf(window, &known);
  if (!known) return kErrorInvalidWindowHandle;
  if (peer) {
    DeviceError err = ReadPeerTitle(*peer, title);
    if (err == kErrorInvalidWindowHandle) ForgetPeerHandle(window);
    return err;
  }
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> held(table.lock);
  auto it = table.windows.find(window);
  if (it == table.windows.end()) return kErrorInvalidWindowHandle;
  title = it->second.title;
  return kErrorSuccess;
}

DeviceError GetWindowClassName(WindowHandle window, std::u16string& className) {
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> held(table.lock);
  auto it = table.windows.find(window);
  if (it == table.windows.end()) return kErrorInvalidWindowHandle;
  className = it->second.className;
  return kErrorSuccess;
}

WindowHandle FindTopLevelWindow(std::u16string_view className, std::u16string_view title) {
  WindowTable& table = Windows();
  {
    std::lock_guard<std::mutex> held(table.lock);
    for (const auto& [handle, record] : table.windows) {
      if (record.peer || record.parent != kNoWindow) continue;
      if (!className.empty() && !ClassNamesEqual(record.className, className)) continue;
      if (!title.empty() && record.title != title) continue;
      return handle;
    }
  }
  std::optional<FoundPeerWindow> found = FindPeerWindow(className, title);
  if (!found) return kNoWindow;
  std::lock_guard<std::mutex> held(table.lock);
  for (auto& [handle, record] : table.windows) {
    if (record.peer && record.peer->pid == found->peer.pid &&
        record.peer->handle == found->peer.handle &&
        record.peer->socketPath == found->peer.socketPath) {
      record.title = found->title;
      return handle;
    }
  }
  WindowRecord record;
  record.className = found->className;
  record.title = found->title;
  record.peer = found->peer;
  table.lastHandle += 4;
  table.windows.emplace(table.lastHandle, std::move(record));
  return table.lastHandle;
}

void ResetWindowTable() {
  std::vector<WindowHandle> roots;
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> held(table.lock);
    for (auto it = table.windows.begin(); it != table.windows.end();) {
      if (it->second.peer) {
        it = table.windows.erase(it);
        continue;
      }
      if (it->second.parent == kNoWindow) roots.push_back(it->first);
      ++it;
    }
  }
  for (WindowHandle root : roots) DestroyWindowHandle(root);
  StopPublishing();
}

// ---- Messages ----

DeviceError PostWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                              intptr_t lParam) {
  bool known = false;
  std::optional<PeerWindow> peer = PeerOf(window, &known);
  if (!known) return kErrorInvalidWindowHandle;
  if (peer) {
    return CallPeerHandle(window, *peer, kRequestPost, PeerMessage(*peer, message, wParam, lParam),
                          kRemoteAcceptTimeoutMs, nullptr);
  }
  WindowMessage m{window, message, wParam, lParam};
  return DeliverToLocalWindow(m, nullptr, false);
}

DeviceError SendWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                              intptr_t lParam, intptr_t& answer, uint32_t timeoutMs) {
  answer = 0;
  bool known = false;
  std::optional<PeerWindow> peer = PeerOf(window, &known);
  if (!known) return kErrorInvalidWindowHandle;
  if (peer) {
    uint32_t wait = std::min(timeoutMs, kRemoteSendTimeoutMs);
    return CallPeerHandle(window, *peer, kRequestSend, PeerMessage(*peer, message, wParam, lParam),
                          wait, &answer);
  }
  auto slot = std::make_shared<ReplySlot>();
  WindowMessage m{window, message, wParam, lParam};
  if (DeviceError err = DeliverToLocalWindow(m, slot, false)) return err;
  return slot->Wait(timeoutMs, answer);
}

intptr_t DispatchWindowMessage(const WindowMessage& message) {
  WindowProcedure procedure;
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> held(table.lock);
    auto it = table.windows.find(message.window);
    if (it == table.windows.end() || !it->second.sink) return 0;
    procedure = it->second.procedure;
  }
  return procedure ? procedure(message) : 0;
}

DeviceError BringWindowToFront(WindowHandle window, bool withOwnedPopups) {
  return PostWindowMessage(window, kMessageBringToFront, withOwnedPopups ? 1 : 0, 0);
}

}  // namespace platform
