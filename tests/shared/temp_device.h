// A throw-away device for the shared helpers' tests: a fresh root under /tmp (removed again),
// a read-only program folder, and optionally a storage card, plus host-side file access that
// does not go through the code under test.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device.h"
#include "platform/utf.h"

namespace nubrel::testing {

class TempDevice {
 public:
  TempDevice() {
    char pattern[] = "/tmp/nubrel-shared-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    base_ = made ? made : "";
    platform::DeviceConfig config;
    config.root = base_ + "/root";
    config.programFolder = base_ + "/program";
    std::filesystem::create_directories(config.root);
    std::filesystem::create_directories(config.programFolder);
    config.cradled = 0;
    platform::SetDeviceConfig(config);
  }
  ~TempDevice() {
    std::error_code ignored;
    if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
  }
  TempDevice(const TempDevice&) = delete;
  TempDevice& operator=(const TempDevice&) = delete;

  // Configures "\StorageCard" onto <base>/card, which is NOT created (the card is "not ready").
  std::string ConfigureMissingCard() {
    platform::DeviceConfig config = platform::Device();
    config.storageCard = base_ + "/card";
    platform::SetDeviceConfig(config);
    return config.storageCard;
  }

  bool valid() const { return !base_.empty(); }
  std::string base() const { return base_; }
  std::string root() const { return base_ + "/root"; }
  // The host path of a root-relative name ("k/list.xml").
  std::string Host(const std::string& relative) const { return root() + "/" + relative; }
  // The host path of a device path below the root ("\My Documents\x" -> <root>/My Documents/x).
  std::string Host(std::u16string_view devicePath) const {
    std::string path = platform::ToUtf8(devicePath);
    for (char& c : path) {
      if (c == '\\') c = '/';
    }
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    return Host(path);
  }

 private:
  std::string base_;
};

inline bool HostExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline bool HostIsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteHostFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every entry name of a host folder, "." and ".." left out.
inline std::vector<std::string> HostEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Deterministic bytes that differ from run to run of `seed`, so that an offset mix-up shows.
inline std::string PatternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = 2463534242u ^ seed;
  for (char& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<char>(x & 0xFF);
  }
  return bytes;
}

}  // namespace nubrel::testing
