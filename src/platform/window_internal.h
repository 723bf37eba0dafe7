// What window_messages.cpp (the table, deliveries, queues) and window_publish.cpp (sockets and
// info files for other processes) share. Not for use outside those two files; the public API is
// window_messages.h.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/window_messages.h"

namespace platform {

// ---- Host descriptors ----

// Owns one host file descriptor; closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// ---- Answers and deliveries ----

// Where the answer of one sent message goes. The first Finish wins; later ones do nothing.
struct ReplySlot {
  std::mutex lock;                    // guards finished, error and answer
  std::condition_variable done;       // signalled by Finish
  bool finished = false;              // an answer or an error is in
  DeviceError error = kErrorSuccess;  // 0, or why no answer came
  intptr_t answer = 0;                // the procedure's answer when error is 0
  // Called once by the first Finish, outside the lock, on the finishing thread (the owner's, or
  // whoever drops the delivery). The server side of a peer's send writes the answer back here.
  // Set before the slot is handed to a sink, never changed afterwards.
  std::function<void(DeviceError, intptr_t)> onFinish;
  // Guarded by the window table's lock, set when the procedure starts on it: from then on the
  // answer comes from the procedure even if the window is destroyed meanwhile (by itself, say).
  bool handling = false;

  void Finish(DeviceError err, intptr_t value);
  // Waits for Finish (up to timeoutMs, or for ever with kWaitForever). Returns its error, or
  // 1460 when the time ran out.
  DeviceError Wait(uint32_t timeoutMs, intptr_t& value);
};

// The shared body of a WindowDelivery.
struct DeliveryState {
  WindowMessage message;
  std::shared_ptr<ReplySlot> reply;  // null for a posted message
  std::atomic<bool> ran{false};      // set by the first Run
  ~DeliveryState();                  // a sent message dropped unrun answers 1400
};

// ---- The window table ----

// A window of another process that a local handle stands for.
struct PeerWindow {
  pid_t pid = 0;             // the publishing process
  uint64_t handle = 0;       // its handle there
  std::string socketPath;    // where that process listens
  std::string infoPath;      // its info file (class and title)
};

struct WindowRecord {
  std::u16string className;
  std::u16string title;                // for a peer's window: as found (GetWindowTitle re-reads)
  WindowProcedure procedure;           // empty for a peer's window
  std::shared_ptr<WindowSink> sink;    // the owner; null for a peer's window
  WindowHandle parent = kNoWindow;
  bool published = false;              // other processes may find it and message it
  std::optional<PeerWindow> peer;      // set when the handle stands for a peer's window
  // Sends waiting for this window's answer; destroying the window fails them with 1400.
  std::vector<std::weak_ptr<ReplySlot>> pendingSends;
};

// Process-wide. Every field guarded by `lock`, which is never held while a sink, a procedure or a
// socket is called. Lock order: the publisher lock (window_publish.cpp) before this one.
struct WindowTable {
  std::mutex lock;                               // the table lock
  std::map<WindowHandle, WindowRecord> windows;  // live windows and peer proxies, by handle
  WindowHandle lastHandle = 0x10000;             // the last handle given out (multiples of 4)
};

WindowTable& Windows();

// Class names compare as every device name does (case_fold.h).
bool ClassNamesEqual(std::u16string_view a, std::u16string_view b);

// Hands a message to a live local window's sink (or runs it at once for a send from the owner's
// thread). With `reply`, the answer goes there. With `onlyPublished`, windows not published count
// as unknown (requests that arrive from other processes). Returns 0, or 1400.
DeviceError DeliverToLocalWindow(const WindowMessage& message, std::shared_ptr<ReplySlot> reply,
                                 bool onlyPublished);

// ---- Peers (window_publish.cpp) ----

inline constexpr uint32_t kRequestPost = 1;
inline constexpr uint32_t kRequestSend = 2;
inline constexpr uint32_t kRequestQuery = 3;  // is the window still published?

// Asks the peer process: a post, a send (answer filled in) or a query. Returns the peer's
// status, or 1400 when nobody listens on its socket (its files are then removed), 109 when the
// connection broke, 1460 on a time-out.
DeviceError CallPeer(const PeerWindow& peer, uint32_t request, const WindowMessage& message,
                     uint32_t answerTimeoutMs, intptr_t* answer);

struct FoundPeerWindow {
  PeerWindow peer;
  std::u16string className;
  std::u16string title;
};
// The first window another live process published that matches (criteria as
// FindTopLevelWindow). Files of dead publishers met on the way are removed.
std::optional<FoundPeerWindow> FindPeerWindow(std::u16string_view className,
                                              std::u16string_view title);

// Re-reads a peer window's title from its info file. Returns 0, or 1400 when the file is gone.
DeviceError ReadPeerTitle(const PeerWindow& peer, std::u16string& title);

// After `handles` left the table while published: removes their info files, and stops serving
// other processes when no published window is left.
void ForgetPublishedWindows(const std::vector<WindowHandle>& handles);

// Rewrites a published window's info file after its title changed.
void RefreshPublishedTitle(WindowHandle window);

// Stops serving other processes and removes this process's socket and info files.
void StopPublishing();

}  // namespace platform
