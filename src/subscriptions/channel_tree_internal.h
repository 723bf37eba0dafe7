// What the channel tree's own sources share and nobody else uses: the hooks in force and the
// removal of a channel's files. Not part of the tree's interface (channel_tree.h).
#pragma once

#include "subscriptions/channel_tree.h"

namespace nubrel {

// The hooks set by SetChannelTreeHooks (channel_tree.cpp).
const ChannelTreeHooks& CurrentChannelTreeHooks();

// The state-file form of a UTC file time: "2008-10-21T18:28:26-00:00".
std::u16string StateFileDate(platform::FileTime utc);

}  // namespace nubrel
