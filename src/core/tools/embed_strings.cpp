// Build-time generator: compiles a string table source file (data/strings.txt, format in
// core/string_table_source.h) into a C++ source holding the sorted table of {number, UTF-16
// text} that CompiledStrings() returns. Run by the build, never shipped.
//
//   embed_strings INPUT OUTPUT [--namespace NAME] [--header PATH]
//
// NAME (default "core") is the namespace that declares StringEntry and CompiledStrings(), in
// the header PATH (default "core/string_table.h"); another program with a table of its own
// passes its own. A malformed line prints "INPUT:LINE: error: MESSAGE" and exits with 1
// without writing OUTPUT, so the build stops there and tries again next time.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/string_table_source.h"

namespace {

// The text as the body of a u"" literal. Printable ASCII stays readable; everything else is a
// universal character name, whose fixed length means no following character can run into it.
std::string LiteralBody(const std::u16string& text) {
  std::string out;
  char buffer[16];
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c == u'\\') {
      out += "\\\\";
    } else if (c == u'"') {
      out += "\\\"";
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c == u'\t') {
      out += "\\t";
    } else if (c == u'\r') {
      out += "\\r";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c < 0x10000) {
      std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
      out += buffer;
    } else {
      std::snprintf(buffer, sizeof buffer, "\\U%08X", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  return out;
}

std::string GeneratedSource(const std::vector<nubrel::SourceString>& strings,
                            const std::string& input, const std::string& nameSpace,
                            const std::string& header) {
  std::ostringstream out;
  out << "// Generated from " << input << " by embed_strings. Do not edit: edit that file.\n"
      << "#include \"" << header << "\"\n\n"
      << "namespace " << nameSpace << " {\nnamespace {\n\n"
      << "constexpr StringEntry kCompiledStrings[] = {\n";
  for (const nubrel::SourceString& entry : strings) {
    out << "    {" << entry.number << ", std::u16string_view(u\"" << LiteralBody(entry.text)
        << "\", " << entry.text.size() << ")},\n";
  }
  out << "};\n\n}  // namespace\n\n"
      << "std::span<const StringEntry> CompiledStrings() { return kCompiledStrings; }\n\n"
      << "}  // namespace " << nameSpace << "\n";
  return out.str();
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream buffer;
  buffer << file.rdbuf();
  contents = buffer.str();
  return !file.bad();
}

// Written beside the target and renamed over it, so an interrupted build leaves no half file
// that the next build would take as up to date.
bool WriteWholeFile(const std::string& path, const std::string& contents) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file << contents;
    file.flush();
    if (!file) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: embed_strings INPUT OUTPUT [--namespace NAME] [--header PATH]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  std::string nameSpace = "core";
  std::string header = "core/string_table.h";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if ((argument == "--namespace" || argument == "--header") && i + 1 < argc) {
      (argument == "--namespace" ? nameSpace : header) = argv[++i];
    } else if (argument.rfind("--", 0) == 0) {
      return Usage();
    } else {
      positional.push_back(argument);
    }
  }
  if (positional.size() != 2) return Usage();
  const std::string& input = positional[0];
  const std::string& output = positional[1];

  std::string source;
  if (!ReadWholeFile(input, source)) {
    std::fprintf(stderr, "%s: error: cannot read the file\n", input.c_str());
    return 1;
  }
  std::vector<nubrel::SourceString> strings;
  nubrel::SourceError error;
  if (!nubrel::ParseStringSource(source, strings, error)) {
    std::fprintf(stderr, "%s:%d: error: %s\n", input.c_str(), error.line, error.message.c_str());
    return 1;
  }
  if (!WriteWholeFile(output, GeneratedSource(strings, input, nameSpace, header))) {
    std::fprintf(stderr, "%s: error: cannot write the file\n", output.c_str());
    return 1;
  }
  return 0;
}
