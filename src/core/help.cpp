// ShowHelp: the help viewer's command line and its start. Finding the viewer on the host and
// turning "file:..." into something it can open are the process service's.
#include "core/help.h"

#include "platform/processes.h"
#include "shared/text.h"

namespace nubrel {

namespace {
constexpr char16_t kHelpViewer[] = u"peghelp.exe";
constexpr char16_t kHelpFile[] = u"file:Nubrel Help.htm";
}  // namespace

std::u16string HelpCommandLine(const char16_t* topic) {
  if (topic == nullptr || *topic == 0) return kHelpFile;
  return FormatString(u"file:Nubrel Help.htm#%s", topic);
}

void ShowHelp(const char16_t* topic) {
  // No viewer or no help file: the user simply sees no help, as on a device without it.
  (void)platform::StartProgram(kHelpViewer, HelpCommandLine(topic));
}

}  // namespace nubrel
