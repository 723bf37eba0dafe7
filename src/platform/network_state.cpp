// The device's host addresses, host name and reported version; see network_state.h.
// Interfaces are read with getifaddrs at every call: a network that comes up while the reader
// runs is seen at the next question.
#include "platform/network_state.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>

#include "platform/utf.h"

namespace platform {

DeviceError GetHostAddressNumbers(std::vector<uint32_t>& addresses) {
  addresses.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return DeviceErrorFromErrno(errno);
  std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, ::freeifaddrs);
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_UP)) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    uint32_t number = ntohl(in->sin_addr.s_addr);
    if (std::find(addresses.begin(), addresses.end(), number) == addresses.end()) addresses.push_back(number);
  }
  return kErrorSuccess;
}

DeviceError GetHostAddresses(std::vector<std::string>& addresses) {
  addresses.clear();
  std::vector<uint32_t> numbers;
  if (DeviceError err = GetHostAddressNumbers(numbers)) return err;
  for (uint32_t number : numbers) {
    in_addr in{};
    in.s_addr = htonl(number);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &in, text, sizeof text)) addresses.emplace_back(text);
  }
  return kErrorSuccess;
}

DeviceError GetHostName(std::u16string& name) {
  name.clear();
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return DeviceErrorFromErrno(errno);
  name = FromUtf8(buf);
  return kErrorSuccess;
}

OsVersion DeviceOsVersion() { return OsVersion{}; }

uint32_t DeviceOsVersionWord() {
  OsVersion v = DeviceOsVersion();
  return v.major * 256 + v.minor;
}

}  // namespace platform
