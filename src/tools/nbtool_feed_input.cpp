// Reading a feed file for nbtool's feed commands; see nbtool_feed_input.h.
#include "tools/nbtool_feed_input.h"

#include <cstdint>

#include "feeds/encodings.h"
#include "feeds/feed_parser.h"
#include "platform/code_pages.h"
#include "platform/utf.h"
#include "shared/text.h"
#include "tools/nbtool.h"

namespace nbtool {

namespace {

// "--codepage N" takes a code page of the charset table or one the device can convert.
bool ParseCodePage(const std::string& text, int32_t& codePage) {
  int64_t value = 0;
  if (!nubrel::ParseInteger(platform::FromUtf8(text), value)) return false;
  if (value < 0 || value > 65535) return false;
  bool known = nubrel::nameOfCodePage(static_cast<int32_t>(value)) != nullptr ||
               platform::IsValidCodePage(static_cast<uint32_t>(value));
  if (!known) return false;
  codePage = static_cast<int32_t>(value);
  return true;
}

}  // namespace

int ParseFeedArguments(const char* command, const std::vector<std::string>& args,
                       std::unique_ptr<nubrel::ItemList>& list) {
  std::string path;
  int32_t codePage = nubrel::kCodePageUtf8;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--codepage") {
      if (i + 1 >= args.size()) return Usage(command);
      if (!ParseCodePage(args[++i], codePage)) return Fail(command, "unknown code page: " + args[i]);
    } else if (path.empty() && !args[i].empty() && args[i][0] != '-') {
      path = args[i];
    } else {
      return Usage(command);
    }
  }
  if (path.empty()) return Usage(command);
  std::string bytes;
  std::string error;
  if (!ReadHostFile(path, bytes, error)) return Fail(command, error);
  std::u16string errorText;
  list = nubrel::parseFeed(nullptr, bytes, codePage, true, &errorText);
  if (!list) return Fail(command, path + ": " + platform::ToUtf8(errorText));
  return -1;
}

}  // namespace nbtool
