// nbtool read-opml: reads an OPML file (a subscription list, a channel state file, an export of
// another reader) exactly as the reader does and prints the tree it builds as JSON: the root's
// title, date and keywords, then every node with its fields, its channel state and its children.
// With --write OUT the tree is written back by the subscription list writer, as an export. The
// reading and writing themselves are subscriptions/subscription_list.h.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/subscription_list.h"
#include "tools/nbtool.h"

namespace {

constexpr const char* kCommand = "read-opml";

using nubrel::ChannelNode;
using nubrel::ChannelState;

void Text(nbtool::JsonWriter& json, const char* key, const nubrel::OptionalText& value) {
  json.Key(key);
  if (value) {
    json.String(*value);
  } else {
    json.Null();
  }
}

void PrintState(nbtool::JsonWriter& json, const ChannelState* s) {
  json.Key("state");
  if (!s) {
    json.Null();
    return;
  }
  json.BeginObject();
  json.Key("unreadItems").Number(s->unreadItems);
  json.Key("newItems").Number(s->newItems);
  json.Key("enclosures").Number(s->enclosures);
  json.Key("cachedEnclosures").Number(s->cachedEnclosures);
  json.Key("cachedWeb").Number(s->cachedWeb);
  Text(json, "lastStatus", s->lastStatus);
  Text(json, "lastUpdated", s->lastUpdated);
  Text(json, "lastSuccess", s->lastSuccess);
  Text(json, "lastETag", s->lastETag);
  Text(json, "lastModified", s->lastModified);
  json.Key("updateInterval").Number(s->updateInterval);
  Text(json, "expireUnread", s->expireUnread);
  Text(json, "expireRead", s->expireRead);
  Text(json, "expireEnclosures", s->expireEnclosures);
  Text(json, "expireHTML", s->expireHTML);
  json.Key("cacheEnclosures").Number(s->cacheEnclosures);
  json.Key("enclosureSizeLimitMB").Number(s->enclosureSizeLimitMB);
  json.Key("cacheHtml").Number(s->cacheHtml);
  json.Key("cacheDepth").Number(s->cacheDepth);
  json.Key("displayToday").Number(s->displayToday);
  json.Key("filterImages").Number(s->filterImages);
  json.EndObject();
}

// Everything of one node but its children.
void PrintNodeFields(nbtool::JsonWriter& json, const ChannelNode* node) {
  Text(json, "title", node->title);
  json.Key("channel").Bool(node->xmlUrl && !node->xmlUrl->empty());
  json.Key("id").Unsigned(node->id.load());
  Text(json, "description", node->description);
  Text(json, "xmlUrl", node->xmlUrl);
  Text(json, "htmlUrl", node->htmlUrl);
  Text(json, "type", node->type);
  Text(json, "userName", node->userName);
  Text(json, "password", node->password);
  Text(json, "filespec", node->filespec);
  json.Key("syncService").Unsigned(node->syncService);
  json.Key("syncId").Unsigned(node->syncId);
  json.Key("subSetRead").Bool(node->subSetRead);
  PrintState(json, node->state.get());
}

// The outlines below `first`, without recursion: a hostile file may nest them very deep.
void PrintOutlines(nbtool::JsonWriter& json, const ChannelNode* first) {
  json.Key("outlines").BeginArray();
  std::vector<const ChannelNode*> open;  // nodes whose "children" array is open
  const ChannelNode* node = first;
  while (node || !open.empty()) {
    if (!node) {
      json.EndArray().EndObject();
      node = open.back()->next;
      open.pop_back();
      continue;
    }
    json.BeginObject();
    PrintNodeFields(json, node);
    json.Key("children").BeginArray();
    if (node->firstChild) {
      open.push_back(node);
      node = node->firstChild;
    } else {
      json.EndArray().EndObject();
      node = node->next;
    }
  }
  json.EndArray();
}

void PrintTree(const std::string& file, const ChannelNode* root) {
  nbtool::JsonWriter json(stdout, /*pretty=*/true);
  json.BeginObject();
  json.Key("file").String(file);
  Text(json, "title", root->title);
  Text(json, "dateCreated", root->dateCreated);
  json.Key("keywords");
  if (root->keywords) {
    json.BeginArray();
    for (const std::u16string& keyword : root->keywords->entries) json.String(keyword);
    json.EndArray();
  } else {
    json.Null();
  }
  PrintOutlines(json, root->firstChild);
  json.EndObject();
  json.EndLine();
}

// Replaces `path` with `bytes` through a temporary file beside it, so a failure keeps the old one.
bool WriteHostFileSafely(const std::string& path, const std::string& bytes, std::string& error) {
  const std::string temporary = path + ".nbtmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      error = "cannot write " + temporary + ": " + std::strerror(errno);
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

int RunReadOpml(const std::vector<std::string>& args) {
  std::string file;
  std::string writeTo;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--write") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return nbtool::Usage(kCommand);
      writeTo = args[++i];
    } else if (!args[i].empty() && args[i][0] == '-' && args[i] != "-") {
      std::fprintf(stderr, "nbtool %s: unknown option \"%s\"\n", kCommand, args[i].c_str());
      return nbtool::Usage(kCommand);
    } else if (file.empty()) {
      file = args[i];
    } else {
      return nbtool::Usage(kCommand);
    }
  }
  if (file.empty()) return nbtool::Usage(kCommand);

  std::string bytes;
  std::string error;
  if (!nbtool::ReadHostFile(file == "-" ? "/dev/stdin" : file, bytes, error)) {
    return nbtool::Fail(kCommand, error);
  }
  std::u16string parseError;
  ChannelNode* root =
      nubrel::ParseOutlineDocument(bytes, nubrel::kOutlineUtf8, /*markClean=*/true, &parseError);
  if (!root) {
    if (parseError.empty()) {
      return nbtool::Fail(kCommand, file + ": no head or body element, so no outlines to read");
    }
    return nbtool::Fail(kCommand, file + ": " + platform::ToUtf8(parseError));
  }
  PrintTree(file, root);

  int result = 0;
  if (!writeTo.empty()) {
    const std::string document = nubrel::FormatSubscriptionList(root);
    if (document.empty()) {
      result = nbtool::Fail(kCommand, "cannot compose the list (out of memory)");
    } else if (!WriteHostFileSafely(writeTo, document, error)) {
      result = nbtool::Fail(kCommand, error);
    }
  }
  nubrel::FreeTree(root);
  return result;
}

}  // namespace

NBTOOL_COMMAND(kCommand, "FILE [--write OUT]",
               "Read an OPML file (\"-\" for standard input) as the subscription list "
               "reader does and print the tree as JSON; --write OUT writes it back as the "
               "list writer exports it.",
               RunReadOpml);
