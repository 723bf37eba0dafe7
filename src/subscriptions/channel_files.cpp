// Where a channel's files live (the file base and the paths built on it) and deleting a node
// together with the folders its channels own. Writing those files is the state file's, the item
// file's and offline/'s; the storage folders are settings (core/settings.h).
#include <vector>

#include "core/settings.h"
#include "core/string_table.h"
#include "shared/crc32.h"
#include "shared/folders.h"
#include "shared/text.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/channel_tree_internal.h"

namespace nubrel {

namespace {

constexpr int kStringForbiddenFileChars = 311;  // "\"*/\\<>?|.:"
constexpr int kStringStateFileExtension = 244;  // ".properties"

std::u16string WithBackslash(std::u16string folder) {
  if (folder.empty() || folder.back() != u'\\') folder.push_back(u'\\');
  return folder;
}

// The node's filespec after EnsureFileBase; absent when it still has none.
OptionalText FileBaseOf(ChannelNode* node) {
  EnsureFileBase(node);
  NodeLockGuard held(node);
  if (!held || !node->filespec || node->filespec->empty()) return std::nullopt;
  return node->filespec;
}

}  // namespace

// ---- File base and paths ----

std::u16string FileNameForm(std::u16string_view filespec) {
  const std::u16string forbidden = LoadStringText(kStringForbiddenFileChars);
  std::u16string name(filespec);
  for (char16_t& c : name) {
    if (forbidden.find(c) != std::u16string::npos) c = u'_';
  }
  return name;
}

void EnsureFileBase(ChannelNode* node) {
  NodeLockGuard held(node);
  if (!held || node->filespec || !node->title) return;
  std::u16string base = *node->title;
  if (node->xmlUrl && !node->xmlUrl->empty()) {
    base += u'-';
    base += FormatHex(Crc32OfText(*node->xmlUrl, kCrc32StandardStart), 8, true);
  }
  base = Trim(FileNameForm(base));
  if (!base.empty()) node->filespec = std::move(base);
}

std::u16string ChannelFolderPath(ChannelNode* node) {
  const OptionalText base = FileBaseOf(node);
  if (!base) return {};
  return WithBackslash(StoragePath()) + *base + u'\\';
}

std::u16string ItemFilePath(ChannelNode* node) {
  const OptionalText base = FileBaseOf(node);
  if (!base) return {};
  return WithBackslash(StoragePath()) + *base + u'\\' + FileNameForm(*base) + u".xml";
}

std::u16string StateFilePath(ChannelNode* node) {
  std::u16string path = ItemFilePath(node);
  if (path.empty()) return path;
  path.resize(path.size() - 4);  // ".xml"
  return path + LoadStringText(kStringStateFileExtension);
}

std::u16string ImageFolderPath(ChannelNode* node) {
  const std::u16string folder = ChannelFolderPath(node);
  return folder.empty() ? folder : folder + u"image\\";
}

std::u16string HtmlFolderPath(ChannelNode* node) {
  const std::u16string folder = ChannelFolderPath(node);
  return folder.empty() ? folder : folder + u"html\\";
}

std::u16string EnclosureFolderPath(ChannelNode* node) {
  const OptionalText base = FileBaseOf(node);
  if (!base) return {};
  return WithBackslash(EnclosureStoragePath()) + *base + u'\\';
}

std::u16string PlaylistPath(ChannelNode* node, std::u16string_view extension) {
  const OptionalText base = FileBaseOf(node);
  if (!base) return {};
  return WithBackslash(EnclosureStoragePath()) + *base + u'\\' + FileNameForm(*base) +
         std::u16string(extension);
}

// ---- Deleting nodes and their files ----

namespace {

// A filespec read from a list is used unchanged, so before a folder is removed for it make sure
// it names a folder strictly inside the storage folder: no empty, "." or ".." component (an
// empty filespec would name the storage folder itself, with every channel's files in it).
bool IsRemovableFileBase(std::u16string_view filespec) {
  if (TrimView(filespec).empty()) return false;
  size_t start = 0;
  while (start <= filespec.size()) {
    size_t end = filespec.find(u'\\', start);
    if (end == std::u16string_view::npos) end = filespec.size();
    const std::u16string_view part = TrimView(filespec.substr(start, end - start));
    if (part.empty() || part == u"." || part == u"..") return false;
    start = end + 1;
  }
  return true;
}

struct FileBaseSearch {
  std::u16string_view filespec;
  bool found = false;
};

int FindFileBase(ChannelNode* node, void* context, uint32_t) {
  auto* search = static_cast<FileBaseSearch*>(context);
  NodeLockGuard held(node);
  if (held && node->filespec && EqualsNoCase(*node->filespec, search->filespec)) {
    search->found = true;
    return 0;
  }
  return 1;
}

// The channel folder and the podcast folder of a channel that is being deleted (already out of
// the tree), unless a node still in the tree shares its filespec: two subscriptions to one feed
// share one folder.
void RemoveChannelFiles(ChannelNode* node, ChannelNode* treeRoot) {
  if (!node->xmlUrl || node->xmlUrl->empty()) return;  // folders own nothing on disk
  if (!node->filespec || !IsRemovableFileBase(*node->filespec)) return;
  FileBaseSearch search{*node->filespec};
  if (treeRoot) WalkTree(treeRoot, FindFileBase, kWalkChildren, &search);
  if (search.found) return;
  RemoveFolderTree(WithBackslash(StoragePath()) + *node->filespec);
  RemoveFolderTree(WithBackslash(EnclosureStoragePath()) + *node->filespec);
}

void TellWindow(platform::WindowHandle window, ChannelNode* node) {
  if (window == platform::kNoWindow) return;
  intptr_t answer = 0;
  platform::SendWindowMessage(window, kMessageNodeDeleting, 0, reinterpret_cast<intptr_t>(node),
                              answer);
}

}  // namespace

// Each node is locked before it is taken out, and stays locked while its children go (parent
// first). Written with an explicit stack: an imported list may nest very deeply.
bool DeleteNode(ChannelNode* node, platform::WindowHandle window) {
  if (!node) return false;
  TellWindow(window, node);
  if (!LockNode(node)) return false;
  ChannelNode* treeRoot = node->parent;
  while (treeRoot && treeRoot->parent) treeRoot = treeRoot->parent;
  if (!UnlinkNode(node)) {
    UnlockNode(node);
    return false;
  }
  std::vector<ChannelNode*> pending{node};  // each of them locked and out of the tree
  while (!pending.empty()) {
    ChannelNode* top = pending.back();
    if (ChannelNode* child = top->firstChild) {
      TellWindow(window, child);
      const bool locked = LockNode(child) != nullptr;
      UnlinkNode(child);
      // A child whose lock a worker keeps beyond the time-out is left out of the tree, alive:
      // releasing it under the worker would be far worse than the memory it keeps.
      if (locked) pending.push_back(child);
      continue;
    }
    pending.pop_back();
    RemoveChannelFiles(top, treeRoot);
    // The id pair goes too: FindNodeById must never answer with a released node.
    UnregisterChannelId(top);
    UnlockNode(top);
    delete top;
  }
  return true;
}

}  // namespace nubrel
