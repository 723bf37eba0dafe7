// Bringing up and releasing Internet connections, on-line and with the device set off-line.
#include "platform/connection_manager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include "platform/device.h"

namespace platform {
namespace {

class ConnectionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nubrel-connection-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    SetOffline(false);
  }
  void TearDown() override {
    SetOffline(false);
    std::filesystem::remove_all(root_);
  }
  void SetOffline(bool offline) {
    DeviceConfig config;
    config.root = root_;
    config.offline = offline;
    SetDeviceConfig(config);
  }
  std::string root_;
};

TEST_F(ConnectionManagerTest, ConnectionsAreCountedUntilReleased) {
  const size_t before = LiveConnectionCount();
  ASSERT_EQ(WaitConnectionManagerReady(3000), kErrorSuccess);
  DeviceError err = 1;
  NetworkConnection first = EstablishConnection(60000, &err);
  EXPECT_EQ(err, kErrorSuccess);
  EXPECT_TRUE(first.IsOpen());
  {
    NetworkConnection second = EstablishConnection(60000);
    EXPECT_TRUE(second.IsOpen());
    EXPECT_EQ(LiveConnectionCount(), before + 2);
  }
  EXPECT_EQ(LiveConnectionCount(), before + 1) << "a destroyed handle must give its connection back";

  NetworkConnection moved = std::move(first);
  EXPECT_FALSE(first.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_EQ(LiveConnectionCount(), before + 1);

  NetworkConnection other = EstablishConnection(60000);
  other = std::move(moved);  // the connection other held is released, moved's is kept
  EXPECT_EQ(LiveConnectionCount(), before + 1);

  ReleaseConnection(other);
  ReleaseConnection(other);
  EXPECT_FALSE(other.IsOpen());
  EXPECT_EQ(LiveConnectionCount(), before);
}

TEST_F(ConnectionManagerTest, OfflineDeviceRefusesWithNotConnected) {
  SetOffline(true);
  const size_t before = LiveConnectionCount();
  DeviceError err = kErrorSuccess;
  NetworkConnection connection = EstablishConnection(60000, &err);
  EXPECT_EQ(err, kErrorNotConnected);
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(LiveConnectionCount(), before);

  SetOffline(false);
  connection = EstablishConnection(60000, &err);
  EXPECT_EQ(err, kErrorSuccess);
  EXPECT_TRUE(connection.IsOpen());
}

TEST_F(ConnectionManagerTest, WorkersConnectingAtOnceKeepTheCountExact) {
  const size_t before = LiveConnectionCount();
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        NetworkConnection c = EstablishConnection(60000);
        if (i % 2) ReleaseConnection(c);
      }
    });
  }
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(LiveConnectionCount(), before);
}

}  // namespace
}  // namespace platform
