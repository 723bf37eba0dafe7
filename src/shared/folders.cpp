// Folder creation along a device path; see folders.h.
#include "shared/folders.h"

#include <string>
#include <vector>

#include "platform/files.h"
#include "shared/text.h"

namespace nubrel {

namespace {

constexpr std::u16string_view kStorageCardMount = u"\\StorageCard";

bool Exists(std::u16string_view path) {
  uint32_t attributes = 0;
  return platform::GetFileAttributes(path, attributes) == platform::kErrorSuccess;
}

// One creation attempt. A folder that appeared since we looked is what we wanted anyway.
platform::DeviceError CreateOne(std::u16string_view path) {
  platform::DeviceError err = platform::CreateFolder(path);
  if (err == platform::kErrorAlreadyExists) {
    uint32_t attributes = 0;
    if (platform::GetFileAttributes(path, attributes) == platform::kErrorSuccess &&
        (attributes & platform::kFileAttributeDirectory)) {
      err = platform::kErrorSuccess;
    }
  }
  return err;
}

}  // namespace

bool EnsureFolders(std::u16string_view path, platform::DeviceError* error) {
  platform::DeviceError last = platform::kErrorSuccess;
  // The usual case, every folder already there, costs one look rather than one per level (each
  // look walks the path from the root).
  std::u16string_view whole = path;
  while (!whole.empty() && whole.back() == u'\\') whole.remove_suffix(1);
  uint32_t attributes = 0;
  if (!whole.empty() && platform::GetFileAttributes(whole, attributes) == platform::kErrorSuccess &&
      (attributes & platform::kFileAttributeDirectory)) {
    if (error) *error = last;
    return true;
  }
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != u'\\' || i == 0) continue;
    const std::u16string_view prefix = path.substr(0, i);
    if (EqualsNoCase(prefix, kStorageCardMount) || Exists(prefix)) continue;
    last = CreateOne(prefix);
  }
  if (!path.empty() && path.back() != u'\\' && !Exists(path)) last = CreateOne(path);
  if (error) *error = last;
  return last == platform::kErrorSuccess;
}

bool EnsureFoldersForFile(std::u16string_view filePath, platform::DeviceError* error) {
  const size_t lastSeparator = filePath.rfind(u'\\');
  if (lastSeparator == std::u16string_view::npos) {
    if (error) *error = platform::kErrorSuccess;
    return true;
  }
  return EnsureFolders(filePath.substr(0, lastSeparator + 1), error);
}

platform::DeviceError RemoveFolderTree(std::u16string_view path) {
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  if (path.empty()) return platform::kErrorInvalidParameter;
  uint32_t attributes = 0;
  platform::DeviceError err = platform::GetFileAttributes(path, attributes);
  if (err != platform::kErrorSuccess) return err;
  if (!(attributes & platform::kFileAttributeDirectory)) return platform::kErrorDirectory;

  const std::u16string folder(path);
  platform::DeviceError first = platform::kErrorSuccess;
  std::vector<platform::FindData> entries;
  err = platform::FindFiles(folder + u"\\*", entries);
  if (err != platform::kErrorSuccess && err != platform::kErrorFileNotFound) first = err;
  for (const platform::FindData& entry : entries) {
    const std::u16string child = folder + u"\\" + entry.name;
    if (entry.attributes & platform::kFileAttributeDirectory) {
      err = RemoveFolderTree(child);
    } else {
      if (entry.attributes & platform::kFileAttributeReadOnly) {
        platform::SetFileAttributes(child, entry.attributes & ~platform::kFileAttributeReadOnly);
      }
      err = platform::DeleteFile(child);
    }
    if (first == platform::kErrorSuccess) first = err;
  }
  err = platform::RemoveFolder(folder);
  return first != platform::kErrorSuccess ? first : err;
}

}  // namespace nubrel
