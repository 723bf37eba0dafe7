// The feed parser's element table: every element name the parser reacts to, with its code.
// Names are matched against the whole name as written, prefix included ("dc:date" is not
// "date"), ignoring ASCII case, so pubDate, managingEditor and RDF:RDF find their rows.
// What each code does is feed_parser.cpp's.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "feeds/feed_elements.h"
#include "feeds/feed_parser.h"

namespace nubrel::feed_elements {
namespace {

struct Row {
  std::string_view name;  // lower case
  Code code;
};

// Sorted by name (byte order), so that each first letter's rows stand together.
constexpr std::array kRows = {
    Row{"author", kAuthor},
    Row{"channel", kChannel},
    Row{"content", kContent},
    Row{"content:encoded", kContentEncoded},
    Row{"copyright", kCopyright},
    Row{"day", kDay},
    Row{"dc:creator", kAuthor},
    Row{"dc:date", kDcDate},
    Row{"dc:language", kLanguage},
    Row{"dc:rights", kRights},
    Row{"description", kDescription},
    Row{"digg:commentcount", kComments},
    Row{"digg:diggcount", kDiggCount},
    Row{"digg:submitter", kDiggSubmitter},
    Row{"digg:username", kDiggUserName},
    Row{"enclosure", kEnclosure},
    Row{"entry", kEntry},
    Row{"feed", kFeed},
    Row{"guid", kGuid},
    Row{"hour", kHour},
    Row{"html", kHtml},
    Row{"id", kId},
    Row{"image", kImage},
    Row{"issued", kIssued},
    Row{"item", kItem},
    Row{"itunes:duration", kDuration},
    Row{"jaiku:user", kJaikuUser},
    Row{"link", kLink},
    Row{"managingeditor", kManagingEditor},
    Row{"modified", kModified},
    Row{"name", kName},
    Row{"ng:feed", kFeed},
    Row{"ng:postid", kPostId},
    Row{"ng:read", kServiceRead},
    Row{"nubrel:userimage", kUserImage},
    Row{"pubdate", kPubDate},
    Row{"published", kPubDate},
    Row{"rdf:rdf", kRdf},
    Row{"read", kServiceRead},
    Row{"rss", kRss},
    Row{"skipdays", kSkipDays},
    Row{"skiphours", kSkipHours},
    Row{"slash:comments", kComments},
    Row{"slash:department", kDepartment},
    Row{"subject", kSubject},
    Row{"summary", kSummary},
    Row{"syn:updatefrequency", kUpdateFrequency},
    Row{"syn:updateperiod", kUpdatePeriod},
    Row{"tagline", kTagline},
    Row{"title", kTitle},
    Row{"url", kUrl},
    Row{"webmaster", kWebMaster},
};

constexpr bool RowsSorted() {
  for (size_t i = 1; i < kRows.size(); ++i) {
    if (!(kRows[i - 1].name < kRows[i].name)) return false;
  }
  return true;
}
static_assert(RowsSorted(), "the element table must stay sorted");

constexpr size_t LongestName() {
  size_t longest = 0;
  for (const Row& row : kRows) longest = std::max(longest, row.name.size());
  return longest;
}
constexpr size_t kLongestName = LongestName();

// For each first letter, the rows that begin with it: [first[letter], first[letter + 1]). Every
// element start looks its name up, so the search is a short scan of one letter's rows.
struct LetterIndex {
  uint8_t first[27] = {};
};

constexpr LetterIndex MakeLetterIndex() {
  LetterIndex index;
  size_t row = 0;
  for (int letter = 0; letter < 26; ++letter) {
    index.first[letter] = static_cast<uint8_t>(row);
    while (row < kRows.size() && kRows[row].name[0] == 'a' + letter) ++row;
  }
  index.first[26] = static_cast<uint8_t>(row);
  return index;
}
constexpr LetterIndex kLetterIndex = MakeLetterIndex();
static_assert(kLetterIndex.first[26] == kRows.size(), "every row starts with a letter");

Code Find(std::string_view name) {
  // Lower-case into a small buffer; a longer name cannot be in the table.
  char lower[kLongestName];
  if (name.empty() || name.size() > kLongestName) return kUnknown;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (lower[0] < 'a' || lower[0] > 'z') return kUnknown;
  const int letter = lower[0] - 'a';
  for (size_t row = kLetterIndex.first[letter]; row < kLetterIndex.first[letter + 1]; ++row) {
    const std::string_view candidate = kRows[row].name;
    if (candidate.size() == name.size() &&
        std::memcmp(candidate.data(), lower, name.size()) == 0) {
      return kRows[row].code;
    }
  }
  return kUnknown;
}

}  // namespace

Code Lookup(const char* name) {
  // Bounded scan: names longer than the longest row are unknown whatever follows.
  size_t length = 0;
  while (length <= kLongestName && name[length] != '\0') ++length;
  return Find(std::string_view(name, length));
}

}  // namespace nubrel::feed_elements

namespace nubrel {

int feedElementCode(std::string_view name) { return feed_elements::Find(name); }

}  // namespace nubrel
