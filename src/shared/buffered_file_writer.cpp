// The buffered, replace-on-success file writer; see buffered_file_writer.h for the life of a write.
#include "shared/buffered_file_writer.h"

#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "platform/code_pages.h"
#include "platform/utf.h"
#include "shared/file_open.h"
#include "shared/folders.h"

namespace nubrel {

namespace {

// The fault hook of the tests. Guarded by `lock`; copied out under it and called outside it.
struct WriterFaultState {
  std::mutex lock;
  WriterFaultHook hook;  // empty: no faults
};

WriterFaultState& FaultState() {
  static WriterFaultState state;
  return state;
}

platform::DeviceError InjectedFault(WriterStep step) {
  WriterFaultHook hook;
  {
    std::lock_guard<std::mutex> guard(FaultState().lock);
    hook = FaultState().hook;
  }
  return hook ? hook(step) : platform::kErrorSuccess;
}

bool IsXmlForbidden(char16_t c) {
  return (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF;
}

}  // namespace

std::u16string TemporaryPathFor(std::u16string_view target) {
  std::u16string temp(target);
  temp += kTemporaryFileSuffix;
  return temp;
}

std::u16string XmlEscape(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + text.size() / 8);
  for (char16_t c : text) {
    switch (c) {
      case u'&': out += u"&amp;"; break;
      case u'\'': out += u"&apos;"; break;
      case u'"': out += u"&quot;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      default:
        if (!IsXmlForbidden(c)) out += c;
        break;
    }
  }
  return out;
}

BufferedFileWriter::BufferedFileWriter() = default;

BufferedFileWriter::~BufferedFileWriter() { Discard(); }

platform::DeviceError BufferedFileWriter::Open(std::u16string_view path, uint32_t attributes) {
  Discard();
  path_.assign(path);
  tempPath_ = TemporaryPathFor(path);
  attributes_ = attributes;
  buffered_ = 0;
  error_ = platform::kErrorSuccess;

  if (path.empty() || path.back() == u'\\') return error_ = platform::kErrorInvalidName;
  // Replacing by rename would slip past a read-only file; refuse it as an open for writing would.
  uint32_t existing = 0;
  if (platform::GetFileAttributes(path, existing) == platform::kErrorSuccess &&
      (existing & (platform::kFileAttributeDirectory | platform::kFileAttributeReadOnly))) {
    return error_ = platform::kErrorAccessDenied;
  }
  if (!buffer_) {
    buffer_.reset(new (std::nothrow) char[kBufferSize]);
    if (!buffer_) return error_ = platform::kErrorNotEnoughMemory;
  }
  // A missing folder shows up as the open's error below; the open may also wait for a storage
  // card that is not ready yet, after which the folders may well be there.
  EnsureFoldersForFile(path);
  if (platform::DeviceError fault = InjectedFault(WriterStep::kOpen)) return error_ = fault;

  // A leftover of a crash is reused rather than deleted (deleting could pull the file from
  // under another writer of the same target; opening it is refused while one is at work).
  // Its attributes are the crashed write's: read-only would block every later write of this
  // file, and none of them are this write's, so they go first.
  uint32_t leftover = 0;
  if (platform::GetFileAttributes(tempPath_, leftover) == platform::kErrorSuccess &&
      leftover != platform::kFileAttributeNormal) {
    platform::SetFileAttributes(tempPath_, platform::kFileAttributeNormal);
  }
  // Delete sharing lets Commit rename the file while we still hold it, so no second writer of
  // the same target can open (and truncate) the temporary file between our flush and the rename.
  platform::DeviceError openError = platform::kErrorSuccess;
  file_ = OpenFileWithRetry(tempPath_, platform::kAccessWrite, platform::kShareDelete,
                            platform::Disposition::kCreateAlways,
                            attributes & ~platform::kFileAttributeReadOnly, &openError);
  if (!file_.IsOpen()) return error_ = openError ? openError : platform::kErrorInvalidFunction;
  state_ = State::kWriting;
  return platform::kErrorSuccess;
}

bool BufferedFileWriter::WriteBytes(const void* data, size_t size) {
  if (state_ != State::kWriting) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const size_t room = kBufferSize - buffered_;
    const size_t chunk = size < room ? size : room;
    std::memcpy(buffer_.get() + buffered_, p, chunk);
    buffered_ += chunk;
    p += chunk;
    size -= chunk;
    if (buffered_ == kBufferSize && !WriteBuffer()) return false;
  }
  return true;
}

bool BufferedFileWriter::WriteBytes(std::string_view bytes) {
  return WriteBytes(bytes.data(), bytes.size());
}

bool BufferedFileWriter::WriteText(std::u16string_view text, uint32_t codePage, bool escapeXml) {
  if (state_ != State::kWriting) return false;
  try {
    std::u16string escaped;
    if (escapeXml) {
      escaped = XmlEscape(text);
      text = escaped;
    }
    std::string bytes;
    if (codePage == platform::kCodePageUtf8) {
      bytes = platform::ToUtf8(text);
    } else if (platform::DeviceError err = platform::WideToMultiByte(codePage, text, bytes)) {
      Fail(err);
      return false;
    }
    return WriteBytes(bytes);
  } catch (const std::bad_alloc&) {
    Fail(platform::kErrorNotEnoughMemory);
    return false;
  }
}

platform::DeviceError BufferedFileWriter::Close() {
  switch (state_) {
    case State::kClosed:
      return error_;
    case State::kFailed:
      state_ = State::kClosed;
      return error_;
    case State::kWriting:
      break;
  }
  if (platform::DeviceError err = Commit()) {
    Fail(err);
    state_ = State::kClosed;
    return error_;
  }
  file_.Close();
  state_ = State::kClosed;
  return platform::kErrorSuccess;
}

void BufferedFileWriter::Discard() {
  if (state_ == State::kWriting) {
    file_.Close();
    RemoveTemporaryFile();
  }
  // Nothing was written, so a later Close must not report success.
  if (IsOpen() && !error_) error_ = platform::kErrorInvalidHandle;
  state_ = State::kClosed;
}

void BufferedFileWriter::RemoveTemporaryFile() {
  // Commit may already have made it read-only, and a read-only file is not deleted.
  if (attributes_ & platform::kFileAttributeReadOnly) {
    platform::SetFileAttributes(tempPath_, platform::kFileAttributeNormal);
  }
  platform::DeleteFile(tempPath_);
}

bool BufferedFileWriter::WriteBuffer() {
  platform::DeviceError err = InjectedFault(WriterStep::kWrite);
  if (!err) err = platform::WriteFile(file_, buffer_.get(), buffered_);
  if (err) {
    Fail(err);
    return false;
  }
  buffered_ = 0;
  return true;
}

// The end of a good write, in the order that keeps the old file until the new one is complete
// on storage: last buffer, fsync, attributes, then the atomic rename.
platform::DeviceError BufferedFileWriter::Commit() {
  if (buffered_ > 0 && !WriteBuffer()) return error_;
  platform::DeviceError err = InjectedFault(WriterStep::kFlush);
  if (!err) err = platform::FlushFile(file_);
  if (err) return err;
  // Set only now, as the file is complete, and set here rather than at creation because a
  // reused leftover was not created by this write.
  const uint32_t kept = platform::kFileAttributeReadOnly | platform::kFileAttributeHidden;
  if (attributes_ & kept) {
    if ((err = platform::SetFileAttributes(tempPath_, attributes_ & kept))) return err;
  }
  err = InjectedFault(WriterStep::kReplace);
  if (!err) err = platform::MoveFile(tempPath_, path_, /*replaceExisting=*/true);
  return err;
}

// Keeps the first error (the one the caller reports) and removes the partial file at once, so
// nothing half-written outlives the failure even if the writer is never closed.
void BufferedFileWriter::Fail(platform::DeviceError error) {
  if (state_ != State::kWriting) return;
  if (!error_) error_ = error;
  file_.Close();
  RemoveTemporaryFile();
  state_ = State::kFailed;
}

WriterFaultHook SetWriterFaultHookForTests(WriterFaultHook hook) {
  std::lock_guard<std::mutex> guard(FaultState().lock);
  return std::exchange(FaultState().hook, std::move(hook));
}

}  // namespace nubrel
