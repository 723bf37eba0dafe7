// The settings store against a throw-away registry: defaults of an empty or missing key, stored
// values checked against their ranges, wrong types and sizes, the legacy "expire", the proxy
// defaults and the enciphered password (with its key pinned), the setters' check-only flag, and
// a save that lists every value in its order and loads back unchanged.
#include "core/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/utf.h"
#include "shared/temp_device.h"

namespace nubrel {
namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

// ---- Registry data ----

struct Stored {
  uint32_t type;
  std::vector<uint8_t> bytes;
};

Stored Dword(uint32_t value) {
  return {platform::kRegistryTypeDword,
          {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
           static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text, bool withZero) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (withZero) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

Stored Text(std::u16string_view text) {
  return {platform::kRegistryTypeText, Utf16Bytes(text, true)};
}
Stored Raw(uint32_t type, std::vector<uint8_t> bytes) { return {type, std::move(bytes)}; }

// ---- Reading the record back as text ----

std::string Num(int64_t value) { return std::to_string(value); }
std::string Hex(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%06X", value);
  return buffer;
}
std::string Str(const std::u16string& text) { return platform::ToUtf8(text); }
std::string Keys(const SortKeys& keys) {
  return Num(keys[0]) + "," + Num(keys[1]) + "," + Num(keys[2]);
}

// Every value through its public getter, by registry name.
std::vector<std::pair<std::string, std::string>> Snapshot() {
  return {
      {"markReadInterval", Num(MarkReadInterval())},
      {"expandReadInterval", Num(ExpandReadInterval())},
      {"linesToAdvance", Num(LinesToAdvance())},
      {"checkNewInterval", Num(CheckNewInterval())},
      {"storagePath", Str(StoragePath())},
      {"expireUnread", Str(ExpireUnread())},
      {"expireRead", Str(ExpireRead())},
      {"enclosureStoragePath", Str(EnclosureStoragePath())},
      {"enclosureExpire", Str(EnclosureExpire())},
      {"htmlExpire", Str(HtmlExpire())},
      {"showTotalCount", Num(ShowTotalCount())},
      {"hideZeroUnreadCount", Num(HideZeroUnreadCount())},
      {"cacheItemImage", Num(CacheItemImage())},
      {"showFilter", Hex(ShowFilter())},
      {"channelFilter", Hex(ChannelFilter())},
      {"showCollapsedTime", Num(ShowCollapsedTime())},
      {"showRelativeDates", Num(ShowRelativeDates())},
      {"markAllReadOnLeave", Num(MarkAllReadOnLeave())},
      {"channelUpToRoot", Num(ChannelUpToRoot())},
      {"autoUpdateType", Num(AutoUpdateType())},
      {"cacheOptions", Num(CacheOptions())},
      {"updateHours", Hex(UpdateHours())},
      {"retrievalFolder", Hex(GetSettings().retrievalFolder.load())},
      {"selectFirstItem", Num(SelectFirstItem())},
      {"truncateItemTitle", Num(TruncateItemTitle())},
      {"webBrowser", Str(WebBrowser())},
      {"itemBackgroundColor", Hex(ItemBackgroundColor())},
      {"selectedItemBackgroundColor", Hex(SelectedItemBackgroundColor())},
      {"backgroundColor", Hex(BackgroundColor())},
      {"selectedItemHighlightColor", Hex(SelectedItemHighlightColor())},
      {"itemHighlightColor", Hex(ItemHighlightColor())},
      {"titleFontFace", Str(TitleFontFace())},
      {"titleFontSize", Num(TitleFontSize())},
      {"titleFontColor", Hex(TitleFontColor())},
      {"inactiveTitleFontColor", Hex(InactiveTitleFontColor())},
      {"timestampFontFace", Str(TimestampFontFace())},
      {"timestampFontSize", Num(TimestampFontSize())},
      {"timestampFontColor", Hex(TimestampFontColor())},
      {"inactiveTimestampFontColor", Hex(InactiveTimestampFontColor())},
      {"summaryFontFace", Str(SummaryFontFace())},
      {"summaryFontSize", Num(SummaryFontSize())},
      {"summaryFontColor", Hex(SummaryFontColor())},
      {"hyperlinkFontColor", Hex(HyperlinkFontColor())},
      {"headerBackgroundColor", Hex(HeaderBackgroundColor())},
      {"selectedHeaderBackgroundColor", Hex(SelectedHeaderBackgroundColor())},
      {"selectedHeaderHighlightColor", Hex(SelectedHeaderHighlightColor())},
      {"headerHighlightColor", Hex(HeaderHighlightColor())},
      {"headerFontColor", Hex(HeaderFontColor())},
      {"inactiveHeaderFontColor", Hex(InactiveHeaderFontColor())},
      {"channelMenuFontFace", Str(ChannelMenuFontFace())},
      {"channelMenuFontSize", Num(ChannelMenuFontSize())},
      {"clearType", Num(ClearType())},
      {"userAgent", Str(UserAgent())},
      {"htmlOptimizer", Str(HtmlOptimizer())},
      {"importOpmlURL", Str(ImportOpmlURL())},
      {"autoGeneratePlaylists", Num(AutoGeneratePlaylists())},
      {"playlistFormat", Num(PlaylistFormat())},
      {"internalHTMLView", Num(InternalHTMLView())},
      {"proxyEnabled", Num(ProxyEnabled())},
      {"proxyAddress", Str(ProxyAddress())},
      {"proxyUser", Str(ProxyUser())},
      {"proxyPassword", Str(ProxyPassword())},
      {"sortOrder", Keys(SortOrder())},
      {"htmlFitToScreen", Num(HtmlFitToScreen())},
      {"htmlShowImages", Num(HtmlShowImages())},
      {"htmlClearType", Num(HtmlClearType())},
      {"htmlTextSize", Num(HtmlTextSize())},
      {"notifyNewItems", Num(NotifyNewItems())},
  };
}

// One value of Snapshot() by its registry name.
std::string Current(const std::string& name) {
  for (const auto& [valueName, value] : Snapshot()) {
    if (valueName == name) return value;
  }
  ADD_FAILURE() << "no getter for " << name;
  return {};
}

// The settings table's defaults, written out independently of the record's initialisers.
const std::vector<std::pair<std::string, std::string>> kDefaults = {
    {"markReadInterval", "2"},
    {"expandReadInterval", "0"},
    {"linesToAdvance", "1"},
    {"checkNewInterval", "60"},
    {"storagePath", "\\My Documents\\Channels\\"},
    {"expireUnread", "15i"},
    {"expireRead", "15i"},
    {"enclosureStoragePath", "\\My Documents\\Channels\\"},
    {"enclosureExpire", "2i"},
    {"htmlExpire", "2d"},
    {"showTotalCount", "0"},
    {"hideZeroUnreadCount", "1"},
    {"cacheItemImage", "1"},
    {"showFilter", "0x000001"},
    {"channelFilter", "0x000001"},
    {"showCollapsedTime", "1"},
    {"showRelativeDates", "1"},
    {"markAllReadOnLeave", "0"},
    {"channelUpToRoot", "0"},
    {"autoUpdateType", "2"},
    {"cacheOptions", "0"},
    {"updateHours", "0xFFFFFF"},
    {"retrievalFolder", "0x000000"},
    {"selectFirstItem", "1"},
    {"truncateItemTitle", "1"},
    {"webBrowser", "\\windows\\iexplore.exe"},
    {"itemBackgroundColor", "0xE0E0E0"},
    {"selectedItemBackgroundColor", "0xC0F0C0"},
    {"backgroundColor", "0xB0B0B0"},
    {"selectedItemHighlightColor", "0x000000"},
    {"itemHighlightColor", "0x404040"},
    {"titleFontFace", "Tahoma"},
    {"titleFontSize", "90"},
    {"titleFontColor", "0x000000"},
    {"inactiveTitleFontColor", "0x404040"},
    {"timestampFontFace", "Tahoma"},
    {"timestampFontSize", "80"},
    {"timestampFontColor", "0x000000"},
    {"inactiveTimestampFontColor", "0x404040"},
    {"summaryFontFace", "Tahoma"},
    {"summaryFontSize", "90"},
    {"summaryFontColor", "0x000000"},
    {"hyperlinkFontColor", "0x000000"},
    {"headerBackgroundColor", "0xB0B0B0"},
    {"selectedHeaderBackgroundColor", "0xC0F0C0"},
    {"selectedHeaderHighlightColor", "0xC0F0C0"},
    {"headerHighlightColor", "0xB0B0B0"},
    {"headerFontColor", "0x000000"},
    {"inactiveHeaderFontColor", "0x404040"},
    {"channelMenuFontFace", "Tahoma"},
    {"channelMenuFontSize", "80"},
    {"clearType", "0"},
    {"userAgent", "Nubrel"},
    {"htmlOptimizer", "None"},
    {"importOpmlURL", "http://"},
    {"autoGeneratePlaylists", "0"},
    {"playlistFormat", "0"},
    {"internalHTMLView", "1"},
    {"proxyEnabled", "0"},
    {"proxyAddress", ""},
    {"proxyUser", ""},
    {"proxyPassword", ""},
    {"sortOrder", "16385,0,0"},
    {"htmlFitToScreen", "1"},
    {"htmlShowImages", "1"},
    {"htmlClearType", "0"},
    {"htmlTextSize", "2"},
    {"notifyNewItems", "1"},
};

// ---- Fixture ----

// One stored value and what the record holds for it after LoadSettings.
struct LoadCase {
  const char* label;
  std::u16string name;
  Stored stored;
  std::string expected;  // the value's getter afterwards, as Snapshot() shows it
};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    platform::CloseRegistry();  // reopen on this test's device root
    ResetSettings();
  }
  void TearDown() override {
    platform::CloseRegistry();
    ResetSettings();
  }

  RegistryKey CreateSettingsKey() {
    RegistryKey key;
    EXPECT_EQ(platform::RegistryCreateKey(RegistryRoot::kCurrentUser, u"Software\\nubrel", key),
              0u);
    return key;
  }

  void Put(const RegistryKey& key, std::u16string_view name, const Stored& value) {
    ASSERT_EQ(
        platform::RegistrySetValue(key, name, value.type, value.bytes.data(), value.bytes.size()),
        0u);
  }

  // Every stored value of the key, in enumeration (first-set) order.
  struct Value {
    std::string name;
    uint32_t type;
    std::vector<uint8_t> data;
  };
  std::vector<Value> StoredValues() {
    std::vector<Value> values;
    RegistryKey key = CreateSettingsKey();
    for (uint32_t i = 0;; ++i) {
      std::u16string name;
      uint32_t type = 0;
      std::vector<uint8_t> data;
      if (platform::RegistryEnumValue(key, i, name, &type, &data) != 0) break;
      values.push_back({Str(name), type, data});
    }
    return values;
  }

  std::vector<uint8_t> StoredBinary(std::u16string_view name) {
    std::vector<uint8_t> data;
    EXPECT_EQ(platform::RegistryReadBinary(CreateSettingsKey(), name, data), 0u);
    return data;
  }

  // Each row alone in the key: stored, loaded, read, removed again.
  void RunLoadCases(const std::vector<LoadCase>& cases) {
    for (const LoadCase& row : cases) {
      SCOPED_TRACE(row.label);
      RegistryKey key = CreateSettingsKey();
      Put(key, row.name, row.stored);
      LoadSettings();
      EXPECT_EQ(Current(Str(row.name)), row.expected);
      ASSERT_EQ(platform::RegistryDeleteValue(key, row.name), 0u);
    }
  }

  testing::TempDevice device_;
};

// ---- Defaults ----

TEST_F(SettingsTest, EmptyOrMissingKeyLoadsExactlyTheDefaults) {
  for (bool keyExists : {false, true}) {
    SCOPED_TRACE(keyExists ? "empty key" : "no key");
    if (keyExists) CreateSettingsKey();
    // Values left over from before the load must not survive it.
    ASSERT_TRUE(SetProxyEnabled(true, false));
    ASSERT_TRUE(SetCheckNewInterval(30, false));
    ASSERT_TRUE(SetUserAgent(u"Other", false));
    LoadSettings();
    EXPECT_EQ(Snapshot(), kDefaults);
  }
}

// ---- Loading stored values ----

TEST_F(SettingsTest, StoredValuesOutsideTheirRangeLoadAsTheDefault) {
  const std::u16string longText(kSettingTextChars - 1, u'x');
  const std::vector<LoadCase> cases = {
      {"font size in points", u"titleFontSize", Dword(9), "90"},
      {"font size too large", u"titleFontSize", Dword(170), "90"},
      {"font size smallest", u"titleFontSize", Dword(60), "60"},
      {"font size largest", u"summaryFontSize", Dword(160), "160"},
      {"font points too small", u"timestampFontSize", Dword(5), "80"},
      {"font tenths too small", u"channelMenuFontSize", Dword(16), "80"},
      {"hours with bit 24", u"updateHours", Dword(16777216), "0xFFFFFF"},
      {"no hours", u"updateHours", Dword(0), "0x000000"},
      {"interval too short", u"checkNewInterval", Dword(10), "60"},
      {"interval never", u"checkNewInterval", Dword(0xFFFFFFFF), "-1"},
      {"interval a day", u"checkNewInterval", Dword(1440), "1440"},
      {"interval over a day", u"checkNewInterval", Dword(1441), "60"},
      {"mark read never", u"markReadInterval", Dword(0xFFFFFFFF), "-1"},
      {"mark read -2", u"markReadInterval", Dword(0xFFFFFFFE), "2"},
      {"expand 61 s", u"expandReadInterval", Dword(61), "0"},
      {"no lines", u"linesToAdvance", Dword(0), "1"},
      {"21 lines", u"linesToAdvance", Dword(21), "1"},
      {"update type 4", u"autoUpdateType", Dword(4), "2"},
      {"cache options 2", u"cacheOptions", Dword(2), "0"},
      {"playlist format 2", u"playlistFormat", Dword(2), "0"},
      {"text size 5", u"htmlTextSize", Dword(5), "2"},
      {"flag 5 is set", u"showTotalCount", Dword(5), "1"},
      {"flag 0 is clear", u"notifyNewItems", Dword(0), "0"},
      {"path without backslash", u"storagePath", Text(u"\\Data\\Feeds"),
       "\\My Documents\\Channels\\"},
      {"path with backslash", u"enclosureStoragePath", Text(u"\\Data\\Feeds\\"), "\\Data\\Feeds\\"},
      {"31 days", u"expireUnread", Text(u"31d"), "31d"},
      {"32 days", u"expireUnread", Text(u"32d"), "15i"},
      {"999 items", u"expireRead", Text(u"999i"), "999i"},
      {"1000 items", u"expireRead", Text(u"1000i"), "15i"},
      {"0 items", u"enclosureExpire", Text(u"0i"), "2i"},
      {"no number", u"enclosureExpire", Text(u"i"), "2i"},
      {"page days 31", u"htmlExpire", Text(u"31d"), "31d"},
      {"page days 32", u"htmlExpire", Text(u"32d"), "2d"},
      {"optimiser in lower case", u"htmlOptimizer", Text(u"skweezer"), "skweezer"},
      {"unknown optimiser", u"htmlOptimizer", Text(u"Opera"), "None"},
      {"empty browser", u"webBrowser", Text(u""), "\\windows\\iexplore.exe"},
      {"empty proxy", u"proxyAddress", Text(u""), ""},
      {"sort keys 16386,3", u"sortOrder", Text(u"16386,3"), "16386,3,0"},
      {"sort keys 0,1,2", u"sortOrder", Text(u"0,1,2"), "16385,0,0"},
      {"sort keys 1,0,2", u"sortOrder", Text(u"1,0,2"), "16385,0,0"},
      {"sort keys 7,16391,1", u"sortOrder", Text(u"7,16391,1"), "7,16391,1"},
      {"sort key 8", u"sortOrder", Text(u"8"), "16385,0,0"},
      {"sort key huge", u"sortOrder", Text(u"4294967297"), "16385,0,0"},
      {"text of 260", u"userAgent", Text(longText), Str(longText)},
      {"text of 261", u"userAgent", Text(longText + u"y"), "Nubrel"},
  };
  RunLoadCases(cases);
}

TEST_F(SettingsTest, ValuesOfTheWrongTypeOrSizeCountAsMissing) {
  const std::vector<LoadCase> cases = {
      {"number as text", u"checkNewInterval", Text(u"30"), "60"},
      {"2-byte number", u"checkNewInterval", Raw(platform::kRegistryTypeDword, {30, 0}), "60"},
      {"8-byte number", u"linesToAdvance",
       Raw(platform::kRegistryTypeDword, {5, 0, 0, 0, 0, 0, 0, 0}), "1"},
      {"number as binary", u"updateHours", Raw(platform::kRegistryTypeBinary, {1, 0, 0, 0}),
       "0xFFFFFF"},
      {"flag as text", u"hideZeroUnreadCount", Text(u"0"), "1"},
      {"text as number", u"userAgent", Dword(0x41), "Nubrel"},
      {"text as binary", u"storagePath",
       Raw(platform::kRegistryTypeBinary, Utf16Bytes(u"\\A\\", true)),
       "\\My Documents\\Channels\\"},
      {"sort keys as number", u"sortOrder", Dword(3), "16385,0,0"},
      {"password as text", u"proxyPassword", Text(u"secret"), ""},
      {"password of 7 bytes", u"proxyPassword",
       Raw(platform::kRegistryTypeBinary, {1, 2, 3, 4, 5, 6, 7}), ""},
      {"password of no bytes", u"proxyPassword", Raw(platform::kRegistryTypeBinary, {}), ""},
  };
  RunLoadCases(cases);
}

TEST_F(SettingsTest, LegacyExpireSeedsBothRetentionsUnlessTheirOwnValuesAreValid) {
  struct Row {
    const char* label;
    const char16_t* expire;  // nullptr: absent
    const char16_t* expireUnread;
    const char16_t* expireRead;
    std::string unread;
    std::string read;
  };
  const Row rows[] = {
      {"expire alone", u"30d", nullptr, nullptr, "30d", "30d"},
      {"nothing stored", nullptr, nullptr, nullptr, "15i", "15i"},
      {"own unread wins", u"30d", u"5i", nullptr, "5i", "30d"},
      {"invalid own read keeps expire", u"30d", nullptr, u"40d", "30d", "30d"},
      {"invalid expire", u"99d", nullptr, nullptr, "15i", "15i"},
      {"own values without expire", nullptr, u"100i", u"7d", "100i", "7d"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    platform::RegistryDeleteKey(RegistryRoot::kCurrentUser, u"Software\\nubrel");
    RegistryKey key = CreateSettingsKey();
    if (row.expire) Put(key, u"expire", Text(row.expire));
    if (row.expireUnread) Put(key, u"expireUnread", Text(row.expireUnread));
    if (row.expireRead) Put(key, u"expireRead", Text(row.expireRead));
    LoadSettings();
    EXPECT_EQ(Str(ExpireUnread()), row.unread);
    EXPECT_EQ(Str(ExpireRead()), row.read);
  }
}

TEST_F(SettingsTest, ProxyEnabledDefaultsToWhetherAnAddressIsStored) {
  struct Row {
    const char* label;
    const char16_t* address;  // nullptr: absent
    int enabled;              // -1: absent
    bool expected;
  };
  const Row rows[] = {
      {"address, no flag", u"proxy:8080", -1, true},
      {"address, flag 0", u"proxy:8080", 0, false},
      {"empty address, no flag", u"", -1, false},
      {"no address, flag 1", nullptr, 1, true},
      {"nothing", nullptr, -1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    platform::RegistryDeleteKey(RegistryRoot::kCurrentUser, u"Software\\nubrel");
    RegistryKey key = CreateSettingsKey();
    if (row.address) Put(key, u"proxyAddress", Text(row.address));
    if (row.enabled >= 0) Put(key, u"proxyEnabled", Dword(static_cast<uint32_t>(row.enabled)));
    LoadSettings();
    EXPECT_EQ(ProxyEnabled(), row.expected);
  }
}

// ---- Proxy password ----

TEST_F(SettingsTest, ProxyPasswordIsStoredEncipheredInWholeBlocksAndReadBack) {
  struct Row {
    std::u16string password;
    size_t bytes;
  };
  const Row rows[] = {
      {u"", 8},         {u"abc", 8},       {u"abcd", 16},
      {u"1234567", 16}, {u"12345678", 24}, {u"p\u00E4ss w\u20ACrd", 24},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Str(row.password));
    ASSERT_TRUE(SetProxyPassword(row.password, false));
    ASSERT_TRUE(SaveSettings(0));
    const std::vector<uint8_t> stored = StoredBinary(u"proxyPassword");
    EXPECT_EQ(stored.size(), row.bytes);
    // Not the plain UTF-16 with its zeros: the bytes are enciphered.
    std::vector<uint8_t> plain = Utf16Bytes(row.password, false);
    plain.resize(row.bytes, 0);
    EXPECT_NE(stored, plain);
    ResetSettings();
    LoadSettings();
    EXPECT_EQ(ProxyPassword(), row.password);
  }
}

// A password written under the program's key must stay readable by every later version. These
// are "secret" as the program writes it (12 bytes of UTF-16LE and 4 zero bytes, enciphered; the
// bytes were checked against a separate TEA computation), so any change of key, block layout or
// byte order breaks them.
const std::vector<uint8_t> kPinnedSecret = {0xB7, 0x60, 0x8D, 0x11, 0xE2, 0x67, 0xF0, 0xE1,
                                            0xC1, 0xE3, 0x15, 0x85, 0x62, 0x76, 0x52, 0xA3};

TEST_F(SettingsTest, ProxyPasswordKeyIsPinned) {
  Put(CreateSettingsKey(), u"proxyPassword", Raw(platform::kRegistryTypeBinary, kPinnedSecret));
  LoadSettings();
  EXPECT_EQ(ProxyPassword(), u"secret");

  ResetSettings();
  ASSERT_TRUE(SetProxyPassword(u"secret", false));
  ASSERT_TRUE(SaveSettings(0));
  EXPECT_EQ(StoredBinary(u"proxyPassword"), kPinnedSecret);
}

// ---- Setters ----

TEST_F(SettingsTest, SettersCheckOnlyOrStoreValidValues) {
  struct Row {
    const char* label;
    std::function<bool(bool)> set;  // the setter with its value, given checkOnly
    bool valid;
    std::string name;        // which value the setter changes
    std::string afterStore;  // the value once the setter ran with checkOnly false
  };
  const std::u16string tooLong(kSettingTextChars, u'x');
  const Row rows[] = {
      {"font size in points", [](bool c) { return SetTitleFontSize(7, c); }, true, "titleFontSize",
       "70"},
      {"font size 59", [](bool c) { return SetTitleFontSize(59, c); }, false, "titleFontSize",
       "90"},
      {"font size -5", [](bool c) { return SetTitleFontSize(-5, c); }, false, "titleFontSize",
       "90"},
      {"interval 15", [](bool c) { return SetCheckNewInterval(15, c); }, true, "checkNewInterval",
       "15"},
      {"interval 14", [](bool c) { return SetCheckNewInterval(14, c); }, false, "checkNewInterval",
       "60"},
      {"hours 24 bits", [](bool c) { return SetUpdateHours(0xFFFFFF, c); }, true, "updateHours",
       "0xFFFFFF"},
      {"hours bit 31", [](bool c) { return SetUpdateHours(0x80000000u, c); }, false, "updateHours",
       "0xFFFFFF"},
      {"path without backslash is kept", [](bool c) { return SetStoragePath(u"\\Data", c); }, false,
       "storagePath", "\\Data"},
      {"path with backslash", [](bool c) { return SetEnclosureStoragePath(u"\\Data\\", c); }, true,
       "enclosureStoragePath", "\\Data\\"},
      {"optimiser mixed case", [](bool c) { return SetHtmlOptimizer(u"GOOGLE mobile", c); }, true,
       "htmlOptimizer", "GOOGLE mobile"},
      {"optimiser unknown", [](bool c) { return SetHtmlOptimizer(u"Google", c); }, false,
       "htmlOptimizer", "None"},
      {"empty face", [](bool c) { return SetSummaryFontFace(u"", c); }, false, "summaryFontFace",
       "Tahoma"},
      {"text over 260", [tooLong](bool c) { return SetProxyAddress(tooLong, c); }, false,
       "proxyAddress", ""},
      {"text with a zero", [](bool c) { return SetUserAgent(std::u16string(u"a\0b", 3), c); },
       false, "userAgent", "Nubrel"},
      {"sort keys valid",
       [](bool c) {
         return SetSortOrder({16391, 1, 0}, c);
       },
       true, "sortOrder", "16391,1,0"},
      {"sort tertiary without secondary",
       [](bool c) {
         return SetSortOrder({1, 0, 2}, c);
       },
       false, "sortOrder", "16385,0,0"},
      {"sort key with other flag",
       [](bool c) {
         return SetSortOrder({0x8001, 0, 0}, c);
       },
       false, "sortOrder", "16385,0,0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ResetSettings();
    const std::string before = Current(row.name);
    EXPECT_EQ(row.set(true), row.valid);
    EXPECT_EQ(Current(row.name), before) << "check-only stored something";
    EXPECT_EQ(row.set(false), row.valid);
    EXPECT_EQ(Current(row.name), row.afterStore);
  }
}

TEST_F(SettingsTest, RetentionAndOptimiserTextsAreReadAsChoices) {
  struct Row {
    std::u16string text;
    int32_t count;
    bool inItems;
  };
  const Row rows[] = {{u"15i", 15, true}, {u"2d", 2, false}, {u"7", 7, false}, {u"", 0, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(Str(row.text));
    const Retention retention = ParseRetention(row.text);
    EXPECT_EQ(retention.count, row.count);
    EXPECT_EQ(retention.inItems, row.inItems);
  }
  const std::pair<std::u16string, HtmlOptimizerKind> choices[] = {
      {u"none", HtmlOptimizerKind::kNone},
      {u"Google Mobile", HtmlOptimizerKind::kGoogleMobile},
      {u"SKWEEZER", HtmlOptimizerKind::kSkweezer},
  };
  for (const auto& [text, kind] : choices) {
    SCOPED_TRACE(Str(text));
    ASSERT_TRUE(SetHtmlOptimizer(text, false));
    EXPECT_EQ(HtmlOptimizerChoice(), kind);
  }
}

TEST_F(SettingsTest, RetrievalFolderZeroBecomesTheRootOnceRead) {
  Put(CreateSettingsKey(), u"retrievalFolder", Dword(0));
  LoadSettings();
  EXPECT_EQ(RetrievalFolder(0x1234ABCD), 0x1234ABCDu);
  EXPECT_EQ(RetrievalFolder(0x99), 0x1234ABCDu) << "a chosen folder is not replaced";
  ASSERT_TRUE(SaveSettings(0));
  uint32_t stored = 0;
  ASSERT_EQ(platform::RegistryReadDword(CreateSettingsKey(), u"retrievalFolder", stored), 0u);
  EXPECT_EQ(stored, 0x1234ABCDu);
}

// ---- Saving ----

TEST_F(SettingsTest, SaveWritesEveryValueInTheTableOrder) {
  ASSERT_TRUE(SetProxyAddress(u"proxy:3128", false));
  ASSERT_TRUE(SetSortOrder({3, 16386, 0}, false));
  ASSERT_TRUE(SaveSettings(42));

  constexpr uint32_t kD = platform::kRegistryTypeDword;
  constexpr uint32_t kT = platform::kRegistryTypeText;
  constexpr uint32_t kB = platform::kRegistryTypeBinary;
  const std::vector<std::pair<std::string, uint32_t>> expected = {
      {"pathSpec", kT},
      {"itemsUnRead", kD},
      {"markReadInterval", kD},
      {"expandReadInterval", kD},
      {"linesToAdvance", kD},
      {"checkNewInterval", kD},
      {"storagePath", kT},
      {"expireUnread", kT},
      {"expireRead", kT},
      {"enclosureStoragePath", kT},
      {"enclosureExpire", kT},
      {"htmlExpire", kT},
      {"showTotalCount", kD},
      {"hideZeroUnreadCount", kD},
      {"cacheItemImage", kD},
      {"showFilter", kD},
      {"channelFilter", kD},
      {"showCollapsedTime", kD},
      {"showRelativeDates", kD},
      {"markAllReadOnLeave", kD},
      {"channelUpToRoot", kD},
      {"autoUpdateType", kD},
      {"cacheOptions", kD},
      {"updateHours", kD},
      {"retrievalFolder", kD},
      {"selectFirstItem", kD},
      {"truncateItemTitle", kD},
      {"webBrowser", kT},
      {"itemBackgroundColor", kD},
      {"selectedItemBackgroundColor", kD},
      {"backgroundColor", kD},
      {"selectedItemHighlightColor", kD},
      {"itemHighlightColor", kD},
      {"titleFontFace", kT},
      {"titleFontSize", kD},
      {"titleFontColor", kD},
      {"inactiveTitleFontColor", kD},
      {"timestampFontFace", kT},
      {"timestampFontSize", kD},
      {"timestampFontColor", kD},
      {"inactiveTimestampFontColor", kD},
      {"summaryFontFace", kT},
      {"summaryFontSize", kD},
      {"summaryFontColor", kD},
      {"hyperlinkFontColor", kD},
      {"headerBackgroundColor", kD},
      {"selectedHeaderBackgroundColor", kD},
      {"selectedHeaderHighlightColor", kD},
      {"headerHighlightColor", kD},
      {"headerFontColor", kD},
      {"inactiveHeaderFontColor", kD},
      {"channelMenuFontFace", kT},
      {"channelMenuFontSize", kD},
      {"clearType", kD},
      {"userAgent", kT},
      {"htmlOptimizer", kT},
      {"importOpmlURL", kT},
      {"autoGeneratePlaylists", kD},
      {"playlistFormat", kD},
      {"internalHTMLView", kD},
      {"proxyEnabled", kD},
      {"proxyAddress", kT},
      {"proxyUser", kT},
      {"proxyPassword", kB},
      {"sortOrder", kT},
      {"htmlFitToScreen", kD},
      {"htmlShowImages", kD},
      {"htmlClearType", kD},
      {"htmlTextSize", kD},
      {"notifyNewItems", kD},
  };
  const std::vector<Value> values = StoredValues();
  std::vector<std::pair<std::string, uint32_t>> saved;
  for (const Value& value : values) saved.emplace_back(value.name, value.type);
  EXPECT_EQ(saved, expected);

  auto data = [&](const std::string& name) {
    for (const Value& value : values) {
      if (value.name == name) return value.data;
    }
    return std::vector<uint8_t>();
  };
  EXPECT_EQ(data("pathSpec"), Utf16Bytes(platform::OwnProgramPath(), true));
  EXPECT_EQ(data("itemsUnRead"), Dword(42).bytes);
  EXPECT_EQ(data("hideZeroUnreadCount"), Dword(1).bytes);
  EXPECT_EQ(data("showTotalCount"), Dword(0).bytes);
  EXPECT_EQ(data("checkNewInterval"), Dword(60).bytes);
  EXPECT_EQ(data("proxyAddress"), Utf16Bytes(u"proxy:3128", true));
  EXPECT_EQ(data("proxyUser"), Utf16Bytes(u"", true)) << "an absent user is an empty text";
  EXPECT_EQ(data("sortOrder"), Utf16Bytes(u"3,16386,0", true));
}

TEST_F(SettingsTest, SavedValuesLoadBackUnchanged) {
  const std::pair<const char*, bool> sets[] = {
      {"markReadInterval", SetMarkReadInterval(-1, false)},
      {"expandReadInterval", SetExpandReadInterval(5, false)},
      {"linesToAdvance", SetLinesToAdvance(20, false)},
      {"checkNewInterval", SetCheckNewInterval(1440, false)},
      {"storagePath", SetStoragePath(u"\\StorageCard\\Feeds\\", false)},
      {"expireUnread", SetExpireUnread(u"30d", false)},
      {"expireRead", SetExpireRead(u"999i", false)},
      {"enclosureStoragePath", SetEnclosureStoragePath(u"\\StorageCard\\Podcasts\\", false)},
      {"enclosureExpire", SetEnclosureExpire(u"7d", false)},
      {"htmlExpire", SetHtmlExpire(u"31d", false)},
      {"showTotalCount", SetShowTotalCount(true, false)},
      {"hideZeroUnreadCount", SetHideZeroUnreadCount(false, false)},
      {"cacheItemImage", SetCacheItemImage(false, false)},
      {"showFilter", SetShowFilter(4, false)},
      {"channelFilter", SetChannelFilter(0x80000001u, false)},
      {"showCollapsedTime", SetShowCollapsedTime(false, false)},
      {"showRelativeDates", SetShowRelativeDates(false, false)},
      {"markAllReadOnLeave", SetMarkAllReadOnLeave(true, false)},
      {"channelUpToRoot", SetChannelUpToRoot(true, false)},
      {"autoUpdateType", SetAutoUpdateType(3, false)},
      {"cacheOptions", SetCacheOptions(1, false)},
      {"updateHours", SetUpdateHours(0x00F0F0, false)},
      {"retrievalFolder", SetRetrievalFolder(0xDEADBEEF, false)},
      {"selectFirstItem", SetSelectFirstItem(false, false)},
      {"truncateItemTitle", SetTruncateItemTitle(false, false)},
      {"webBrowser", SetWebBrowser(u"\\Windows\\opera.exe", false)},
      {"itemBackgroundColor", SetItemBackgroundColor(0x000011, false)},
      {"selectedItemBackgroundColor", SetSelectedItemBackgroundColor(0x000022, false)},
      {"backgroundColor", SetBackgroundColor(0x000033, false)},
      {"selectedItemHighlightColor", SetSelectedItemHighlightColor(0x000044, false)},
      {"itemHighlightColor", SetItemHighlightColor(0x000055, false)},
      {"titleFontFace", SetTitleFontFace(u"Courier", false)},
      {"titleFontSize", SetTitleFontSize(7, false)},
      {"titleFontColor", SetTitleFontColor(0x000066, false)},
      {"inactiveTitleFontColor", SetInactiveTitleFontColor(0x000077, false)},
      {"timestampFontFace", SetTimestampFontFace(u"Verdana", false)},
      {"timestampFontSize", SetTimestampFontSize(160, false)},
      {"timestampFontColor", SetTimestampFontColor(0x000088, false)},
      {"inactiveTimestampFontColor", SetInactiveTimestampFontColor(0x000099, false)},
      {"summaryFontFace", SetSummaryFontFace(u"Arial", false)},
      {"summaryFontSize", SetSummaryFontSize(60, false)},
      {"summaryFontColor", SetSummaryFontColor(0x0000AA, false)},
      {"hyperlinkFontColor", SetHyperlinkFontColor(0x0000BB, false)},
      {"headerBackgroundColor", SetHeaderBackgroundColor(0x0000CC, false)},
      {"selectedHeaderBackgroundColor", SetSelectedHeaderBackgroundColor(0x0000DD, false)},
      {"selectedHeaderHighlightColor", SetSelectedHeaderHighlightColor(0x0000EE, false)},
      {"headerHighlightColor", SetHeaderHighlightColor(0x001100, false)},
      {"headerFontColor", SetHeaderFontColor(0x002200, false)},
      {"inactiveHeaderFontColor", SetInactiveHeaderFontColor(0x003300, false)},
      {"channelMenuFontFace", SetChannelMenuFontFace(u"Georgia", false)},
      {"channelMenuFontSize", SetChannelMenuFontSize(100, false)},
      {"clearType", SetClearType(true, false)},
      {"userAgent", SetUserAgent(u"Nubrel/2.0 (Linux)", false)},
      {"htmlOptimizer", SetHtmlOptimizer(u"google mobile", false)},
      {"importOpmlURL", SetImportOpmlURL(u"http://example.org/list.opml", false)},
      {"autoGeneratePlaylists", SetAutoGeneratePlaylists(true, false)},
      {"playlistFormat", SetPlaylistFormat(1, false)},
      {"internalHTMLView", SetInternalHTMLView(false, false)},
      {"proxyEnabled", SetProxyEnabled(true, false)},
      {"proxyAddress", SetProxyAddress(u"proxy.example:8080", false)},
      {"proxyUser", SetProxyUser(u"ann", false)},
      {"proxyPassword", SetProxyPassword(u"p\u00E4ss w\u20ACrd", false)},
      {"sortOrder", SetSortOrder({16387, 2, 16391}, false)},
      {"htmlFitToScreen", SetHtmlFitToScreen(false, false)},
      {"htmlShowImages", SetHtmlShowImages(false, false)},
      {"htmlClearType", SetHtmlClearType(true, false)},
      {"htmlTextSize", SetHtmlTextSize(4, false)},
      {"notifyNewItems", SetNotifyNewItems(false, false)},
  };
  for (const auto& [name, accepted] : sets) EXPECT_TRUE(accepted) << name;

  const auto chosen = Snapshot();
  // Every value differs from its default, so a value that is not saved or not loaded shows.
  ASSERT_EQ(chosen.size(), kDefaults.size());
  for (size_t i = 0; i < chosen.size(); ++i) {
    EXPECT_NE(chosen[i].second, kDefaults[i].second) << chosen[i].first;
  }
  ASSERT_TRUE(SaveSettings(7));
  ResetSettings();
  LoadSettings();
  EXPECT_EQ(Snapshot(), chosen);
}

// ---- Threads ----

TEST_F(SettingsTest, WorkersReadWholeTextsWhileTheInterfaceReplacesThem) {
  const std::u16string a(200, u'a');
  const std::u16string b(250, u'b');
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop.load()) {
      const std::u16string seen = UserAgent();
      if (seen != a && seen != b && seen != u"Nubrel") torn.fetch_add(1);
    }
  });
  for (int i = 0; i < 20000; ++i) SetUserAgent(i % 2 ? a : b, false);
  stop.store(true);
  reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace nubrel
