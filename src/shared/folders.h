// Making the folders a device path needs, from the left, the way the program has always done it:
// the storage card's mount point is never made, so a missing card is never replaced by an
// ordinary folder of the same name. Single folders are the file service's (platform/files.h).
#pragma once

#include <string_view>

#include "platform/device_errors.h"

namespace nubrel {

// Walks the path: at every "\" the prefix before it, when not empty and not there, is created,
// except "\StorageCard" (compared without regard to case). Then the whole path is created too
// unless it ends with "\". Returns the outcome of the last creation attempted, true when nothing
// had to be created; *error (optional) receives 0 or the error of that last creation (3 for a
// parent that could not be made, 5 on a read-only mount, 123 for a bad name...). A folder that
// another process creates in the meantime counts as created.
bool EnsureFolders(std::u16string_view path, platform::DeviceError* error = nullptr);

// The program's older name for the same rule, used by the storage folder checks.
inline bool CreateFolderPath(std::u16string_view path, platform::DeviceError* error = nullptr) {
  return EnsureFolders(path, error);
}

// The folders of a FILE path: everything before its last "\" (the file name is left out).
// "\a\b\x.xml" makes "\a" and "\a\b"; a name without any "\" needs nothing (true).
bool EnsureFoldersForFile(std::u16string_view filePath, platform::DeviceError* error = nullptr);

// Removes a folder with everything in it (read-only files included), through the file service.
// A trailing "\" is allowed. Returns 0, 2/3 when the folder is not there, 267 for a file, 87 for
// an empty path or the root, or the first error met; it goes on past an error, so as much as
// possible is removed, and the folder itself stays when something in it could not be.
platform::DeviceError RemoveFolderTree(std::u16string_view path);

}  // namespace nubrel
