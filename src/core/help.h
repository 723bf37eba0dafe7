// Opening the program's help: the device's help viewer "peghelp.exe" at a topic of
// "Nubrel Help.htm". How the viewer is found and started on the host is the process service's
// (platform/processes.h); which topic a window asks for is that window's.
#pragma once

#include <string>
#include <string_view>

namespace nubrel {

// The help viewer's command line: "file:Nubrel Help.htm#<topic>", or "file:Nubrel Help.htm"
// when topic is null (no topic). An empty topic counts as none.
std::u16string HelpCommandLine(const char16_t* topic);

// Starts "peghelp.exe" with HelpCommandLine(topic). A viewer that cannot be started (no help
// file, no viewer on the host) is ignored: help is never worth an error box.
void ShowHelp(const char16_t* topic = nullptr);

}  // namespace nubrel
