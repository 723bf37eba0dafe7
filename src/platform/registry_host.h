// What the registry answers from the host instead of the database: MIME associations under the
// classes root (the host's mime.types) and the cradle state under the local machine (the power
// supplies). Also the name folding that every registry comparison uses. Internal to the registry
// service (registry.cpp); the stored keys and values are registry.cpp's alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace platform {

// A value the host answers: name as shown, type and bytes as a stored value would hold them.
struct RegistryHostValue {
  std::u16string name;
  uint32_t type = kRegistryTypeNone;
  std::vector<uint8_t> data;
};

// A key or value name in the form used for comparison: the device's case folding (case_fold.h).
// Two names are the same when their foldings are equal.
std::u16string FoldRegistryName(std::u16string_view name);

// Whether the host answers the key at this path (components already folded) below root.
bool HostHasRegistryKey(RegistryRoot root, const std::vector<std::u16string>& foldedPath);

// The values the host answers for a key. storedKey: the database holds the key itself, which
// hides MIME answers but not the cradle state.
std::vector<RegistryHostValue> HostRegistryValues(RegistryRoot root,
                                                  const std::vector<std::u16string>& foldedPath,
                                                  bool storedKey);

// Whether the host owns the value of that (folded) name, so it may not be written or deleted.
bool HostOwnsRegistryValue(RegistryRoot root, const std::vector<std::u16string>& foldedPath,
                           bool storedKey, std::u16string_view foldedName);

// 1 when the device counts as cradled, else 0 (Device().cradled when pinned, else live).
uint32_t ReadCradledState();

// Forgets the MIME table read so far; the next lookup reads the file again.
void ForgetHostMimeTable();
void SetHostMimeTypesFile(const std::string& hostPath);

}  // namespace platform
