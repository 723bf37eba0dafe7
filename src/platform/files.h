// The device's file system: device paths ("\My Documents\Channels\x.xml") over a host folder.
//
// Mounts, matched without regard to case as the device matches every path:
//   "\"                       -> Device().root
//   "\Program Files\Nubrel"   -> Device().programFolder, read-only (writes answer 5)
//   "\StorageCard"            -> Device().storageCard when configured; a configured card whose
//                                host folder is missing answers 120 (not ready); without a card
//                                nothing below "\StorageCard" exists and nothing can be made there
// A device path is refused with 123 (invalid name) rather than followed when a component is "." or
// "..", or a name holds "/", a control character or one of < > : " | ? * (patterns of FindFiles
// may hold * and ?). Host folders are case-sensitive, the device is not: a component that does not
// exist as written is matched against the folder's entries without regard to case.
//
// Share modes follow the device: an open is refused with 32 when its access conflicts with the
// sharing of an open that is already there (in this process exactly; between processes a file
// opened without sharing excludes every other open). Deleting or moving a file that is open
// without delete sharing answers 32.
//
// Rules of this host that the device never had to state:
// - Symbolic links are never followed below a mount: a path through one, or naming one, answers
//   123, FindFiles does not list them, and this service never makes one.
// - The root's private folder ".device" (registry, run folder) is not part of the device: paths
//   into it answer 5 and it is never listed. Nor is a host folder of the root named like the
//   card's mount point; "\StorageCard" is listed (directory | temporary) only while a configured
//   card is there, and "\Program Files" always lists "Nubrel".
// - Read-only is the owner's write permission, enforced here even for a root user; hidden is kept
//   in the extended attribute "user.nubrel.attributes", or, where the host cannot store it, is a
//   name beginning with ".".
// - A move between host file systems copies a file and removes the original; a folder answers 17.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_errors.h"
#include "platform/file_time.h"

namespace platform {

// ---- Attributes, access, sharing ----

inline constexpr uint32_t kFileAttributeReadOnly = 0x1;
inline constexpr uint32_t kFileAttributeHidden = 0x2;
inline constexpr uint32_t kFileAttributeSystem = 0x4;
inline constexpr uint32_t kFileAttributeDirectory = 0x10;
inline constexpr uint32_t kFileAttributeArchive = 0x20;
inline constexpr uint32_t kFileAttributeNormal = 0x80;
inline constexpr uint32_t kFileAttributeTemporary = 0x100;
inline constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFF;

inline constexpr uint32_t kAccessRead = 0x1;
inline constexpr uint32_t kAccessWrite = 0x2;

inline constexpr uint32_t kShareNone = 0x0;
inline constexpr uint32_t kShareRead = 0x1;
inline constexpr uint32_t kShareWrite = 0x2;
inline constexpr uint32_t kShareDelete = 0x4;

enum class Disposition {
  kCreateNew,         // fails with 80 when the file exists
  kCreateAlways,      // creates or truncates
  kOpenExisting,      // fails with 2 when the file does not exist
  kOpenAlways,        // opens or creates
  kTruncateExisting,  // fails with 2 when the file does not exist; needs write access
};

enum class SeekOrigin { kBegin, kCurrent, kEnd };

// An open file. Move-only; closing (or destroying) it ends its share-mode claims.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }  // the host descriptor, for the services below this one
  void Close();

 private:
  friend FileHandle OpenFile(std::u16string_view, uint32_t, uint32_t, Disposition, uint32_t,
                             DeviceError*);
  int fd_ = -1;
  uint64_t openId_ = 0;  // this open's entry in the share-mode table
};

// ---- Paths ----

// The host path a device path maps onto, or the error that refuses it (123 escaping or bad name,
// 3 below a missing storage card, 120 card configured but not there). forWrite refuses paths on a
// read-only mount with 5.
DeviceError HostPathFor(std::u16string_view devicePath, std::string& hostPath, bool forWrite = false);

// The device's special folders, by their numbers: 2 programs ("\Windows\Start Menu\Programs"),
// 5 personal ("\My Documents"), 6 favorites ("\Windows\Favorites"), 7 startup
// ("\Windows\StartUp"), 11 start menu ("\Windows\Start Menu"), 36 windows ("\Windows"),
// 38 program files ("\Program Files"). Empty for any other number. Never ends in "\".
std::u16string SpecialFolderPath(int folder);

// ---- Files ----

// Attributes of a file or folder; 2 when the file is missing, 3 when a folder on the way is.
DeviceError GetFileAttributes(std::u16string_view path, uint32_t& attributes);
// Sets the read-only and hidden bits (others are kept as the host has them).
DeviceError SetFileAttributes(std::u16string_view path, uint32_t attributes);

// Opens or creates a file. access: kAccessRead | kAccessWrite; share: kShare... bits.
// attributes apply when the file is created (kFileAttributeReadOnly, kFileAttributeHidden).
// error (optional) receives 0 or the failure: 2, 3, 5, 32, 80, 112, 120, 123...
FileHandle OpenFile(std::u16string_view path, uint32_t access, uint32_t share,
                    Disposition disposition, uint32_t attributes = kFileAttributeNormal,
                    DeviceError* error = nullptr);

DeviceError ReadFile(FileHandle& file, void* buffer, size_t size, size_t& bytesRead);
// Writes everything or fails (112 when the disk is full).
DeviceError WriteFile(FileHandle& file, const void* data, size_t size);
DeviceError SeekFile(FileHandle& file, int64_t offset, SeekOrigin origin, uint64_t* position = nullptr);
DeviceError GetFileSize(FileHandle& file, uint64_t& size);
DeviceError SetEndOfFile(FileHandle& file);
// Forces written data to the storage (fsync).
DeviceError FlushFile(FileHandle& file);

DeviceError DeleteFile(std::u16string_view path);
// Moves or renames a file or folder; 183 when the target exists unless replaceExisting.
DeviceError MoveFile(std::u16string_view from, std::u16string_view to, bool replaceExisting = false);
DeviceError CopyFile(std::u16string_view from, std::u16string_view to, bool failIfExists);

// ---- Folders ----

// Creates one folder: 183 when it exists, 3 when its parent does not.
DeviceError CreateFolder(std::u16string_view path);
// Removes an empty folder: 145 when it is not empty.
DeviceError RemoveFolder(std::u16string_view path);

// ---- Enumeration ----

struct FindData {
  std::u16string name;  // the entry's name, without its folder
  uint32_t attributes = 0;
  uint64_t size = 0;
  FileTime creationTime = 0;
  FileTime lastAccessTime = 0;
  FileTime lastWriteTime = 0;
};

// Lists the entries of a folder that match a pattern: "\folder\*.theme", "\folder\*",
// "\folder\a?c.txt" (* and ? in the last component only, without regard to case; "*.*" matches
// every name). "." and ".." are never listed. Entries are in the host's enumeration order.
// Returns 0 with at least one entry, 2 when nothing matches, 3 when the folder does not exist.
DeviceError FindFiles(std::u16string_view pattern, std::vector<FindData>& entries);

// ---- File times ----

// Creation time is the host's birth time where the file system records it, else the last write
// time. Setting it is accepted and has no effect on a host that cannot store it.
DeviceError GetFileTimes(std::u16string_view path, FileTime* creation, FileTime* lastAccess,
                         FileTime* lastWrite);
DeviceError SetFileTimes(std::u16string_view path, const FileTime* creation,
                         const FileTime* lastAccess, const FileTime* lastWrite);
DeviceError GetFileTimes(FileHandle& file, FileTime* creation, FileTime* lastAccess,
                         FileTime* lastWrite);
DeviceError SetFileTimes(FileHandle& file, const FileTime* creation, const FileTime* lastAccess,
                         const FileTime* lastWrite);

}  // namespace platform
