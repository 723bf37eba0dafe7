// Writing the channel tree as the subscription list document, byte for byte, and the save and
// export around it with their error report; see subscription_list.h. The reader is
// subscription_list_reader.cpp.
//
// The same composing code feeds either a BufferedFileWriter (the list on disk) or a string (what
// an export would hold), so both are the same bytes.
#include <new>
#include <string>
#include <vector>

#include "core/string_table.h"
#include "feeds/dates.h"
#include "platform/device_time.h"
#include "shared/text.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/password_scramble.h"
#include "subscriptions/subscription_list.h"

namespace nubrel {
namespace {

constexpr int kStringSaveFailed = 238;  // "Unable to save OPML file : %s"

// Where the composed document goes. Writing stops at the first failure of the file.
struct OutlineOutput {
  BufferedFileWriter* file = nullptr;  // the file being written, or
  std::string* bytes = nullptr;        // the string being composed
  bool ok = true;

  void Bytes(std::string_view s) {
    if (!ok) return;
    if (file) {
      ok = file->WriteBytes(s);
    } else {
      bytes->append(s);
    }
  }
  // UTF-8 with the five XML entities.
  void Text(std::u16string_view text) {
    if (!ok) return;
    if (file) {
      ok = file->WriteText(text, kOutlineUtf8, /*escapeXml=*/true);
    } else {
      bytes->append(ToUtf8(XmlEscape(text)));
    }
  }
  void Attribute(const char* prefix, const OptionalText& text) {
    if (!text) return;
    Bytes(prefix);
    Text(*text);
  }
  platform::DeviceError Error() const {
    if (ok) return 0;
    return (file && file->Error()) ? file->Error() : platform::kErrorNotEnoughMemory;
  }
};

// One node's start tag up to (not including) the closing of its attribute list.
void WriteOutlineAttributes(OutlineOutput& out, ChannelNode* node) {
  out.Bytes("<outline text=\"");
  // A node without a title (an import may hold one) is written with an empty text, so the rest
  // of the list is still written.
  if (node->title) out.Text(*node->title);
  out.Attribute("\" filespec=\"", node->filespec);
  out.Attribute("\" description=\"", node->description);
  if (node->xmlUrl && !node->xmlUrl->empty()) {
    out.Attribute("\" xmlUrl=\"", node->xmlUrl);
    if (!node->type || node->type->empty()) {
      out.Bytes("\" type=\"rss");
    } else {
      out.Attribute("\" type=\"", node->type);
    }
  }
  out.Attribute("\" htmlUrl=\"", node->htmlUrl);
  out.Attribute("\" username=\"", node->userName);
  if (node->password) {
    out.Bytes("\" password=\"");
    out.Bytes(ToUtf8(ScramblePassword(*node->password)));
  }
  if (node->syncId != 0 && node->syncService <= 1) {
    out.Bytes(node->syncService == 0 ? "\" BloglinesSubId=\"" : "\" ng:fid=\"");
    out.Bytes(std::to_string(node->syncId));
  }
  if (!node->subSetRead) out.Bytes("\" subSetRead=\"0");
}

// The outline elements of the node, its later siblings and all below them. Iterative, with the
// locks of the open elements held (parent before child), so a hostile import nested a million
// deep cannot exhaust the stack. 0, 258 for a lock that could not be had, or the output's error.
platform::DeviceError WriteOutlinesTo(OutlineOutput& out, ChannelNode* first, bool exporting) {
  std::vector<ChannelNode*> open;  // nodes whose element is open, each locked once
  platform::DeviceError result = 0;
  ChannelNode* node = first;
  while (out.ok) {
    if (!node) {
      if (open.empty()) break;
      ChannelNode* parent = open.back();
      open.pop_back();
      out.Bytes("</outline>\n");
      node = parent->next;
      UnlockNode(parent);
      continue;
    }
    if (!LockNode(node)) {
      result = platform::kErrorWaitTimeout;
      break;
    }
    EnsureFileBase(node);
    if (!exporting) node->dirty = false;
    WriteOutlineAttributes(out, node);
    if (node->firstChild) {
      out.Bytes("\">\n");
      open.push_back(node);
      node = node->firstChild;
    } else {
      out.Bytes("\"/>\n");
      ChannelNode* next = node->next;
      UnlockNode(node);
      node = next;
    }
  }
  while (!open.empty()) {
    UnlockNode(open.back());
    open.pop_back();
  }
  return result ? result : out.Error();
}

// The whole document. The caller holds the root's lock.
platform::DeviceError WriteDocument(OutlineOutput& out, ChannelNode* root, bool exporting) {
  // The list keeps the date of its first save from then on.
  // Fixed at the first save, in the list's own form: "Tue 21 Oct 2008 18:28:26 GMT".
  if (!root->dateCreated) root->dateCreated = formatRfc822Date(platform::CurrentFileTime());
  out.Bytes(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<opml version=\"1.0\">\n"
      "<head>\n");
  if (root->title) {
    out.Bytes("<title>");
    out.Text(*root->title);
    out.Bytes("</title>\n");
  }
  out.Bytes("<dateCreated>");
  out.Text(*root->dateCreated);
  out.Bytes(
      "</dateCreated>\n"
      "</head>\n"
      "<body>\n");
  if (const KeywordList* keywords = root->keywords.get()) {
    out.Bytes("<keywords>\n");
    for (const std::u16string& keyword : keywords->entries) {
      out.Bytes("<keyword>");
      out.Text(keyword);
      out.Bytes("</keyword>\n");
    }
    out.Bytes("</keywords>\n");
  }
  if (platform::DeviceError error = WriteOutlinesTo(out, root->firstChild, exporting)) {
    return error;
  }
  out.Bytes(
      "</body>\n"
      "</opml>\n");
  return out.Error();
}

int FindDirty(ChannelNode* node, void* context, uint32_t) {
  NodeLockGuard held(node);
  // A node we cannot look at might have changed: count it as dirty.
  if (!held || node->dirty) {
    *static_cast<bool*>(context) = true;
    return 0;
  }
  return 1;
}

bool AnythingDirty(ChannelNode* root) {
  bool dirty = false;
  {
    NodeLockGuard held(root);
    if (!held || (root->keywords && root->keywords->dirty)) return true;
  }
  WalkTree(root, FindDirty, kWalkSiblings | kWalkChildren, &dirty);
  return dirty;
}

SubscriptionListState& ListState() {
  static SubscriptionListState state;
  return state;
}

void ReportSaveError(platform::DeviceError error) {
  SaveErrorReporter reporter;
  std::u16string message;
  try {
    message = FormatString(LoadStringText(kStringSaveFailed), platform::SystemErrorText(error));
    std::lock_guard<std::mutex> held(ListState().lock);
    ListState().lastSaveError = message;
    reporter = ListState().reporter;
  } catch (const std::bad_alloc&) {
    return;
  }
  if (reporter) reporter(message);
}

}  // namespace

// ---- Writing ----

platform::DeviceError WriteOutlines(BufferedFileWriter& file, ChannelNode* node, bool exporting) {
  OutlineOutput out{&file, nullptr};
  try {
    return WriteOutlinesTo(out, node, exporting);
  } catch (const std::bad_alloc&) {
    return platform::kErrorNotEnoughMemory;
  }
}

platform::DeviceError WriteSubscriptionList(std::u16string_view path, ChannelNode* root,
                                            bool exporting) {
  if (!root) return platform::kErrorInvalidParameter;
  if (!exporting && !AnythingDirty(root)) return 0;
  NodeLockGuard held(root);
  if (!held) return platform::kErrorWaitTimeout;

  BufferedFileWriter file;
  platform::DeviceError error = file.Open(path);
  if (error == 0) {
    OutlineOutput out{&file, nullptr};
    try {
      error = WriteDocument(out, root, exporting);
    } catch (const std::bad_alloc&) {
      error = platform::kErrorNotEnoughMemory;
    }
    if (error) {
      file.Discard();
    } else {
      error = file.Close();
    }
  }
  if (!exporting) {
    if (error == 0) {
      root->dirty = false;
      if (root->keywords) root->keywords->dirty = false;
    } else {
      // The nodes written so far have lost their dirty flags, but the file on disk is still the
      // old one: keep the list dirty so the next save writes it.
      root->dirty = true;
    }
  }
  return error;
}

std::string FormatSubscriptionList(ChannelNode* root) {
  std::string bytes;
  if (!root) return bytes;
  NodeLockGuard held(root);
  if (!held) return bytes;
  OutlineOutput out{nullptr, &bytes};
  try {
    if (WriteDocument(out, root, /*exporting=*/true) != 0) bytes.clear();
  } catch (const std::bad_alloc&) {
    bytes.clear();
  }
  return bytes;
}

platform::DeviceError SaveSubscriptionList(ChannelNode* root, std::u16string_view path) {
  const bool exporting = !path.empty();
  const std::u16string target = exporting ? std::u16string(path) : SubscriptionListPath();
  const platform::DeviceError error = WriteSubscriptionList(target, root, exporting);
  if (error) {
    ReportSaveError(error);
  } else if (exporting) {
    SetListReplaced();
  }
  return error;
}

// ---- Save error report and the list-replaced flag ----

SaveErrorReporter SetSaveErrorReporter(SaveErrorReporter reporter) {
  std::lock_guard<std::mutex> held(ListState().lock);
  std::swap(ListState().reporter, reporter);
  return reporter;
}

std::u16string LastSaveErrorText() {
  std::lock_guard<std::mutex> held(ListState().lock);
  return ListState().lastSaveError;
}

void SetListReplaced() { ListState().listReplaced.store(true); }

bool TakeListReplaced() { return ListState().listReplaced.exchange(false); }

void ResetSubscriptionListState() {
  std::lock_guard<std::mutex> held(ListState().lock);
  ListState().reporter = nullptr;
  ListState().lastSaveError.clear();
  ListState().listReplaced.store(false);
}

}  // namespace nubrel
