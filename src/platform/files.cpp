// The device's file operations over the host folders; see files.h for the contract.
// Path checks, mounts and the walk without regard to case are in device_paths.cpp; the share
// table and the host locks in files_share.cpp.
//
// Map:
//   ---- Host helpers ----       descriptors, errno refinements, statx, stored attributes
//   ---- Handles ----            FileHandle
//   ---- Paths ----              HostPathFor, SpecialFolderPath
//   ---- Attributes ----         GetFileAttributes, SetFileAttributes
//   ---- Open, read, write ----  OpenFile, ReadFile, WriteFile, SeekFile, sizes, flush
//   ---- Delete, move, copy ---- DeleteFile, MoveFile, CopyFile
//   ---- Folders ----            CreateFolder, RemoveFolder
//   ---- Enumeration ----        FindFiles
//   ---- File times ----         GetFileTimes, SetFileTimes
//
// Attributes the host has no bit for (hidden) are kept in the extended attribute
// "user.nubrel.attributes" as a decimal number; where the host file system cannot store it, a
// name starting with "." is hidden. Read-only is the owner's write permission; since the reader
// may run as root, which the host never refuses, this service checks that bit itself.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "platform/device.h"
#include "platform/device_paths.h"
#include "platform/files_share.h"
#include "platform/utf.h"

namespace platform {

// ---- Host helpers ----

namespace {

constexpr const char* kAttributesXattr = "user.nubrel.attributes";
constexpr uint32_t kStoredAttributes = kFileAttributeHidden;  // the bits the xattr keeps
constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

// A host descriptor this file owns until it is handed on.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

std::string HostParentOf(const std::string& hostPath) {
  size_t slash = hostPath.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : hostPath.substr(0, slash);
}

std::string HostNameOf(const std::string& hostPath) {
  size_t slash = hostPath.rfind('/');
  return slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
}

bool IsHostFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ENOENT means 2 when the folder is there and only the entry is missing, 3 when it is the folder.
DeviceError MissingError(const std::string& hostPath) {
  return IsHostFolder(HostParentOf(hostPath)) ? kErrorFileNotFound : kErrorPathNotFound;
}

DeviceError ErrorFromErrno(int err, const std::string& hostPath) {
  switch (err) {
    case ENOENT: return MissingError(hostPath);
    case ENOTDIR: return kErrorPathNotFound;
    case ELOOP: return kErrorInvalidName;  // a link put where the walk saw none
    default: return DeviceErrorFromErrno(err);
  }
}

bool IsReadOnlyMode(uint32_t mode) { return (mode & S_IWUSR) == 0; }

DeviceError StatHost(const std::string& hostPath, struct statx& sx) {
  if (::statx(AT_FDCWD, hostPath.c_str(), AT_SYMLINK_NOFOLLOW, kStatxMask, &sx) != 0)
    return ErrorFromErrno(errno, hostPath);
  return kErrorSuccess;
}

FileTime FromStatx(const struct statx_timestamp& t) { return FileTimeFromUnix(t.tv_sec, t.tv_nsec); }

FileTime CreationTimeOf(const struct statx& sx) {
  return (sx.stx_mask & STATX_BTIME) ? FromStatx(sx.stx_btime) : FromStatx(sx.stx_mtime);
}

std::optional<uint32_t> ParseStoredBits(const char* text, ssize_t length) {
  if (length <= 0) return std::nullopt;
  std::string value(text, static_cast<size_t>(length));
  char* end = nullptr;
  unsigned long bits = std::strtoul(value.c_str(), &end, 10);
  if (end == value.c_str()) return std::nullopt;
  return static_cast<uint32_t>(bits) & kStoredAttributes;
}

// The bits stored for a file, or nothing when none are (or the host cannot store them).
std::optional<uint32_t> StoredBits(const std::string& hostPath) {
  char text[16];
  return ParseStoredBits(text, ::lgetxattr(hostPath.c_str(), kAttributesXattr, text, sizeof text));
}

bool CannotStore(int err) { return err == ENOTSUP || err == EOPNOTSUPP; }

// A host that cannot keep the bits is not an error: the name rule stands in for them.
DeviceError StoreBits(const std::string& hostPath, int fd, uint32_t bits) {
  const std::string text = std::to_string(bits & kStoredAttributes);
  int rc = fd >= 0 ? ::fsetxattr(fd, kAttributesXattr, text.data(), text.size(), 0)
                   : ::lsetxattr(hostPath.c_str(), kAttributesXattr, text.data(), text.size(), 0);
  if (rc != 0 && !CannotStore(errno)) return DeviceErrorFromErrno(errno);
  return kErrorSuccess;
}

uint32_t DeviceAttributes(uint32_t mode, const std::string& hostName, std::optional<uint32_t> stored) {
  uint32_t attributes = 0;
  if (S_ISDIR(mode)) attributes |= kFileAttributeDirectory;
  if (IsReadOnlyMode(mode)) attributes |= kFileAttributeReadOnly;
  const bool hidden = stored ? (*stored & kFileAttributeHidden) != 0
                             : (!hostName.empty() && hostName[0] == '.');
  if (hidden) attributes |= kFileAttributeHidden;
  return attributes ? attributes : kFileAttributeNormal;
}

void FillTimes(const struct statx& sx, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) {
  if (creation) *creation = CreationTimeOf(sx);
  if (lastAccess) *lastAccess = FromStatx(sx.stx_atime);
  if (lastWrite) *lastWrite = FromStatx(sx.stx_mtime);
}

// The times to set; a null pointer keeps the host's. Creation time has no host setter.
void ToTimespecs(const FileTime* lastAccess, const FileTime* lastWrite, struct timespec times[2]) {
  const FileTime* given[2] = {lastAccess, lastWrite};
  for (int i = 0; i < 2; ++i) {
    if (!given[i]) {
      times[i].tv_sec = 0;
      times[i].tv_nsec = UTIME_OMIT;
      continue;
    }
    int64_t seconds = 0, nanoseconds = 0;
    FileTimeToUnix(*given[i], seconds, nanoseconds);
    times[i].tv_sec = static_cast<time_t>(seconds);
    times[i].tv_nsec = static_cast<long>(nanoseconds);
  }
}

// Writes all of data to fd, retrying short writes.
DeviceError WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EBADF ? kErrorAccessDenied : DeviceErrorFromErrno(errno);
    }
    if (n == 0) return kErrorDiskFull;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return kErrorSuccess;
}

}  // namespace

// ---- Handles ----

FileHandle::FileHandle(FileHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), openId_(std::exchange(other.openId_, 0)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    openId_ = std::exchange(other.openId_, 0);
  }
  return *this;
}

FileHandle::~FileHandle() { Close(); }

void FileHandle::Close() {
  if (fd_ >= 0) ReleaseOpenAndClose(openId_, fd_);
  fd_ = -1;
  openId_ = 0;
}

// ---- Paths ----

DeviceError HostPathFor(std::u16string_view devicePath, std::string& hostPath, bool forWrite) {
  ResolvedPath resolved;
  if (DeviceError err =
          ResolveDevicePath(devicePath, forWrite ? PathUse::kWrite : PathUse::kRead, resolved))
    return err;
  hostPath = resolved.host;
  return kErrorSuccess;
}

std::u16string SpecialFolderPath(int folder) {
  switch (folder) {
    case 2: return u"\\Windows\\Start Menu\\Programs";
    case 5: return u"\\My Documents";
    case 6: return u"\\Windows\\Favorites";
    case 7: return u"\\Windows\\StartUp";
    case 11: return u"\\Windows\\Start Menu";
    case 36: return u"\\Windows";
    case 38: return u"\\Program Files";
    default: return {};
  }
}

// ---- Attributes ----

DeviceError GetFileAttributes(std::u16string_view path, uint32_t& attributes) {
  attributes = kInvalidFileAttributes;
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(path, PathUse::kRead, resolved)) return err;
  if (resolved.virtualAttributes) {
    attributes = resolved.virtualAttributes;
    return kErrorSuccess;
  }
  if (resolved.parentMissing) return kErrorPathNotFound;
  struct statx sx {};
  if (DeviceError err = StatHost(resolved.host, sx)) return err;
  attributes = DeviceAttributes(sx.stx_mode, HostNameOf(resolved.host), StoredBits(resolved.host));
  return kErrorSuccess;
}

DeviceError SetFileAttributes(std::u16string_view path, uint32_t attributes) {
  if (attributes == kInvalidFileAttributes) return kErrorInvalidParameter;
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(path, PathUse::kWrite, resolved)) return err;
  if (resolved.virtualAttributes) return kErrorAccessDenied;
  if (resolved.parentMissing) return kErrorPathNotFound;
  struct stat st {};
  if (::lstat(resolved.host.c_str(), &st) != 0) return ErrorFromErrno(errno, resolved.host);
  const bool readOnly = (attributes & kFileAttributeReadOnly) != 0;
  const mode_t mode = readOnly ? (st.st_mode & 07777 & ~mode_t(0222)) : ((st.st_mode & 07777) | S_IWUSR);
  // A file must still be writable while its stored bits change.
  if (!readOnly && ::chmod(resolved.host.c_str(), mode) != 0) return DeviceErrorFromErrno(errno);
  if (DeviceError err = StoreBits(resolved.host, -1, attributes)) return err;
  if (readOnly && ::chmod(resolved.host.c_str(), mode) != 0) return DeviceErrorFromErrno(errno);
  return kErrorSuccess;
}

// ---- Open, read, write ----

namespace {

bool Creates(Disposition d) {
  return d == Disposition::kCreateNew || d == Disposition::kCreateAlways || d == Disposition::kOpenAlways;
}

bool Truncates(Disposition d) {
  return d == Disposition::kCreateAlways || d == Disposition::kTruncateExisting;
}

// Truncation happens only after the share check, so a refused open never destroys data. A
// descriptor opened for reading only cannot truncate; the same file is reopened for it.
DeviceError TruncateOpenFile(int fd, uint32_t access) {
  if (access & kAccessWrite) {
    return ::ftruncate(fd, 0) == 0 ? kErrorSuccess : DeviceErrorFromErrno(errno);
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  UniqueFd writer(::open(self.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY));
  return writer.get() >= 0 ? kErrorSuccess : DeviceErrorFromErrno(errno);
}

// Opens the host file behind a device path with every device rule applied. On success fd and
// openId belong to the caller.
DeviceError OpenHostFile(std::u16string_view path, uint32_t access, uint32_t share,
                         Disposition disposition, uint32_t attributes, int& fd, uint64_t& openId) {
  fd = -1;
  openId = 0;
  if ((access & ~(kAccessRead | kAccessWrite)) || (share & ~(kShareRead | kShareWrite | kShareDelete)))
    return kErrorInvalidParameter;
  if (disposition == Disposition::kTruncateExisting && !(access & kAccessWrite))
    return kErrorInvalidParameter;
  const bool changes = (access & kAccessWrite) || disposition == Disposition::kCreateNew ||
                       Truncates(disposition);
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(path, changes ? PathUse::kWrite : PathUse::kRead, resolved))
    return err;
  if (resolved.parentMissing) return kErrorPathNotFound;
  if (resolved.virtualAttributes || resolved.hostParent.empty()) return kErrorAccessDenied;
  if (resolved.readOnly && !resolved.leafExists && Creates(disposition)) return kErrorAccessDenied;

  const int accessMode = access == (kAccessRead | kAccessWrite) ? O_RDWR
                         : (access & kAccessWrite)              ? O_WRONLY
                                                                : O_RDONLY;
  // O_NONBLOCK keeps a FIFO someone left in the root from hanging the open; it is cleared below.
  const int flags = accessMode | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
  const mode_t mode = (attributes & kFileAttributeReadOnly) ? 0444 : 0666;
  const char* host = resolved.host.c_str();
  const bool mayCreate = Creates(disposition) && !resolved.readOnly;
  bool created = false;
  UniqueFd file;
  for (int attempt = 0; attempt < 3 && file.get() < 0; ++attempt) {
    if (mayCreate) {
      file.reset(::open(host, flags | O_CREAT | O_EXCL, mode));
      if (file.get() >= 0) {
        created = true;
        break;
      }
      if (errno != EEXIST) return ErrorFromErrno(errno, resolved.host);
      if (disposition == Disposition::kCreateNew) return kErrorFileExists;
    }
    file.reset(::open(host, flags));
    // A file deleted between the two opens is simply created on the next round.
    if (file.get() < 0 && (errno != ENOENT || !mayCreate))
      return ErrorFromErrno(errno, resolved.host);
  }
  if (file.get() < 0) return MissingError(resolved.host);  // it kept vanishing under us

  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return DeviceErrorFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return kErrorAccessDenied;  // folders and devices are not files here
  ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
  if (!created && ((access & kAccessWrite) || Truncates(disposition)) && IsReadOnlyMode(st.st_mode))
    return kErrorAccessDenied;

  if (DeviceError err = ClaimOpen(file.get(), access, share, openId)) return err;
  DeviceError err = kErrorSuccess;
  if (!created && Truncates(disposition)) err = TruncateOpenFile(file.get(), access);
  if (!err && created) {
    // A new dotted name is only hidden when asked for; the name rule is for host-made files.
    const bool dotted = !resolved.leafAsWritten.empty() && resolved.leafAsWritten[0] == '.';
    if ((attributes & kFileAttributeHidden) || dotted)
      err = StoreBits(resolved.host, file.get(), attributes);
  }
  if (err) {
    ReleaseOpenAndClose(openId, file.release());
    openId = 0;
    return err;
  }
  fd = file.release();
  return kErrorSuccess;
}

}  // namespace

FileHandle OpenFile(std::u16string_view path, uint32_t access, uint32_t share,
                    Disposition disposition, uint32_t attributes, DeviceError* error) {
  FileHandle handle;
  int fd = -1;
  uint64_t openId = 0;
  DeviceError err = OpenHostFile(path, access, share, disposition, attributes, fd, openId);
  if (!err) {
    handle.fd_ = fd;
    handle.openId_ = openId;
  }
  if (error) *error = err;
  return handle;
}

DeviceError ReadFile(FileHandle& file, void* buffer, size_t size, size_t& bytesRead) {
  bytesRead = 0;
  if (!file.IsOpen()) return kErrorInvalidHandle;
  char* p = static_cast<char*>(buffer);
  while (bytesRead < size) {
    ssize_t n = ::read(file.fd(), p + bytesRead, size - bytesRead);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EBADF ? kErrorAccessDenied : DeviceErrorFromErrno(errno);
    }
    if (n == 0) break;  // end of file: success with what was there
    bytesRead += static_cast<size_t>(n);
  }
  return kErrorSuccess;
}

DeviceError WriteFile(FileHandle& file, const void* data, size_t size) {
  if (!file.IsOpen()) return kErrorInvalidHandle;
  if (size == 0) return kErrorSuccess;
  struct stat before {};
  const off_t start = ::lseek(file.fd(), 0, SEEK_CUR);
  if (start < 0 || ::fstat(file.fd(), &before) != 0) return DeviceErrorFromErrno(errno);
  DeviceError err = WriteAll(file.fd(), data, size);
  if (err) {
    // Everything or nothing: a partial tail past the old end is taken back, and so is its space.
    struct stat after {};
    if (::fstat(file.fd(), &after) == 0 && after.st_size > before.st_size)
      (void)::ftruncate(file.fd(), before.st_size);
    ::lseek(file.fd(), start, SEEK_SET);
  }
  return err;
}

DeviceError SeekFile(FileHandle& file, int64_t offset, SeekOrigin origin, uint64_t* position) {
  if (!file.IsOpen()) return kErrorInvalidHandle;
  const int whence = origin == SeekOrigin::kBegin ? SEEK_SET : origin == SeekOrigin::kCurrent ? SEEK_CUR : SEEK_END;
  off_t at = ::lseek(file.fd(), static_cast<off_t>(offset), whence);
  if (at < 0) return DeviceErrorFromErrno(errno);
  if (position) *position = static_cast<uint64_t>(at);
  return kErrorSuccess;
}

DeviceError GetFileSize(FileHandle& file, uint64_t& size) {
  size = 0;
  if (!file.IsOpen()) return kErrorInvalidHandle;
  struct stat st {};
  if (::fstat(file.fd(), &st) != 0) return DeviceErrorFromErrno(errno);
  size = static_cast<uint64_t>(st.st_size);
  return kErrorSuccess;
}

DeviceError SetEndOfFile(FileHandle& file) {
  if (!file.IsOpen()) return kErrorInvalidHandle;
  off_t at = ::lseek(file.fd(), 0, SEEK_CUR);
  if (at < 0) return DeviceErrorFromErrno(errno);
  if (::ftruncate(file.fd(), at) != 0)
    return errno == EBADF || errno == EINVAL ? kErrorAccessDenied : DeviceErrorFromErrno(errno);
  return kErrorSuccess;
}

DeviceError FlushFile(FileHandle& file) {
  if (!file.IsOpen()) return kErrorInvalidHandle;
  return ::fsync(file.fd()) == 0 ? kErrorSuccess : DeviceErrorFromErrno(errno);
}

// ---- Delete, move, copy ----

namespace {

// A new folder entry is only as durable as the folder that records it: without this, a power
// cut could make a just-renamed file vanish. Best effort: a host file system that cannot sync
// folders loses nothing it had before.
void SyncParentFolder(const std::string& hostPath) {
  size_t slash = hostPath.rfind('/');
  std::string folder = slash == std::string::npos || slash == 0 ? std::string("/") : hostPath.substr(0, slash);
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

DeviceError DeleteFile(std::u16string_view path) {
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(path, PathUse::kWrite, resolved)) return err;
  if (resolved.parentMissing) return kErrorPathNotFound;
  if (resolved.pinned || resolved.virtualAttributes) return kErrorAccessDenied;
  struct stat st {};
  if (::lstat(resolved.host.c_str(), &st) != 0) return ErrorFromErrno(errno, resolved.host);
  if (S_ISDIR(st.st_mode) || IsReadOnlyMode(st.st_mode)) return kErrorAccessDenied;
  ShareTableLock lock = LockShareTable();
  if (DeviceError err = CheckDeleteSharingLocked(lock, resolved.host, st.st_dev, st.st_ino)) return err;
  if (::unlink(resolved.host.c_str()) != 0) return ErrorFromErrno(errno, resolved.host);
  return kErrorSuccess;
}

namespace {

// Renames without replacing; a host file system that cannot promise that gets a look first.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

DeviceError MoveFile(std::u16string_view from, std::u16string_view to, bool replaceExisting) {
  ResolvedPath source, target;
  if (DeviceError err = ResolveDevicePath(from, PathUse::kWrite, source)) return err;
  if (source.parentMissing) return kErrorPathNotFound;
  if (source.pinned || source.virtualAttributes) return kErrorAccessDenied;
  struct stat src {};
  if (::lstat(source.host.c_str(), &src) != 0) return ErrorFromErrno(errno, source.host);
  if (DeviceError err = ResolveDevicePath(to, PathUse::kWrite, target)) return err;
  if (target.parentMissing) return kErrorPathNotFound;
  if (target.pinned || target.virtualAttributes)
    return replaceExisting ? kErrorAccessDenied : kErrorAlreadyExists;

  std::string destination = target.host;
  bool replaces = false;
  struct stat dst {};
  if (::lstat(target.host.c_str(), &dst) == 0) {
    if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
      // The same entry under another case: a rename to the name as written.
      destination = target.hostParent + "/" + target.leafAsWritten;
      if (destination == source.host) return kErrorSuccess;
    } else {
      if (!replaceExisting) return kErrorAlreadyExists;
      if (S_ISDIR(dst.st_mode) || IsReadOnlyMode(dst.st_mode)) return kErrorAccessDenied;
      replaces = true;
    }
  }

  int failure = 0;
  {
    ShareTableLock lock = LockShareTable();
    if (!S_ISDIR(src.st_mode)) {
      if (DeviceError err = CheckDeleteSharingLocked(lock, source.host, src.st_dev, src.st_ino))
        return err;
    }
    if (replaces) {
      if (DeviceError err = CheckDeleteSharingLocked(lock, destination, dst.st_dev, dst.st_ino))
        return err;
    }
    const bool plain = replaces || destination != target.host;
    failure = plain ? (::rename(source.host.c_str(), destination.c_str()) == 0 ? 0 : errno)
                    : RenameNoReplace(source.host, destination);
  }
  if (failure == 0) {
    // Replacing an entry needs no folder sync: a power cut can at worst bring back the whole
    // previous file, which a crash before the rename would have left too. Skipping it halves
    // the syncs of every rewrite, which is most of what an update of unchanged feeds costs.
    if (!replaces) SyncParentFolder(destination);
    return kErrorSuccess;
  }
  if (failure == EEXIST) return kErrorAlreadyExists;
  if (failure != EXDEV) return ErrorFromErrno(failure, source.host);

  // Between host file systems (a card elsewhere) a file is copied, then the original removed.
  if (S_ISDIR(src.st_mode)) return kErrorNotSameDevice;
  DeviceError err = CopyFile(from, to, !replaceExisting);
  if (err) return err == kErrorFileExists ? kErrorAlreadyExists : err;
  err = DeleteFile(from);
  if (err && !replaces) ::unlink(destination.c_str());  // the original stays the only copy
  return err;
}

DeviceError CopyFile(std::u16string_view from, std::u16string_view to, bool failIfExists) {
  DeviceError err = kErrorSuccess;
  FileHandle source = OpenFile(from, kAccessRead, kShareRead, Disposition::kOpenExisting,
                               kFileAttributeNormal, &err);
  if (err) return err;
  ResolvedPath target;
  if ((err = ResolveDevicePath(to, PathUse::kWrite, target))) return err;
  if (target.parentMissing) return kErrorPathNotFound;
  if (target.pinned || target.virtualAttributes) return kErrorAccessDenied;
  struct stat src {};
  if (::fstat(source.fd(), &src) != 0) return DeviceErrorFromErrno(errno);
  struct stat dst {};
  const bool exists = ::lstat(target.host.c_str(), &dst) == 0;
  if (exists) {
    if (failIfExists) return kErrorFileExists;
    if (S_ISDIR(dst.st_mode) || IsReadOnlyMode(dst.st_mode)) return kErrorAccessDenied;
  }

  // The copy is made beside the target and renamed over it, so a full disk or a failed read
  // leaves whatever the target held before.
  std::string temp = target.hostParent + "/.~nubrel-copy-XXXXXX";
  UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out.get() < 0) return ErrorFromErrno(errno, temp);
  auto discard = [&](DeviceError why) {
    ::unlink(temp.c_str());
    return why;
  };
  char buffer[64 * 1024];
  for (;;) {
    size_t got = 0;
    if ((err = ReadFile(source, buffer, sizeof buffer, got))) return discard(err);
    if (got == 0) break;
    if ((err = WriteAll(out.get(), buffer, got))) return discard(err);
  }
  // What the device keeps of a copied file: its permissions, hidden bit and times.
  uint32_t sourceAttributes = 0;
  if ((err = GetFileAttributes(from, sourceAttributes))) return discard(err);
  if ((err = StoreBits(temp, out.get(), sourceAttributes))) return discard(err);
  const struct timespec times[2] = {src.st_atim, src.st_mtim};
  if (::futimens(out.get(), times) != 0 || ::fchmod(out.get(), src.st_mode & 07777) != 0)
    return discard(DeviceErrorFromErrno(errno));

  const std::string destination = target.host;
  int failure = 0;
  {
    ShareTableLock lock = LockShareTable();
    if (exists) {
      if ((err = CheckReplaceableLocked(lock, destination, dst.st_dev, dst.st_ino))) return discard(err);
    }
    failure = failIfExists ? RenameNoReplace(temp, destination)
                           : (::rename(temp.c_str(), destination.c_str()) == 0 ? 0 : errno);
  }
  if (failure == EEXIST) return discard(kErrorFileExists);
  if (failure) return discard(ErrorFromErrno(failure, destination));
  return kErrorSuccess;
}

// ---- Folders ----

DeviceError CreateFolder(std::u16string_view path) {
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(path, PathUse::kWrite, resolved)) return err;
  if (resolved.parentMissing) return kErrorPathNotFound;
  if (resolved.leafExists) return kErrorAlreadyExists;
  if (::mkdir(resolved.host.c_str(), 0777) != 0) {
    return errno == ENOENT ? kErrorPathNotFound : ErrorFromErrno(errno, resolved.host);
  }
  return kErrorSuccess;
}

DeviceError RemoveFolder(std::u16string_view path) {
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(path, PathUse::kWrite, resolved)) return err;
  if (resolved.parentMissing) return kErrorPathNotFound;
  if (resolved.pinned || resolved.virtualAttributes) return kErrorAccessDenied;
  struct stat st {};
  if (::lstat(resolved.host.c_str(), &st) != 0) return ErrorFromErrno(errno, resolved.host);
  if (!S_ISDIR(st.st_mode)) return kErrorDirectory;
  if (IsReadOnlyMode(st.st_mode)) return kErrorAccessDenied;
  if (::rmdir(resolved.host.c_str()) != 0) {
    if (errno == ENOTEMPTY || errno == EEXIST) return kErrorDirNotEmpty;
    return ErrorFromErrno(errno, resolved.host);
  }
  return kErrorSuccess;
}

// ---- Enumeration ----

namespace {

FindData FindDataFrom(std::u16string name, const struct statx& sx, uint32_t attributes) {
  FindData data;
  data.name = std::move(name);
  data.attributes = attributes;
  data.size = S_ISDIR(sx.stx_mode) ? 0 : sx.stx_size;
  FillTimes(sx, &data.creationTime, &data.lastAccessTime, &data.lastWriteTime);
  return data;
}

// Host entries the device does not see in a folder: its private folder and any host folder
// standing where a mount point is (the mount is listed in its place).
bool HiddenFromDevice(FolderRole role, std::u16string_view folded) {
  switch (role) {
    case FolderRole::kDeviceRoot: return folded == u".device" || folded == u"storagecard";
    case FolderRole::kProgramFiles: return folded == u"nubrel";
    case FolderRole::kPlain: return false;
  }
  return false;
}

// The mount point a folder holds, listed like the device lists it.
void AddMountEntry(const std::string& hostFolder, std::u16string name, uint32_t attributes,
                   std::u16string_view pattern, std::vector<FindData>& entries) {
  if (hostFolder.empty() || !MatchesDevicePattern(name, pattern)) return;
  struct statx sx {};
  if (::statx(AT_FDCWD, hostFolder.c_str(), 0, kStatxMask, &sx) != 0 || !S_ISDIR(sx.stx_mode)) return;
  entries.push_back(FindDataFrom(std::move(name), sx, attributes));
}

}  // namespace

DeviceError FindFiles(std::u16string_view pattern, std::vector<FindData>& entries) {
  entries.clear();
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(pattern, PathUse::kPattern, resolved)) return err;
  if (resolved.parentMissing || !resolved.leafExists) return kErrorPathNotFound;
  if (resolved.pattern.empty()) return kErrorFileNotFound;
  UniqueDir dir(::opendir(resolved.host.c_str()));
  if (!dir) return errno == ENOENT || errno == ENOTDIR ? kErrorPathNotFound : DeviceErrorFromErrno(errno);
  const int dirFd = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string hostName = entry->d_name;
    std::u16string name = FromUtf8(hostName);
    // Names the device could not spell back (not UTF-8, forbidden characters) are not listed.
    if (!IsValidDeviceName(name) || ToUtf8(name) != hostName) continue;
    if (HiddenFromDevice(resolved.role, FoldCase(name))) continue;
    if (!MatchesDevicePattern(name, resolved.pattern)) continue;
    struct statx sx {};
    if (::statx(dirFd, entry->d_name, AT_SYMLINK_NOFOLLOW, kStatxMask, &sx) != 0) continue;
    if (S_ISLNK(sx.stx_mode)) continue;
    const uint32_t attributes =
        DeviceAttributes(sx.stx_mode, hostName, StoredBits(resolved.host + "/" + hostName));
    entries.push_back(FindDataFrom(std::move(name), sx, attributes));
  }
  if (resolved.role == FolderRole::kDeviceRoot) {
    AddMountEntry(Device().storageCard, u"StorageCard",
                  kFileAttributeDirectory | kFileAttributeTemporary, resolved.pattern, entries);
  } else if (resolved.role == FolderRole::kProgramFiles) {
    AddMountEntry(Device().programFolder, u"Nubrel", kFileAttributeDirectory, resolved.pattern,
                  entries);
  }
  return entries.empty() ? kErrorFileNotFound : kErrorSuccess;
}

// ---- File times ----

DeviceError GetFileTimes(std::u16string_view path, FileTime* creation, FileTime* lastAccess,
                         FileTime* lastWrite) {
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(path, PathUse::kRead, resolved)) return err;
  if (resolved.parentMissing) return kErrorPathNotFound;
  struct statx sx {};
  if (DeviceError err = StatHost(resolved.host, sx)) return err;
  FillTimes(sx, creation, lastAccess, lastWrite);
  return kErrorSuccess;
}

DeviceError SetFileTimes(std::u16string_view path, const FileTime* /*creation: no host setter*/,
                         const FileTime* lastAccess, const FileTime* lastWrite) {
  ResolvedPath resolved;
  if (DeviceError err = ResolveDevicePath(path, PathUse::kWrite, resolved)) return err;
  if (resolved.virtualAttributes) return kErrorAccessDenied;
  if (resolved.parentMissing) return kErrorPathNotFound;
  struct timespec times[2];
  ToTimespecs(lastAccess, lastWrite, times);
  if (::utimensat(AT_FDCWD, resolved.host.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    return ErrorFromErrno(errno, resolved.host);
  return kErrorSuccess;
}

DeviceError GetFileTimes(FileHandle& file, FileTime* creation, FileTime* lastAccess,
                         FileTime* lastWrite) {
  if (!file.IsOpen()) return kErrorInvalidHandle;
  struct statx sx {};
  if (::statx(file.fd(), "", AT_EMPTY_PATH, kStatxMask, &sx) != 0) return DeviceErrorFromErrno(errno);
  FillTimes(sx, creation, lastAccess, lastWrite);
  return kErrorSuccess;
}

DeviceError SetFileTimes(FileHandle& file, const FileTime* /*creation: no host setter*/,
                         const FileTime* lastAccess, const FileTime* lastWrite) {
  if (!file.IsOpen()) return kErrorInvalidHandle;
  struct timespec times[2];
  ToTimespecs(lastAccess, lastWrite, times);
  if (::futimens(file.fd(), times) != 0) return DeviceErrorFromErrno(errno);
  return kErrorSuccess;
}

}  // namespace platform
