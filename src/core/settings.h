// The reader's preferences: the process-wide `Settings` record, one getter and one validating
// setter per value, and `LoadSettings`/`SaveSettings` against HKEY_CURRENT_USER
// "Software\nubrel". Values other Parts keep under that key ("initialOutline", "initialItem",
// "startupTip") are not here; neither is composing retention texts in the options dialogs.
// Validation and defaults live in settings_values.cpp, the registry side in settings_registry.cpp.
//
// Threads: only the interface thread writes (load, options dialogs, themes); any thread reads.
// Numbers and flags are std::atomic words (a worker reads a whole old or whole new value).
// Texts are SettingText: the getter copies the text under that text's own small mutex, so a
// worker never sees a text half-replaced and never holds a pointer into a text that goes away.
// The three sort keys are one SettingValue for the same reason.
//
// Setter convention: SetX(value, checkOnly) returns whether the value is valid and stores it only
// when it is valid and checkOnly is false. Exception: the two storage-path setters store their
// value whatever it is (when checkOnly is false) and only report whether it ends in "\".
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace nubrel {

// ---- Value types ----

// A value any thread may read while the interface thread replaces it: reads copy under a lock.
template <typename T>
class SettingValue {
 public:
  SettingValue() = default;
  explicit SettingValue(T value) : value_(std::move(value)) {}
  SettingValue(const SettingValue&) = delete;
  SettingValue& operator=(const SettingValue&) = delete;

  T Get() const {
    std::lock_guard<std::mutex> hold(lock_);
    return value_;
  }
  void Set(T value) {
    std::lock_guard<std::mutex> hold(lock_);
    value_ = std::move(value);
  }

 private:
  mutable std::mutex lock_;  // guards value_ only; held for one copy, never across calls
  T value_{};
};

using SettingText = SettingValue<std::u16string>;

// Item sort keys, primary first. A key is 1 to 7, optionally plus kSortDirectionFlag; 0 is none.
using SortKeys = std::array<int32_t, 3>;
inline constexpr int32_t kSortDirectionFlag = 0x4000;

// Text settings are read from the registry into buffers of this many characters, the zero
// included: a stored text of more than kSettingTextChars - 1 characters counts as missing, so
// the text setters refuse such texts too (they could be saved but never loaded again).
inline constexpr size_t kSettingTextChars = 261;

// A retention text ("15i", "2d") read: `count` items when `inItems`, else `count` days.
struct Retention {
  int32_t count = 0;
  bool inItems = false;
};

// The three choices of "htmlOptimizer" (stored as the user typed them; compared without case).
enum class HtmlOptimizerKind { kNone, kGoogleMobile, kSkweezer };

// ---- The record ----

// One field per registry value, named as the value; the initialisers are the defaults.
// Written by the interface thread only (LoadSettings, setters, ResetSettings); read anywhere.
struct Settings {
  std::atomic<int32_t> markReadInterval{2};     // seconds, 0..60 or -1 (never)
  std::atomic<int32_t> expandReadInterval{0};   // seconds, 0..60 or -1 (never)
  std::atomic<int32_t> linesToAdvance{1};       // 1..20
  std::atomic<int32_t> checkNewInterval{60};    // minutes, 15..1440 or -1
  SettingText storagePath{u"\\My Documents\\Channels\\"};
  SettingText expireUnread{u"15i"};
  SettingText expireRead{u"15i"};
  SettingText enclosureStoragePath{u"\\My Documents\\Channels\\"};
  SettingText enclosureExpire{u"2i"};
  SettingText htmlExpire{u"2d"};
  std::atomic<bool> showTotalCount{false};
  std::atomic<bool> hideZeroUnreadCount{true};
  std::atomic<bool> cacheItemImage{true};
  std::atomic<uint32_t> showFilter{1};          // item filter code of the show view
  std::atomic<uint32_t> channelFilter{1};       // item filter code of the channel view
  std::atomic<bool> showCollapsedTime{true};
  std::atomic<bool> showRelativeDates{true};
  std::atomic<bool> markAllReadOnLeave{false};
  std::atomic<bool> channelUpToRoot{false};
  std::atomic<int32_t> autoUpdateType{2};       // 0..3
  std::atomic<int32_t> cacheOptions{0};         // 0 or 1
  std::atomic<uint32_t> updateHours{0xFFFFFFu}; // bit h = hour h; no bit above 23
  std::atomic<uint32_t> retrievalFolder{0};     // channel id; 0 = the root (see RetrievalFolder)
  std::atomic<bool> selectFirstItem{true};
  std::atomic<bool> truncateItemTitle{true};
  SettingText webBrowser{u"\\windows\\iexplore.exe"};
  // Theme values: colours are 0x00BBGGRR, font sizes tenths of a point (60..160).
  std::atomic<uint32_t> itemBackgroundColor{0xE0E0E0};
  std::atomic<uint32_t> selectedItemBackgroundColor{0xC0F0C0};
  std::atomic<uint32_t> backgroundColor{0xB0B0B0};
  std::atomic<uint32_t> selectedItemHighlightColor{0x000000};
  std::atomic<uint32_t> itemHighlightColor{0x404040};
  SettingText titleFontFace{u"Tahoma"};
  std::atomic<int32_t> titleFontSize{90};
  std::atomic<uint32_t> titleFontColor{0x000000};
  std::atomic<uint32_t> inactiveTitleFontColor{0x404040};
  SettingText timestampFontFace{u"Tahoma"};
  std::atomic<int32_t> timestampFontSize{80};
  std::atomic<uint32_t> timestampFontColor{0x000000};
  std::atomic<uint32_t> inactiveTimestampFontColor{0x404040};
  SettingText summaryFontFace{u"Tahoma"};
  std::atomic<int32_t> summaryFontSize{90};
  std::atomic<uint32_t> summaryFontColor{0x000000};
  std::atomic<uint32_t> hyperlinkFontColor{0x000000};
  std::atomic<uint32_t> headerBackgroundColor{0xB0B0B0};
  std::atomic<uint32_t> selectedHeaderBackgroundColor{0xC0F0C0};
  std::atomic<uint32_t> selectedHeaderHighlightColor{0xC0F0C0};
  std::atomic<uint32_t> headerHighlightColor{0xB0B0B0};
  std::atomic<uint32_t> headerFontColor{0x000000};
  std::atomic<uint32_t> inactiveHeaderFontColor{0x404040};
  SettingText channelMenuFontFace{u"Tahoma"};
  std::atomic<int32_t> channelMenuFontSize{80};
  std::atomic<bool> clearType{false};
  SettingText userAgent{u"Nubrel"};
  SettingText htmlOptimizer{u"None"};           // "None", "Google Mobile", "Skweezer", any case
  SettingText importOpmlURL{u"http://"};
  std::atomic<bool> autoGeneratePlaylists{false};
  std::atomic<int32_t> playlistFormat{0};       // 0 .ASX, 1 .M3U
  std::atomic<bool> internalHTMLView{true};
  std::atomic<bool> proxyEnabled{false};        // load default: 1 when proxyAddress is set
  SettingText proxyAddress;                     // empty: no proxy
  SettingText proxyUser;
  SettingText proxyPassword;                    // plain in memory; enciphered in the registry
  SettingValue<SortKeys> sortOrder{SortKeys{16385, 0, 0}};
  std::atomic<bool> htmlFitToScreen{true};
  std::atomic<bool> htmlShowImages{true};
  std::atomic<bool> htmlClearType{false};
  std::atomic<int32_t> htmlTextSize{2};         // 0..4, 2 = "Medium"
  std::atomic<bool> notifyNewItems{true};
};

// ---- Life ----

// The process-wide record. Never fails; holds the defaults until LoadSettings runs.
const Settings& GetSettings();
// Every value back to its default, "proxyEnabled" 0 (tests; also what a missing key gives).
void ResetSettings();

// Fills the record from the registry key (interface thread, at main-window creation). A missing
// key gives all defaults; a missing value, one of the wrong type or size, or one its setter
// refuses gives that value's default.
void LoadSettings();
// Writes the record, with "pathSpec" (this program's path) and "itemsUnRead" (itemsUnread, the
// tree's total unread count, which the caller counts), in the save order. When the key cannot
// be made nothing is written; returns whether every value was written.
bool SaveSettings(int32_t itemsUnread);

// The key's path below HKEY_CURRENT_USER ("Software\nubrel").
std::u16string SettingsKeyPath();

// ---- Reading retention and optimiser texts ----

// The leading number of a retention text and whether it ends in "i" (items) or not (days).
Retention ParseRetention(std::u16string_view text);
// "htmlOptimizer" as a choice; an unknown text (the setter refuses those) reads as kNone.
HtmlOptimizerKind HtmlOptimizerChoice();

// ---- Getters ----

inline int32_t MarkReadInterval() { return GetSettings().markReadInterval.load(); }
inline int32_t ExpandReadInterval() { return GetSettings().expandReadInterval.load(); }
inline int32_t LinesToAdvance() { return GetSettings().linesToAdvance.load(); }
inline int32_t CheckNewInterval() { return GetSettings().checkNewInterval.load(); }
inline std::u16string StoragePath() { return GetSettings().storagePath.Get(); }
inline std::u16string ExpireUnread() { return GetSettings().expireUnread.Get(); }
inline std::u16string ExpireRead() { return GetSettings().expireRead.Get(); }
inline std::u16string EnclosureStoragePath() { return GetSettings().enclosureStoragePath.Get(); }
inline std::u16string EnclosureExpire() { return GetSettings().enclosureExpire.Get(); }
inline std::u16string HtmlExpire() { return GetSettings().htmlExpire.Get(); }
inline bool ShowTotalCount() { return GetSettings().showTotalCount.load(); }
inline bool HideZeroUnreadCount() { return GetSettings().hideZeroUnreadCount.load(); }
inline bool CacheItemImage() { return GetSettings().cacheItemImage.load(); }
inline uint32_t ShowFilter() { return GetSettings().showFilter.load(); }
inline uint32_t ChannelFilter() { return GetSettings().channelFilter.load(); }
inline bool ShowCollapsedTime() { return GetSettings().showCollapsedTime.load(); }
inline bool ShowRelativeDates() { return GetSettings().showRelativeDates.load(); }
inline bool MarkAllReadOnLeave() { return GetSettings().markAllReadOnLeave.load(); }
inline bool ChannelUpToRoot() { return GetSettings().channelUpToRoot.load(); }
inline int32_t AutoUpdateType() { return GetSettings().autoUpdateType.load(); }
inline int32_t CacheOptions() { return GetSettings().cacheOptions.load(); }
inline uint32_t UpdateHours() { return GetSettings().updateHours.load(); }
// The folder automatic updates refresh. A stored 0 means the root: it is replaced by rootId
// (and rootId returned), so the next save writes the root's id.
uint32_t RetrievalFolder(uint32_t rootId);
inline bool SelectFirstItem() { return GetSettings().selectFirstItem.load(); }
inline bool TruncateItemTitle() { return GetSettings().truncateItemTitle.load(); }
inline std::u16string WebBrowser() { return GetSettings().webBrowser.Get(); }
inline uint32_t ItemBackgroundColor() { return GetSettings().itemBackgroundColor.load(); }
inline uint32_t SelectedItemBackgroundColor() {
  return GetSettings().selectedItemBackgroundColor.load();
}
inline uint32_t BackgroundColor() { return GetSettings().backgroundColor.load(); }
inline uint32_t SelectedItemHighlightColor() {
  return GetSettings().selectedItemHighlightColor.load();
}
inline uint32_t ItemHighlightColor() { return GetSettings().itemHighlightColor.load(); }
inline std::u16string TitleFontFace() { return GetSettings().titleFontFace.Get(); }
inline int32_t TitleFontSize() { return GetSettings().titleFontSize.load(); }
inline uint32_t TitleFontColor() { return GetSettings().titleFontColor.load(); }
inline uint32_t InactiveTitleFontColor() { return GetSettings().inactiveTitleFontColor.load(); }
inline std::u16string TimestampFontFace() { return GetSettings().timestampFontFace.Get(); }
inline int32_t TimestampFontSize() { return GetSettings().timestampFontSize.load(); }
inline uint32_t TimestampFontColor() { return GetSettings().timestampFontColor.load(); }
inline uint32_t InactiveTimestampFontColor() {
  return GetSettings().inactiveTimestampFontColor.load();
}
inline std::u16string SummaryFontFace() { return GetSettings().summaryFontFace.Get(); }
inline int32_t SummaryFontSize() { return GetSettings().summaryFontSize.load(); }
inline uint32_t SummaryFontColor() { return GetSettings().summaryFontColor.load(); }
inline uint32_t HyperlinkFontColor() { return GetSettings().hyperlinkFontColor.load(); }
inline uint32_t HeaderBackgroundColor() { return GetSettings().headerBackgroundColor.load(); }
inline uint32_t SelectedHeaderBackgroundColor() {
  return GetSettings().selectedHeaderBackgroundColor.load();
}
inline uint32_t SelectedHeaderHighlightColor() {
  return GetSettings().selectedHeaderHighlightColor.load();
}
inline uint32_t HeaderHighlightColor() { return GetSettings().headerHighlightColor.load(); }
inline uint32_t HeaderFontColor() { return GetSettings().headerFontColor.load(); }
inline uint32_t InactiveHeaderFontColor() { return GetSettings().inactiveHeaderFontColor.load(); }
inline std::u16string ChannelMenuFontFace() { return GetSettings().channelMenuFontFace.Get(); }
inline int32_t ChannelMenuFontSize() { return GetSettings().channelMenuFontSize.load(); }
inline bool ClearType() { return GetSettings().clearType.load(); }
inline std::u16string UserAgent() { return GetSettings().userAgent.Get(); }
inline std::u16string HtmlOptimizer() { return GetSettings().htmlOptimizer.Get(); }
inline std::u16string ImportOpmlURL() { return GetSettings().importOpmlURL.Get(); }
inline bool AutoGeneratePlaylists() { return GetSettings().autoGeneratePlaylists.load(); }
inline int32_t PlaylistFormat() { return GetSettings().playlistFormat.load(); }
inline bool InternalHTMLView() { return GetSettings().internalHTMLView.load(); }
inline bool ProxyEnabled() { return GetSettings().proxyEnabled.load(); }
inline std::u16string ProxyAddress() { return GetSettings().proxyAddress.Get(); }
inline std::u16string ProxyUser() { return GetSettings().proxyUser.Get(); }
inline std::u16string ProxyPassword() { return GetSettings().proxyPassword.Get(); }
inline SortKeys SortOrder() { return GetSettings().sortOrder.Get(); }
inline bool HtmlFitToScreen() { return GetSettings().htmlFitToScreen.load(); }
inline bool HtmlShowImages() { return GetSettings().htmlShowImages.load(); }
inline bool HtmlClearType() { return GetSettings().htmlClearType.load(); }
inline int32_t HtmlTextSize() { return GetSettings().htmlTextSize.load(); }
inline bool NotifyNewItems() { return GetSettings().notifyNewItems.load(); }

// ---- Setters (interface thread) ----
// Font sizes below 10 are whole points and are multiplied by 10 before the 60..160 check.
// Texts of more than kSettingTextChars - 1 characters, or holding a zero character, are refused.

bool SetMarkReadInterval(int32_t value, bool checkOnly);
bool SetExpandReadInterval(int32_t value, bool checkOnly);
bool SetLinesToAdvance(int32_t value, bool checkOnly);
bool SetCheckNewInterval(int32_t value, bool checkOnly);
bool SetStoragePath(std::u16string_view value, bool checkOnly);  // stores even when invalid
bool SetExpireUnread(std::u16string_view value, bool checkOnly);
bool SetExpireRead(std::u16string_view value, bool checkOnly);
bool SetEnclosureStoragePath(std::u16string_view value, bool checkOnly);  // as SetStoragePath
bool SetEnclosureExpire(std::u16string_view value, bool checkOnly);
bool SetHtmlExpire(std::u16string_view value, bool checkOnly);
bool SetShowTotalCount(bool value, bool checkOnly);
bool SetHideZeroUnreadCount(bool value, bool checkOnly);
bool SetCacheItemImage(bool value, bool checkOnly);
bool SetShowFilter(uint32_t value, bool checkOnly);
bool SetChannelFilter(uint32_t value, bool checkOnly);
bool SetShowCollapsedTime(bool value, bool checkOnly);
bool SetShowRelativeDates(bool value, bool checkOnly);
bool SetMarkAllReadOnLeave(bool value, bool checkOnly);
bool SetChannelUpToRoot(bool value, bool checkOnly);
bool SetAutoUpdateType(int32_t value, bool checkOnly);
bool SetCacheOptions(int32_t value, bool checkOnly);
bool SetUpdateHours(uint32_t value, bool checkOnly);
bool SetRetrievalFolder(uint32_t value, bool checkOnly);
bool SetSelectFirstItem(bool value, bool checkOnly);
bool SetTruncateItemTitle(bool value, bool checkOnly);
bool SetWebBrowser(std::u16string_view value, bool checkOnly);
bool SetItemBackgroundColor(uint32_t value, bool checkOnly);
bool SetSelectedItemBackgroundColor(uint32_t value, bool checkOnly);
bool SetBackgroundColor(uint32_t value, bool checkOnly);
bool SetSelectedItemHighlightColor(uint32_t value, bool checkOnly);
bool SetItemHighlightColor(uint32_t value, bool checkOnly);
bool SetTitleFontFace(std::u16string_view value, bool checkOnly);
bool SetTitleFontSize(int32_t value, bool checkOnly);
bool SetTitleFontColor(uint32_t value, bool checkOnly);
bool SetInactiveTitleFontColor(uint32_t value, bool checkOnly);
bool SetTimestampFontFace(std::u16string_view value, bool checkOnly);
bool SetTimestampFontSize(int32_t value, bool checkOnly);
bool SetTimestampFontColor(uint32_t value, bool checkOnly);
bool SetInactiveTimestampFontColor(uint32_t value, bool checkOnly);
bool SetSummaryFontFace(std::u16string_view value, bool checkOnly);
bool SetSummaryFontSize(int32_t value, bool checkOnly);
bool SetSummaryFontColor(uint32_t value, bool checkOnly);
bool SetHyperlinkFontColor(uint32_t value, bool checkOnly);
bool SetHeaderBackgroundColor(uint32_t value, bool checkOnly);
bool SetSelectedHeaderBackgroundColor(uint32_t value, bool checkOnly);
bool SetSelectedHeaderHighlightColor(uint32_t value, bool checkOnly);
bool SetHeaderHighlightColor(uint32_t value, bool checkOnly);
bool SetHeaderFontColor(uint32_t value, bool checkOnly);
bool SetInactiveHeaderFontColor(uint32_t value, bool checkOnly);
bool SetChannelMenuFontFace(std::u16string_view value, bool checkOnly);
bool SetChannelMenuFontSize(int32_t value, bool checkOnly);
bool SetClearType(bool value, bool checkOnly);
bool SetUserAgent(std::u16string_view value, bool checkOnly);
bool SetHtmlOptimizer(std::u16string_view value, bool checkOnly);
bool SetImportOpmlURL(std::u16string_view value, bool checkOnly);
bool SetAutoGeneratePlaylists(bool value, bool checkOnly);
bool SetPlaylistFormat(int32_t value, bool checkOnly);
bool SetInternalHTMLView(bool value, bool checkOnly);
bool SetProxyEnabled(bool value, bool checkOnly);
bool SetProxyAddress(std::u16string_view value, bool checkOnly);   // empty clears it
bool SetProxyUser(std::u16string_view value, bool checkOnly);
bool SetProxyPassword(std::u16string_view value, bool checkOnly);
bool SetSortOrder(const SortKeys& value, bool checkOnly);
bool SetHtmlFitToScreen(bool value, bool checkOnly);
bool SetHtmlShowImages(bool value, bool checkOnly);
bool SetHtmlClearType(bool value, bool checkOnly);
bool SetHtmlTextSize(int32_t value, bool checkOnly);
bool SetNotifyNewItems(bool value, bool checkOnly);

}  // namespace nubrel
