// Device programs on the host: path mapping, command-line splitting, the shell's targets, and
// detached starts through posix_spawn; see processes.h. File system mapping is files.cpp's.
//
// Map:
//   ---- Text helpers ----        case folding, trimming, percent-encoding for file addresses
//   ---- Host tools ----          overrides and the PATH search
//   ---- Own path ----            host executable name -> device path
//   ---- Resolving programs ----  device path -> host executable and kind
//   ---- Command lines ----       the C runtime splitting rules, mail options
//   ---- Shell targets ----       which addresses and files the shell may open
//   ---- Starting ----            posix_spawn and the reaping of children
#include "platform/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/device.h"
#include "platform/files.h"
#include "platform/utf.h"

extern char** environ;

namespace platform {

namespace {

// ---- Text helpers ----

char16_t AsciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

std::u16string LowerCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = AsciiLower(c);
  return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && (IsBlank(text.front()) || text.front() == u'\r' || text.front() == u'\n'))
    text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == u'\r' || text.back() == u'\n'))
    text.remove_suffix(1);
  return text;
}

bool HasControlCharacter(std::u16string_view text) {
  for (char16_t c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Percent-encodes everything but the unreserved characters (and "/" in a path), so that a host
// path with spaces or "#" in a name survives as one file address.
std::string PercentEncode(const std::string& bytes, bool keepSlash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || (keepSlash && c == '/');
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string FileAddressFor(const std::string& hostPath) { return "file://" + PercentEncode(hostPath, true); }

bool IsExecutableFile(const std::string& hostPath) {
  struct stat st {};
  return ::stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(hostPath.c_str(), X_OK) == 0;
}

bool Exists(const std::string& hostPath) {
  struct stat st {};
  return ::stat(hostPath.c_str(), &st) == 0;
}

// ---- Host tools ----

// Tools replaced by tests. Guarded by its own lock; written only by SetHostToolOverride.
struct HostToolOverrides {
  std::mutex lock;
  std::map<std::string, std::string, std::less<>> paths;  // tool name -> host executable
};

HostToolOverrides& Overrides() {
  static HostToolOverrides overrides;
  return overrides;
}

}  // namespace

std::string FindHostTool(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return {};
  {
    HostToolOverrides& o = Overrides();
    std::lock_guard<std::mutex> guard(o.lock);
    auto it = o.paths.find(name);
    if (it != o.paths.end()) return it->second;
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    // An empty entry would mean the current folder: never search it for a tool.
    if (!dir.empty() && dir[0] == '/') {
      std::string candidate = dir + "/" + std::string(name);
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return {};
}

void SetHostToolOverride(std::string_view name, const std::string& hostExecutable) {
  HostToolOverrides& o = Overrides();
  std::lock_guard<std::mutex> guard(o.lock);
  if (hostExecutable.empty()) {
    auto it = o.paths.find(name);
    if (it != o.paths.end()) o.paths.erase(it);
  } else {
    o.paths[std::string(name)] = hostExecutable;
  }
}

// ---- Own path ----

std::u16string DeviceProgramPathForHostName(std::string_view name) {
  if (name.empty()) return {};
  if (name == "nubrel") return u"\\Program Files\\Nubrel\\Nubrel.exe";
  if (name == "NubrelUpdate") return u"\\Windows\\NubrelUpdate.exe";
  if (name == "notifyd") return u"\\Windows\\notifyd.exe";
  if (name.substr(0, 6) == "nbinst") return u"\\Windows\\nbinst.dll";
  return u"\\Program Files\\Nubrel\\" + FromUtf8(name) + u".exe";
}

std::u16string OwnProgramPath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string exe(buf, static_cast<size_t>(n));
  // The kernel marks an executable replaced while it runs (a reinstall); its name still counts.
  const std::string deleted = " (deleted)";
  if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
    exe.resize(exe.size() - deleted.size());
  return DeviceProgramPathForHostName(exe.substr(exe.rfind('/') + 1));
}

// ---- Resolving programs ----

namespace {

struct KnownProgram {
  std::u16string_view devicePath;  // lower case
  const char* hostName;            // the host executable or tool
  ProgramKind kind;
  bool ours;  // one of our own programs: looked for beside the reader before PATH
};

constexpr KnownProgram kKnownPrograms[] = {
    {u"\\program files\\nubrel\\nubrel.exe", "nubrel", ProgramKind::kHostExecutable, true},
    {u"\\windows\\nubrelupdate.exe", "NubrelUpdate", ProgramKind::kHostExecutable, true},
    {u"\\windows\\notifyd.exe", "notifyd", ProgramKind::kHostExecutable, true},
    {u"\\windows\\iexplore.exe", "xdg-open", ProgramKind::kBrowser, false},
    {u"\\windows\\peghelp.exe", "xdg-open", ProgramKind::kHelpViewer, false},
    {u"\\windows\\tmail.exe", "xdg-email", ProgramKind::kMail, false},
};

constexpr std::u16string_view kProgramFolderPrefix = u"\\program files\\nubrel\\";

// A program of ours in the binaries folder, its name matched without regard to case since the
// device path of "nbtool" reads "nbtool.exe" and that of the reader "Nubrel.exe".
std::string FindInProgramBinDir(const std::string& stem) {
  const std::string& dir = Device().programBinDir;
  if (dir.empty() || stem.empty()) return {};
  if (IsExecutableFile(dir + "/" + stem)) return dir + "/" + stem;
  std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(dir.c_str()), ::closedir);
  if (!folder) return {};
  while (dirent* entry = ::readdir(folder.get())) {
    std::string name = entry->d_name;
    if (EqualsNoCase(name, stem) && IsExecutableFile(dir + "/" + name)) return dir + "/" + name;
  }
  return {};
}

}  // namespace

DeviceError ResolveProgram(std::u16string_view deviceProgramPath, ResolvedProgram& program) {
  program = ResolvedProgram{};
  std::u16string_view path = Trim(deviceProgramPath);
  if (path.empty()) return kErrorFileNotFound;
  std::u16string lower = LowerCase(path);

  if (lower.find(u'\\') == std::u16string::npos) {
    if (lower == u"xdg-open") {
      program.kind = ProgramKind::kShellOpener;
      program.hostExecutable = FindHostTool("xdg-open");
      return program.hostExecutable.empty() ? kErrorFileNotFound : kErrorSuccess;
    }
    std::u16string inWindows = u"\\Windows\\" + std::u16string(path);
    if (lower.find(u'.') == std::u16string::npos) inWindows += u".exe";
    return ResolveProgram(inWindows, program);
  }

  for (const KnownProgram& known : kKnownPrograms) {
    if (lower != known.devicePath) continue;
    program.kind = known.kind;
    if (known.ours) program.hostExecutable = FindInProgramBinDir(known.hostName);
    if (program.hostExecutable.empty()) program.hostExecutable = FindHostTool(known.hostName);
    return program.hostExecutable.empty() ? kErrorFileNotFound : kErrorSuccess;
  }

  if (lower.size() > kProgramFolderPrefix.size() + 4 && lower.starts_with(kProgramFolderPrefix) &&
      lower.ends_with(u".exe")) {
    std::u16string_view stem = path.substr(kProgramFolderPrefix.size(),
                                           path.size() - kProgramFolderPrefix.size() - 4);
    if (stem.find(u'\\') == std::u16string_view::npos) {
      program.hostExecutable = FindInProgramBinDir(ToUtf8(stem));
      if (!program.hostExecutable.empty()) return kErrorSuccess;
    }
  }

  std::string host;
  if (DeviceError err = HostPathFor(path, host)) return err == kErrorPathNotFound ? kErrorFileNotFound : err;
  if (!IsExecutableFile(host)) return kErrorFileNotFound;
  program.hostExecutable = host;
  return kErrorSuccess;
}

// ---- Command lines ----

std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  const size_t n = line.size();
  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::u16string arg;
    bool quoted = false;
    while (i < n) {
      char16_t c = line[i];
      if (IsBlank(c) && !quoted) break;
      if (c == u'\\') {
        size_t run = 0;
        while (i + run < n && line[i + run] == u'\\') ++run;
        if (i + run < n && line[i + run] == u'"') {
          arg.append(run / 2, u'\\');
          if (run % 2 == 1) {
            arg += u'"';
            i += run + 1;
          } else {
            i += run;  // the quote groups; it is read next
          }
        } else {
          arg.append(run, u'\\');
          i += run;
        }
        continue;
      }
      if (c == u'"') {
        if (quoted && i + 1 < n && line[i + 1] == u'"') {
          arg += u'"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
        continue;
      }
      arg += c;
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

namespace {

// A device file that must exist, as a host path.
// host is left alone on failure.
DeviceError ExistingHostFile(std::u16string_view devicePath, std::string& host) {
  std::string mapped;
  if (DeviceError err = HostPathFor(devicePath, mapped)) return err;
  if (!Exists(mapped)) return kErrorFileNotFound;
  host = std::move(mapped);
  return kErrorSuccess;
}

// Splits a -to, -cc or -bcc value into addresses; one that starts like an option is refused,
// since xdg-email would take it for one.
DeviceError AddAddresses(std::u16string_view value, std::vector<std::string>& addresses) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find_first_of(u";,", start);
    if (end == std::u16string_view::npos) end = value.size();
    std::u16string_view address = Trim(value.substr(start, end - start));
    if (!address.empty()) {
      if (address.front() == u'-') return kErrorInvalidParameter;
      addresses.push_back(ToUtf8(address));
    }
    start = end + 1;
  }
  return kErrorSuccess;
}

}  // namespace

DeviceError MailArgumentsFor(std::u16string_view commandLine, std::vector<std::string>& out) {
  out.clear();
  std::vector<std::u16string> tokens = SplitCommandLine(commandLine);
  std::vector<std::string> to, cc, bcc, attachments;
  std::u16string subject, body;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::u16string& option = tokens[i];
    if (option.empty() || option[0] != u'-' || i + 1 >= tokens.size()) continue;
    const std::u16string& value = tokens[++i];
    std::u16string name = LowerCase(option.substr(1));
    DeviceError err = kErrorSuccess;
    if (name == u"to") {
      err = AddAddresses(value, to);
    } else if (name == u"cc") {
      err = AddAddresses(value, cc);
    } else if (name == u"bcc") {
      err = AddAddresses(value, bcc);
    } else if (name == u"subject") {
      subject = value;
    } else if (name == u"body") {
      body = value;
    } else if (name == u"attach") {
      if (!Trim(value).empty()) {
        std::string host;
        err = ExistingHostFile(Trim(value), host);
        if (!err) attachments.push_back(host);
      }
    }
    // -service names the mail account; the desktop's mail program has its own.
    if (err) return err;
  }
  for (const std::string& a : cc) out.insert(out.end(), {"--cc", a});
  for (const std::string& a : bcc) out.insert(out.end(), {"--bcc", a});
  if (!subject.empty()) out.insert(out.end(), {"--subject", ToUtf8(subject)});
  if (!body.empty()) out.insert(out.end(), {"--body", ToUtf8(body)});
  for (const std::string& a : attachments) out.insert(out.end(), {"--attach", a});
  out.insert(out.end(), to.begin(), to.end());
  return kErrorSuccess;
}

// ---- Shell targets ----

namespace {

// The scheme of an address ("http" in "http://x"), empty when the text does not start with one.
std::u16string_view SchemeOf(std::u16string_view text) {
  if (text.empty() || !((text[0] >= u'a' && text[0] <= u'z') || (text[0] >= u'A' && text[0] <= u'Z')))
    return {};
  size_t i = 1;
  while (i < text.size()) {
    char16_t c = text[i];
    bool schemeChar = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                      c == u'+' || c == u'-' || c == u'.';
    if (!schemeChar) break;
    ++i;
  }
  if (i >= text.size() || text[i] != u':') return {};
  return text.substr(0, i);
}

}  // namespace

DeviceError ShellTargetFor(std::u16string_view target, std::string& hostTarget) {
  hostTarget.clear();
  std::u16string_view t = Trim(target);
  if (t.empty()) return kErrorInvalidParameter;
  if (HasControlCharacter(t)) return kErrorAccessDenied;

  if (t.front() == u'\\') return ExistingHostFile(t, hostTarget);

  std::u16string_view scheme = SchemeOf(t);
  if (EqualsNoCase(scheme, u"http") || EqualsNoCase(scheme, u"https") || EqualsNoCase(scheme, u"mailto")) {
    hostTarget = ToUtf8(t);
    return kErrorSuccess;
  }
  if (EqualsNoCase(scheme, u"file")) {
    std::u16string_view rest = t.substr(5);
    if (rest.starts_with(u"//")) rest.remove_prefix(2);
    if (!rest.empty() && rest.front() == u'\\') {
      std::string host;
      if (DeviceError err = ExistingHostFile(rest, host)) return err;
      hostTarget = FileAddressFor(host);
      return kErrorSuccess;
    }
    if (!rest.empty() && rest.front() == u'/') {
      hostTarget = ToUtf8(t);
      return kErrorSuccess;
    }
  }
  // Everything else, a script address or text that is no address at all, could make the
  // desktop run something the user never chose.
  return kErrorAccessDenied;
}

DeviceError HelpTargetFor(std::u16string_view helpFileAndTopic, std::string& hostTarget) {
  hostTarget.clear();
  std::u16string_view text = Trim(helpFileAndTopic);
  if (HasControlCharacter(text)) return kErrorInvalidParameter;
  size_t hash = text.find(u'#');
  std::u16string_view file = Trim(text.substr(0, hash));
  std::u16string_view topic = hash == std::u16string_view::npos ? std::u16string_view{} : text.substr(hash + 1);
  if (file.empty()) return kErrorInvalidParameter;

  std::string host;
  if (file.find(u'\\') == std::u16string_view::npos) {
    DeviceError err = kErrorFileNotFound;
    for (std::u16string_view folder : {u"\\Windows\\", u"\\Program Files\\Nubrel\\"}) {
      err = ExistingHostFile(std::u16string(folder) + std::u16string(file), host);
      if (!err) break;
    }
    if (err) return err;
  } else if (DeviceError err = ExistingHostFile(file, host)) {
    return err;
  }
  hostTarget = FileAddressFor(host);
  if (!topic.empty()) hostTarget += "#" + PercentEncode(ToUtf8(topic), false);
  return kErrorSuccess;
}

// ---- Starting ----

namespace {

// Children whose reaper thread could not be started; each later start collects those that have
// ended. Guarded by its own lock.
struct UnreapedChildren {
  std::mutex lock;
  std::vector<pid_t> pids;  // started, not yet waited for
};

UnreapedChildren& Unreaped() {
  static UnreapedChildren children;
  return children;
}

void* ReapChild(void* arg) {
  // Signals meant for the program must not land on this thread.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  pid_t pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return nullptr;
}

void CollectEndedChildren() {
  UnreapedChildren& u = Unreaped();
  std::lock_guard<std::mutex> guard(u.lock);
  std::erase_if(u.pids, [](pid_t pid) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
  });
}

void ReapInBackground(pid_t pid) {
  pthread_attr_t attr;
  bool started = false;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    started = pthread_create(&thread, &attr, ReapChild, reinterpret_cast<void*>(static_cast<intptr_t>(pid))) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!started) {
    UnreapedChildren& u = Unreaped();
    std::lock_guard<std::mutex> guard(u.lock);
    u.pids.push_back(pid);
  }
}

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  bool ready = posix_spawn_file_actions_init(&actions) == 0;
  ~SpawnActions() {
    if (ready) posix_spawn_file_actions_destroy(&actions);
  }
};

struct SpawnAttributes {
  posix_spawnattr_t attr;
  bool ready = posix_spawnattr_init(&attr) == 0;
  ~SpawnAttributes() {
    if (ready) posix_spawnattr_destroy(&attr);
  }
};

DeviceError SpawnErrorToDevice(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case ENOEXEC: return kErrorAccessDenied;
    case ENOMEM:
    case EAGAIN: return kErrorNotEnoughMemory;
    default: return DeviceErrorFromErrno(err);
  }
}

}  // namespace

DeviceError StartHostProgram(const std::string& hostExecutable, const std::vector<std::string>& arguments,
                             int* pid) {
  if (pid) *pid = 0;
  if (hostExecutable.empty()) return kErrorFileNotFound;
  CollectEndedChildren();

  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e) {
    if (std::string_view(*e).starts_with("NUBREL_ROOT=")) continue;
    environment.emplace_back(*e);
  }
  if (!Device().root.empty()) environment.push_back("NUBREL_ROOT=" + Device().root);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(hostExecutable.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.ready || !attributes.ready) return kErrorNotEnoughMemory;
  // The child must not hold our lock files (a named mutex lives in a descriptor's flock) nor
  // read the terminal we were started from.
  posix_spawn_file_actions_addopen(&actions.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions.actions, STDERR_FILENO + 1);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes.attr, &none);
  posix_spawnattr_setsigdefault(&attributes.attr, &all);
  // Its own session: closing our terminal or stopping our process group leaves it running.
  posix_spawnattr_setflags(&attributes.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

  pid_t child = 0;
  int rc = posix_spawn(&child, hostExecutable.c_str(), &actions.actions, &attributes.attr, argv.data(),
                       envp.data());
  if (rc != 0) return SpawnErrorToDevice(rc);
  ReapInBackground(child);
  if (pid) *pid = static_cast<int>(child);
  return kErrorSuccess;
}

namespace {

// The browser takes its whole command line as the address; quotes around it are the caller's.
std::u16string BrowserTarget(std::u16string_view commandLine) {
  std::u16string_view t = Trim(commandLine);
  if (!t.empty() && t.front() == u'"') {
    std::vector<std::u16string> args = SplitCommandLine(t);
    if (args.size() == 1) return args[0];
  }
  return std::u16string(t);
}

// The help viewer is given "file:<help file>#<topic>", the file name with spaces and unquoted.
std::u16string HelpViewerTarget(std::u16string_view commandLine) {
  std::u16string_view t = Trim(commandLine);
  if (t.size() >= 2 && t.front() == u'"' && t.back() == u'"') t = Trim(t.substr(1, t.size() - 2));
  if (StartsWithNoCase(t, u"file:")) {
    t.remove_prefix(5);
    if (t.starts_with(u"//")) t.remove_prefix(2);
  }
  return std::u16string(t);
}

}  // namespace

DeviceError StartProgram(std::u16string_view deviceProgramPath, std::u16string_view commandLine, int* pid) {
  if (pid) *pid = 0;
  ResolvedProgram program;
  if (DeviceError err = ResolveProgram(deviceProgramPath, program)) return err;

  std::vector<std::string> args;
  std::string target;
  DeviceError err = kErrorSuccess;
  switch (program.kind) {
    case ProgramKind::kHostExecutable:
      for (const std::u16string& a : SplitCommandLine(commandLine)) args.push_back(ToUtf8(a));
      break;
    case ProgramKind::kBrowser:
      err = ShellTargetFor(BrowserTarget(commandLine), target);
      args.push_back(target);
      break;
    case ProgramKind::kShellOpener: {
      std::vector<std::u16string> split = SplitCommandLine(commandLine);
      err = split.size() == 1 ? ShellTargetFor(split[0], target) : kErrorInvalidParameter;
      args.push_back(target);
      break;
    }
    case ProgramKind::kHelpViewer:
      err = HelpTargetFor(HelpViewerTarget(commandLine), target);
      args.push_back(target);
      break;
    case ProgramKind::kMail:
      err = MailArgumentsFor(commandLine, args);
      break;
  }
  if (err) return err;
  return StartHostProgram(program.hostExecutable, args, pid);
}

DeviceError OpenWithShell(std::u16string_view target, std::u16string_view verb, int* pid) {
  if (pid) *pid = 0;
  if (!verb.empty() && !EqualsNoCase(verb, u"open")) return kErrorNotSupported;
  std::string hostTarget;
  if (DeviceError err = ShellTargetFor(target, hostTarget)) return err;
  std::string opener = FindHostTool("xdg-open");
  if (opener.empty()) return kErrorFileNotFound;
  return StartHostProgram(opener, {hostTarget}, pid);
}

DeviceError OpenHelp(std::u16string_view helpFileAndTopic, int* pid) {
  if (pid) *pid = 0;
  std::string hostTarget;
  if (DeviceError err = HelpTargetFor(helpFileAndTopic, hostTarget)) return err;
  std::string opener = FindHostTool("xdg-open");
  if (opener.empty()) return kErrorFileNotFound;
  return StartHostProgram(opener, {hostTarget}, pid);
}

}  // namespace platform
