// The input of the commands that take a feed file ("FILE [--codepage N]"): reading the
// arguments and the file, and parsing it as the reader parses a retrieved feed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "feeds/item_list.h"

namespace nbtool {

// Parses the feed named by the arguments into `list`. Returns -1 when it did, else the exit code
// to end with (2 after the usage text, 1 after a message).
int ParseFeedArguments(const char* command, const std::vector<std::string>& args,
                       std::unique_ptr<nubrel::ItemList>& list);

}  // namespace nbtool
