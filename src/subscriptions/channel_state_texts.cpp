// The state's dates in their two forms: the stored state-file text ("2008-10-21T18:28:26-00:00",
// read back by the W3C reader) and the text shown for the last refresh and the last success.
// The date readers and writers are feeds/dates.h; the shown form is core/date_text.h.
#include "core/date_text.h"
#include "core/string_table.h"
#include "feeds/dates.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/channel_tree_internal.h"

namespace nubrel {

namespace {

constexpr int kStringNotSet = 121;

std::u16string DisplayDate(const OptionalText& stored) {
  platform::FileTime time = 0;
  if (!stored || !parseIsoDate(*stored, time)) return LoadStringText(kStringNotSet);
  return DateText(time, /*relative=*/true, /*withSeconds=*/false);
}

}  // namespace

std::u16string StateFileDate(platform::FileTime utc) { return formatIsoDate(utc); }

std::u16string GetLastUpdatedText(ChannelNode* node) { return DisplayDate(GetLastUpdated(node)); }
std::u16string GetLastSuccessText(ChannelNode* node) { return DisplayDate(GetLastSuccess(node)); }

}  // namespace nubrel
