// nbtool item-file: parses a feed file as a retrieved feed, resolves the items' states as a new
// channel's first save would, and writes the channel item file it would store to standard
// output. The file's format is feeds/item_file.h's; nothing here builds any of it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "feeds/feed_parser.h"
#include "feeds/item_file.h"
#include "feeds/item_list.h"
#include "platform/utf.h"
#include "tools/nbtool.h"
#include "tools/nbtool_feed_input.h"

namespace {

constexpr const char* kCommand = "item-file";

int RunItemFile(const std::vector<std::string>& args) {
  std::unique_ptr<nubrel::ItemList> list;
  if (int exitCode = nbtool::ParseFeedArguments(kCommand, args, list); exitCode >= 0) return exitCode;
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
