// Device path resolution: checks, mounts and the walk without regard to case; see device_paths.h.
//
// Symbolic links: the device has none, and a link inside a mount could point anywhere on the
// host. So the walk never follows one: a path whose component is a link (on the way or at its
// end) is refused with 123, FindFiles does not list links, files open with O_NOFOLLOW, and this
// service never creates a link. The walk and the operation after it are separate system calls; a
// link put in place between the two by another host program is not guarded against.
#include "platform/device_paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/device.h"
#include "platform/files.h"
#include "platform/utf.h"

namespace platform {

namespace {

constexpr std::u16string_view kProgramFilesName = u"program files";  // folded
constexpr std::u16string_view kProgramFolderName = u"nubrel";        // folded
constexpr std::u16string_view kStorageCardName = u"storagecard";     // folded
constexpr std::u16string_view kPrivateFolderName = u".device";       // folded
constexpr const char* kProgramFilesHostName = "Program Files";

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

std::vector<std::u16string> SplitComponents(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// 123 for a component the device would never accept as a name, or that could leave its folder.
DeviceError CheckComponent(std::u16string_view name, bool allowWildcards) {
  if (name == u"." || name == u"..") return kErrorInvalidName;
  for (char16_t c : name) {
    if (c < 0x20) return kErrorInvalidName;
    switch (c) {
      case u'/': case u'<': case u'>': case u':': case u'"': case u'|':
        return kErrorInvalidName;
      case u'*': case u'?':
        if (!allowWildcards) return kErrorInvalidName;
        break;
      default: break;
    }
  }
  return kErrorSuccess;
}

bool IsHostFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of host folder dir whose name folds to foldedName; the smallest such name when the
// host holds several (a case-sensitive host can), so the choice is the same on every call.
std::string FindEntryIgnoringCase(const std::string& dir, std::u16string_view foldedName) {
  UniqueDir handle(::opendir(dir.c_str()));
  if (!handle) return {};
  std::string best;
  while (const dirent* entry = ::readdir(handle.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (FoldCase(FromUtf8(name)) != foldedName) continue;
    if (best.empty() || best > name) best = name;
  }
  return best;
}

// Finds component name (as written: written8) in host folder dir. Returns 0 with the host's
// spelling in found and its lstat in st, or the errno that says why not (ENOENT: no entry).
int LookUpComponent(const std::string& dir, std::u16string_view name, const std::string& written8,
                    std::string& found, struct stat& st) {
  if (::lstat((dir + "/" + written8).c_str(), &st) == 0) {
    found = written8;
    return 0;
  }
  if (errno != ENOENT) return errno;
  std::string other = FindEntryIgnoringCase(dir, FoldCase(name));
  if (other.empty()) return ENOENT;
  if (::lstat((dir + "/" + other).c_str(), &st) != 0) return errno;
  found = other;
  return 0;
}

// "\Program Files" always exists on the device, because the program folder is mounted below it.
void EnsureProgramFilesFolder(const std::string& root) {
  std::string found;
  struct stat st {};
  if (LookUpComponent(root, kProgramFilesName, kProgramFilesHostName, found, st) == ENOENT)
    ::mkdir((root + "/" + kProgramFilesHostName).c_str(), 0777);
}

}  // namespace

// ---- Names without regard to case ----

bool MatchesDevicePattern(std::u16string_view name, std::u16string_view pattern) {
  if (pattern == u"*.*") return true;
  const std::u16string n = FoldCase(name);
  const std::u16string p = FoldCase(pattern);
  size_t ni = 0, pi = 0, star = std::u16string::npos, resume = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == u'?' || p[pi] == n[ni])) {
      ++ni, ++pi;
    } else if (pi < p.size() && p[pi] == u'*') {
      star = pi++;
      resume = ni;
    } else if (star != std::u16string::npos) {
      pi = star + 1;
      ni = ++resume;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == u'*') ++pi;
  return pi == p.size();
}

bool IsValidDeviceName(std::u16string_view name) {
  return !name.empty() && CheckComponent(name, false) == kErrorSuccess;
}

// ---- Resolution ----

DeviceError ResolveDevicePath(std::u16string_view path, PathUse use, ResolvedPath& out) {
  out = ResolvedPath{};
  if (path.empty()) return kErrorPathNotFound;
  const bool isPattern = use == PathUse::kPattern;
  std::vector<std::u16string> parts = SplitComponents(path);
  const bool endsInPattern = isPattern && path.back() != u'\\';
  for (size_t i = 0; i < parts.size(); ++i) {
    if (DeviceError err = CheckComponent(parts[i], endsInPattern && i + 1 == parts.size())) return err;
  }
  // "\folder\" as a pattern names the folder with an empty pattern, which matches nothing.
  if (endsInPattern && !parts.empty()) {
    out.pattern = parts.back();
    parts.pop_back();
  }
  std::vector<std::u16string> folded;
  for (const auto& part : parts) folded.push_back(FoldCase(part));

  // The mount decides the host folder the walk starts from.
  const DeviceConfig& device = Device();
  std::string base;
  size_t first = 0;
  if (folded.size() >= 2 && folded[0] == kProgramFilesName && folded[1] == kProgramFolderName) {
    if (use == PathUse::kWrite) return kErrorAccessDenied;
    if (device.programFolder.empty()) return kErrorPathNotFound;
    base = device.programFolder;
    first = 2;
    out.readOnly = true;
  } else if (!folded.empty() && folded[0] == kStorageCardName) {
    if (device.storageCard.empty()) {
      if (folded.size() == 1 && !isPattern) {
        return use == PathUse::kWrite ? kErrorAccessDenied : kErrorFileNotFound;
      }
      return kErrorPathNotFound;
    }
    if (!IsHostFolder(device.storageCard)) return kErrorStorageNotReady;
    base = device.storageCard;
    first = 1;
    if (folded.size() == 1 && !isPattern)
      out.virtualAttributes = kFileAttributeDirectory | kFileAttributeTemporary;
  } else {
    if (device.root.empty()) return kErrorPathNotFound;
    base = device.root;
    if (!folded.empty() && folded[0] == kPrivateFolderName) return kErrorAccessDenied;
    if (!folded.empty() && folded[0] == kProgramFilesName) EnsureProgramFilesFolder(base);
    if (folded.empty() && !isPattern) out.virtualAttributes = kFileAttributeDirectory;
  }
  out.pinned = first == parts.size() ||
               (first == 0 && parts.size() == 1 && folded[0] == kProgramFilesName);
  if (isPattern && first == 0 && parts.empty()) out.role = FolderRole::kDeviceRoot;
  if (isPattern && first == 0 && parts.size() == 1 && folded[0] == kProgramFilesName)
    out.role = FolderRole::kProgramFiles;

  // The walk: each component as the host spells it, or as written once nothing matches.
  std::string current = base;
  bool missing = false;
  if (first == parts.size()) {
    out.leafExists = IsHostFolder(base);
    if (!parts.empty()) out.leafAsWritten = ToUtf8(parts.back());
  }
  for (size_t i = first; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    const std::string written = ToUtf8(parts[i]);
    if (last) {
      out.hostParent = current;
      out.leafAsWritten = written;
    }
    if (missing) {
      current += "/" + written;
      continue;
    }
    std::string found;
    struct stat st {};
    if (LookUpComponent(current, parts[i], written, found, st) == 0) {
      if (S_ISLNK(st.st_mode)) return kErrorInvalidName;
      current += "/" + found;
      if (!last && !S_ISDIR(st.st_mode)) missing = true;
      if (last) out.leafExists = true;
    } else {
      current += "/" + written;
      if (!last) missing = true;
    }
  }
  out.host = current;
  out.parentMissing = missing;
  return kErrorSuccess;
}

}  // namespace platform
