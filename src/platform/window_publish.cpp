// Published windows: the Unix socket each publishing process listens on, the thread that serves
// it, the info files beside it that finders read, and the client side that posts and sends to a
// peer's window. The window table itself is window_messages.cpp's; see window_messages.h.
//
// Map:
//   ---- Folder and names ----   where sockets and info files live, and how they are named
//   ---- Info files ----         "w<pid>-<handle>.info": class and title of one published window
//   ---- Socket plumbing ----    connect, read and write with deadlines; the wire records
//   ---- Serving peers ----      the Publisher record, its listener thread, publish/unpublish
//   ---- Calling peers ----      CallPeer, FindPeerWindow, ReadPeerTitle
//
// Life of this process's socket "p<pid>.sock":
//   none --PublishWindow [StartListenerLocked]--> listening --last window unpublished or
//   destroyed [StopIfIdleLocked], ResetWindowTable or exit [StopPublishing]--> none
// A publisher makes its socket before any info file and removes its info files before its
// socket, so an info file whose socket nobody listens on belongs to a dead process.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/device.h"
#include "platform/utf.h"
#include "platform/window_internal.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// ---- Folder and names ----

// Room kept after the folder for the longest socket name ("p" + a 32-bit pid + ".sock").
constexpr size_t kSocketNameRoom = 24;

uint64_t HashOfText(const std::string& text) {
  uint64_t hash = 1469598103934665603ULL;  // FNV-1a
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::string SocketName(pid_t pid) { return "p" + std::to_string(pid) + ".sock"; }
std::string InfoName(pid_t pid, uint64_t handle) {
  return "w" + std::to_string(pid) + "-" + std::to_string(handle) + ".info";
}
std::string TempInfoName(pid_t pid, uint64_t handle) {
  return "t" + std::to_string(pid) + "-" + std::to_string(handle) + ".tmp";
}

bool ParseNumber(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = value * 10 + static_cast<uint64_t>(c - '0');
    if (next < value) return false;
    value = next;
  }
  return true;
}

// What a folder entry is, read from its name; kind 0 for anything that is not ours.
struct EntryName {
  char kind = 0;        // 'p' socket, 'w' info file, 't' info file being written
  pid_t pid = 0;
  uint64_t handle = 0;  // for 'w' and 't'
};

EntryName ParseEntryName(const std::string& name) {
  EntryName entry;
  if (name.size() < 2) return entry;
  uint64_t pid = 0;
  if (name[0] == 'p' && name.size() > 6 && name.compare(name.size() - 5, 5, ".sock") == 0) {
    if (!ParseNumber(name.substr(1, name.size() - 6), pid) || pid == 0 || pid > INT32_MAX) {
      return entry;
    }
    entry.kind = 'p';
    entry.pid = static_cast<pid_t>(pid);
    return entry;
  }
  const char* suffix = name[0] == 'w' ? ".info" : name[0] == 't' ? ".tmp" : nullptr;
  if (!suffix) return entry;
  size_t suffixLength = std::strlen(suffix);
  if (name.size() <= suffixLength + 1 ||
      name.compare(name.size() - suffixLength, suffixLength, suffix) != 0) {
    return entry;
  }
  std::string body = name.substr(1, name.size() - 1 - suffixLength);
  size_t dash = body.find('-');
  uint64_t handle = 0;
  if (dash == std::string::npos || !ParseNumber(body.substr(0, dash), pid) || pid == 0 ||
      pid > INT32_MAX || !ParseNumber(body.substr(dash + 1), handle)) {
    return entry;
  }
  entry.kind = name[0];
  entry.pid = static_cast<pid_t>(pid);
  entry.handle = handle;
  return entry;
}

bool UsesFallbackFolder(const std::string& runFolder) {
  return runFolder.size() + 1 + kSocketNameRoom >= sizeof(sockaddr_un{}.sun_path);
}

// The fallback folder sits in a place everyone can write, so it only counts when it is a real
// folder of ours that nobody else may enter.
DeviceError CheckPrivateFolder(const std::string& folder) {
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return DeviceErrorFromErrno(errno);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

// Makes the folder when publishing. Finders never create it.
DeviceError EnsureWindowFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return DeviceErrorFromErrno(errno);
  if (!UsesFallbackFolder(DeviceRunFolder())) return kErrorSuccess;
  return CheckPrivateFolder(folder);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir.get())) names.emplace_back(entry->d_name);
  std::sort(names.begin(), names.end());
  return names;
}

// Removes a process's info files (finished or half-written) and, with `socketToo`, its socket.
void RemoveFilesOf(const std::string& folder, pid_t pid, bool socketToo) {
  for (const std::string& name : FolderEntries(folder)) {
    EntryName entry = ParseEntryName(name);
    if (entry.pid != pid || entry.kind == 0) continue;
    if (entry.kind == 'p' && !socketToo) continue;
    ::unlink((folder + "/" + name).c_str());
  }
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// ---- Info files ----

constexpr const char* kInfoFirstLine = "nubrel-window 1";

// Values are UTF-8 with '%', control characters and DEL written as %XX, one value per line.
std::string EscapeValue(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c == '%' || c < 0x20 || c == 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool UnescapeValue(const std::string& text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = HexDigit(text[i + 1]);
    int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

struct InfoContent {
  pid_t pid = 0;
  uint64_t handle = 0;
  std::u16string className;
  std::u16string title;
};

// Reads an info file. False when it is missing or not one we wrote.
bool ReadInfoFile(const std::string& path, InfoContent& info) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  if (!std::getline(in, line) || line != kInfoFirstLine) return false;
  bool havePid = false, haveHandle = false, haveClass = false, haveTitle = false;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    std::string key = line.substr(0, eq);
    std::string value;
    if (!UnescapeValue(line.substr(eq + 1), value)) return false;
    uint64_t number = 0;
    if (key == "pid") {
      if (!ParseNumber(value, number) || number == 0 || number > INT32_MAX) return false;
      info.pid = static_cast<pid_t>(number);
      havePid = true;
    } else if (key == "window") {
      if (!ParseNumber(value, info.handle)) return false;
      haveHandle = true;
    } else if (key == "class") {
      info.className = FromUtf8(value);
      haveClass = true;
    } else if (key == "title") {
      info.title = FromUtf8(value);
      haveTitle = true;
    }
  }
  return havePid && haveHandle && haveClass && haveTitle;
}

// Writes the info file through a temporary file, so a finder never reads half of one.
DeviceError WriteInfoFile(const std::string& folder, uint64_t handle,
                          const std::u16string& className, const std::u16string& title) {
  pid_t pid = ::getpid();
  std::string temp = folder + "/" + TempInfoName(pid, handle);
  std::string path = folder + "/" + InfoName(pid, handle);
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << kInfoFirstLine << "\n"
        << "pid=" << pid << "\n"
        << "window=" << handle << "\n"
        << "class=" << EscapeValue(ToUtf8(className)) << "\n"
        << "title=" << EscapeValue(ToUtf8(title)) << "\n";
    if (!out.flush()) {
      ::unlink(temp.c_str());
      return kErrorDiskFull;
    }
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    DeviceError err = DeviceErrorFromErrno(errno);
    ::unlink(temp.c_str());
    return err;
  }
  return kErrorSuccess;
}

// ---- Socket plumbing ----

constexpr uint32_t kWireMagic = 0x4E425731;  // "NBW1"
// How long the serving thread waits for a connected peer's request.
constexpr int kRequestReadTimeoutMs = 500;

// Only integers cross: the request names the peer's own handle, never an address.
struct WireRequest {
  uint32_t magic;
  uint32_t request;  // kRequestPost, kRequestSend, kRequestQuery
  uint64_t window;
  uint32_t message;
  uint32_t unused;
  uint64_t wParam;
  int64_t lParam;
};
struct WireReply {
  uint32_t magic;
  uint32_t status;  // a device error number
  int64_t answer;
};
static_assert(sizeof(WireRequest) == 40 && sizeof(WireReply) == 16);

Clock::time_point DeadlineIn(uint32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// Waits until `fd` is ready for `events` or the deadline passes (1460).
DeviceError WaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return kErrorTimeout;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX)));
    if (n > 0) return kErrorSuccess;  // readiness or a hang-up: the next call tells which
    if (n < 0 && errno != EINTR) return DeviceErrorFromErrno(errno);
  }
}

DeviceError WriteAll(int fd, const void* data, size_t size, Clock::time_point deadline) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (DeviceError err = WaitReady(fd, POLLOUT, deadline)) return err;
      continue;
    }
    return kErrorBrokenPipe;
  }
  return kErrorSuccess;
}

// 109 when the peer closes before all of it came.
DeviceError ReadAll(int fd, void* data, size_t size, Clock::time_point deadline) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::recv(fd, p, size, 0);
    if (n > 0) {
      p += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (DeviceError err = WaitReady(fd, POLLIN, deadline)) return err;
      continue;
    }
    return kErrorBrokenPipe;
  }
  return kErrorSuccess;
}

bool SocketAddressFor(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Connects to a peer's socket. `gone` is set when nobody listens there (no socket file, or a
// file without a listener: `refused`), the peer is then dead.
DeviceError ConnectToPeer(const std::string& path, Clock::time_point deadline, UniqueFd& fd,
                          bool& gone, bool& refused) {
  gone = refused = false;
  sockaddr_un address;
  if (!SocketAddressFor(path, address)) return kErrorFilenameTooLong;
  fd.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return DeviceErrorFromErrno(errno);
  for (;;) {
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      return kErrorSuccess;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == ECONNREFUSED || err == ENOENT || err == ENOTSOCK) {
      gone = true;
      refused = err != ENOENT;
      return kErrorInvalidWindowHandle;
    }
    if (err == EAGAIN) {  // the peer's backlog is full: it lives, but is slow to accept
      if (Clock::now() >= deadline) return kErrorTimeout;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (err == EINPROGRESS) {
      if (DeviceError wait = WaitReady(fd.get(), POLLOUT, deadline)) return wait;
      int soError = 0;
      socklen_t length = sizeof soError;
      ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &length);
      if (soError == 0) return kErrorSuccess;
      if (soError == ECONNREFUSED) {
        gone = refused = true;
        return kErrorInvalidWindowHandle;
      }
      return DeviceErrorFromErrno(soError);
    }
    return DeviceErrorFromErrno(err);
  }
}

// A peer that nobody serves any more: its files go.
void RemoveDeadPeer(const std::string& folder, pid_t pid, bool socketToo) {
  if (pid != ::getpid()) RemoveFilesOf(folder, pid, socketToo);
}

// ---- Serving peers ----

// The serving side of one socket. Shared between the Publisher and its thread, so the thread
// may outlive a stop that happens on the thread itself.
struct Listener {
  UniqueFd socket;      // the listening socket
  UniqueFd wakeRead;    // becomes readable when the thread should stop
  UniqueFd wakeWrite;
  std::atomic<bool> stop{false};
};

// Process-wide; every field guarded by `lock`, taken before the window table's lock and never
// by the serving thread, which only takes the table's.
struct Publisher {
  std::mutex lock;                       // the publisher lock
  std::shared_ptr<Listener> listener;    // null while this process serves nobody
  std::unique_ptr<std::thread> thread;   // the serving thread while `listener` is set
  pid_t ownerPid = 0;                    // the process that made them (a fork copy does not own)
  std::string folder;                    // where the socket and info files are
  std::string socketPath;
  bool exitHookSet = false;              // StopPublishing runs at exit
};

Publisher& Publishing() {
  static Publisher* publisher = new Publisher;  // never destroyed; stopped at exit instead
  return *publisher;
}

void SendReply(int fd, DeviceError status, intptr_t answer) {
  WireReply reply{kWireMagic, status, static_cast<int64_t>(answer)};
  // A fresh socket always has room for one reply; a peer that gave up just misses it.
  (void)::send(fd, &reply, sizeof reply, MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool SameUser(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  return credentials.uid == ::geteuid();
}

void ServeConnection(UniqueFd connection) {
  if (!SameUser(connection.get())) return;
  WireRequest request{};
  auto deadline = DeadlineIn(kRequestReadTimeoutMs);
  if (ReadAll(connection.get(), &request, sizeof request, deadline)) return;
  if (request.magic != kWireMagic) return;
  WindowMessage message;
  message.window = static_cast<WindowHandle>(request.window);
  message.message = request.message;
  message.wParam = static_cast<uintptr_t>(request.wParam);
  message.lParam = static_cast<intptr_t>(request.lParam);
  switch (request.request) {
    case kRequestQuery: {
      WindowTable& table = Windows();
      std::unique_lock<std::mutex> held(table.lock);
      auto it = table.windows.find(message.window);
      bool live = it != table.windows.end() && it->second.published;
      held.unlock();
      SendReply(connection.get(), live ? kErrorSuccess : kErrorInvalidWindowHandle, 0);
      return;
    }
    case kRequestPost:
      SendReply(connection.get(), DeliverToLocalWindow(message, nullptr, true), 0);
      return;
    case kRequestSend: {
      // The answer is written from whichever thread finishes the send: the owner's normally.
      auto shared = std::make_shared<UniqueFd>(std::move(connection));
      auto slot = std::make_shared<ReplySlot>();
      slot->onFinish = [shared](DeviceError err, intptr_t answer) {
        SendReply(shared->get(), err, answer);
      };
      if (DeviceError err = DeliverToLocalWindow(message, slot, true)) slot->Finish(err, 0);
      return;
    }
    default:
      SendReply(connection.get(), kErrorInvalidParameter, 0);
      return;
  }
}

void ServeListener(std::shared_ptr<Listener> listener) {
  pollfd fds[2] = {{listener->socket.get(), POLLIN, 0}, {listener->wakeRead.get(), POLLIN, 0}};
  while (!listener->stop.load()) {
    int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (listener->stop.load() || fds[1].revents != 0) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) return;
    for (;;) {
      int fd = ::accept4(listener->socket.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors, say: give the process a moment instead of spinning on poll.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        break;
      }
      ServeConnection(UniqueFd(fd));
      if (listener->stop.load()) return;
    }
  }
}

bool AnyPublished() {
  WindowTable& table = Windows();
  std::lock_guard<std::mutex> held(table.lock);
  for (const auto& [handle, record] : table.windows) {
    if (record.published) return true;
  }
  return false;
}

// A stopped serving thread, joined once the publisher lock is released: its last request may
// be running a procedure that needs that lock. Declare it before the lock guard.
struct PendingJoin {
  std::unique_ptr<std::thread> thread;
  ~PendingJoin() {
    if (thread && thread->joinable()) thread->join();
  }
};

// Publisher lock held. Tells the thread to stop and removes the socket.
void StopListenerLocked(Publisher& pub, PendingJoin& join) {
  if (!pub.listener) return;
  pub.listener->stop.store(true);
  char wake = 1;
  (void)!::write(pub.listener->wakeWrite.get(), &wake, 1);
  if (pub.thread) {
    // A procedure running on the serving thread may be what unpublishes the last window.
    if (pub.thread->get_id() == std::this_thread::get_id()) {
      pub.thread->detach();
      pub.thread.reset();
    } else {
      join.thread = std::move(pub.thread);
    }
  }
  ::unlink(pub.socketPath.c_str());
  pub.listener.reset();
}

// Publisher lock held. After a fork, the copy of a parent's listener is not this process's.
void DropInheritedLocked(Publisher& pub) {
  if (pub.ownerPid == ::getpid() || pub.ownerPid == 0) return;
  (void)pub.thread.release();  // that thread does not exist here; the record leaks on purpose
  pub.listener.reset();
  pub.ownerPid = 0;
}

void StopIfIdleLocked(Publisher& pub, PendingJoin& join) {
  if (!AnyPublished()) StopListenerLocked(pub, join);
}

DeviceError StartListenerLocked(Publisher& pub) {
  DropInheritedLocked(pub);
  if (pub.listener) return kErrorSuccess;
  std::string folder = PublishedWindowFolder();
  if (DeviceError err = EnsureWindowFolder(folder)) return err;
  pid_t pid = ::getpid();
  RemoveFilesOf(folder, pid, true);  // left by an earlier process that had our number
  std::string path = folder + "/" + SocketName(pid);
  sockaddr_un address;
  if (!SocketAddressFor(path, address)) return kErrorFilenameTooLong;

  auto listener = std::make_shared<Listener>();
  listener->socket.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listener->socket.valid()) return DeviceErrorFromErrno(errno);
  if (::bind(listener->socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener->socket.get(), 64) != 0) {
    DeviceError err = DeviceErrorFromErrno(errno);
    ::unlink(path.c_str());
    return err;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    DeviceError err = DeviceErrorFromErrno(errno);
    ::unlink(path.c_str());
    return err;
  }
  listener->wakeRead.Reset(pipeFds[0]);
  listener->wakeWrite.Reset(pipeFds[1]);

  pub.listener = listener;
  pub.folder = folder;
  pub.socketPath = path;
  pub.ownerPid = pid;
  pub.thread = std::make_unique<std::thread>(ServeListener, listener);
  if (!pub.exitHookSet) {
    pub.exitHookSet = true;
    std::atexit([] { StopPublishing(); });
  }
  return kErrorSuccess;
}

// Publisher lock held: writes the window's info file from the table's current class and title.
DeviceError WriteInfoLocked(Publisher& pub, WindowHandle window) {
  std::u16string className, title;
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> held(table.lock);
    auto it = table.windows.find(window);
    if (it == table.windows.end() || !it->second.published) return kErrorInvalidWindowHandle;
    className = it->second.className;
    title = it->second.title;
  }
  return WriteInfoFile(pub.folder, window, className, title);
}

void RemoveInfoLocked(Publisher& pub, WindowHandle window) {
  if (pub.folder.empty() || pub.ownerPid != ::getpid()) return;
  ::unlink((pub.folder + "/" + InfoName(pub.ownerPid, window)).c_str());
}

}  // namespace

std::string PublishedWindowFolder() {
  std::string run = DeviceRunFolder();
  if (!UsesFallbackFolder(run)) return run;
  char name[64];
  std::snprintf(name, sizeof name, "/tmp/nubrel-%u-%016llx", static_cast<unsigned>(::geteuid()),
                static_cast<unsigned long long>(HashOfText(Device().root)));
  return name;
}

DeviceError PublishWindow(WindowHandle window) {
  Publisher& pub = Publishing();
  PendingJoin join;
  std::lock_guard<std::mutex> held(pub.lock);
  WindowTable& table = Windows();
  {
    std::lock_guard<std::mutex> tableHeld(table.lock);
    auto it = table.windows.find(window);
    if (it == table.windows.end()) return kErrorInvalidWindowHandle;
    if (it->second.peer || it->second.parent != kNoWindow) return kErrorInvalidParameter;
    if (it->second.published) return kErrorSuccess;
  }
  if (DeviceError err = StartListenerLocked(pub)) return err;
  {
    std::lock_guard<std::mutex> tableHeld(table.lock);
    auto it = table.windows.find(window);
    if (it != table.windows.end()) it->second.published = true;
  }
  DeviceError err = WriteInfoLocked(pub, window);
  if (err) {
    {
      std::lock_guard<std::mutex> tableHeld(table.lock);
      auto it = table.windows.find(window);
      if (it != table.windows.end()) it->second.published = false;
    }
    RemoveInfoLocked(pub, window);
    StopIfIdleLocked(pub, join);
  }
  return err;
}

DeviceError UnpublishWindow(WindowHandle window) {
  Publisher& pub = Publishing();
  PendingJoin join;
  std::lock_guard<std::mutex> held(pub.lock);
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> tableHeld(table.lock);
    auto it = table.windows.find(window);
    if (it == table.windows.end() || it->second.peer) return kErrorInvalidWindowHandle;
    if (!it->second.published) return kErrorSuccess;
    it->second.published = false;
  }
  RemoveInfoLocked(pub, window);
  StopIfIdleLocked(pub, join);
  return kErrorSuccess;
}

void ForgetPublishedWindows(const std::vector<WindowHandle>& handles) {
  Publisher& pub = Publishing();
  PendingJoin join;
  std::lock_guard<std::mutex> held(pub.lock);
  for (WindowHandle window : handles) RemoveInfoLocked(pub, window);
  StopIfIdleLocked(pub, join);
}

void RefreshPublishedTitle(WindowHandle window) {
  Publisher& pub = Publishing();
  std::lock_guard<std::mutex> held(pub.lock);
  if (pub.listener && pub.ownerPid == ::getpid()) (void)WriteInfoLocked(pub, window);
}

void StopPublishing() {
  Publisher& pub = Publishing();
  PendingJoin join;
  std::lock_guard<std::mutex> held(pub.lock);
  if (pub.ownerPid != ::getpid()) return;  // a fork copy touches nothing of its parent's
  std::vector<WindowHandle> published;
  {
    WindowTable& table = Windows();
    std::lock_guard<std::mutex> tableHeld(table.lock);
    for (auto& [handle, record] : table.windows) {
      if (!record.published) continue;
      record.published = false;
      published.push_back(handle);
    }
  }
  for (WindowHandle window : published) RemoveInfoLocked(pub, window);
  StopListenerLocked(pub, join);
}

// ---- Calling peers ----

DeviceError CallPeer(const PeerWindow& peer, uint32_t request, const WindowMessage& message,
                     uint32_t answerTimeoutMs, intptr_t* answer) {
  UniqueFd fd;
  bool gone = false, refused = false;
  auto acceptDeadline = DeadlineIn(kRemoteAcceptTimeoutMs);
  DeviceError err = ConnectToPeer(peer.socketPath, acceptDeadline, fd, gone, refused);
  if (gone) {
    RemoveDeadPeer(FolderOf(peer.socketPath), peer.pid, refused);
    return kErrorInvalidWindowHandle;
  }
  if (err) return err;
  WireRequest wire{kWireMagic, request, peer.handle, message.message, 0,
                   static_cast<uint64_t>(message.wParam), static_cast<int64_t>(message.lParam)};
  if (DeviceError werr = WriteAll(fd.get(), &wire, sizeof wire, acceptDeadline)) return werr;
  WireReply reply{};
  if (DeviceError rerr = ReadAll(fd.get(), &reply, sizeof reply, DeadlineIn(answerTimeoutMs))) {
    return rerr;
  }
  if (reply.magic != kWireMagic) return kErrorBrokenPipe;
  if (answer) *answer = reply.status == kErrorSuccess ? static_cast<intptr_t>(reply.answer) : 0;
  return reply.status;
}

std::optional<FoundPeerWindow> FindPeerWindow(std::u16string_view className,
                                              std::u16string_view title) {
  std::string folder = PublishedWindowFolder();
  if (UsesFallbackFolder(DeviceRunFolder()) && CheckPrivateFolder(folder) != kErrorSuccess) {
    return std::nullopt;
  }
  // Every process that left a file here, with its info files in handle order.
  std::map<pid_t, std::vector<EntryName>> byPid;
  for (const std::string& name : FolderEntries(folder)) {
    EntryName entry = ParseEntryName(name);
    if (entry.kind == 0 || entry.pid == ::getpid()) continue;
    auto& entries = byPid[entry.pid];
    if (entry.kind == 'w') entries.push_back(entry);
  }
  std::optional<FoundPeerWindow> first;
  for (auto& [pid, infos] : byPid) {
    // Ask the socket itself, not the listing: a publisher may be starting up meanwhile.
    std::string socketPath = folder + "/" + SocketName(pid);
    UniqueFd probe;
    bool gone = false, refused = false;
    ConnectToPeer(socketPath, DeadlineIn(kRemoteAcceptTimeoutMs), probe, gone, refused);
    probe.Reset();  // the peer serves one connection at a time: free it at once
    if (gone) {
      RemoveDeadPeer(folder, pid, refused);
      continue;
    }
    if (first) continue;  // still sweeping the dead
    std::sort(infos.begin(), infos.end(),
              [](const EntryName& a, const EntryName& b) { return a.handle < b.handle; });
    for (const EntryName& entry : infos) {
      std::string infoPath = folder + "/" + InfoName(pid, entry.handle);
      InfoContent info;
      if (!ReadInfoFile(infoPath, info) || info.pid != pid || info.handle != entry.handle) continue;
      if (!className.empty() && !ClassNamesEqual(info.className, className)) continue;
      if (!title.empty() && info.title != title) continue;
      first = FoundPeerWindow{PeerWindow{pid, entry.handle, socketPath, infoPath}, info.className,
                              info.title};
      break;
    }
  }
  return first;
}

DeviceError ReadPeerTitle(const PeerWindow& peer, std::u16string& title) {
  InfoContent info;
  if (!ReadInfoFile(peer.infoPath, info) || info.pid != peer.pid || info.handle != peer.handle) {
    return kErrorInvalidWindowHandle;
  }
  title = info.title;
  return kErrorSuccess;
}

}  // namespace platform
