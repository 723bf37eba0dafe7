// Writing and reading the channel state files; see channel_state_file.h. The document is small,
// so it is composed whole and handed to the BufferedFileWriter in one piece.
#include "subscriptions/channel_state_file.h"

#include <new>
#include <string>

#include "shared/buffered_file_writer.h"
#include "shared/text.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/subscription_list.h"

namespace nubrel {
namespace {

void AppendEscaped(std::string& out, std::u16string_view text) { out += ToUtf8(XmlEscape(text)); }

void AppendNumber(std::string& out, const char* attribute, int32_t value) {
  out += "\" ";
  out += attribute;
  out += "=\"";
  out += std::to_string(value);
}

void AppendText(std::string& out, const char* attribute, const OptionalText& text) {
  if (!text) return;
  out += "\" ";
  out += attribute;
  out += "=\"";
  // Retention texts are a number and a unit letter once validated, which escaping leaves alone;
  // escaping every text keeps the file readable even when one came in unvalidated.
  AppendEscaped(out, *text);
}

// The whole file for this title and state.
std::string StateDocument(const OptionalText& title, const ChannelState& s) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<opml version=\"1.0\">\n"
      "<body>\n"
      "<outline text=\"";
  if (title) AppendEscaped(out, *title);
  if (s.unreadItems != -1) AppendNumber(out, "unreadItems", s.unreadItems);
  if (s.newItems != -1) AppendNumber(out, "newItems", s.newItems);
  if (s.cachedEnclosures != -1) AppendNumber(out, "cachedEnclosures", s.cachedEnclosures);
  if (s.cachedWeb != -1) AppendNumber(out, "cachedWeb", s.cachedWeb);
  if (s.enclosures != -1) AppendNumber(out, "enclosures", s.enclosures);
  AppendText(out, "lastStatus", s.lastStatus);
  AppendText(out, "lastUpdated", s.lastUpdated);
  AppendText(out, "lastSuccess", s.lastSuccess);
  AppendText(out, "lastModified", s.lastModified);
  AppendText(out, "lastETag", s.lastETag);
  if (s.displayToday == 0) out += "\" displayToday=\"0";
  if (s.updateInterval != -1) AppendNumber(out, "updateInterval", s.updateInterval);
  AppendText(out, "expireUnread", s.expireUnread);
  AppendText(out, "expireRead", s.expireRead);
  AppendText(out, "expireEnclosures", s.expireEnclosures);
  AppendText(out, "expireHTML", s.expireHTML);
  if (s.cacheEnclosures) out += "\" cacheEnclosures=\"1";
  // Older readers only know "filterImages" (and only as set); the reader takes "imageFilter",
  // so a cleared flag is written under that name to survive the next load.
  out += s.filterImages ? "\" filterImages=\"1" : "\" imageFilter=\"0";
  if (s.enclosureSizeLimitMB > 0) AppendNumber(out, "enclosureSizeLimitMB", s.enclosureSizeLimitMB);
  if (s.cacheHtml) out += "\" cacheHtml=\"1";
  if (s.cacheDepth > 0) AppendNumber(out, "cacheDepth", s.cacheDepth);
  out +=
      "\"/>\n"
      "</body>\n"
      "</opml>\n";
  return out;
}

int LoadStateVisit(ChannelNode* node, void*, uint32_t) {
  LoadChannelState(node);
  return 1;
}

}  // namespace

platform::DeviceError SaveChannelState(ChannelNode* node) {
  if (!node) return 0;
  NodeLockGuard held(node);
  if (!held) return platform::kErrorWaitTimeout;
  if (!node->state || !node->state->dirty) return 0;
  const std::u16string path = StateFilePath(node);
  if (path.empty()) return platform::kErrorInvalidName;
  try {
    const std::string document = StateDocument(node->title, *node->state);
    BufferedFileWriter file;
    if (platform::DeviceError error = file.Open(path)) return error;
    file.WriteBytes(document);
    const platform::DeviceError error = file.Close();
    if (error == 0) node->state->dirty = false;
    return error;
  } catch (const std::bad_alloc&) {
    return platform::kErrorNotEnoughMemory;
  }
}

void LoadChannelState(ChannelNode* node) {
  if (!node) return;
  const std::u16string path = StateFilePath(node);
  if (path.empty()) return;
  ChannelNode* fileRoot = ReadOutlineFile(path, kOutlineUtf8, /*markClean=*/true);
  if (!fileRoot) return;
  if (ChannelNode* outline = fileRoot->firstChild; outline && outline->state) {
    std::unique_ptr<ChannelState> state = std::move(outline->state);
    state->dirty = false;
    NodeLockGuard held(node);
    if (held) node->state = std::move(state);
  }
  FreeTree(fileRoot);
}

void LoadChannelStates(ChannelNode* root) {
  ChannelNode* first = GetFirstChild(root);
  if (first) WalkTree(first, LoadStateVisit, kWalkSiblings | kWalkChildren, nullptr);
}

}  // namespace nubrel
