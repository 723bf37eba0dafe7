// Helpers for the window tests: a private device root per test, and peer processes made by
// re-running this test program with a role in its environment (a forked copy could not use the
// threads a peer needs). A role runs from a test environment before any test, then exits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/device.h"
#include "platform/window_messages.h"

extern char** environ;

namespace platform::window_test {

inline constexpr const char* kRoleVariable = "NUBREL_WINDOW_TEST_ROLE";
inline constexpr const char* kRootVariable = "NUBREL_WINDOW_TEST_ROOT";
// A peer reports on this descriptor and ends when it reads end-of-file on the next one.
inline constexpr int kReportFd = 3;
inline constexpr int kControlFd = 4;
// No peer outlives this, whatever happens to the test that made it.
inline constexpr int kPeerLifetimeMs = 30000;

using Clock = std::chrono::steady_clock;

inline int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- Roles run by peer processes ----

using Role = std::function<int()>;  // returns the peer's exit code

inline std::map<std::string, Role>& Roles() {
  static std::map<std::string, Role> roles;
  return roles;
}

struct RoleRegistration {
  RoleRegistration(const char* name, Role role) { Roles()[name] = std::move(role); }
};

// Runs in every start of the test program; in a peer it takes over before the first test.
class RoleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* role = std::getenv(kRoleVariable);
    if (!role) return;
    const char* root = std::getenv(kRootVariable);
    DeviceConfig config;
    config.root = root ? root : "";
    SetDeviceConfig(config);
    auto it = Roles().find(role);
    int code = it == Roles().end() ? 100 : it->second();
    ::_exit(code);
  }
};

inline const bool kRoleEnvironmentAdded =
    (::testing::AddGlobalTestEnvironment(new RoleEnvironment), true);

// Peer side: one byte to the test process.
inline void Report(unsigned char byte) { (void)!::write(kReportFd, &byte, 1); }

// Peer side: true once the test process has let go of us (closed our control pipe or died).
inline bool Dismissed() {
  pollfd p{kControlFd, POLLIN, 0};
  return ::poll(&p, 1, 0) != 0;
}

// ---- The test process's side ----

// A peer process, killed and reaped on destruction if still there.
class Peer {
 public:
  Peer() = default;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() {
    Dismiss();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Reap(5000);
    }
    if (report_ >= 0) ::close(report_);
  }

  // Starts this program as `role` on the current device root, with extra environment entries.
  bool Start(const std::string& role, const std::vector<std::string>& extraEnvironment = {}) {
    int report[2], control[2];
    if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(control, O_CLOEXEC) != 0) return false;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back(std::string(kRoleVariable) + "=" + role);
    env.push_back(std::string(kRootVariable) + "=" + Device().root);
    for (const auto& extra : extraEnvironment) env.push_back(extra);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Any test name will do: the role takes over before tests run, but only if one would run.
    const ::testing::TestInfo* current = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + current->test_suite_name() + "." +
                         current->name();
    std::string exe = "/proc/self/exe";
    std::vector<char*> argv{exe.data(), filter.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, report[1], kReportFd);
    posix_spawn_file_actions_adddup2(&actions, control[0], kControlFd);
    int rc = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(report[1]);
    ::close(control[0]);
    report_ = report[0];
    control_ = control[1];
    if (rc != 0) {
      pid_ = -1;
      return false;
    }
    return true;
  }

  // The next byte the peer reports, or -1 when none came within timeoutMs.
  int ReadReport(int timeoutMs) {
    pollfd p{report_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    unsigned char byte = 0;
    return ::read(report_, &byte, 1) == 1 ? byte : -1;
  }

  // Lets the peer go: it ends by itself.
  void Dismiss() {
    if (control_ >= 0) ::close(control_);
    control_ = -1;
  }

  void Kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
  }

  // Waits for the peer to end; returns its exit code, 128+signal when killed, -1 when it did not
  // end within timeoutMs (it is then killed).
  int Reap(int timeoutMs) {
    if (pid_ <= 0) return -1;
    auto start = Clock::now();
    int status = 0;
    for (;;) {
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) break;
      if (done < 0 || MsSince(start) > timeoutMs) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int report_ = -1;
  int control_ = -1;
};

// A device root of its own under /tmp; `nameTail` lengthens its path when given.
class WindowTestRoot : public ::testing::Test {
 protected:
  void SetUpRoot(const std::string& nameTail) {
    saved_ = Device();
    char pattern[] = "/tmp/nubrel-win-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
    DeviceConfig config;
    config.root = nameTail.empty() ? base_ : base_ + "/" + nameTail;
    SetDeviceConfig(config);
  }
  void SetUp() override { SetUpRoot(""); }
  void TearDown() override {
    ResetWindowTable();
    std::string folder = PublishedWindowFolder();
    if (folder.rfind(base_, 0) != 0) {
      std::error_code ignored;
      std::filesystem::remove(folder, ignored);  // the fallback folder, empty by now
    }
    SetDeviceConfig(saved_);
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  DeviceConfig saved_;
  std::string base_;
};

}  // namespace platform::window_test
