// Registry answers taken from the host: the MIME table and the power supplies; see
// registry_host.h. Nothing here touches the database, and nothing here is ever written.
#include "platform/registry_host.h"

#include "platform/case_fold.h"

#include <dirent.h>

#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/device.h"
#include "platform/utf.h"

namespace platform {

namespace {

constexpr const char* kDefaultMimeTypesFile = "/etc/mime.types";
constexpr const char* kDefaultPowerSupplyFolder = "/sys/class/power_supply";
// The host's file type names are the extension with this suffix: stable, and never a name a
// program would register for itself.
constexpr std::u16string_view kFileTypeSuffix = u"_auto_file";
constexpr std::u16string_view kOpenCommand = u"xdg-open \"%1\"";
// A mime.types far larger than any real one is not read past this.
constexpr size_t kMaxMimeFileBytes = 8 * 1024 * 1024;

// The host's MIME table, read once on first use. Guarded by lock; any thread may look up.
struct HostMimeTable {
  std::mutex lock;
  std::string file = kDefaultMimeTypesFile;  // host file read
  bool loaded = false;                       // types and extensions hold the file's lines
  std::map<std::u16string, std::u16string> extensionOfType;  // folded type -> first extension
  std::map<std::u16string, std::u16string> extensions;       // folded extension -> as written
};

HostMimeTable g_mime;

void LoadMimeTable(HostMimeTable& table) {
  table.extensionOfType.clear();
  table.extensions.clear();
  table.loaded = true;
  std::ifstream in(table.file, std::ios::binary);
  std::string line;
  size_t consumed = 0;
  while (consumed < kMaxMimeFileBytes && std::getline(in, line)) {
    consumed += line.size() + 1;
    if (size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string type, extension;
    if (!(words >> type)) continue;
    std::u16string foldedType = FoldRegistryName(FromUtf8(type));
    while (words >> extension) {
      std::u16string ext = FromUtf8(extension);
      // A type listed twice keeps the first extension it was given.
      table.extensionOfType.emplace(foldedType, ext);
      table.extensions.emplace(FoldRegistryName(ext), ext);
    }
  }
}

// Runs with the table loaded and locked.
template <class F>
auto WithMimeTable(F&& look) {
  std::lock_guard guard(g_mime.lock);
  if (!g_mime.loaded) LoadMimeTable(g_mime);
  return look(static_cast<const HostMimeTable&>(g_mime));
}


std::vector<uint8_t> DwordBytes(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

bool IsPrefixOf(const std::vector<std::u16string>& path,
                std::initializer_list<std::u16string_view> full) {
  if (path.empty() || path.size() > full.size()) return false;
  auto it = full.begin();
  for (const auto& part : path) {
    if (part != *it++) return false;
  }
  return true;
}

const std::initializer_list<std::u16string_view> kHardwarePath = {u"system", u"state", u"hardware"};
const std::initializer_list<std::u16string_view> kContentTypePath = {u"mime", u"database",
                                                                    u"content type"};
const std::initializer_list<std::u16string_view> kCommandPath = {u"shell", u"open", u"command"};
constexpr std::u16string_view kCradledName = u"cradled";

bool IsHardwareKey(RegistryRoot root, const std::vector<std::u16string>& path) {
  return root == RegistryRoot::kLocalMachine && path.size() == kHardwarePath.size() &&
         IsPrefixOf(path, kHardwarePath);
}

// The extension (as the table writes it) behind a folded file type name, or empty.
std::u16string ExtensionOfFileType(const HostMimeTable& table, std::u16string_view foldedName) {
  std::u16string suffix = FoldRegistryName(kFileTypeSuffix);
  if (foldedName.size() <= suffix.size() || !foldedName.ends_with(suffix)) return {};
  auto it = table.extensions.find(std::u16string(foldedName.substr(0, foldedName.size() - suffix.size())));
  return it == table.extensions.end() ? std::u16string() : it->second;
}

// The extension behind a folded ".ext" key name, or empty.
std::u16string ExtensionOfKey(const HostMimeTable& table, std::u16string_view foldedName) {
  if (foldedName.size() < 2 || foldedName[0] != u'.') return {};
  auto it = table.extensions.find(std::u16string(foldedName.substr(1)));
  return it == table.extensions.end() ? std::u16string() : it->second;
}

// What the classes root's host answers say of a key: whether it exists, and its values.
bool LookUpMimeKey(const HostMimeTable& table, const std::vector<std::u16string>& path,
                   std::vector<RegistryHostValue>* values) {
  if (path.empty() || table.extensionOfType.empty()) return false;
  if (IsPrefixOf(path, kContentTypePath)) return true;
  if (path.size() == kContentTypePath.size() + 1 &&
      IsPrefixOf({path.begin(), path.end() - 1}, kContentTypePath)) {
    auto it = table.extensionOfType.find(path.back());
    if (it == table.extensionOfType.end()) return false;
    if (values) values->push_back({u"Extension", kRegistryTypeText, RegistryTextBytes(u"." + it->second)});
    return true;
  }
  if (path.size() == 1) {
    if (std::u16string ext = ExtensionOfKey(table, path[0]); !ext.empty()) {
      if (values) values->push_back({u"", kRegistryTypeText, RegistryTextBytes(ext + std::u16string(kFileTypeSuffix))});
      return true;
    }
  }
  if (ExtensionOfFileType(table, path[0]).empty()) return false;
  std::vector<std::u16string> rest(path.begin() + 1, path.end());
  if (rest.empty()) return true;
  if (!IsPrefixOf(rest, kCommandPath)) return false;
  if (rest.size() == kCommandPath.size() && values) {
    values->push_back({u"", kRegistryTypeText, RegistryTextBytes(kOpenCommand)});
  }
  return true;
}

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

}  // namespace

std::u16string FoldRegistryName(std::u16string_view name) { return FoldCase(name); }

bool HostHasRegistryKey(RegistryRoot root, const std::vector<std::u16string>& foldedPath) {
  if (root == RegistryRoot::kLocalMachine) return IsPrefixOf(foldedPath, kHardwarePath);
  if (root != RegistryRoot::kClassesRoot) return false;
  return WithMimeTable([&](const HostMimeTable& table) {
    return LookUpMimeKey(table, foldedPath, nullptr);
  });
}

std::vector<RegistryHostValue> HostRegistryValues(RegistryRoot root,
                                                  const std::vector<std::u16string>& foldedPath,
                                                  bool storedKey) {
  std::vector<RegistryHostValue> values;
  if (IsHardwareKey(root, foldedPath)) {
    values.push_back({u"Cradled", kRegistryTypeDword, DwordBytes(ReadCradledState())});
  } else if (root == RegistryRoot::kClassesRoot && !storedKey) {
    WithMimeTable([&](const HostMimeTable& table) {
      return LookUpMimeKey(table, foldedPath, &values);
    });
  }
  return values;
}

bool HostOwnsRegistryValue(RegistryRoot root, const std::vector<std::u16string>& foldedPath,
                           bool storedKey, std::u16string_view foldedName) {
  if (IsHardwareKey(root, foldedPath)) return foldedName == kCradledName;
  if (storedKey || root != RegistryRoot::kClassesRoot) return false;
  for (const auto& value : HostRegistryValues(root, foldedPath, storedKey)) {
    if (FoldRegistryName(value.name) == foldedName) return true;
  }
  return false;
}

uint32_t ReadCradledState() {
  const DeviceConfig& device = Device();
  if (device.cradled == 0 || device.cradled == 1) return static_cast<uint32_t>(device.cradled);
  std::string folder =
      device.powerSupplyFolder.empty() ? kDefaultPowerSupplyFolder : device.powerSupplyFolder;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    std::string supply = folder + "/" + entry->d_name;
    std::string type = FirstLine(supply + "/type");
    if ((type == "Mains" || type == "USB") && FirstLine(supply + "/online") == "1") return 1;
  }
  return 0;
}

void ForgetHostMimeTable() {
  std::lock_guard guard(g_mime.lock);
  g_mime.loaded = false;
  g_mime.extensionOfType.clear();
  g_mime.extensions.clear();
}

void SetHostMimeTypesFile(const std::string& hostPath) {
  std::lock_guard guard(g_mime.lock);
  g_mime.file = hostPath;
  g_mime.loaded = false;
}

}  // namespace platform
