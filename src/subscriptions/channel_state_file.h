// The channel state file: each channel's ChannelState in a one-outline OPML document of its own
// ("<filespec>.properties" beside the item file), so a refresh need not rewrite the subscription
// list. Owns the file's exact content and its reading back; the record is channel_node.h, the
// path is StateFilePath (channel_tree.h), and the reader is the subscription list's.
#pragma once

#include "platform/device_errors.h"
#include "subscriptions/channel_node.h"

namespace nubrel {

// Writes the node's state file when its state is dirty, holding the node's lock throughout, and
// clears the dirty flag once the file is in place. Written through the BufferedFileWriter, so a
// failure leaves the previous file whole (and the state dirty). Returns 0 (also when there was
// nothing to write), 258 when the lock could not be had, 123 when the node has no file name
// (no title), or the write's error.
platform::DeviceError SaveChannelState(ChannelNode* node);

// Reads the node's state file; when it holds a state, that whole record (clean) replaces the
// node's, so fields the file does not mention take a new node's defaults. A missing, unreadable
// or unparseable file leaves the node's state as it was.
void LoadChannelState(ChannelNode* node);

// LoadChannelState on every node below the root, in pre-order.
void LoadChannelStates(ChannelNode* root);

}  // namespace nubrel
