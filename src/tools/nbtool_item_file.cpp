// nbtool item-file: parses a feed file as a retrieved feed, resolves the items' states as a new
// channel's first save would, and writes the channel item file it would store to standard
// output. The file's format is feeds/item_file.h's; nothing here builds any of it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "feeds/encodings.h"
#include "feeds/feed_parser.h"
#include "feeds/item_file.h"
#include "feeds/item_list.h"
#include "platform/code_pages.h"
#include "platform/utf.h"
#include "shared/text.h"
#include "tools/nbtool.h"

namespace {

constexpr const char* kCommand = "item-file";

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

int RunItemFile(const std::vector<std::string>& args) {
  std::string path;
  int32_t codePage = nubrel::kCodePageUtf8;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--codepage") {
      if (i + 1 >= args.size()) return nbtool::Usage(kCommand);
      if (!ParseCodePage(args[++i], codePage)) {
        return nbtool::Fail(kCommand, "unknown code page: " + args[i]);
      }
    } else if (path.empty() && !args[i].empty() && args[i][0] != '-') {
      path = args[i];
    } else {
      return nbtool::Usage(kCommand);
    }
  }
  if (path.empty()) return nbtool::Usage(kCommand);
  std::string bytes;
  std::string error;
  if (!nbtool::ReadHostFile(path, bytes, error)) return nbtool::Fail(kCommand, error);
  std::u16string errorText;
  std::unique_ptr<nubrel::ItemList> list =
      nubrel::parseFeed(nullptr, bytes, codePage, true, &errorText);
  if (!list) return nbtool::Fail(kCommand, path + ": " + platform::ToUtf8(errorText));
  nubrel::finalizeStates(list.get(), false);
  std::string file = nubrel::itemFileBytes(*list);
  if (std::fwrite(file.data(), 1, file.size(), stdout) != file.size() || std::fflush(stdout) != 0) {
    return nbtool::Fail(kCommand, "cannot write to standard output");
  }
  return 0;
}

}  // namespace

NBTOOL_COMMAND(kCommand, "FILE [--codepage N]",
               "Parse a feed file and print the channel item file the reader would store.",
               RunItemFile);
