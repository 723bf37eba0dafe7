// Starting device programs: command-line splitting, program path mapping, detached starts of real
// host programs, and the shell, help viewer and mail program over fake xdg-open / xdg-email.
#include "platform/processes.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/utf.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What a recording program saw: its NUBREL_ROOT and its arguments.
struct RecordedCall {
  std::string root;
  std::vector<std::string> args;
};

std::string Printable(const std::u16string& text) { return ToUtf8(text); }

// A temporary device (root, program folder, binaries folder) and a PATH holding only our own
// tool folder, so that no program of the machine is ever found or started.
class ProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nubrel-processes-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
    for (const char* sub : {"root", "bin", "tools", "program", "calls"}) fs::create_directories(base_ + "/" + sub);
    root_ = base_ + "/root";
    DeviceConfig config;
    config.root = root_;
    config.programFolder = base_ + "/program";
    config.programBinDir = base_ + "/bin";
    SetDeviceConfig(config);
    if (const char* old = std::getenv("PATH")) oldPath_ = old;
    ::setenv("PATH", (base_ + "/tools").c_str(), 1);
  }

  void TearDown() override {
    if (oldPath_) {
      ::setenv("PATH", oldPath_->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
    fs::remove_all(base_);
  }

  static void WriteFile(const std::string& path, const std::string& text, bool executable) {
    fs::create_directories(fs::path(path).parent_path());
    {
      std::ofstream out(path, std::ios::trunc);
      out << text;
    }
    ::chmod(path.c_str(), executable ? 0755 : 0644);
  }

  // A program that writes its NUBREL_ROOT, argument count and arguments (NUL-separated) to
  // calls/call.<its pid>, whole or not at all.
  void WriteRecorder(const std::string& path) {
    WriteFile(path,
              "#!/bin/sh\n"
              "PATH=/usr/bin:/bin\n"
              "out='" + base_ + "/calls/call.'$$\n"
              "{ printf '%s\\0' \"$NUBREL_ROOT\" \"$#\"; for a in \"$@\"; do printf '%s\\0' \"$a\"; done; } "
              "> \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n",
              true);
  }

  // Waits (at most 10 s) for the call a started recorder writes.
  std::optional<RecordedCall> WaitForCall(int pid) {
    std::string path = base_ + "/calls/call." + std::to_string(pid);
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
      if (fs::exists(path)) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::vector<std::string> fields;
        std::string field;
        while (std::getline(ss, field, '\0')) fields.push_back(field);
        if (fields.size() < 2) return std::nullopt;
        RecordedCall call{fields[0], {fields.begin() + 2, fields.end()}};
        EXPECT_EQ(std::to_string(call.args.size()), fields[1]);
        return call;
      }
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

  size_t CallCount() {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(base_ + "/calls")) {
      if (entry.path().extension() != ".tmp") ++n;
    }
    return n;
  }

  // Waits (at most 10 s) until the process is gone entirely: ended and reaped, not a zombie.
  static bool WaitUntilReaped(int pid) {
    for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
      if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  std::string base_;
  std::string root_;
  std::optional<std::string> oldPath_;
};

// ---- Command lines ----

TEST(ProcessesCommandLine, SplitsByTheDeviceQuotingRules) {
  struct Row {
    std::u16string line;
    std::vector<std::u16string> args;
  } rows[] = {
      {u"", {}},
      {u"a b c", {u"a", u"b", u"c"}},
      {u"  lead \t  trail  ", {u"lead", u"trail"}},
      {uR"("two words" x)", {u"two words", u"x"}},
      {uR"(ab"cd ef"gh)", {u"abcd efgh"}},
      {uR"(x "" y)", {u"x", u"", u"y"}},
      {uR"("a\"b")", {uR"(a"b)"}},
      {uR"("a""b")", {uR"(a"b)"}},
      {uR"("""")", {uR"(")"}},
      {uR"(a\\b \\server\share\)", {uR"(a\\b)", uR"(\\server\share\)"}},
      {uR"(a\\"b c")", {uR"(a\b c)"}},
      {uR"(a\\\"b)", {uR"(a\"b)"}},
      {uR"(a\\\\"b")", {uR"(a\\b)"}},
      {uR"("C:\Program Files\" next)", {uR"(C:\Program Files" next)"}},
      {uR"("unterminated quote)", {u"unterminated quote"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Printable(row.line));
    EXPECT_EQ(SplitCommandLine(row.line), row.args);
  }
}

// ---- Program paths ----

TEST_F(ProcessesTest, HostNamesMapToDevicePathsAndBack) {
  struct Row {
    const char* hostName;
    std::u16string devicePath;
    std::u16string writtenOtherwise;  // the same program as a caller might spell it
  } rows[] = {
      {"nubrel", u"\\Program Files\\Nubrel\\Nubrel.exe", u"\\PROGRAM FILES\\nubrel\\nubrel.EXE"},
      {"NubrelUpdate", u"\\Windows\\NubrelUpdate.exe", u"NubrelUpdate.exe"},
      {"notifyd", u"\\Windows\\notifyd.exe", u"\\windows\\NOTIFYD.exe"},
      {"nbtool", u"\\Program Files\\Nubrel\\nbtool.exe", u"\\Program Files\\Nubrel\\NBTOOL.exe"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.hostName);
    EXPECT_EQ(DeviceProgramPathForHostName(row.hostName), row.devicePath);
    std::string binary = base_ + "/bin/" + row.hostName;
    WriteFile(binary, "#!/bin/sh\n", true);
    for (const std::u16string& path : {row.devicePath, row.writtenOtherwise}) {
      SCOPED_TRACE(Printable(path));
      ResolvedProgram program;
      ASSERT_EQ(ResolveProgram(path, program), kErrorSuccess);
      EXPECT_EQ(program.kind, ProgramKind::kHostExecutable);
      EXPECT_EQ(program.hostExecutable, binary);
    }
  }
  EXPECT_EQ(DeviceProgramPathForHostName("nbinst"), u"\\Windows\\nbinst.dll");
  EXPECT_EQ(OwnProgramPath(), u"\\Program Files\\Nubrel\\platform_tests.exe");
}

TEST_F(ProcessesTest, OurProgramsAreFoundOnPathWhenNotInTheBinariesFolder) {
  WriteFile(base_ + "/tools/NubrelUpdate", "#!/bin/sh\n", true);
  ResolvedProgram program;
  ASSERT_EQ(ResolveProgram(u"\\Windows\\NubrelUpdate.exe", program), kErrorSuccess);
  EXPECT_EQ(program.hostExecutable, base_ + "/tools/NubrelUpdate");
  // Only our own programs are looked for on PATH: a device path must never reach any host tool.
  WriteFile(base_ + "/tools/sh", "#!/bin/sh\n", true);
  EXPECT_EQ(ResolveProgram(u"\\Program Files\\Nubrel\\sh.exe", program), kErrorFileNotFound);
  EXPECT_EQ(ResolveProgram(u"\\Windows\\sh.exe", program), kErrorFileNotFound);
}

TEST_F(ProcessesTest, MissingOrNonExecutableProgramsAreFileNotFound) {
  WriteFile(root_ + "/Tools/notes.txt", "just text\n", false);
  const std::u16string paths[] = {
      u"\\Windows\\nothing.exe",
      u"nothing",
      u"\\Program Files\\Nubrel\\Nubrel.exe",  // no reader in the binaries folder nor on PATH
      u"\\Windows\\tmail.exe",                 // no xdg-email on PATH
      u"\\Tools\\notes.txt",
      u"\\Tools",
  };
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(Printable(path));
    int pid = -1;
    EXPECT_EQ(StartProgram(path, u"arg", &pid), kErrorFileNotFound);
    EXPECT_EQ(pid, 0);
  }
  EXPECT_EQ(CallCount(), 0u);
}

// ---- Starting real programs ----

TEST_F(ProcessesTest, ArgumentsArriveVerbatimWithoutAShell) {
  WriteRecorder(root_ + "/Tools/record");
  const std::string pwned = base_ + "/PWNED";
  std::u16string line = FromUtf8(R"x("two words" "say \"hi\"" a;b "$(touch )x" + pwned +
                                 R"x()" `touch )x" + pwned + R"x(` * back\slash "end\\" "" 'single' |&>)x");
  int pid = 0;
  ASSERT_EQ(StartProgram(u"\\TOOLS\\Record", line, &pid), kErrorSuccess);
  ASSERT_GT(pid, 0);
  std::optional<RecordedCall> call = WaitForCall(pid);
  ASSERT_TRUE(call.has_value());
  std::vector<std::string> expected = {"two words", R"(say "hi")", "a;b", "$(touch " + pwned + ")",
                                       "`touch", pwned + "`", "*", R"(back\slash)", R"(end\)", "",
                                       "'single'", "|&>"};
  EXPECT_EQ(call->args, expected);
  EXPECT_EQ(call->root, root_);
  EXPECT_FALSE(fs::exists(pwned));
  EXPECT_TRUE(WaitUntilReaped(pid)) << "the child was left a zombie";
}

TEST_F(ProcessesTest, ChildHoldsNoneOfOurDescriptorsAndReadsNothing) {
  // A descriptor as a named mutex holds its lock file: without close-on-exec.
  int held = ::open((base_ + "/lockfile").c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(held, 0);
  const std::string fd = std::to_string(held);
  WriteFile(root_ + "/Tools/fds",
            "#!/bin/sh\n"
            "PATH=/usr/bin:/bin\n"
            "out='" + base_ + "/calls/call.'$$\n"
            "if [ -e /proc/$$/fd/" + fd + " ]; then held=open; else held=closed; fi\n"
            "{ printf '%s\\0' \"$NUBREL_ROOT\" 2 \"$held\" \"$(readlink /proc/$$/fd/0)\"; } "
            "> \"$out.tmp\" && mv \"$out.tmp\" \"$out\"\n",
            true);
  int pid = 0;
  DeviceError err = StartProgram(u"\\Tools\\fds", u"", &pid);
  ::close(held);
  ASSERT_EQ(err, kErrorSuccess);
  std::optional<RecordedCall> call = WaitForCall(pid);
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->args, (std::vector<std::string>{"closed", "/dev/null"}));
}

TEST_F(ProcessesTest, UpdaterStartsTheReaderThroughItsDevicePath) {
  WriteRecorder(base_ + "/bin/nubrel");
  std::optional<std::string> oldRoot;
  if (const char* old = std::getenv("NUBREL_ROOT")) oldRoot = old;
  ::setenv("NUBREL_ROOT", "/somewhere/else", 1);  // the child's root is the device's, not ours
  int pid = 0;
  DeviceError err = StartProgram(u"\\Program Files\\Nubrel\\Nubrel.exe", u"UpdateAll", &pid);
  if (oldRoot) {
    ::setenv("NUBREL_ROOT", oldRoot->c_str(), 1);
  } else {
    ::unsetenv("NUBREL_ROOT");
  }
  ASSERT_EQ(err, kErrorSuccess);
  std::optional<RecordedCall> call = WaitForCall(pid);
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->args, std::vector<std::string>{"UpdateAll"});
  EXPECT_EQ(call->root, root_);
}

// ---- The shell ----

TEST_F(ProcessesTest, ShellTargetsAreAllowedOnlyForSafeSchemesAndDeviceFiles) {
  WriteFile(root_ + "/Web/page one.htm", "<html></html>", false);
  WriteFile(root_ + "/Podcasts/show.mp3", "ID3", false);
  struct Row {
    std::u16string target;
    DeviceError error;
    std::string host;  // what xdg-open is given
  } rows[] = {
      {u"http://example.com/a?b=1&c=$(x)", kErrorSuccess, "http://example.com/a?b=1&c=$(x)"},
      {u"  HTTPS://Example.com/  ", kErrorSuccess, "HTTPS://Example.com/"},
      {u"mailto:someone@example.com", kErrorSuccess, "mailto:someone@example.com"},
      {u"file:///usr/share/doc/x.html", kErrorSuccess, "file:///usr/share/doc/x.html"},
      {u"file://\\Web\\page one.htm", kErrorSuccess, "file://" + root_ + "/Web/page%20one.htm"},
      {u"FILE:\\web\\PAGE ONE.htm", kErrorSuccess, "file://" + root_ + "/Web/page%20one.htm"},
      {u"\\Podcasts\\show.mp3", kErrorSuccess, root_ + "/Podcasts/show.mp3"},
      {u"\\Podcasts\\missing.mp3", kErrorFileNotFound, ""},
      {u"file://\\Web\\missing.htm", kErrorFileNotFound, ""},
      {u"\\..\\..\\etc\\passwd", kErrorInvalidName, ""},
      {u"javascript:alert(1)", kErrorAccessDenied, ""},
      {u"JavaScript:alert(1)", kErrorAccessDenied, ""},
      {u"data:text/html,<script>x</script>", kErrorAccessDenied, ""},
      {u"ftp://example.com/file", kErrorAccessDenied, ""},
      {u"file:relative.htm", kErrorAccessDenied, ""},
      {u"$(touch /tmp/x)", kErrorAccessDenied, ""},
      {u"; rm -rf ~", kErrorAccessDenied, ""},
      {u"--help", kErrorAccessDenied, ""},
      {u"example.com", kErrorAccessDenied, ""},
      {u"http://example.com/\nrm -rf ~", kErrorAccessDenied, ""},
      {u"", kErrorInvalidParameter, ""},
      {u"   ", kErrorInvalidParameter, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Printable(row.target));
    std::string host = "stale";
    EXPECT_EQ(ShellTargetFor(row.target, host), row.error);
    EXPECT_EQ(host, row.host);
  }
}

TEST_F(ProcessesTest, OpenWithShellGivesXdgOpenOneArgumentAndStartsNothingWhenRefused) {
  WriteRecorder(base_ + "/tools/xdg-open");
  const std::u16string refused[] = {u"javascript:alert(1)", u"data:,x", u"ftp://h/f", u"`id`"};
  for (const std::u16string& target : refused) {
    SCOPED_TRACE(Printable(target));
    int pid = -1;
    EXPECT_EQ(OpenWithShell(target, u"open", &pid), kErrorAccessDenied);
    EXPECT_EQ(pid, 0);
  }
  EXPECT_EQ(OpenWithShell(u"http://example.com/", u"print"), kErrorNotSupported);

  // Each way the reader opens an address, in turn; each must reach xdg-open as one argument.
  struct Row {
    std::u16string program;  // empty: OpenWithShell
    std::u16string commandLine;
    std::string expected;
  } rows[] = {
      {u"", u"http://example.com/a b?q=1;x=`y`", "http://example.com/a b?q=1;x=`y`"},
      {u"\\windows\\IEXPLORE.EXE", u"http://example.com/story?id=7&s=2", "http://example.com/story?id=7&s=2"},
      {u"xdg-open", u"\"http://example.com/show one.mp3\"", "http://example.com/show one.mp3"},
  };
  size_t calls = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(Printable(row.commandLine));
    int pid = 0;
    DeviceError err = row.program.empty() ? OpenWithShell(row.commandLine, u"OPEN", &pid)
                                          : StartProgram(row.program, row.commandLine, &pid);
    ASSERT_EQ(err, kErrorSuccess);
    std::optional<RecordedCall> call = WaitForCall(pid);
    ASSERT_TRUE(call.has_value());
    EXPECT_EQ(call->args, std::vector<std::string>{row.expected});
    EXPECT_EQ(CallCount(), ++calls) << "a refused target started xdg-open";
  }
  EXPECT_EQ(StartProgram(u"\\Windows\\iexplore.exe", u"javascript:alert(1)"), kErrorAccessDenied);
  EXPECT_EQ(StartProgram(u"xdg-open", u"http://a/ http://b/"), kErrorInvalidParameter);
  EXPECT_EQ(CallCount(), calls);
}

TEST_F(ProcessesTest, HelpOpensTheHelpFileAtItsTopic) {
  WriteFile(root_ + "/Windows/Nubrel Help.htm", "<html></html>", false);
  WriteFile(base_ + "/program/Other Help.htm", "<html></html>", false);
  const std::string helpUrl = "file://" + root_ + "/Windows/Nubrel%20Help.htm";
  struct Row {
    std::u16string target;
    DeviceError error;
    std::string url;
  } rows[] = {
      {u"Nubrel Help.htm#Subscribing", kErrorSuccess, helpUrl + "#Subscribing"},
      {u"Nubrel Help.htm", kErrorSuccess, helpUrl},
      {u"\\windows\\nubrel help.htm#a b", kErrorSuccess, helpUrl + "#a%20b"},
      {u"Other Help.htm#x", kErrorSuccess, "file://" + base_ + "/program/Other%20Help.htm#x"},
      {u"Missing.htm#x", kErrorFileNotFound, ""},
      {u"#topic", kErrorInvalidParameter, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Printable(row.target));
    std::string url;
    EXPECT_EQ(HelpTargetFor(row.target, url), row.error);
    EXPECT_EQ(url, row.url);
  }

  // The help viewer as the reader starts it, named without a folder.
  WriteRecorder(base_ + "/tools/xdg-open");
  int pid = 0;
  ASSERT_EQ(StartProgram(u"peghelp.exe", u"file:Nubrel Help.htm#Subscribing", &pid), kErrorSuccess);
  std::optional<RecordedCall> call = WaitForCall(pid);
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->args, std::vector<std::string>{helpUrl + "#Subscribing"});
}

// ---- Mail ----

TEST_F(ProcessesTest, MailCommandLinesBecomeXdgEmailArguments) {
  WriteFile(root_ + "/My Documents/pic one.jpg", "JFIF", false);
  struct Row {
    std::u16string line;
    DeviceError error;
    std::vector<std::string> args;
  } rows[] = {
      {uR"(-service "ActiveSync" -to "" -subject "Big news" -body "http://x/a?b=1&c=2")", kErrorSuccess,
       {"--subject", "Big news", "--body", "http://x/a?b=1&c=2"}},
      {uR"(-attach "\My Documents\pic one.jpg")", kErrorSuccess,
       {"--attach", root_ + "/My Documents/pic one.jpg"}},
      {uR"x(-TO "a@b.c; d@e.f" -cc "g@h.i" -Subject "say \"hi\" $(x)" -body "")x", kErrorSuccess,
       {"--cc", "g@h.i", "--subject", R"x(say "hi" $(x))x", "a@b.c", "d@e.f"}},
      {uR"(-subject "-5 degrees" -to "x@y.z")", kErrorSuccess, {"--subject", "-5 degrees", "x@y.z"}},
      {uR"(-to "--attach=/etc/shadow")", kErrorInvalidParameter, {}},
      {uR"(-attach "\My Documents\missing.jpg")", kErrorFileNotFound, {}},
      {u"", kErrorSuccess, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Printable(row.line));
    std::vector<std::string> args = {"stale"};
    EXPECT_EQ(MailArgumentsFor(row.line, args), row.error);
    EXPECT_EQ(args, row.args);
  }

  WriteRecorder(base_ + "/tools/xdg-email");
  int pid = 0;
  ASSERT_EQ(StartProgram(u"tmail.exe", u"-subject \"Title\" -body \"http://x/\"", &pid), kErrorSuccess);
  std::optional<RecordedCall> call = WaitForCall(pid);
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->args, (std::vector<std::string>{"--subject", "Title", "--body", "http://x/"}));
  EXPECT_EQ(StartProgram(u"\\Windows\\tmail.exe", u"-to \"-x\""), kErrorInvalidParameter);
}

TEST_F(ProcessesTest, OverrideReplacesTheToolFoundOnPath) {
  WriteFile(base_ + "/tools/xdg-open", "#!/bin/sh\n", true);
  WriteRecorder(base_ + "/elsewhere/opener");
  SetHostToolOverride("xdg-open", base_ + "/elsewhere/opener");
  EXPECT_EQ(FindHostTool("xdg-open"), base_ + "/elsewhere/opener");
  int pid = 0;
  DeviceError err = OpenWithShell(u"https://example.com/", u"", &pid);
  SetHostToolOverride("xdg-open", "");
  ASSERT_EQ(err, kErrorSuccess);
  ASSERT_TRUE(WaitForCall(pid).has_value());
  EXPECT_EQ(FindHostTool("xdg-open"), base_ + "/tools/xdg-open");
}

}  // namespace
}  // namespace platform
