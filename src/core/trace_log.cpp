// The trace log: one process-wide file, its lock, and the line format of every entry.
// What the program traces, and when the About dialog switches the log, is decided elsewhere.
#include "core/trace_log.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/code_pages.h"
#include "platform/device_time.h"
#include "platform/files.h"
#include "platform/threads.h"
#include "shared/file_open.h"

namespace nubrel {

namespace {

// The trace log's process-wide state. Every field but `on` is guarded by `lock`, the trace lock
// that serialises entries of all threads as well as TraceOpen and TraceClose.
struct TraceLogState {
  std::mutex lock;            // the trace lock
  platform::FileHandle file;  // open while the log is on (guarded by lock)
  std::string conversion;     // TraceText's multibyte text, reused between entries (guarded by lock)
  std::atomic<bool> on{false};  // file.IsOpen(), readable without the lock; written under it
};

TraceLogState& State() {
  static TraceLogState state;
  return state;
}

// "[0000abcd] 13:04:05.067 ": the thread that writes and the local time.
std::string EntryHead() {
  const platform::SystemTime now = platform::CurrentLocalTime();
  char head[48];
  std::snprintf(head, sizeof head, "[%08" PRIx32 "] %02u:%02u:%02u.%03u ", platform::CurrentThreadId(),
                static_cast<unsigned>(now.hour), static_cast<unsigned>(now.minute),
                static_cast<unsigned>(now.second), static_cast<unsigned>(now.milliseconds));
  return head;
}

// The largest length not above limit that ends on a character boundary of the code page.
std::size_t CharacterBoundaryAtOrBelow(const std::string& bytes, std::size_t limit, uint32_t codePage) {
  if (bytes.size() <= limit) return bytes.size();
  if (codePage == platform::kCodePageUtf8) {
    std::size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(bytes[n]) & 0xC0) == 0x80) --n;
    return n;
  }
  // Double-byte code pages: a trail byte can look like anything, so walk from the start.
  std::size_t n = 0;
  while (n < bytes.size()) {
    std::size_t width = platform::IsLeadByte(codePage, static_cast<uint8_t>(bytes[n])) ? 2 : 1;
    if (n + width > limit) break;
    n += width;
  }
  return n;
}

// Writes one entry: the head, the body and the line end, each in a write of its own that goes
// straight to the file. The caller holds the lock.
void WriteEntryLocked(TraceLogState& state, std::string_view body) {
  const std::string head = EntryHead();
  // A failed write (a full card) loses this entry; the log stays on for the next one.
  platform::WriteFile(state.file, head.data(), head.size());
  platform::WriteFile(state.file, body.data(), body.size());
  platform::WriteFile(state.file, "\n", 1);
}

}  // namespace

std::u16string TraceLogPath(std::u16string_view storagePath) {
  std::u16string path(storagePath);
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  path += kTraceLogFileName;
  return path;
}

platform::DeviceError TraceOpen(std::u16string_view path) {
  TraceLogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.file.IsOpen()) return platform::kErrorSuccess;
  platform::DeviceError error = platform::kErrorSuccess;
  platform::FileHandle file = OpenFileWithRetry(path, platform::kAccessWrite, platform::kShareRead,
                                                platform::Disposition::kOpenAlways,
                                                platform::kFileAttributeNormal, &error);
  if (!file.IsOpen()) return error ? error : platform::kErrorInvalidHandle;
  if (platform::DeviceError seekError = platform::SeekFile(file, 0, platform::SeekOrigin::kEnd))
    return seekError;
  state.file = std::move(file);
  state.on.store(true);
  return platform::kErrorSuccess;
}

void TraceClose() {
  TraceLogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.file.Close();
  state.on.store(false);
}

bool TraceIsOn() { return State().on.load(); }

void Trace(std::string_view message) {
  TraceLogState& state = State();
  if (!state.on.load()) return;
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.file.IsOpen()) return;
  WriteEntryLocked(state, message);
}

void TraceText(std::string_view message, const char16_t* text) {
  if (text == nullptr) {
    Trace(message);
    return;
  }
  TraceText(message, std::u16string_view(text));
}

void TraceText(std::string_view message, std::u16string_view text) {
  TraceLogState& state = State();
  if (!state.on.load()) return;
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.file.IsOpen()) return;
  const uint32_t codePage = platform::DefaultCodePage();
  std::string& converted = state.conversion;
  if (platform::WideToMultiByte(codePage, text, converted) != platform::kErrorSuccess) converted.clear();
  // The conversion buffer holds kTraceConversionBufferBytes with its terminator; a longer text
  // is cut where a character ends, never inside one.
  converted.resize(CharacterBoundaryAtOrBelow(converted, kTraceConversionBufferBytes - 1, codePage));
  std::string body;
  body.reserve(message.size() + converted.size());
  body.append(message);
  body.append(converted);
  WriteEntryLocked(state, body);
}

void TraceNumber(std::string_view message, int64_t number) {
  TraceLogState& state = State();
  if (!state.on.load()) return;
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.file.IsOpen()) return;
  char digits[32];
  std::snprintf(digits, sizeof digits, " [%" PRId64 "]", number);
  std::string body(message);
  body.append(digits);
  WriteEntryLocked(state, body);
}

void ResetTraceLog() {
  TraceLogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.file.Close();
  state.on.store(false);
  std::string().swap(state.conversion);
}

}  // namespace nubrel
