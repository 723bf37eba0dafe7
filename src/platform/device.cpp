// Device root discovery and the device settings file; see device.h.
#include "platform/device.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

DeviceConfig g_config;

// mkdir -p for host paths; EEXIST is success.
DeviceError MakeHostFolders(const std::string& path) {
  if (path.empty()) return kErrorPathNotFound;
  std::string prefix;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    prefix = path.substr(0, pos);
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return DeviceErrorFromErrno(errno);
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return DeviceErrorFromErrno(errno);
  return S_ISDIR(st.st_mode) ? kErrorSuccess : kErrorPathNotFound;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string AbsoluteHostPath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void ReadDeviceSettings(DeviceConfig& config) {
  std::ifstream in(config.root + "/.device/device.conf");
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (key == "storage_card") {
      config.storageCard = StripTrailingSlashes(AbsoluteHostPath(value));
    } else if (key == "offline") {
      config.offline = value == "1" || value == "true" || value == "yes";
    } else if (key == "cradled") {
      config.cradled = value == "live" || value.empty() ? -1 : (value == "1" ? 1 : 0);
    } else if (key == "program_folder") {
      config.programFolder = StripTrailingSlashes(AbsoluteHostPath(value));
    }
  }
}

std::string ExecutableDir() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

bool IsDir(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

const DeviceConfig& Device() { return g_config; }

std::string DefaultProgramFolder() {
  std::string exeDir = ExecutableDir();
  if (!exeDir.empty()) {
    std::string installed = exeDir + "/../share/nubrel";
    if (IsDir(installed)) {
      char real[PATH_MAX];
      if (::realpath(installed.c_str(), real)) return real;
    }
  }
  return NUBREL_BUILD_DATA_DIR;
}

DeviceError InitDeviceAt(const std::string& root) {
  DeviceConfig config;
  config.root = StripTrailingSlashes(AbsoluteHostPath(root));
  config.programFolder = DefaultProgramFolder();
  config.programBinDir = ExecutableDir();
  if (DeviceError err = MakeHostFolders(config.root)) return err;
  ReadDeviceSettings(config);
  SetDeviceConfig(config);
  return MakeHostFolders(DeviceRunFolder());
}

DeviceError InitDevice(int& argc, char** argv) {
  std::string root;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    int consumed = 0;
    if (arg == "--root" && i + 1 < argc) {
      root = argv[i + 1];
      consumed = 2;
    } else if (arg.rfind("--root=", 0) == 0) {
      root = arg.substr(7);
      consumed = 1;
    }
    if (consumed) {
      for (int j = i; j + consumed <= argc; ++j) argv[j] = argv[j + consumed];
      argc -= consumed;
      --i;
    }
  }
  if (root.empty()) {
    if (const char* env = std::getenv("NUBREL_ROOT"); env && *env) root = env;
  }
  if (root.empty()) {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
      root = std::string(xdg) + "/nubrel";
    } else if (const char* home = std::getenv("HOME"); home && *home) {
      root = std::string(home) + "/.local/share/nubrel";
    } else {
      return kErrorPathNotFound;
    }
  }
  return InitDeviceAt(root);
}

void SetDeviceConfig(const DeviceConfig& config) {
  g_config = config;
  g_config.root = StripTrailingSlashes(g_config.root);
  MakeHostFolders(DeviceRunFolder());
}

DeviceError SaveDeviceSettings() {
  std::string path = DevicePrivateFolder() + "/device.conf";
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << "# Device settings: hardware a desktop does not have.\n";
    if (!g_config.storageCard.empty()) out << "storage_card = " << g_config.storageCard << "\n";
    out << "offline = " << (g_config.offline ? 1 : 0) << "\n";
    out << "cradled = " << (g_config.cradled < 0 ? std::string("live") : std::to_string(g_config.cradled))
        << "\n";
    if (g_config.programFolder != DefaultProgramFolder())
      out << "program_folder = " << g_config.programFolder << "\n";
    if (!out.flush()) return kErrorDiskFull;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) return DeviceErrorFromErrno(errno);
  return kErrorSuccess;
}

std::string DevicePrivateFolder() { return g_config.root + "/.device"; }
std::string DeviceRunFolder() { return g_config.root + "/.device/run"; }

}  // namespace platform
