// nbtool parse-date: reads a date text the way the feed parser reads a feed's dates (the ISO 8601
// reader when the text looks like one, else the RFC 822 reader) and prints the UTC time in both
// written forms, as a file time and which reader took it. The readers are feeds/dates.h's.
#include <string>
#include <vector>

#include "feeds/dates.h"
#include "platform/utf.h"
#include "tools/nbtool.h"

namespace {

constexpr const char* kCommand = "parse-date";

int RunParseDate(const std::vector<std::string>& args) {
  if (args.empty()) return nbtool::Usage(kCommand);
  // The words of an unquoted date arrive as separate arguments; one blank between them is what
  // the shell took away.
  std::string joined;
  for (const std::string& arg : args) {
    if (!joined.empty()) joined += ' ';
    joined += arg;
  }
  const std::u16string text = platform::FromUtf8(joined);
  platform::FileTime time = 0;
  const nubrel::DateForm form = nubrel::parseFeedDate(text, time);
  if (form == nubrel::DateForm::kNone) {
    return nbtool::Fail(kCommand, "not a date the reader accepts (" +
                                      std::string(nubrel::looksIso(text) ? "ISO 8601" : "RFC 822") +
                                      " form expected): \"" + joined + "\"");
  }
  nbtool::JsonWriter json;
  json.BeginObject()
      .Key("text").String(text)
      .Key("parser").String(form == nubrel::DateForm::kIso ? "iso8601" : "rfc822")
      .Key("utc").String(nubrel::formatIsoDate(time))
      .Key("rfc822").String(nubrel::formatRfc822Date(time))
      .Key("fileTime").Unsigned(time)
      .EndObject();
  json.EndLine();
  return 0;
}

}  // namespace

NBTOOL_COMMAND("parse-date", "TEXT",
               "Read a feed date (RFC 822 or ISO 8601) and print it as UTC and as a file time.",
               RunParseDate);
