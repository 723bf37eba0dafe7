// Writing a whole file through a 32768-byte buffer, safely: the bytes go to a temporary file
// beside the target ("<target>.nbtmp"), which replaces the target only once every write and the
// flush to storage succeeded. A failed write, a crash or a writer dropped without Close leave
// the previous file whole. Files are written here; what goes into them is the callers'.
//
//   (closed) --Open--> writing --Close ok: flush, fsync, rename over the target--> (closed)
//                         |  \--destroyed / Discard: temporary file removed--> (closed)
//                         \--any failure: temporary file removed--> failed --Close--> (closed)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace nubrel {

// Appended to the target's name. Fixed, so that a leftover of a crashed write is recognisable
// and simply overwritten by the next write of the same file.
inline constexpr std::u16string_view kTemporaryFileSuffix = u".nbtmp";

// The temporary file that stands in for `target` while it is written.
std::u16string TemporaryPathFor(std::u16string_view target);

// "&" "'" "\"" "<" ">" as "&amp;" "&apos;" "&quot;" "&lt;" "&gt;". Characters that XML 1.0
// cannot hold in any form (U+0000-U+0008, U+000B, U+000C, U+000E-U+001F, U+FFFE, U+FFFF) are
// left out: written raw they would make our own file unreadable the next time it is loaded,
// and feeds deliver them through numeric references in titles. Tab, line feed and carriage
// return stay; everything else is unchanged.
std::u16string XmlEscape(std::u16string_view text);

class BufferedFileWriter {
 public:
  static constexpr size_t kBufferSize = 32768;

  BufferedFileWriter();
  // Discards an unfinished file (Close not called, or not successful): the target is untouched.
  ~BufferedFileWriter();
  BufferedFileWriter(const BufferedFileWriter&) = delete;
  BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;

  // Starts writing `path` (a device path). Creates the missing folders of the path
  // (EnsureFoldersForFile), then creates the temporary file with OpenFileWithRetry (so it waits
  // for a storage card that is not ready). attributes (kFileAttributeReadOnly, ...Hidden) are
  // the new file's. The target itself is not opened or changed. Returns 0, or the error: 123 for
  // an empty path or one ending in "\", 5 when the target is a folder or read-only or on a
  // read-only mount, 3 when its folder cannot be made, 8 without memory, or the open's error.
  // A writer that is already open discards its unfinished file first.
  platform::DeviceError Open(std::u16string_view path,
                             uint32_t attributes = platform::kFileAttributeNormal);

  // Appends bytes; the buffer is written out whenever it is full. Returns false when this or an
  // earlier step failed (or the writer is not open); nothing is written after a failure.
  bool WriteBytes(const void* data, size_t size);
  bool WriteBytes(std::string_view bytes);
  // Appends a wide text converted to a code page (65001 for UTF-8), XML-escaped first when asked
  // (XmlEscape). Characters the code page lacks become '?'. An unknown code page fails the file
  // (87). Returns false like WriteBytes.
  bool WriteText(std::u16string_view text, uint32_t codePage = 65001, bool escapeXml = false);

  // Writes what is buffered, forces it to storage and renames the temporary file over the
  // target. Returns 0 when the target now holds exactly the bytes written; otherwise the FIRST
  // error met since Open (for the caller's message), with the temporary file removed and the
  // previous target unchanged. A writer never opened answers 6; a second Close repeats the answer.
  platform::DeviceError Close();

  // Abandons the file being written: the temporary file is removed, the target is untouched.
  void Discard();

  bool IsOpen() const { return state_ == State::kWriting || state_ == State::kFailed; }
  // The first error since Open, 0 while all is well.
  platform::DeviceError Error() const { return error_; }
  const std::u16string& Path() const { return path_; }

 private:
  enum class State { kClosed, kWriting, kFailed };

  bool WriteBuffer();
  void Fail(platform::DeviceError error);
  void RemoveTemporaryFile();
  platform::DeviceError Commit();

  State state_ = State::kClosed;
  platform::DeviceError error_ = platform::kErrorInvalidHandle;  // never opened: 6
  std::u16string path_;       // the target
  std::u16string tempPath_;   // the temporary file beside it
  uint32_t attributes_ = 0;   // the new file's attributes, applied before the rename
  platform::FileHandle file_;  // the temporary file, open while writing
  std::unique_ptr<char[]> buffer_;
  size_t buffered_ = 0;       // bytes waiting in buffer_
};

// ---- Fault injection (tests) ----

// The steps of a write that touch storage. A test hook sees each one before it happens and may
// make it fail by returning an error number (0 lets the real step run).
enum class WriterStep {
  kOpen,     // creating the temporary file
  kWrite,    // writing out one buffer (32768 bytes, or the rest at Close)
  kFlush,    // forcing the file to storage
  kReplace,  // renaming the temporary file over the target
};
using WriterFaultHook = std::function<platform::DeviceError(WriterStep step)>;

// Installs a hook for every writer of the process (empty: none). Returns the previous one.
WriterFaultHook SetWriterFaultHookForTests(WriterFaultHook hook);

}  // namespace nubrel
