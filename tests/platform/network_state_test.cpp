// The device's own host addresses, host name and reported operating system version.
#include "platform/network_state.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <algorithm>
#include <set>

#include "platform/utf.h"

namespace platform {
namespace {

TEST(NetworkState, HostAddressesIncludeLoopbackOnceAndAgreeWithTheirNumbers) {
  std::vector<std::string> dotted;
  std::vector<uint32_t> numbers;
  ASSERT_EQ(GetHostAddresses(dotted), kErrorSuccess);
  ASSERT_EQ(GetHostAddressNumbers(numbers), kErrorSuccess);
  EXPECT_NE(std::find(dotted.begin(), dotted.end(), "127.0.0.1"), dotted.end());
  EXPECT_NE(std::find(numbers.begin(), numbers.end(), 0x7F000001u), numbers.end());
  EXPECT_EQ(std::set<std::string>(dotted.begin(), dotted.end()).size(), dotted.size());
  ASSERT_EQ(dotted.size(), numbers.size());
  for (size_t i = 0; i < dotted.size(); ++i) {
    SCOPED_TRACE(dotted[i]);
    in_addr parsed{};
    ASSERT_EQ(::inet_pton(AF_INET, dotted[i].c_str(), &parsed), 1);
    EXPECT_EQ(ntohl(parsed.s_addr), numbers[i]);
  }
}

TEST(NetworkState, HostNameIsTheMachinesNodeName) {
  utsname un{};
  ASSERT_EQ(::uname(&un), 0);
  std::u16string name;
  ASSERT_EQ(GetHostName(name), kErrorSuccess);
  EXPECT_EQ(ToUtf8(name), un.nodename);
}

TEST(NetworkState, ReportsVersionFivePointTwo) {
  OsVersion version = DeviceOsVersion();
  EXPECT_EQ(version.major, 5u);
  EXPECT_EQ(version.minor, 2u);
  EXPECT_EQ(DeviceOsVersionWord(), 1282u);
}

}  // namespace
}  // namespace platform
