// Reading the string table's source file; see string_table_source.h for the format.
// Every fault names its line: the build stops on it, so the message is what a translator or
// a developer who mistyped a line gets to see.
#include "core/string_table_source.h"

#include <algorithm>
#include <cstdint>
#include <map>

namespace nubrel {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decodes one UTF-8 sequence at text[pos], strictly: overlong forms, surrogates, values past
// U+10FFFF and cut-off sequences are refused, since a table that shows mangled text would be
// found only by a user reading the screen.
bool DecodeUtf8(std::string_view text, std::size_t& pos, char32_t& codePoint) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  int length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    codePoint = lead;
    ++pos;
    return true;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
    minimum = 0x10000;
  } else {
    return false;
  }
  if (pos + length > text.size()) return false;
  for (int i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  codePoint = value;
  pos += length;
  return true;
}

void AppendUtf16(std::u16string& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<char16_t>(codePoint));
  } else {
    codePoint -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
  }
}

bool Fail(SourceError& error, int line, std::string message) {
  error.line = line;
  error.message = std::move(message);
  return false;
}

// The text field of one line, escapes resolved.
bool DecodeText(std::string_view field, int line, std::u16string& text, SourceError& error) {
  std::size_t pos = 0;
  while (pos < field.size()) {
    const char c = field[pos];
    if (c == '\\') {
      if (pos + 1 >= field.size()) {
        return Fail(error, line, "the text ends in a lone backslash (write \\\\ for a backslash)");
      }
      const char escaped = field[pos + 1];
      switch (escaped) {
        case 'n': text.push_back(u'\n'); break;
        case 't': text.push_back(u'\t'); break;
        case 'r': text.push_back(u'\r'); break;
        case '\\': text.push_back(u'\\'); break;
        case '"': text.push_back(u'"'); break;
        case '\'': text.push_back(u'\''); break;
        default:
          return Fail(error, line, std::string("unknown escape \\") + escaped +
                                       " (known: \\n \\t \\r \\\\ \\\" \\')");
      }
      pos += 2;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      return Fail(error, line, "a control character in the text (write it as an escape)");
    }
    char32_t codePoint = 0;
    if (!DecodeUtf8(field, pos, codePoint)) {
      return Fail(error, line, "the text is not valid UTF-8");
    }
    AppendUtf16(text, codePoint);
  }
  if (text.empty()) return Fail(error, line, "the text is empty");
  if (text.size() > kMaxStringTextUnits) {
    return Fail(error, line, "the text is " + std::to_string(text.size()) +
                                 " UTF-16 characters long; at most " +
                                 std::to_string(kMaxStringTextUnits) + " fit its buffer");
  }
  return true;
}

// One line that is neither empty nor a comment.
bool ParseLine(std::string_view content, int line, SourceString& out, SourceError& error) {
  std::size_t pos = 0;
  while (pos < content.size() && IsDigit(content[pos])) ++pos;
  if (pos == 0) {
    return Fail(error, line, "a line must start with a string number, \"#\" or nothing");
  }
  if (pos > 5) return Fail(error, line, "the string number is out of range (1 to 65535)");
  const int number = std::stoi(std::string(content.substr(0, pos)));
  if (number < 1 || number > kMaxStringNumber) {
    return Fail(error, line, "the string number is out of range (1 to 65535)");
  }
  if (pos == content.size() || content[pos] != '\t') {
    return Fail(error, line, "the string number must be followed by a TAB");
  }
  std::string_view rest = content.substr(pos + 1);
  const std::size_t noteTab = rest.find('\t');
  if (noteTab != std::string_view::npos) {
    if (noteTab + 1 >= rest.size() || rest[noteTab + 1] != '#') {
      return Fail(error, line,
                  "a TAB inside the text (write it \\t; a TAB after the text must be "
                  "followed by \"#\" and a note)");
    }
    rest = rest.substr(0, noteTab);
  }
  out.number = number;
  out.line = line;
  out.text.clear();
  return DecodeText(rest, line, out.text, error);
}

}  // namespace

bool ParseStringSource(std::string_view source, std::vector<SourceString>& strings,
                       SourceError& error) {
  strings.clear();
  if (source.substr(0, 3) == "\xEF\xBB\xBF") source.remove_prefix(3);
  std::map<int, int> lineOfNumber;
  int line = 0;
  std::size_t start = 0;
  while (start < source.size()) {
    ++line;
    std::size_t end = source.find('\n', start);
    if (end == std::string_view::npos) end = source.size();
    std::string_view content = source.substr(start, end - start);
    start = end + 1;
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    if (content.empty() || content.front() == '#') continue;
    if (content.find_first_not_of(" \t") == std::string_view::npos) continue;

    SourceString entry;
    if (!ParseLine(content, line, entry, error)) return false;
    const auto [previous, inserted] = lineOfNumber.emplace(entry.number, line);
    if (!inserted) {
      return Fail(error, line, "string " + std::to_string(entry.number) +
                                   " is already defined on line " +
                                   std::to_string(previous->second));
    }
    strings.push_back(std::move(entry));
  }
  std::sort(strings.begin(), strings.end(),
            [](const SourceString& a, const SourceString& b) { return a.number < b.number; });
  return true;
}

}  // namespace nubrel
