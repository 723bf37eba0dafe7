// Bringing subscriptions from another tree into this one: finding the node that stands for the
// same subscription, merging an imported list, copying a node's properties (the add-channel
// wizard) and setting credentials over a whole imported subtree. Reading the imported list is
// the subscription list reader's.
#include <utility>
#include <vector>

#include "shared/text.h"
#include "subscriptions/channel_tree.h"

namespace nubrel {

namespace {

bool HasText(const OptionalText& text) { return text && !text->empty(); }

struct MatchSearch {
  ChannelNode* other = nullptr;
  OptionalText otherUrl;
  OptionalText otherTitle;
  ChannelNode* match = nullptr;
};

int TestMatch(ChannelNode* node, void* context, uint32_t) {
  auto* search = static_cast<MatchSearch*>(context);
  if (node == search->other) return 1;
  NodeLockGuard held(node);
  if (!held) return 1;
  bool same = false;
  if (HasText(node->xmlUrl)) {
    same = HasText(search->otherUrl) && EqualsNoCase(*node->xmlUrl, *search->otherUrl);
  } else {
    same = !HasText(search->otherUrl) && node->title && search->otherTitle &&
           EqualsNoCase(*node->title, *search->otherTitle);
  }
  if (!same) return 1;
  search->match = node;
  return 0;
}

bool IsRssType(const OptionalText& type) { return !type || EqualsNoCase(*type, u"rss"); }

std::optional<std::u16string_view> ViewOf(const OptionalText& text) {
  if (!text) return std::nullopt;
  return std::u16string_view(*text);
}

}  // namespace

ChannelNode* FindMatchingNode(ChannelNode* subtreeRoot, ChannelNode* other) {
  if (!subtreeRoot || !other) return nullptr;
  MatchSearch search;
  search.other = other;
  {
    NodeLockGuard held(other);
    if (!held) return nullptr;
    search.otherUrl = other->xmlUrl;
    search.otherTitle = other->title;
  }
  // The other node's texts are copied first, so only one lock is held at a time: the two nodes
  // may be in different trees, where parent-first ordering says nothing.
  WalkTree(subtreeRoot, TestMatch, kWalkChildren | kWalkSkipStart, &search);
  return search.match;
}

MergeCounts MergeImportedTree(ChannelNode* destRoot, ChannelNode* importedRoot) {
  MergeCounts counts;
  if (!destRoot || !importedRoot) return counts;
  // (imported node, target folder) still to merge; iterative because an imported list is
  // untrusted and may nest deeply. Children go on the stack in reverse so they merge in order.
  std::vector<std::pair<ChannelNode*, ChannelNode*>> pending;
  auto pushChildren = [&pending](ChannelNode* source, ChannelNode* target) {
    std::vector<ChannelNode*> children;
    for (ChannelNode* c = GetFirstChild(source); c; c = GetNextSibling(c)) children.push_back(c);
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.emplace_back(*it, target);
  };
  pushChildren(importedRoot, destRoot);
  while (!pending.empty()) {
    auto [source, target] = pending.back();
    pending.pop_back();
    if (!IsRssType(GetNodeText(source, kNodeType))) continue;
    ChannelNode* merged = FindMatchingNode(destRoot, source);
    if (merged) {
      for (int code : {kNodeTitle, kNodeDescription}) {
        const OptionalText incoming = GetNodeText(source, code);
        if (incoming && incoming != GetNodeText(merged, code)) SetNodeText(merged, code, *incoming);
      }
      ++counts.updated;
    } else {
      merged = AppendChildNode(target);
      if (!merged) continue;  // out of memory: this subscription and its children are skipped
      for (int code = kNodeTitle; code <= kNodePassword; ++code) {
        SetNodeText(merged, code, ViewOf(GetNodeText(source, code)));
      }
      SetSyncService(merged, GetSyncService(source));
      SetSyncId(merged, GetSyncId(source));
      ++counts.added;
    }
    pushChildren(source, merged);
  }
  return counts;
}

void CopyNodeProperties(ChannelNode* target, ChannelNode* source) {
  if (!target || !source) return;
  for (int code : {kNodeTitle, kNodeDescription, kNodeXmlUrl, kNodeHtmlUrl}) {
    SetNodeText(target, code, ViewOf(GetNodeText(source, code)));
  }
  SetSyncService(target, GetSyncService(source));
  SetSyncId(target, GetSyncId(source));
  for (int code : {kNodeUserName, kNodePassword}) {
    SetNodeText(target, code, ViewOf(GetNodeText(source, code)));
  }
}

namespace {

struct Credentials {
  std::optional<std::u16string_view> userName;
  std::optional<std::u16string_view> password;
};

int ApplyCredentials(ChannelNode* node, void* context, uint32_t) {
  const auto* credentials = static_cast<const Credentials*>(context);
  SetNodeText(node, kNodeUserName, credentials->userName);
  SetNodeText(node, kNodePassword, credentials->password);
  return 1;
}

}  // namespace

void SetCredentials(ChannelNode* node, std::optional<std::u16string_view> userName,
                    std::optional<std::u16string_view> password) {
  if (!userName && !password) return;
  Credentials credentials{userName, password};
  WalkTree(node, ApplyCredentials, kWalkSiblings | kWalkChildren, &credentials);
}

}  // namespace nubrel
