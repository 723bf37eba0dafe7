// Device path resolution for the files service: splitting and checking a device path, finding its
// mount, and walking the host folders without regard to case. Only files*.cpp use this header;
// the public view of paths is HostPathFor in files.h. Opening, share modes and attributes live in
// files.cpp and files_share.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/case_fold.h"
#include "platform/device_errors.h"

namespace platform {

// ---- Names without regard to case ----

// True when name matches a device pattern: '*' any run of units, '?' exactly one, compared
// without regard to case; "*.*" matches every name, as it does on the device.
bool MatchesDevicePattern(std::u16string_view name, std::u16string_view pattern);

// True when the device can name this entry: not "." or "..", and none of the characters a device
// name never holds (so an odd host entry is not listed for a path that would be refused).
bool IsValidDeviceName(std::u16string_view name);

// ---- Resolution ----

enum class PathUse {
  kRead,     // look only
  kWrite,    // create, change, delete or move: refused (5) on a read-only mount
  kPattern,  // FindFiles: the last component is a pattern and is not resolved
};

// Which folder the device lists when a pattern's folder is resolved (its own entries are added
// or hidden there).
enum class FolderRole {
  kPlain,
  kDeviceRoot,    // "\": holds the card's mount point; hides ".device" and host "StorageCard"
  kProgramFiles,  // "\Program Files": holds the program folder's mount point "Nubrel"
};

struct ResolvedPath {
  std::string host;           // host path of the whole device path (the folder for kPattern)
  std::string hostParent;     // host folder holding the last component (empty for a mount point)
  std::string leafAsWritten;  // last component as the caller wrote it, in UTF-8
  bool readOnly = false;      // on the read-only program folder mount
  bool pinned = false;        // "\", a mount point or a folder holding one: never removed or moved
  bool parentMissing = false; // a folder on the way does not exist or is not a folder
  bool leafExists = false;    // the last component exists on the host (meaningless if parentMissing)
  uint32_t virtualAttributes = 0;  // nonzero: a name the device itself provides (no host entry)
  FolderRole role = FolderRole::kPlain;  // for kPattern: the listed folder's role
  std::u16string pattern;     // kPattern: the last component as written
};

// Resolves a device path. Returns 0 and fills out, or refuses: 123 for a bad or escaping name (a
// symbolic link on the way counts as escaping), 5 for a write on the read-only mount or any use of
// the device's private folder, 3 below an absent storage card and 2 for its mount point (5 there
// when writing), 120 at or below a configured card whose host folder is missing, 3 for an empty
// path. A missing folder on the way is not an error here: parentMissing tells the caller.
DeviceError ResolveDevicePath(std::u16string_view path, PathUse use, ResolvedPath& out);

}  // namespace platform
