// Starting device programs and opening files or addresses with the device's shell.
// Owns the map between device program paths and host executables, the device's command-line
// quoting rules, and the translation of the help viewer, browser and mail program onto xdg-open
// and xdg-email. Children are started directly (posix_spawn, never a shell) and reaped here.
// The notification service's timed and event starts are notifyd's; this only starts programs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/device_errors.h"

namespace platform {

// ---- The program's own device path ----

// The device path a host executable name stands for: "nubrel" -> "\Program Files\Nubrel\Nubrel.exe",
// "NubrelUpdate" -> "\Windows\NubrelUpdate.exe", "notifyd" -> "\Windows\notifyd.exe", a name
// beginning with "nbinst" (the setup library and its installer) -> "\Windows\nbinst.dll", and any
// other name (nbtool, the test programs) -> "\Program Files\Nubrel\<name>.exe".
std::u16string DeviceProgramPathForHostName(std::string_view hostExecutableName);

// This process's own device path, from the name of the running host executable.
std::u16string OwnProgramPath();

// ---- Device program paths to host executables ----

// What a device program turns into on the host.
enum class ProgramKind {
  kHostExecutable,  // started with its command line split into arguments
  kBrowser,         // "\Windows\iexplore.exe": the command line is one address for xdg-open
  kHelpViewer,      // "\Windows\peghelp.exe": "file:<help file>#<topic>" for xdg-open
  kMail,            // "\Windows\tmail.exe": its options become xdg-email's
  kShellOpener,     // "xdg-open" named bare, as the MIME commands of the registry name it
};

struct ResolvedProgram {
  ProgramKind kind = ProgramKind::kHostExecutable;
  std::string hostExecutable;  // absolute host path of what will be started
};

// Maps a device program path (compared without regard to case) to a host executable:
//   "\Program Files\Nubrel\Nubrel.exe", "\Windows\NubrelUpdate.exe", "\Windows\notifyd.exe"
//       -> Device().programBinDir/<nubrel|NubrelUpdate|notifyd> when it exists, else on PATH;
//   "\Program Files\Nubrel\<name>.exe" -> Device().programBinDir/<name> (never PATH);
//   "\Windows\peghelp.exe", "\Windows\iexplore.exe" -> xdg-open; "\Windows\tmail.exe" -> xdg-email;
//   a bare name: "xdg-open" is the shell opener, any other is looked for in "\Windows" (".exe"
//       added when it has no extension), as the device looks for programs named without a folder;
//   any other device path naming a regular file under the root that the host can execute.
// Returns 0, 2 when no such program exists (or its host tool is not installed), or the refusal of
// HostPathFor for a malformed path (123...).
DeviceError ResolveProgram(std::u16string_view deviceProgramPath, ResolvedProgram& program);

// ---- Command lines ----

// Splits a command line into arguments by the device's C runtime rules: spaces and tabs
// separate; double quotes group and are removed; backslashes are literal except before a quote,
// where 2n backslashes give n and the quote groups, 2n+1 give n and a literal quote; "" inside
// quotes is a literal quote. "" alone is an empty argument. Never fails.
std::vector<std::u16string> SplitCommandLine(std::u16string_view commandLine);

// The xdg-email arguments for a mail program command line such as
//   -service "ActiveSync" -to "a@b.c" -subject "Title" -body "http://..." -attach "\My Documents\x.jpg"
// Options are matched without regard to case; -service and unknown options are ignored.
// Gives [--cc A]... [--bcc A]... [--subject S] [--body B] [--attach HOSTPATH]... [ADDRESS]...:
// empty values are left out, attachments (device paths) become host paths, addresses of -to are
// split at ";" and ",". Returns 0; 87 for an address that could pass for an option ("-x");
// 2 for an attachment that does not exist, or the refusal of HostPathFor.
DeviceError MailArgumentsFor(std::u16string_view commandLine, std::vector<std::string>& xdgEmailArguments);

// What the shell opener is given for a target, or why it is refused:
//   an address with scheme http, https or mailto (scheme without regard to case) -> as written;
//   file: followed by a device path ("file://\My Documents\Web\x.htm") -> "file://<host path>",
//       percent-encoded; a file: address of a host path ("file:///...") -> as written;
//   a device path ("\My Documents\a.mp3") -> its host path (2 when the file is missing).
// Surrounding spaces are trimmed. Returns 0; 87 for an empty target; 5 for any other scheme
// (javascript:, data:, ftp:...), for text that is not an address at all, and for control
// characters anywhere; the refusal of HostPathFor for a device path it will not map.
DeviceError ShellTargetFor(std::u16string_view target, std::string& hostTarget);

// The address of a help file at a topic: "<device path of the help file>[#topic]" ->
// "file://<host path>[#topic]". A file named without a folder is looked for in "\Windows", then in
// "\Program Files\Nubrel". Returns 0; 87 when no file is named; 2 when the file does not exist.
DeviceError HelpTargetFor(std::u16string_view helpFileAndTopic, std::string& hostTarget);

// ---- Starting ----

// Starts a device program with one command-line string, detached: no shell, stdin from
// /dev/null, its own session, only the standard descriptors inherited, NUBREL_ROOT set to
// Device().root so it runs on this device, and reaped here when it ends (no zombies). The help
// viewer, browser and mail program are translated first (see ProgramKind). pid (optional)
// receives the child's host process id. Returns 0; 2 when the program does not exist; the
// refusals of ShellTargetFor, HelpTargetFor and MailArgumentsFor (then nothing starts); or the
// error of the start itself (8, 5...).
DeviceError StartProgram(std::u16string_view deviceProgramPath, std::u16string_view commandLine,
                         int* pid = nullptr);

// Opens a file or address with the shell (xdg-open), as ShellTargetFor allows. verb: "open"
// (any case) or empty; any other verb answers 50. Returns 0, the refusal (nothing starts), 2 when
// xdg-open is not installed, or the error of the start.
DeviceError OpenWithShell(std::u16string_view target, std::u16string_view verb = u"open",
                          int* pid = nullptr);

// Opens the help viewer at a help file and topic (see HelpTargetFor), through xdg-open.
DeviceError OpenHelp(std::u16string_view helpFileAndTopic, int* pid = nullptr);

// Starts a host executable directly, detached and reaped as StartProgram does; arguments[0] is
// the first argument after the program's name. Returns 0, 2 when it does not exist, 5 when it
// cannot be executed, 8 when there are not enough resources.
DeviceError StartHostProgram(const std::string& hostExecutable,
                             const std::vector<std::string>& arguments, int* pid = nullptr);

// ---- Host tools ----

// The host executable of a tool (xdg-open, xdg-email, nubrel...): the override set for it, else
// the first executable regular file of that name on PATH (looked up at every call, so a test may
// put its own first on PATH). Empty when there is none.
std::string FindHostTool(std::string_view name);

// Replaces a tool by a given host executable (tests); an empty path removes the override.
void SetHostToolOverride(std::string_view name, const std::string& hostExecutable);

}  // namespace platform
