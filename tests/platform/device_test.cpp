// Finding the device root and reading the device settings file.
#include "platform/device.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;

// Sets or clears an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class DeviceRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nubrel-device-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
  }
  void TearDown() override { fs::remove_all(base_); }

  // Runs InitDevice on a command line and returns what is left of it.
  std::vector<std::string> Init(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    EXPECT_EQ(InitDevice(argc, argv.data()), kErrorSuccess);
    return std::vector<std::string>(argv.begin(), argv.begin() + argc);
  }

  std::string base_;
};

TEST_F(DeviceRootTest, CommandLineBeatsEnvironmentBeatsXdg) {
  ScopedEnv xdg("XDG_DATA_HOME", (base_ + "/xdg").c_str());
  {
    ScopedEnv env("NUBREL_ROOT", nullptr);
    Init({"nubrel"});
    EXPECT_EQ(Device().root, base_ + "/xdg/nubrel");
  }
  ScopedEnv env("NUBREL_ROOT", (base_ + "/env").c_str());
  Init({"nubrel"});
  EXPECT_EQ(Device().root, base_ + "/env");

  auto rest = Init({"nubrel", "--root", base_ + "/cli/", "UpdateAll"});
  EXPECT_EQ(Device().root, base_ + "/cli");
  EXPECT_EQ(rest, (std::vector<std::string>{"nubrel", "UpdateAll"}));

  rest = Init({"nubrel", "--root=" + base_ + "/eq"});
  EXPECT_EQ(Device().root, base_ + "/eq");
  EXPECT_EQ(rest, (std::vector<std::string>{"nubrel"}));
}

TEST_F(DeviceRootTest, HomeIsTheLastResort) {
  ScopedEnv env("NUBREL_ROOT", nullptr);
  ScopedEnv xdg("XDG_DATA_HOME", nullptr);
  ScopedEnv home("HOME", base_.c_str());
  Init({"nubrel"});
  EXPECT_EQ(Device().root, base_ + "/.local/share/nubrel");
  EXPECT_TRUE(fs::is_directory(DeviceRunFolder()));
}

TEST_F(DeviceRootTest, SettingsFileIsReadAndWrittenBack) {
  std::string root = base_ + "/root";
  ASSERT_EQ(InitDeviceAt(root), kErrorSuccess);
  EXPECT_TRUE(Device().storageCard.empty());
  EXPECT_FALSE(Device().offline);
  EXPECT_EQ(Device().cradled, -1);
  {
    std::ofstream conf(DevicePrivateFolder() + "/device.conf");
    conf << "# a comment\n  storage_card =  " << base_ << "/card/ \noffline = 1\ncradled = 1\nnonsense\n";
  }
  ASSERT_EQ(InitDeviceAt(root), kErrorSuccess);
  EXPECT_EQ(Device().storageCard, base_ + "/card");
  EXPECT_TRUE(Device().offline);
  EXPECT_EQ(Device().cradled, 1);

  DeviceConfig changed = Device();
  changed.offline = false;
  changed.cradled = 0;
  SetDeviceConfig(changed);
  ASSERT_EQ(SaveDeviceSettings(), kErrorSuccess);
  ASSERT_EQ(InitDeviceAt(root), kErrorSuccess);
  EXPECT_EQ(Device().storageCard, base_ + "/card");
  EXPECT_FALSE(Device().offline);
  EXPECT_EQ(Device().cradled, 0);
}

TEST_F(DeviceRootTest, RootThatCannotBeMadeIsAnError) {
  std::string file = base_ + "/plain-file";
  std::ofstream(file) << "x";
  EXPECT_NE(InitDeviceAt(file + "/root"), kErrorSuccess);
}

TEST_F(DeviceRootTest, ProgramFolderDefaultsToShippedData) {
  ASSERT_EQ(InitDeviceAt(base_ + "/root"), kErrorSuccess);
  EXPECT_TRUE(fs::is_directory(Device().programFolder)) << Device().programFolder;
}

}  // namespace
}  // namespace platform
