// What the device knows of its own place on the network: its host addresses, its host name,
// and the operating system version it reports. Cradle state is the registry's live value
// (System\State\Hardware\Cradled); connections are the connection manager's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/device_errors.h"

namespace platform {

// ---- Addresses and name ----

// The IPv4 addresses of the host's interfaces that are up, loopback included, each once, in the
// host's interface order, as dotted texts ("127.0.0.1"). This is what resolving the device's own
// host name answers: a desktop's resolver maps its name to loopback aliases (127.0.1.1) that say
// nothing about the network. Returns 0, or the error of the host's interface listing.
DeviceError GetHostAddresses(std::vector<std::string>& addresses);

// The same addresses as 32-bit numbers in host byte order (127.0.0.1 is 0x7F000001).
DeviceError GetHostAddressNumbers(std::vector<uint32_t>& addresses);

// The device's host name. Returns 0, or the error of the host's call.
DeviceError GetHostName(std::u16string& name);

// ---- Operating system version ----

// The version the device reports: 5.2, whatever the host runs, so that every "version 5 and
// later" path of the reader is the one taken.
struct OsVersion {
  uint32_t major = 5;
  uint32_t minor = 2;
};

OsVersion DeviceOsVersion();

// major * 256 + minor: 0x0502 (1282).
uint32_t DeviceOsVersionWord();

}  // namespace platform
