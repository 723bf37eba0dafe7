// Fuzz target for the subscription list reader: any bytes as a list, a state file or an imported
// document. Whatever parses is written back, read again and written again: the second and third
// writes must agree, so a tree the reader builds is always one the writer can store faithfully.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "subscriptions/channel_tree.h"
#include "subscriptions/subscription_list.h"

namespace {

std::string WriteAndFree(nubrel::ChannelNode* root) {
  std::string bytes = nubrel::FormatSubscriptionList(root);
  nubrel::FreeTree(root);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::u16string error;
  nubrel::ChannelNode* root =
      nubrel::ParseOutlineDocument(bytes, nubrel::kOutlineUtf8, (size & 1) != 0, &error);
  if (!root) {
    // A failure always explains itself, unless the document simply had no head or body.
    if (!error.empty() && error.rfind(u"Unable to parse OPML : ", 0) != 0) __builtin_trap();
    return 0;
  }
  const std::string first = WriteAndFree(root);
  if (first.empty()) __builtin_trap();
  nubrel::ChannelNode* again =
      nubrel::ParseOutlineDocument(first, nubrel::kOutlineUtf8, true, &error);
  if (!again) __builtin_trap();  // our own output must always read back
  const std::string second = WriteAndFree(again);
  nubrel::ChannelNode* third =
      nubrel::ParseOutlineDocument(second, nubrel::kOutlineUtf8, true, &error);
  if (!third) __builtin_trap();
  if (WriteAndFree(third) != second) __builtin_trap();
  return 0;
}
