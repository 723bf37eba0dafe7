// File naming of fetched content (LocalFileName, LocalPathFor, ReplaceExtension), the optimiser
// address (OptimizedUrl), and the process-wide hooks to the retrieval queue.
// The channel's folders themselves are the channel tree's (subscriptions/channel_tree.h).
#include "offline/local_files.h"

#include <array>
#include <mutex>
#include <utility>

#include "core/settings.h"
#include "core/string_table.h"
#include "platform/files.h"
#include "shared/crc32.h"
#include "shared/text.h"
#include "shared/url_escape.h"
#include "subscriptions/channel_tree.h"

namespace nubrel {

// ---- Naming ----

namespace {

// "%" and up to two characters: each a digit 0-9 or A-F, anything else counting as 0.
std::u16string decodePercentEscapes(std::u16string_view url) {
  std::u16string decoded;
  decoded.reserve(url.size());
  for (size_t i = 0; i < url.size(); ++i) {
    if (url[i] != u'%') {
      decoded.push_back(url[i]);
      continue;
    }
    unsigned value = 0;
    for (int taken = 0; taken < 2 && i + 1 < url.size(); ++taken) {
      const char16_t c = url[++i];
      unsigned digit = 0;
      if (c >= u'0' && c <= u'9') digit = c - u'0';
      else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
      value = value * 16 + digit;
    }
    decoded.push_back(static_cast<char16_t>(value));
  }
  return decoded;
}

// Where the wrapped address begins: the last "h" followed by "ttp:", in any case.
size_t wrappedStart(std::u16string_view text) {
  for (size_t i = text.size(); i-- > 0;) {
    if ((text[i] == u'h' || text[i] == u'H') && i + 5 <= text.size() &&
        EqualsNoCase(text.substr(i + 1, 4), u"ttp:")) {
      return i;
    }
  }
  return 0;
}

constexpr std::array<std::u16string_view, 9> kKnownExtensions = {
    u".html", u".gif", u".jpg", u".jpeg", u".bmp", u".css", u".js", u".ico", u".xml"};

bool hasKnownExtension(std::u16string_view name) {
  for (std::u16string_view extension : kKnownExtensions) {
    if (name.size() > extension.size() && name.ends_with(extension)) return true;
  }
  return false;
}

// Characters a device file name cannot hold; a "\" would also make the name two components.
bool unfitForFileName(char16_t c) {
  return c < 0x20 || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' ||
         c == u'"' || c == u'<' || c == u'>' || c == u'|';
}

std::u16string withBackslash(std::u16string path) {
  if (!path.empty() && path.back() != u'\\') path.push_back(u'\\');
  return path;
}

}  // namespace

std::u16string ReplaceExtension(std::u16string_view path, std::u16string_view extension) {
  std::u16string result(path);
  if (extension.empty()) return result;
  const size_t component = result.find_last_of(u"\\/");
  const size_t nameStart = component == std::u16string::npos ? 0 : component + 1;
  const size_t dot = result.rfind(u'.');
  if (dot != std::u16string::npos && dot >= nameStart) result.erase(dot);
  if (extension.front() != u'.') result.push_back(u'.');
  result.append(extension);
  return result;
}

std::u16string LocalFileName(std::u16string_view url, std::u16string_view defaultExtension) {
  const std::u16string decoded = decodePercentEscapes(url);
  std::u16string_view rest = std::u16string_view(decoded).substr(wrappedStart(decoded));
  rest = rest.substr(0, rest.find(u'?'));
  const size_t slash = rest.rfind(u'/');
  std::u16string name(slash == std::u16string_view::npos ? rest : rest.substr(slash + 1));
  if (name.empty()) name = u"null";
  if (!defaultExtension.empty() && !hasKnownExtension(name)) {
    name = ReplaceExtension(name, defaultExtension);
  }
  for (char16_t& c : name) {
    if (unfitForFileName(c)) c = u'_';
  }
  return name;
}

std::u16string LocalPathFor(ChannelNode* channel, std::u16string_view url, int fileClass) {
  if (!channel) return {};
  std::u16string folder;
  std::u16string_view extension;
  switch (fileClass) {
    case kLocalImage:
      folder = ImageFolderPath(channel);
      extension = u".gif";
      break;
    case kLocalPodcast:
      folder = EnclosureFolderPath(channel);
      break;
    case kLocalHtml:
      folder = HtmlFolderPath(channel);
      extension = u".html";
      break;
    default:
      return {};
  }
  if (folder.empty()) return {};
  return withBackslash(std::move(folder)) +
         FormatHex(Crc32OfText(url, kCrc32StandardStart), 8) + u'-' +
         LocalFileName(url, extension);
}

std::u16string OptimizedUrl(std::u16string_view link) {
  switch (HtmlOptimizerChoice()) {
    case HtmlOptimizerKind::kGoogleMobile:
      return LoadStringText(343) + urlEscape(link);
    case HtmlOptimizerKind::kSkweezer: {
      std::u16string_view address = link;
      if (StartsWithNoCase(address, u"http://")) address.remove_prefix(7);
      return LoadStringText(342) + urlEscape(address);
    }
    case HtmlOptimizerKind::kNone:
    default:
      return std::u16string(link);
  }
}

bool LocalFileExists(std::u16string_view path) {
  if (path.empty()) return false;
  uint32_t attributes = 0;
  return platform::GetFileAttributes(path, attributes) == platform::kErrorSuccess &&
         (attributes & platform::kFileAttributeDirectory) == 0;
}

// ---- Hooks to the retrieval queue ----

namespace {

// Set by the retrieval code (any thread), read by whoever queues. The lock guards the record
// only; a copy of the hook is taken under it and called after it is released, so a hook may
// itself queue, cancel or replace hooks.
struct OfflineHookState {
  std::mutex lock;
  OfflineTaskHooks hooks;  // guarded by lock
};

OfflineHookState& hookState() {
  static OfflineHookState state;
  return state;
}

template <typename Member>
auto hookCopy(Member member) {
  OfflineHookState& state = hookState();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.hooks.*member;
}

}  // namespace

void SetOfflineTaskHooks(OfflineTaskHooks hooks) {
  OfflineHookState& state = hookState();
  std::lock_guard<std::mutex> hold(state.lock);
  state.hooks = std::move(hooks);
}

void ResetOfflineTaskHooks() { SetOfflineTaskHooks(OfflineTaskHooks{}); }

bool QueueImageTask(std::u16string_view url, uint32_t channelId, bool conditional,
                    bool startManager) {
  const auto hook = hookCopy(&OfflineTaskHooks::queueImage);
  return hook ? hook(url, channelId, conditional, startManager) : false;
}

bool QueueEnclosureTask(std::u16string_view url, uint32_t channelId, uint32_t itemKey,
                        bool conditional, int32_t sizeLimitMB, bool startManager) {
  const auto hook = hookCopy(&OfflineTaskHooks::queueEnclosure);
  return hook ? hook(url, channelId, itemKey, conditional, sizeLimitMB, startManager) : false;
}

bool CancelTaskByLabel(std::u16string_view url) {
  const auto hook = hookCopy(&OfflineTaskHooks::cancelByLabel);
  if (!hook) return false;
  hook(url);
  return true;
}

}  // namespace nubrel
