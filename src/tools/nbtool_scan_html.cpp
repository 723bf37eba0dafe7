// nbtool scan-html: runs the HTML scanner over a file and prints every handler call as one JSON
// line, then the scan's result, so a person can see what the reader makes of a page or an item
// body. The scanner itself is offline/html_scanner.h; nothing here interprets the tags.
#include <cstdint>
#include <string>
#include <vector>

#include "offline/html_scanner.h"
#include "platform/code_pages.h"
#include "platform/utf.h"
#include "shared/text.h"
#include "tools/nbtool.h"

namespace {

constexpr const char* kCommand = "scan-html";

void PrintStartInput(void* context) {
  static_cast<nbtool::JsonWriter*>(context)->BeginObject().Key("kind").String("startInput").EndObject();
  static_cast<nbtool::JsonWriter*>(context)->EndLine();
}

void PrintEndInput(void* context) {
  static_cast<nbtool::JsonWriter*>(context)->BeginObject().Key("kind").String("endInput").EndObject();
  static_cast<nbtool::JsonWriter*>(context)->EndLine();
}

void PrintStartTag(void* context, std::u16string_view name,
                   std::span<const nubrel::HtmlAttribute> attributes, bool selfClosing,
                   uint32_t& codePage) {
  nbtool::JsonWriter& json = *static_cast<nbtool::JsonWriter*>(context);
  json.BeginObject()
      .Key("kind").String("startTag")
      .Key("element").Number(nubrel::ElementCode(name))
      .Key("name").String(name)
      .Key("attributes").BeginArray();
  for (const nubrel::HtmlAttribute& attribute : attributes) {
    json.BeginObject().Key("name").String(attribute.name).Key("value");
    if (attribute.value) {
      json.String(*attribute.value);
    } else {
      json.Null();
    }
    json.EndObject();
  }
  json.EndArray()
      .Key("selfClosing").Bool(selfClosing)
      .Key("codePage").Unsigned(codePage)
      .EndObject();
  json.EndLine();
}

void PrintEndTag(void* context, std::u16string_view name) {
  nbtool::JsonWriter& json = *static_cast<nbtool::JsonWriter*>(context);
  json.BeginObject()
      .Key("kind").String("endTag")
      .Key("element").Number(nubrel::ElementCode(name))
      .Key("name").String(name)
      .EndObject();
  json.EndLine();
}

void PrintText(void* context, std::u16string_view text) {
  nbtool::JsonWriter& json = *static_cast<nbtool::JsonWriter*>(context);
  json.BeginObject().Key("kind").String("text").Key("text").String(text).EndObject();
  json.EndLine();
}

bool KnownCodePage(int64_t codePage) {
  if (codePage == 0 || codePage == nubrel::kHtmlUtf16 || codePage == nubrel::kHtmlUtf8) return true;
  return codePage > 0 && codePage <= UINT32_MAX &&
         platform::IsValidCodePage(static_cast<uint32_t>(codePage));
}

int RunScanHtml(const std::vector<std::string>& args) {
  std::string path;
  nubrel::HtmlScanner settings;
  settings.codePage = nubrel::kHtmlUtf8;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--fragment") {
      settings.fragment = true;
    } else if (arg == "--decode-entities") {
      settings.decodeEntities = true;
    } else if (arg == "--drop-scripts") {
      settings.dropScripts = true;
    } else if (arg == "--codepage") {
      if (i + 1 >= args.size()) return nbtool::Usage(kCommand);
      int64_t codePage = 0;
      if (!nubrel::ParseInteger(platform::FromUtf8(args[++i]), codePage)) {
        return nbtool::Fail(kCommand, "--codepage needs a number, not \"" + args[i] + "\"");
      }
      if (!KnownCodePage(codePage)) {
        return nbtool::Fail(kCommand, "unknown code page " + args[i] +
                                          " (1 is UTF-16LE, 65001 UTF-8, else a device code page)");
      }
      settings.codePage = static_cast<uint32_t>(codePage);
    } else if (!arg.empty() && arg[0] == '-') {
      return nbtool::Usage(kCommand);
    } else if (path.empty()) {
      path = arg;
    } else {
      return nbtool::Usage(kCommand);
    }
  }
  if (path.empty()) return nbtool::Usage(kCommand);

  std::string bytes;
  std::string error;
  if (!nbtool::ReadHostFile(path, bytes, error)) return nbtool::Fail(kCommand, error);

  nbtool::JsonWriter json;
  settings.startInput = PrintStartInput;
  settings.endInput = PrintEndInput;
  settings.startTag = PrintStartTag;
  settings.endTag = PrintEndTag;
  settings.text = PrintText;
  settings.context = &json;
  const int result = nubrel::ScanHtml(settings, bytes);
  // -1 is what the page is (cut short, or never closed), not a failure of the tool.
  json.BeginObject().Key("kind").String("result").Key("result").Number(result).EndObject();
  json.EndLine();
  return 0;
}

}  // namespace

NBTOOL_COMMAND(kCommand, "FILE [--codepage N] [--fragment] [--decode-entities] [--drop-scripts]",
               "Scan an HTML file and print each handler call of the scanner as a JSON line.",
               RunScanHtml);
