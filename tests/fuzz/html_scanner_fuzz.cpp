// Every page and item body the reader meets goes through the HTML scanner, so any bytes reach it:
// it must end, call the input handlers once each around everything else, never hand over more
// than it read, and (reading UTF-8 bytes without a switch of code page) hand over only whole
// surrogate pairs.
//
// The first input byte picks the settings: bits 0-2 the code page, bit 3 fragment mode, bit 4
// decoded entities, bit 5 dropped scripts, bit 6 a meta tag switching the code page (to the one
// of bits 0-2 of the second byte), bit 7 the input read as UTF-16 text instead of bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "offline/html_scanner.h"

namespace {

constexpr uint32_t kCodePages[] = {65001, 1, 932, 1251, 1252, 936, 28605, 0};

struct Watch {
  int startInputs = 0;
  int endInputs = 0;
  bool afterEnd = false;   // a handler ran after the end of input
  bool beforeStart = false;  // a handler ran before the start of input
  size_t handedUnits = 0;
  bool checkPairs = false;
  bool brokenPair = false;
  uint32_t switchTo = 0;  // non-zero: meta tags switch to it
};

Watch& Of(void* context) { return *static_cast<Watch*>(context); }

void See(Watch& watch, std::u16string_view text) {
  if (watch.startInputs == 0) watch.beforeStart = true;
  if (watch.endInputs != 0) watch.afterEnd = true;
  watch.handedUnits += text.size();
  if (!watch.checkPairs) return;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
        watch.brokenPair = true;
      }
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      watch.brokenPair = true;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  Watch watch;
  nubrel::HtmlScanner settings;
  settings.codePage = kCodePages[flags & 7];
  settings.fragment = (flags & 8) != 0;
  settings.decodeEntities = (flags & 16) != 0;
  settings.dropScripts = (flags & 32) != 0;
  if (flags & 64) watch.switchTo = kCodePages[data[1] & 7];
  const bool wide = (flags & 128) != 0;
  watch.checkPairs = !watch.switchTo && !wide && settings.codePage == 65001;
  settings.context = &watch;
  settings.startInput = [](void* context) {
    if (Of(context).startInputs != 0 || Of(context).endInputs != 0) Of(context).beforeStart = true;
    ++Of(context).startInputs;
  };
  settings.endInput = [](void* context) { ++Of(context).endInputs; };
  settings.startTag = [](void* context, std::u16string_view name,
                         std::span<const nubrel::HtmlAttribute> attributes, bool,
                         uint32_t& codePage) {
    Watch& watch = Of(context);
    if (attributes.size() > nubrel::kHtmlMaxAttributes) __builtin_trap();
    See(watch, name);
    for (const nubrel::HtmlAttribute& attribute : attributes) {
      See(watch, attribute.name);
      if (attribute.value) See(watch, *attribute.value);
    }
    if (watch.switchTo != 0 && nubrel::ElementCode(name) == nubrel::kHtmlMeta) {
      codePage = watch.switchTo;
    }
  };
  settings.endTag = [](void* context, std::u16string_view name) { See(Of(context), name); };
  settings.text = [](void* context, std::u16string_view text) { See(Of(context), text); };

  const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  int result;
  size_t limit;
  if (wide) {
    // The units are copied so that the view is aligned whatever the fuzzer's buffer is.
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
      units[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                       (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    }
    limit = units.size();
    result = nubrel::ScanHtml(settings, std::u16string_view(units));
  } else {
    limit = bytes.size();
    result = nubrel::ScanHtml(settings, bytes);
  }
  if (result != 0 && result != -1) __builtin_trap();
  if (watch.startInputs != 1 || watch.endInputs != 1) __builtin_trap();
  if (watch.beforeStart || watch.afterEnd) __builtin_trap();
  // Every unit handed over was read once (a decoded reference is shorter than its text).
  if (watch.handedUnits > limit) __builtin_trap();
  if (watch.brokenPair) __builtin_trap();
  return 0;
}
