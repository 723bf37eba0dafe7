// The pictures of an item's body: every <img src> of a description, found with the HTML scanner
// and then queued for download or deleted from the channel's image folder; and the resolution of
// a reference against the item's address that names those files.
#include "offline/image_files.h"

#include <algorithm>
#include <span>

#include "feeds/encodings.h"
#include "offline/html_scanner.h"
#include "offline/local_files.h"
#include "platform/files.h"
#include "shared/text.h"
#include "subscriptions/channel_node.h"
#include "subscriptions/channel_tree.h"

namespace nubrel {

// ---- Resolving references ----

namespace {

// The length of "scheme:" at the start, or 0 when the text does not begin with a scheme.
size_t schemeLength(std::u16string_view text) {
  if (text.empty() || !((text[0] | 0x20) >= u'a' && (text[0] | 0x20) <= u'z')) return 0;
  for (size_t i = 1; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u':') return i + 1;
    const bool letter = (c | 0x20) >= u'a' && (c | 0x20) <= u'z';
    const bool digit = c >= u'0' && c <= u'9';
    if (!letter && !digit && c != u'+' && c != u'-' && c != u'.') return 0;
  }
  return 0;
}

// "a/b/../c/./d" -> "a/c/d", as a browser reads the path of a resolved address.
std::u16string withoutDotSegments(std::u16string_view path) {
  std::u16string out;
  size_t i = 0;
  while (i < path.size()) {
    size_t end = path.find(u'/', i + 1);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view segment = path.substr(i, end - i);  // with its leading "/"
    if (segment == u"/.") {
      if (end == path.size()) out += u'/';
    } else if (segment == u"/..") {
      const size_t cut = out.rfind(u'/');
      out.erase(cut == std::u16string::npos ? 0 : cut);
      if (end == path.size()) out += u'/';
    } else {
      out.append(segment);
    }
    i = end;
  }
  return out;
}

}  // namespace

std::u16string ResolveAgainst(std::u16string_view base, std::u16string_view reference) {
  reference = TrimView(reference);
  if (reference.empty() || base.empty() || schemeLength(reference) != 0) {
    return std::u16string(reference);
  }
  const size_t scheme = schemeLength(base);
  if (scheme == 0) return std::u16string(reference);
  // base = scheme ":" ["//" authority] path ["?" query] ["#" fragment]
  size_t authorityEnd = scheme;
  if (base.substr(scheme, 2) == u"//") {
    authorityEnd = base.find_first_of(u"/?#", scheme + 2);
    if (authorityEnd == std::u16string_view::npos) authorityEnd = base.size();
  }
  const size_t fragment = std::min(base.find(u'#'), base.size());
  const size_t query = std::min(base.find(u'?'), fragment);

  if (reference.starts_with(u"//")) return std::u16string(base.substr(0, scheme)) + std::u16string(reference);
  if (reference.front() == u'#') return std::u16string(base.substr(0, fragment)) + std::u16string(reference);
  if (reference.front() == u'?') return std::u16string(base.substr(0, query)) + std::u16string(reference);

  const std::u16string_view origin = base.substr(0, authorityEnd);
  std::u16string path;
  if (reference.front() == u'/') {
    path = std::u16string(reference);
  } else {
    const std::u16string_view basePath = base.substr(authorityEnd, query - authorityEnd);
    const size_t folderEnd = basePath.rfind(u'/');
    path = folderEnd == std::u16string_view::npos
               ? u"/" + std::u16string(reference)
               : std::u16string(basePath.substr(0, folderEnd + 1)) + std::u16string(reference);
  }
  // Dot segments are removed from the path only, never from a query or fragment.
  const size_t tail = std::min(path.find_first_of(u"?#"), path.size());
  return std::u16string(origin) + withoutDotSegments(std::u16string_view(path).substr(0, tail)) +
         path.substr(tail);
}

// ---- The scan ----

namespace {

struct ImageScan {
  std::u16string_view baseUrl;
  ChannelNode* channel = nullptr;
  ImageScanMode mode = ImageScanMode::kDelete;
  bool filterImages = true;  // the channel's "Filter image retrieval" (queue mode)
  int done = 0;
};

bool contains(const std::optional<std::u16string>& text, std::u16string_view what) {
  return text && text->find(what) != std::u16string::npos;
}

// Tracking pixels and, with the channel's filter on, addresses that name no picture.
bool skippedForQueue(const ImageScan& scan, std::u16string_view src,
                     std::span<const HtmlAttribute> attributes) {
  if (scan.filterImages) {
    static constexpr std::u16string_view kPictureTypes[] = {u".gif", u".jpg", u".jpeg", u".bmp",
                                                            u".png"};
    bool picture = false;
    for (std::u16string_view type : kPictureTypes) {
      picture = picture || src.find(type) != std::u16string_view::npos;
    }
    if (!picture) return true;
  }
  const HtmlAttribute* width = FindHtmlAttribute(attributes, u"width");
  const HtmlAttribute* height = FindHtmlAttribute(attributes, u"height");
  if (width && height && width->value && height->value && LeadingInteger(*width->value) == 1 &&
      LeadingInteger(*height->value) == 1) {
    return true;
  }
  const HtmlAttribute* style = FindHtmlAttribute(attributes, u"style");
  return style && (contains(style->value, u"height:1px") || contains(style->value, u"display:none"));
}

void onStartTag(void* context, std::u16string_view name, std::span<const HtmlAttribute> attributes,
                bool /*selfClosing*/, uint32_t& /*codePage*/) {
  auto& scan = *static_cast<ImageScan*>(context);
  if (ElementCode(name) != kHtmlImg) return;
  const HtmlAttribute* src = FindHtmlAttribute(attributes, u"src");
  if (!src || !src->value) return;
  if (scan.mode == ImageScanMode::kQueue && skippedForQueue(scan, *src->value, attributes)) return;
  const std::u16string address = ResolveAgainst(scan.baseUrl, decodeEntities(*src->value));
  const std::u16string path = LocalPathFor(scan.channel, address, kLocalImage);
  if (path.empty()) return;
  if (scan.mode == ImageScanMode::kDelete) {
    if (LocalFileExists(path) && platform::DeleteFile(path) == platform::kErrorSuccess) ++scan.done;
  } else if (!LocalFileExists(path) &&
             QueueImageTask(address, scan.channel->id.load(), /*conditional=*/true,
                            /*startManager=*/true)) {
    ++scan.done;
  }
}

}  // namespace

int ScanItemImages(std::u16string_view description, std::u16string_view baseUrl,
                   ChannelNode* channel, ImageScanMode mode) {
  if (!channel || description.empty()) return 0;
  ImageScan scan;
  scan.baseUrl = baseUrl;
  scan.channel = channel;
  scan.mode = mode;
  if (mode == ImageScanMode::kQueue) {
    if (ChannelNode* held = LockNode(channel)) {
      scan.filterImages = !held->state || held->state->filterImages != 0;
      UnlockNode(held);
    }
  }
  HtmlScanner settings;
  settings.startTag = &onStartTag;
  settings.context = &scan;
  settings.fragment = true;
  settings.decodeEntities = false;
  settings.dropScripts = true;
  ScanHtml(settings, description);
  return scan.done;
}

}  // namespace nubrel
