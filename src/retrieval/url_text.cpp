// Credentials in addresses, the split of an address, the code page of a Content-Type, site
// roots and file names from addresses (see url_text.h). Pure text functions: no shared state.
#include "retrieval/url_text.h"

#include <array>

#include "feeds/encodings.h"
#include "platform/url.h"
#include "platform/utf.h"
#include "shared/text.h"

namespace nubrel {

namespace {

// ---- Small text helpers ----

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Whether bytes are well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool IsWellFormedUtf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    size_t extra = 0;
    uint32_t value = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      value = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= bytes.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      value = (value << 6) | (next & 0x3F);
    }
    if ((extra == 2 && value < 0x800) || (extra == 3 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// "%XX" (either case) becomes the byte XX; a run of escapes that spells well-formed UTF-8 is
// read as UTF-8 (how pages and servers escape names today), any other as one character per
// byte. A "%" not followed by two hex digits stays as it is, and so do escapes of control
// characters (below 0x20), which would only put a NUL or a line break into a name.
std::u16string PercentDecode(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::string run;  // bytes of the escapes met in a row
  auto flushRun = [&] {
    if (run.empty()) return;
    if (IsWellFormedUtf8(run)) {
      out.append(platform::FromUtf8(run));
    } else {
      for (char byte : run) out.push_back(static_cast<unsigned char>(byte));
    }
    run.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0 && high * 16 + low >= 0x20) {
        run.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    flushRun();
    out.push_back(text[i]);
  }
  flushRun();
  return out;
}

void ReplaceAll(std::u16string& text, std::u16string_view what, std::u16string_view with) {
  size_t at = 0;
  while ((at = text.find(what, at)) != std::u16string::npos) {
    text.replace(at, what.size(), with);
    at += with.size();  // never rescans the replacement: a user named "<username>" ends
  }
}

bool IsSchemeChar(char16_t c, bool first) {
  const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
  if (first) return letter;
  return letter || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
}

// Length of "scheme:" before "//" at the start of the text, or 0 when there is none.
size_t SchemeLength(std::u16string_view text) {
  const size_t colon = text.find(u"://");
  if (colon == std::u16string_view::npos || colon == 0) return 0;
  for (size_t i = 0; i < colon; ++i) {
    if (!IsSchemeChar(text[i], i == 0)) return 0;
  }
  return colon;
}

// ---- The split of an address ----

OptionalText PartText(const std::string& part) {
  if (part.empty()) return std::nullopt;
  return platform::FromUtf8(part);
}

// ---- File names ----

bool EndsWith(std::u16string_view text, std::u16string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Names of the kinds of file the offline copies keep under their own extension.
constexpr std::array<std::u16string_view, 9> kKeptExtensions = {
    u".html", u".gif", u".jpg", u".jpeg", u".bmp", u".css", u".js", u".ico", u".xml"};

}  // namespace

// ---- Credentials ----

std::u16string replaceUrlPlaceholders(std::u16string_view address, const OptionalText& user,
                                      const OptionalText& password) {
  std::u16string text(address);
  if (user && !user->empty() && text.find(u"<username>") != std::u16string::npos) {
    ReplaceAll(text, u"<username>", *user);
    if (password) ReplaceAll(text, u"<password>", *password);
  }
  return Trim(text);
}

std::optional<UrlTarget> applyUrlCredentials(const UrlRequest& request) {
  if (!request.url || request.url->empty()) return std::nullopt;
  UrlTarget target;
  target.address = replaceUrlPlaceholders(*request.url, request.user, request.password);
  platform::UrlParts parts;
  if (platform::CrackUrl(platform::ToUtf8(target.address), &parts) != 0) return std::nullopt;
  target.scheme = platform::FromUtf8(parts.scheme);
  target.host = platform::FromUtf8(parts.host);
  target.port = parts.port;
  target.path = platform::FromUtf8(parts.pathWithQuery);
  target.user = (request.user && !request.user->empty()) ? request.user : PartText(parts.user);
  target.password = request.password ? request.password : PartText(parts.password);
  return target;
}

// ---- Content-Type ----

int32_t charsetFromContentType(std::u16string_view contentType) {
  int32_t codePage = codePageOf(std::string_view("UTF-8"));
  if (StartsWithNoCase(contentType, u"text")) codePage = codePageOf(std::string_view("US-ASCII"));
  constexpr std::u16string_view kCharset = u"charset=";
  const size_t at = FindNoCase(contentType, kCharset);
  if (at == std::u16string_view::npos) return codePage;
  size_t start = at + kCharset.size();
  // HTTP allows the value as a quoted string.
  if (start < contentType.size() && (contentType[start] == u'"' || contentType[start] == u'\'')) {
    ++start;
  }
  size_t end = start;
  while (end < contentType.size()) {
    const char16_t c = contentType[end];
    const bool nameChar = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                          (c >= u'0' && c <= u'9') || c == u'-';
    if (!nameChar) break;
    ++end;
  }
  return codePageOf(contentType.substr(start, end - start));
}

// ---- Combining ----

std::u16string combineUrl(std::u16string_view base, std::u16string_view relative) {
  // Addresses taken from pages arrive with their character references ("&amp;") still in them.
  const std::u16string decoded = decodeEntities(relative);
  std::string combined;
  if (platform::CombineUrl(platform::ToUtf8(base), platform::ToUtf8(decoded), &combined) != 0) {
    return std::u16string();
  }
  return platform::FromUtf8(combined);
}

// ---- Names from addresses ----

void urlSiteRoot(std::u16string& address) {
  const size_t schemeLength = SchemeLength(address);
  const size_t hostStart = schemeLength == 0 ? 0 : schemeLength + 3;
  const size_t slash = address.find(u'/', hostStart);
  if (slash != std::u16string::npos) address.resize(slash);
}

std::u16string urlFileName(std::u16string_view address, std::u16string_view defaultExtension) {
  const std::u16string decoded = PercentDecode(address);
  std::u16string_view text = decoded;

  // An address carried inside another one (a redirector's query) names the inner file; an
  // inner "https:" address counts as well as an "http:" one.
  size_t inner = std::u16string_view::npos;
  for (size_t from = 0;; ++from) {
    const size_t found = FindNoCase(text, u"http", from);
    if (found == std::u16string_view::npos) break;
    const std::u16string_view after = text.substr(found + 4);
    if (after.starts_with(u":") || StartsWithNoCase(after, u"s:")) inner = found;
    from = found;
  }
  if (inner != std::u16string_view::npos) text = text.substr(inner);

  // The query is cut first: a "/" inside it is no part of the path.
  text = text.substr(0, text.find(u'?'));
  const size_t slash = text.rfind(u'/');
  if (slash != std::u16string_view::npos) text = text.substr(slash + 1);
  std::u16string name = text.empty() ? std::u16string(u"null") : std::u16string(text);

  if (defaultExtension.empty()) return name;
  for (std::u16string_view kept : kKeptExtensions) {
    if (EndsWith(name, kept)) return name;
  }
  const size_t dot = name.rfind(u'.');
  if (dot != std::u16string::npos) name.resize(dot);
  if (defaultExtension.front() != u'.') name.push_back(u'.');
  name.append(defaultExtension);
  return name;
}

}  // namespace nubrel
