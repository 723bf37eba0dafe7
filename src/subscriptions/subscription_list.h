// The subscription list file "myChannels.opml": the reader that turns any OPML document (the
// list, a state file, an import) into a channel tree, the writer with its exact bytes, save and
// export with their error report, and setting aside a list that cannot be read. Passwords inside
// the list are password_scramble.h; the per-channel state files are channel_state_file.h; the
// tree itself is channel_tree.h. Reading and writing run on the interface thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/device_errors.h"
#include "shared/buffered_file_writer.h"
#include "subscriptions/channel_node.h"

namespace nubrel {

// The code page every file of ours is written in, and the default for reading them.
inline constexpr int32_t kOutlineUtf8 = 65001;

// ---- Reading ----

// Builds a tree from an OPML document. The bytes end at their first zero byte. The document's
// own declared encoding wins over defaultCodePage. With markClean, every node (and the root's
// keywords) is clean afterwards. Returns the root (made at "head" or "body"), or null: when the
// document does not parse, *errorText (optional) receives "Unable to parse OPML : <reason>
// (Line: L  Col: C)"; a document that parses but has neither head nor body gives null with no text.
// Text after the end of the opml element, or after another document element, is ignored.
ChannelNode* ParseOutlineDocument(std::string_view bytes, int32_t defaultCodePage, bool markClean,
                                  std::u16string* errorText = nullptr);

// Reads a whole file (device path; existing files only, no sharing) and parses it. Null when the
// file cannot be opened or read (no text then) or does not parse (text as above).
ChannelNode* ReadOutlineFile(std::u16string_view path, int32_t defaultCodePage, bool markClean,
                             std::u16string* errorText = nullptr);

// What LoadSubscriptionList found.
enum class ListLoadResult {
  kRead,        // the list was read
  kMissing,     // no file (or no folder): the empty root stands in
  kUnreadable,  // the file could not be opened or read (shared, I/O error): left where it is
  kUnparsed,    // the file was read but did not parse: the empty root stands in
};

struct ListLoadOutcome {
  ListLoadResult result = ListLoadResult::kMissing;
  platform::DeviceError error = 0;  // kMissing, kUnreadable: the open's or read's error
  std::u16string errorText;         // kUnparsed: the parse error (empty when no head or body)
  bool setAside = false;            // kUnparsed: the file now is "<name>.bad"
};

// The channel storage folder + "myChannels.opml".
std::u16string SubscriptionListPath();

// Reads the list at `path` (empty: SubscriptionListPath()), then every node's state file. When
// nothing can be read, an empty root titled "My Channels" (dirty) is returned instead; a file
// that exists but does not parse is first set aside (SetAsideUnreadableList), so the empty list
// that is saved later cannot overwrite the user's subscriptions. Null only without memory.
ChannelNode* LoadSubscriptionList(std::u16string_view path, bool markClean,
                                  ListLoadOutcome* outcome = nullptr);

// Renames the file to the same name + ".bad", replacing an older one. Returns 0 or the error
// (a read-only mount refuses with 5; the file then stays where it is).
platform::DeviceError SetAsideUnreadableList(std::u16string_view path);

// ---- Writing ----

// Writes the tree as the subscription list document. Unless exporting, a tree in which no node
// and not the keywords are dirty is not written (0), and on success the root and its keywords
// are clean; the nodes are cleaned as they are written. The file is written through the
// BufferedFileWriter, so a failure leaves the previous file whole, and it leaves the root dirty
// so that the next save writes again. A root without dateCreated gets the current UTC time.
// Returns 0 or the first error (258 when a node's lock could not be had).
platform::DeviceError WriteSubscriptionList(std::u16string_view path, ChannelNode* root,
                                            bool exporting);

// Writes the outline elements of the node, its later siblings and everything below them.
// Unless exporting, each node is marked clean as it is written. Returns 0 or the first error.
platform::DeviceError WriteOutlines(BufferedFileWriter& file, ChannelNode* node, bool exporting);

// The bytes an export of the tree would write (what `nbtool read-opml --write` stores).
std::string FormatSubscriptionList(ChannelNode* root);

// Saves (empty path: SubscriptionListPath(), only when something changed) or exports (a path:
// always). A failure is reported through the save error reporter with "Unable to save OPML file
// : %s" and the system's text for the error. After an export the list-replaced flag is set.
// Returns the writer's result; the report is already made, so callers need not act on it.
platform::DeviceError SaveSubscriptionList(ChannelNode* root, std::u16string_view path = {});

// ---- Save error report and the list-replaced flag ----

// The interface installs a reporter that shows the message in a box (stop icon, caption
// "Nubrel", no owner). Without one the message is only kept (LastSaveErrorText).
using SaveErrorReporter = std::function<void(const std::u16string& message)>;

// Process-wide. The reporter and the last message are set on the interface thread; the flag is
// read and cleared by the main window's answer to other programs' query.
struct SubscriptionListState {
  std::mutex lock;                       // guards reporter and lastSaveError
  SaveErrorReporter reporter;            // the interface's error box; empty until it sets one
  std::u16string lastSaveError;          // the last save failure's message; empty when none yet
  std::atomic<bool> listReplaced{false};  // set by exports and reloads; read-and-cleared by 1125
};

// Installs the reporter (empty: none); returns the previous one.
SaveErrorReporter SetSaveErrorReporter(SaveErrorReporter reporter);
std::u16string LastSaveErrorText();
void SetListReplaced();
// Reads and clears the flag.
bool TakeListReplaced();
// Tests: no reporter, no message, flag clear.
void ResetSubscriptionListState();

}  // namespace nubrel
