// The settings record itself: defaults, the checks behind every setter, the setters, and the
// table that names each field for the registry side. Reading and writing the registry is
// settings_registry.cpp's.
//
// Map:  Checks (what each kind of value accepts)  ·  Storing (setter helpers)  ·  Record (the
//       instance, defaults, sort-key text)  ·  Setters (one per value, in the save order)  ·
//       Derived readings (RetrievalFolder, ParseRetention, HtmlOptimizerChoice)  ·  Field table
//       (name, field and setter of every value; ResetSettings)
#include <algorithm>
#include <climits>

#include "core/settings.h"
#include "core/settings_fields.h"
#include "shared/text.h"

namespace nubrel {

using settings_detail::FieldKind;
using settings_detail::MutableSettings;
using settings_detail::SettingField;

// ---- Checks ----

namespace {

bool InRange(int64_t value, int64_t low, int64_t high) { return value >= low && value <= high; }

bool IsSecondsOrNever(int32_t value) { return value == -1 || InRange(value, 0, 60); }

// Any text the registry can give back as it was stored: one that fits the 261-character read
// buffer with its zero, and holds no zero of its own (the read would end there).
bool IsStorableText(std::u16string_view value) {
  return value.size() < kSettingTextChars && value.find(u'\0') == std::u16string_view::npos;
}

bool IsNonEmptyText(std::u16string_view value) { return !value.empty() && IsStorableText(value); }

bool IsRetentionText(std::u16string_view value) {
  if (!IsStorableText(value)) return false;
  size_t digits = 0;
  const int64_t count = LeadingInteger(value, &digits);
  if (digits == 0) return false;
  return value.back() == u'i' ? InRange(count, 1, 999) : InRange(count, 1, 31);
}

bool IsDaysText(std::u16string_view value) {
  if (!IsStorableText(value)) return false;
  size_t digits = 0;
  const int64_t count = LeadingInteger(value, &digits);
  return digits != 0 && InRange(count, 1, 31);
}

bool IsFolderPath(std::u16string_view value) {
  return IsStorableText(value) && !value.empty() && value.back() == u'\\';
}

// Whole points (below 10) become tenths; the result must be 6 to 16 points.
bool NormalizeFontSize(int32_t& value) {
  if (value < 10) {
    if (value < -1000) return false;  // no overflow on the way to a certain refusal
    value *= 10;
  }
  return InRange(value, 60, 160);
}

bool IsSortKey(int32_t key) {
  const int32_t base = key & ~kSortDirectionFlag;
  return InRange(base, 1, 7);
}

bool IsSortOrder(const SortKeys& keys) {
  if (!IsSortKey(keys[0])) return false;
  if (keys[1] != 0 && !IsSortKey(keys[1])) return false;
  if (keys[2] == 0) return true;
  return IsSortKey(keys[1]) && IsSortKey(keys[2]);
}

// ---- Storing ----

template <typename T>
bool Store(std::atomic<T> Settings::*field, T value, bool valid, bool checkOnly) {
  if (valid && !checkOnly) (MutableSettings().*field).store(value);
  return valid;
}

bool StoreText(SettingText Settings::*field, std::u16string_view value, bool valid,
               bool checkOnly) {
  if (valid && !checkOnly) (MutableSettings().*field).Set(std::u16string(value));
  return valid;
}

bool StoreSeconds(std::atomic<int32_t> Settings::*field, int32_t value, bool checkOnly) {
  return Store(field, value, IsSecondsOrNever(value), checkOnly);
}

bool StoreFontSize(std::atomic<int32_t> Settings::*field, int32_t value, bool checkOnly) {
  const bool valid = NormalizeFontSize(value);
  return Store(field, value, valid, checkOnly);
}

bool StoreFlag(std::atomic<bool> Settings::*field, bool value, bool checkOnly) {
  return Store(field, value, true, checkOnly);
}

bool StoreAny(std::atomic<uint32_t> Settings::*field, uint32_t value, bool checkOnly) {
  return Store(field, value, true, checkOnly);
}

// The storage folders are kept even when they lack the final "\" (the options dialog shows the
// user what was typed); only the answer says whether it would be accepted at the next load.
bool StoreFolder(SettingText Settings::*field, std::u16string_view value, bool checkOnly) {
  const bool valid = IsFolderPath(value);
  if (!checkOnly) (MutableSettings().*field).Set(std::u16string(value));
  return valid;
}

}  // namespace

// ---- Record ----

namespace settings_detail {

Settings& MutableSettings() {
  static Settings settings;
  return settings;
}

const Settings& DefaultSettings() {
  static const Settings defaults;
  return defaults;
}

std::u16string FormatSortOrder(const SortKeys& keys) {
  return FormatDecimal(keys[0]) + u"," + FormatDecimal(keys[1]) + u"," + FormatDecimal(keys[2]);
}

SortKeys ParseSortOrder(std::u16string_view text) {
  SortKeys keys{0, 0, 0};
  for (int32_t& key : keys) {
    if (text.empty()) break;
    const size_t comma = text.find(u',');
    const int64_t number = LeadingInteger(text.substr(0, comma));
    // Out of int32_t's range cannot be a key; -1 keeps it refused rather than wrapped into one.
    key = InRange(number, INT32_MIN, INT32_MAX) ? static_cast<int32_t>(number) : -1;
    text = comma == std::u16string_view::npos ? std::u16string_view() : text.substr(comma + 1);
  }
  return keys;
}

}  // namespace settings_detail

const Settings& GetSettings() { return MutableSettings(); }

// ---- Setters ----

bool SetMarkReadInterval(int32_t value, bool checkOnly) {
  return StoreSeconds(&Settings::markReadInterval, value, checkOnly);
}
bool SetExpandReadInterval(int32_t value, bool checkOnly) {
  return StoreSeconds(&Settings::expandReadInterval, value, checkOnly);
}
bool SetLinesToAdvance(int32_t value, bool checkOnly) {
  return Store(&Settings::linesToAdvance, value, InRange(value, 1, 20), checkOnly);
}
bool SetCheckNewInterval(int32_t value, bool checkOnly) {
  return Store(&Settings::checkNewInterval, value, value == -1 || InRange(value, 15, 1440),
               checkOnly);
}
bool SetStoragePath(std::u16string_view value, bool checkOnly) {
  return StoreFolder(&Settings::storagePath, value, checkOnly);
}
bool SetExpireUnread(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::expireUnread, value, IsRetentionText(value), checkOnly);
}
bool SetExpireRead(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::expireRead, value, IsRetentionText(value), checkOnly);
}
bool SetEnclosureStoragePath(std::u16string_view value, bool checkOnly) {
  return StoreFolder(&Settings::enclosureStoragePath, value, checkOnly);
}
bool SetEnclosureExpire(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::enclosureExpire, value, IsRetentionText(value), checkOnly);
}
bool SetHtmlExpire(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::htmlExpire, value, IsDaysText(value), checkOnly);
}
bool SetShowTotalCount(bool value, bool checkOnly) {
  return StoreFlag(&Settings::showTotalCount, value, checkOnly);
}
bool SetHideZeroUnreadCount(bool value, bool checkOnly) {
  return StoreFlag(&Settings::hideZeroUnreadCount, value, checkOnly);
}
bool SetCacheItemImage(bool value, bool checkOnly) {
  return StoreFlag(&Settings::cacheItemImage, value, checkOnly);
}
bool SetShowFilter(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::showFilter, value, checkOnly);
}
bool SetChannelFilter(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::channelFilter, value, checkOnly);
}
bool SetShowCollapsedTime(bool value, bool checkOnly) {
  return StoreFlag(&Settings::showCollapsedTime, value, checkOnly);
}
bool SetShowRelativeDates(bool value, bool checkOnly) {
  return StoreFlag(&Settings::showRelativeDates, value, checkOnly);
}
bool SetMarkAllReadOnLeave(bool value, bool checkOnly) {
  return StoreFlag(&Settings::markAllReadOnLeave, value, checkOnly);
}
bool SetChannelUpToRoot(bool value, bool checkOnly) {
  return StoreFlag(&Settings::channelUpToRoot, value, checkOnly);
}
bool SetAutoUpdateType(int32_t value, bool checkOnly) {
  return Store(&Settings::autoUpdateType, value, InRange(value, 0, 3), checkOnly);
}
bool SetCacheOptions(int32_t value, bool checkOnly) {
  return Store(&Settings::cacheOptions, value, InRange(value, 0, 1), checkOnly);
}
bool SetUpdateHours(uint32_t value, bool checkOnly) {
  return Store(&Settings::updateHours, value, (value & ~0xFFFFFFu) == 0, checkOnly);
}
bool SetRetrievalFolder(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::retrievalFolder, value, checkOnly);
}
bool SetSelectFirstItem(bool value, bool checkOnly) {
  return StoreFlag(&Settings::selectFirstItem, value, checkOnly);
}
bool SetTruncateItemTitle(bool value, bool checkOnly) {
  return StoreFlag(&Settings::truncateItemTitle, value, checkOnly);
}
bool SetWebBrowser(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::webBrowser, value, IsNonEmptyText(value), checkOnly);
}
bool SetItemBackgroundColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::itemBackgroundColor, value, checkOnly);
}
bool SetSelectedItemBackgroundColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::selectedItemBackgroundColor, value, checkOnly);
}
bool SetBackgroundColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::backgroundColor, value, checkOnly);
}
bool SetSelectedItemHighlightColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::selectedItemHighlightColor, value, checkOnly);
}
bool SetItemHighlightColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::itemHighlightColor, value, checkOnly);
}
bool SetTitleFontFace(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::titleFontFace, value, IsNonEmptyText(value), checkOnly);
}
bool SetTitleFontSize(int32_t value, bool checkOnly) {
  return StoreFontSize(&Settings::titleFontSize, value, checkOnly);
}
bool SetTitleFontColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::titleFontColor, value, checkOnly);
}
bool SetInactiveTitleFontColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::inactiveTitleFontColor, value, checkOnly);
}
bool SetTimestampFontFace(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::timestampFontFace, value, IsNonEmptyText(value), checkOnly);
}
bool SetTimestampFontSize(int32_t value, bool checkOnly) {
  return StoreFontSize(&Settings::timestampFontSize, value, checkOnly);
}
bool SetTimestampFontColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::timestampFontColor, value, checkOnly);
}
bool SetInactiveTimestampFontColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::inactiveTimestampFontColor, value, checkOnly);
}
bool SetSummaryFontFace(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::summaryFontFace, value, IsNonEmptyText(value), checkOnly);
}
bool SetSummaryFontSize(int32_t value, bool checkOnly) {
  return StoreFontSize(&Settings::summaryFontSize, value, checkOnly);
}
bool SetSummaryFontColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::summaryFontColor, value, checkOnly);
}
bool SetHyperlinkFontColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::hyperlinkFontColor, value, checkOnly);
}
bool SetHeaderBackgroundColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::headerBackgroundColor, value, checkOnly);
}
bool SetSelectedHeaderBackgroundColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::selectedHeaderBackgroundColor, value, checkOnly);
}
bool SetSelectedHeaderHighlightColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::selectedHeaderHighlightColor, value, checkOnly);
}
bool SetHeaderHighlightColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::headerHighlightColor, value, checkOnly);
}
bool SetHeaderFontColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::headerFontColor, value, checkOnly);
}
bool SetInactiveHeaderFontColor(uint32_t value, bool checkOnly) {
  return StoreAny(&Settings::inactiveHeaderFontColor, value, checkOnly);
}
bool SetChannelMenuFontFace(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::channelMenuFontFace, value, IsNonEmptyText(value), checkOnly);
}
bool SetChannelMenuFontSize(int32_t value, bool checkOnly) {
  return StoreFontSize(&Settings::channelMenuFontSize, value, checkOnly);
}
bool SetClearType(bool value, bool checkOnly) {
  return StoreFlag(&Settings::clearType, value, checkOnly);
}
bool SetUserAgent(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::userAgent, value, IsNonEmptyText(value), checkOnly);
}
bool SetHtmlOptimizer(std::u16string_view value, bool checkOnly) {
  const bool valid = EqualsNoCase(value, u"None") || EqualsNoCase(value, u"Google Mobile") ||
                     EqualsNoCase(value, u"Skweezer");
  return StoreText(&Settings::htmlOptimizer, value, valid, checkOnly);
}
bool SetImportOpmlURL(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::importOpmlURL, value, IsNonEmptyText(value), checkOnly);
}
bool SetAutoGeneratePlaylists(bool value, bool checkOnly) {
  return StoreFlag(&Settings::autoGeneratePlaylists, value, checkOnly);
}
bool SetPlaylistFormat(int32_t value, bool checkOnly) {
  return Store(&Settings::playlistFormat, value, InRange(value, 0, 1), checkOnly);
}
bool SetInternalHTMLView(bool value, bool checkOnly) {
  return StoreFlag(&Settings::internalHTMLView, value, checkOnly);
}
bool SetProxyEnabled(bool value, bool checkOnly) {
  return StoreFlag(&Settings::proxyEnabled, value, checkOnly);
}
bool SetProxyAddress(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::proxyAddress, value, IsStorableText(value), checkOnly);
}
bool SetProxyUser(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::proxyUser, value, IsStorableText(value), checkOnly);
}
bool SetProxyPassword(std::u16string_view value, bool checkOnly) {
  return StoreText(&Settings::proxyPassword, value, IsStorableText(value), checkOnly);
}
bool SetSortOrder(const SortKeys& value, bool checkOnly) {
  const bool valid = IsSortOrder(value);
  if (valid && !checkOnly) MutableSettings().sortOrder.Set(value);
  return valid;
}
bool SetHtmlFitToScreen(bool value, bool checkOnly) {
  return StoreFlag(&Settings::htmlFitToScreen, value, checkOnly);
}
bool SetHtmlShowImages(bool value, bool checkOnly) {
  return StoreFlag(&Settings::htmlShowImages, value, checkOnly);
}
bool SetHtmlClearType(bool value, bool checkOnly) {
  return StoreFlag(&Settings::htmlClearType, value, checkOnly);
}
bool SetHtmlTextSize(int32_t value, bool checkOnly) {
  return Store(&Settings::htmlTextSize, value, InRange(value, 0, 4), checkOnly);
}
bool SetNotifyNewItems(bool value, bool checkOnly) {
  return StoreFlag(&Settings::notifyNewItems, value, checkOnly);
}

// ---- Derived readings ----

uint32_t RetrievalFolder(uint32_t rootId) {
  uint32_t stored = MutableSettings().retrievalFolder.load();
  if (stored != 0) return stored;
  // Only a 0 is replaced: a folder the user picked meanwhile wins.
  MutableSettings().retrievalFolder.compare_exchange_strong(stored, rootId);
  return MutableSettings().retrievalFolder.load();
}

Retention ParseRetention(std::u16string_view text) {
  Retention retention;
  const int64_t count = LeadingInteger(text);
  retention.count = static_cast<int32_t>(std::clamp<int64_t>(count, 0, INT32_MAX));
  retention.inItems = !text.empty() && text.back() == u'i';
  return retention;
}

HtmlOptimizerKind HtmlOptimizerChoice() {
  const std::u16string choice = HtmlOptimizer();
  if (EqualsNoCase(choice, u"Google Mobile")) return HtmlOptimizerKind::kGoogleMobile;
  if (EqualsNoCase(choice, u"Skweezer")) return HtmlOptimizerKind::kSkweezer;
  return HtmlOptimizerKind::kNone;
}

// ---- Field table ----

namespace settings_detail {
namespace {

constexpr SettingField Int(std::u16string_view name, std::atomic<int32_t> Settings::*field,
                           bool (*set)(int32_t, bool)) {
  SettingField f{name, FieldKind::kInt};
  f.intField = field;
  f.setInt = set;
  return f;
}
constexpr SettingField Uint(std::u16string_view name, std::atomic<uint32_t> Settings::*field,
                            bool (*set)(uint32_t, bool)) {
  SettingField f{name, FieldKind::kUint};
  f.uintField = field;
  f.setUint = set;
  return f;
}
constexpr SettingField Flag(std::u16string_view name, std::atomic<bool> Settings::*field) {
  SettingField f{name, FieldKind::kFlag};
  f.flagField = field;
  return f;
}
constexpr SettingField Text(std::u16string_view name, SettingText Settings::*field,
                            bool (*set)(std::u16string_view, bool),
                            FieldKind kind = FieldKind::kText) {
  SettingField f{name, kind};
  f.textField = field;
  f.setText = set;
  return f;
}

using S = Settings;

// The save order. Keep it the order of the settings table the other programs were written
// against: the updater and the installer read some of these names too.
const SettingField kFields[] = {
    Int(u"markReadInterval", &S::markReadInterval, SetMarkReadInterval),
    Int(u"expandReadInterval", &S::expandReadInterval, SetExpandReadInterval),
    Int(u"linesToAdvance", &S::linesToAdvance, SetLinesToAdvance),
    Int(u"checkNewInterval", &S::checkNewInterval, SetCheckNewInterval),
    Text(u"storagePath", &S::storagePath, SetStoragePath),
    Text(u"expireUnread", &S::expireUnread, SetExpireUnread),
    Text(u"expireRead", &S::expireRead, SetExpireRead),
    Text(u"enclosureStoragePath", &S::enclosureStoragePath, SetEnclosureStoragePath),
    Text(u"enclosureExpire", &S::enclosureExpire, SetEnclosureExpire),
    Text(u"htmlExpire", &S::htmlExpire, SetHtmlExpire),
    Flag(u"showTotalCount", &S::showTotalCount),
    Flag(u"hideZeroUnreadCount", &S::hideZeroUnreadCount),
    Flag(u"cacheItemImage", &S::cacheItemImage),
    Uint(u"showFilter", &S::showFilter, SetShowFilter),
    Uint(u"channelFilter", &S::channelFilter, SetChannelFilter),
    Flag(u"showCollapsedTime", &S::showCollapsedTime),
    Flag(u"showRelativeDates", &S::showRelativeDates),
    Flag(u"markAllReadOnLeave", &S::markAllReadOnLeave),
    Flag(u"channelUpToRoot", &S::channelUpToRoot),
    Int(u"autoUpdateType", &S::autoUpdateType, SetAutoUpdateType),
    Int(u"cacheOptions", &S::cacheOptions, SetCacheOptions),
    Uint(u"updateHours", &S::updateHours, SetUpdateHours),
    Uint(u"retrievalFolder", &S::retrievalFolder, SetRetrievalFolder),
    Flag(u"selectFirstItem", &S::selectFirstItem),
    Flag(u"truncateItemTitle", &S::truncateItemTitle),
    Text(u"webBrowser", &S::webBrowser, SetWebBrowser),
    Uint(u"itemBackgroundColor", &S::itemBackgroundColor, SetItemBackgroundColor),
    Uint(u"selectedItemBackgroundColor", &S::selectedItemBackgroundColor,
         SetSelectedItemBackgroundColor),
    Uint(u"backgroundColor", &S::backgroundColor, SetBackgroundColor),
    Uint(u"selectedItemHighlightColor", &S::selectedItemHighlightColor,
         SetSelectedItemHighlightColor),
    Uint(u"itemHighlightColor", &S::itemHighlightColor, SetItemHighlightColor),
    Text(u"titleFontFace", &S::titleFontFace, SetTitleFontFace),
    Int(u"titleFontSize", &S::titleFontSize, SetTitleFontSize),
    Uint(u"titleFontColor", &S::titleFontColor, SetTitleFontColor),
    Uint(u"inactiveTitleFontColor", &S::inactiveTitleFontColor, SetInactiveTitleFontColor),
    Text(u"timestampFontFace", &S::timestampFontFace, SetTimestampFontFace),
    Int(u"timestampFontSize", &S::timestampFontSize, SetTimestampFontSize),
    Uint(u"timestampFontColor", &S::timestampFontColor, SetTimestampFontColor),
    Uint(u"inactiveTimestampFontColor", &S::inactiveTimestampFontColor,
         SetInactiveTimestampFontColor),
    Text(u"summaryFontFace", &S::summaryFontFace, SetSummaryFontFace),
    Int(u"summaryFontSize", &S::summaryFontSize, SetSummaryFontSize),
    Uint(u"summaryFontColor", &S::summaryFontColor, SetSummaryFontColor),
    Uint(u"hyperlinkFontColor", &S::hyperlinkFontColor, SetHyperlinkFontColor),
    Uint(u"headerBackgroundColor", &S::headerBackgroundColor, SetHeaderBackgroundColor),
    Uint(u"selectedHeaderBackgroundColor", &S::selectedHeaderBackgroundColor,
         SetSelectedHeaderBackgroundColor),
    Uint(u"selectedHeaderHighlightColor", &S::selectedHeaderHighlightColor,
         SetSelectedHeaderHighlightColor),
    Uint(u"headerHighlightColor", &S::headerHighlightColor, SetHeaderHighlightColor),
    Uint(u"headerFontColor", &S::headerFontColor, SetHeaderFontColor),
    Uint(u"inactiveHeaderFontColor", &S::inactiveHeaderFontColor, SetInactiveHeaderFontColor),
    Text(u"channelMenuFontFace", &S::channelMenuFontFace, SetChannelMenuFontFace),
    Int(u"channelMenuFontSize", &S::channelMenuFontSize, SetChannelMenuFontSize),
    Flag(u"clearType", &S::clearType),
    Text(u"userAgent", &S::userAgent, SetUserAgent),
    Text(u"htmlOptimizer", &S::htmlOptimizer, SetHtmlOptimizer),
    Text(u"importOpmlURL", &S::importOpmlURL, SetImportOpmlURL),
    Flag(u"autoGeneratePlaylists", &S::autoGeneratePlaylists),
    Int(u"playlistFormat", &S::playlistFormat, SetPlaylistFormat),
    Flag(u"internalHTMLView", &S::internalHTMLView),
    Flag(u"proxyEnabled", &S::proxyEnabled),
    Text(u"proxyAddress", &S::proxyAddress, SetProxyAddress),
    Text(u"proxyUser", &S::proxyUser, SetProxyUser),
    Text(u"proxyPassword", &S::proxyPassword, SetProxyPassword, FieldKind::kPassword),
    SettingField{u"sortOrder", FieldKind::kSortOrder},
    Flag(u"htmlFitToScreen", &S::htmlFitToScreen),
    Flag(u"htmlShowImages", &S::htmlShowImages),
    Flag(u"htmlClearType", &S::htmlClearType),
    Int(u"htmlTextSize", &S::htmlTextSize, SetHtmlTextSize),
    Flag(u"notifyNewItems", &S::notifyNewItems),
};

}  // namespace

std::span<const SettingField> SettingFields() { return kFields; }

void ResetField(const SettingField& field) {
  Settings& live = MutableSettings();
  const Settings& defaults = DefaultSettings();
  switch (field.kind) {
    case FieldKind::kInt:
      (live.*field.intField).store((defaults.*field.intField).load());
      break;
    case FieldKind::kUint:
      (live.*field.uintField).store((defaults.*field.uintField).load());
      break;
    case FieldKind::kFlag:
      (live.*field.flagField).store((defaults.*field.flagField).load());
      break;
    case FieldKind::kText:
    case FieldKind::kPassword:
      (live.*field.textField).Set((defaults.*field.textField).Get());
      break;
    case FieldKind::kSortOrder:
      live.sortOrder.Set(defaults.sortOrder.Get());
      break;
  }
}

}  // namespace settings_detail

void ResetSettings() {
  for (const SettingField& field : settings_detail::SettingFields()) {
    settings_detail::ResetField(field);
  }
}

}  // namespace nubrel
