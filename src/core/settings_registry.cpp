// Settings against the registry: LoadSettings in its fixed read order with the legacy "expire",
// the "proxyEnabled" default and the enciphered "proxyPassword", and SaveSettings in the save
// order. What is valid and what the defaults are is settings_values.cpp's.
//
// The registry has no batch write: every value is its own short transaction (write-ahead log,
// no sync per commit), which keeps a full save of ~70 values well within an interface pause.
#include <string>
#include <utility>
#include <vector>

#include "core/settings.h"
#include "core/settings_fields.h"
#include "core/string_table.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "shared/tea_cipher.h"

namespace nubrel {

using platform::RegistryKey;
using platform::RegistryRoot;
using settings_detail::FieldKind;
using settings_detail::MutableSettings;
using settings_detail::SettingField;

namespace {

// The proxy password's key. Registries written under it must stay readable: never change it
// (the subscription list scrambles its passwords under a different key of its own).
constexpr TeaKey kProxyPasswordKey = {0x4E75B2E1u, 0x7C3A9D05u, 0xD1F06B48u, 0x2A8E5C93u};

constexpr int kSettingsKeyString = 4;  // "Software\nubrel"

// The read order. It matters twice: "expire" must come before the two values it seeds, and
// "proxyAddress" before "proxyEnabled", whose default it decides.
constexpr std::u16string_view kLoadOrder[] = {
    u"expandReadInterval", u"linesToAdvance", u"markReadInterval", u"checkNewInterval",
    u"storagePath", u"expire", u"expireUnread", u"expireRead", u"enclosureStoragePath",
    u"enclosureExpire", u"htmlExpire", u"showTotalCount", u"hideZeroUnreadCount",
    u"cacheItemImage", u"showFilter", u"channelFilter", u"showCollapsedTime",
    u"showRelativeDates", u"markAllReadOnLeave", u"channelUpToRoot", u"selectFirstItem",
    u"truncateItemTitle", u"autoUpdateType", u"cacheOptions", u"updateHours",
    u"retrievalFolder", u"webBrowser", u"itemBackgroundColor", u"selectedItemBackgroundColor",
    u"backgroundColor", u"selectedItemHighlightColor", u"itemHighlightColor", u"titleFontFace",
    u"titleFontSize", u"titleFontColor", u"inactiveTitleFontColor", u"timestampFontFace",
    u"timestampFontSize", u"timestampFontColor", u"inactiveTimestampFontColor",
    u"summaryFontFace", u"summaryFontSize", u"summaryFontColor", u"hyperlinkFontColor",
    u"headerBackgroundColor", u"selectedHeaderBackgroundColor", u"headerHighlightColor",
    u"selectedHeaderHighlightColor", u"headerFontColor", u"inactiveHeaderFontColor",
    u"channelMenuFontFace", u"channelMenuFontSize", u"clearType", u"userAgent",
    u"htmlOptimizer", u"importOpmlURL", u"autoGeneratePlaylists", u"playlistFormat",
    u"internalHTMLView", u"proxyAddress", u"proxyEnabled", u"proxyUser", u"proxyPassword",
    u"sortOrder", u"htmlFitToScreen", u"htmlShowImages", u"htmlClearType", u"htmlTextSize",
    u"notifyNewItems",
};

constexpr std::u16string_view kLegacyExpire = u"expire";

const SettingField* FindField(std::u16string_view name) {
  for (const SettingField& field : settings_detail::SettingFields()) {
    if (field.name == name) return &field;
  }
  return nullptr;
}

// ---- Proxy password ----

// At least one zero character after the text, padded with zeros to whole blocks.
std::vector<uint8_t> EncipherPassword(std::u16string_view password) {
  const size_t size = (2 * password.size() + 9) & ~size_t{7};
  std::vector<uint8_t> bytes(size, 0);
  for (size_t i = 0; i < password.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(password[i]);
    bytes[2 * i + 1] = static_cast<uint8_t>(password[i] >> 8);
  }
  TeaEncipher(bytes.data(), bytes.size(), kProxyPasswordKey);
  return bytes;
}

// False for a value that is not whole blocks (not one this program wrote).
bool DecipherPassword(std::vector<uint8_t> bytes, std::u16string& password) {
  if (bytes.empty() || !TeaDecipher(bytes.data(), bytes.size(), kProxyPasswordKey)) return false;
  password.clear();
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (c == 0) break;
    password.push_back(c);
  }
  return true;
}

// ---- Loading ----

// The value's setter decides: a valid value is stored, anything else leaves the default that
// LoadSettings put there first (for expireUnread/expireRead, what "expire" left).
void LoadField(const RegistryKey& key, const SettingField& field) {
  Settings& live = MutableSettings();
  uint32_t number = 0;
  std::u16string text;
  switch (field.kind) {
    case FieldKind::kInt:
      if (platform::RegistryReadDword(key, field.name, number) != 0) return;
      if (field.setInt(static_cast<int32_t>(number), true)) {
        field.setInt(static_cast<int32_t>(number), false);
      }
      return;
    case FieldKind::kUint:
      if (platform::RegistryReadDword(key, field.name, number) != 0) return;
      if (field.setUint(number, true)) field.setUint(number, false);
      return;
    case FieldKind::kFlag:
      if (platform::RegistryReadDword(key, field.name, number) != 0) return;
      (live.*field.flagField).store(number != 0);
      return;
    case FieldKind::kText:
      if (platform::RegistryReadText(key, field.name, text, kSettingTextChars) != 0) return;
      if (field.setText(text, true)) field.setText(text, false);
      return;
    case FieldKind::kPassword: {
      std::vector<uint8_t> bytes;
      if (platform::RegistryReadBinary(key, field.name, bytes) != 0) return;
      if (!DecipherPassword(std::move(bytes), text)) return;
      if (field.setText(text, true)) field.setText(text, false);
      return;
    }
    case FieldKind::kSortOrder:
      if (platform::RegistryReadText(key, field.name, text, kSettingTextChars) != 0) return;
      SetSortOrder(settings_detail::ParseSortOrder(text), false);
      return;
  }
}

void LoadLegacyExpire(const RegistryKey& key) {
  std::u16string text;
  if (platform::RegistryReadText(key, kLegacyExpire, text, kSettingTextChars) != 0) return;
  if (!SetExpireUnread(text, true)) return;
  SetExpireUnread(text, false);
  SetExpireRead(text, false);
}

// ---- Saving ----

bool SaveField(const RegistryKey& key, const SettingField& field) {
  const Settings& live = GetSettings();
  switch (field.kind) {
    case FieldKind::kInt:
      return platform::RegistryWriteDword(
                 key, field.name, static_cast<uint32_t>((live.*field.intField).load())) == 0;
    case FieldKind::kUint:
      return platform::RegistryWriteDword(key, field.name, (live.*field.uintField).load()) == 0;
    case FieldKind::kFlag:
      return platform::RegistryWriteDword(key, field.name,
                                          (live.*field.flagField).load() ? 1u : 0u) == 0;
    case FieldKind::kText:
      return platform::RegistryWriteText(key, field.name, (live.*field.textField).Get()) == 0;
    case FieldKind::kPassword: {
      const std::vector<uint8_t> bytes = EncipherPassword((live.*field.textField).Get());
      return platform::RegistryWriteBinary(key, field.name, bytes.data(), bytes.size()) == 0;
    }
    case FieldKind::kSortOrder:
      return platform::RegistryWriteText(
                 key, field.name, settings_detail::FormatSortOrder(live.sortOrder.Get())) == 0;
  }
  return false;
}

}  // namespace

std::u16string SettingsKeyPath() {
  std::u16string path = LoadStringText(kSettingsKeyString);
  // Never the empty path: that would be HKEY_CURRENT_USER itself.
  return path.empty() ? std::u16string(u"Software\\nubrel") : path;
}

void LoadSettings() {
  ResetSettings();
  RegistryKey key;
  if (platform::RegistryOpenKey(RegistryRoot::kCurrentUser, SettingsKeyPath(), key) != 0) return;
  for (std::u16string_view name : kLoadOrder) {
    if (name == kLegacyExpire) {
      LoadLegacyExpire(key);
      continue;
    }
    const SettingField* field = FindField(name);
    if (field == nullptr) continue;
    if (field->kind == FieldKind::kFlag && field->flagField == &Settings::proxyEnabled) {
      MutableSettings().proxyEnabled.store(!ProxyAddress().empty());
    }
    LoadField(key, *field);
  }
}

bool SaveSettings(int32_t itemsUnread) {
  RegistryKey key;
  if (platform::RegistryCreateKey(RegistryRoot::kCurrentUser, SettingsKeyPath(), key) != 0) {
    return false;
  }
  // Every value is attempted even after a failure: one bad write must not lose the rest.
  bool allWritten = true;
  const std::u16string programPath = platform::OwnProgramPath();
  if (!programPath.empty()) {
    allWritten &= platform::RegistryWriteText(key, u"pathSpec", programPath) == 0;
  }
  allWritten &=
      platform::RegistryWriteDword(key, u"itemsUnRead", static_cast<uint32_t>(itemsUnread)) == 0;
  for (const SettingField& field : settings_detail::SettingFields()) {
    allWritten &= SaveField(key, field);
  }
  return allWritten;
}

}  // namespace nubrel
