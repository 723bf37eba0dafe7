// nbtool's dispatcher, usage text, error reporting and JSON writer; the commands are in
// nbtool_<name>.cpp beside this file.
#include "tools/nbtool.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/device.h"
#include "platform/utf.h"

namespace nbtool {

namespace {

std::vector<Command>& Commands() {
  static std::vector<Command> commands;
  return commands;
}

const Command* FindCommand(std::string_view name) {
  for (const Command& c : Commands()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

void PrintUsage(std::FILE* out) {
  std::vector<Command> sorted = Commands();
  std::sort(sorted.begin(), sorted.end(),
            [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  std::fprintf(out,
               "usage: nbtool [--root DIR] COMMAND [ARGS]\n"
               "Drives the Nubrel engine from the command line and prints JSON.\n\n"
               "commands:\n");
  for (const Command& c : sorted) {
    std::fprintf(out, "  %s %s\n      %s\n", c.name, c.synopsis, c.description);
  }
  std::fprintf(out,
               "\n--root DIR (or NUBREL_ROOT) chooses the device root, as for the reader.\n"
               "Exit codes: 0 success, 1 failure (message on stderr), 2 usage error.\n");
}

}  // namespace

bool RegisterCommand(const Command& command) {
  Commands().push_back(command);
  return true;
}

int Fail(const char* command, const std::string& message) {
  std::fprintf(stderr, "nbtool %s: %s\n", command, message.c_str());
  return 1;
}

int Usage(const char* command) {
  if (const Command* c = FindCommand(command)) {
    std::fprintf(stderr, "usage: nbtool %s %s\n  %s\n", c->name, c->synopsis, c->description);
  }
  return 2;
}

bool ReadHostFile(const std::string& path, std::string& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  bytes = buffer.str();
  return true;
}

// ---- JsonWriter ----

JsonWriter::~JsonWriter() { std::fflush(out_); }

void JsonWriter::Raw(std::string_view text) { std::fwrite(text.data(), 1, text.size(), out_); }

void JsonWriter::Indent() {
  if (!pretty_) return;
  Raw("\n");
  for (size_t i = 0; i < hasItems_.size(); ++i) Raw("  ");
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!hasItems_.empty()) {
    if (hasItems_.back()) Raw(",");
    hasItems_.back() = true;
    Indent();
  }
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  Raw("{");
  hasItems_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  bool had = hasItems_.back();
  hasItems_.pop_back();
  if (had) Indent();
  Raw("}");
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  Raw("[");
  hasItems_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  bool had = hasItems_.back();
  hasItems_.pop_back();
  if (had) Indent();
  Raw("]");
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  Quoted(platform::FromUtf8(key));
  Raw(pretty_ ? ": " : ":");
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::u16string_view text) {
  BeforeValue();
  Quoted(text);
  return *this;
}

void JsonWriter::Quoted(std::u16string_view text) {
  // Lone surrogates would be lost in UTF-8: write every UTF-16 unit that is not part of a pair,
  // and every control character, as an escape.
  std::string out = "\"";
  char buf[8];
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF;
    if (pair) {
      out += platform::ToUtf8(text.substr(i, 2));
      ++i;
    } else if (c == u'"') {
      out += "\\\"";
    } else if (c == u'\\') {
      out += "\\\\";
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c == u'\r') {
      out += "\\r";
    } else if (c == u'\t') {
      out += "\\t";
    } else if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF) || c == 0x2028 || c == 0x2029) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out += platform::ToUtf8(text.substr(i, 1));
    }
  }
  out += "\"";
  Raw(out);
}

JsonWriter& JsonWriter::String(std::string_view utf8) { return String(platform::FromUtf8(utf8)); }

JsonWriter& JsonWriter::Number(int64_t value) {
  BeforeValue();
  Raw(std::to_string(value));
  return *this;
}

JsonWriter& JsonWriter::Unsigned(uint64_t value) {
  BeforeValue();
  Raw(std::to_string(value));
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  Raw(value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  Raw("null");
  return *this;
}

void JsonWriter::EndLine() {
  Raw("\n");
  std::fflush(out_);
}

}  // namespace nbtool

int main(int argc, char** argv) {
  if (platform::DeviceError err = platform::InitDevice(argc, argv)) {
    std::fprintf(stderr, "nbtool: cannot set up the device root (error %u)\n", err);
    return 1;
  }
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help")) {
    nbtool::PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const nbtool::Command* command = nbtool::FindCommand(argv[1]);
  if (!command) {
    std::fprintf(stderr, "nbtool: unknown command \"%s\"\n\n", argv[1]);
    nbtool::PrintUsage(stderr);
    return 2;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::printf("usage: nbtool %s %s\n  %s\n", command->name, command->synopsis,
                  command->description);
      return 0;
    }
  }
  return command->run(args);
}
