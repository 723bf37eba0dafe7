// nbtool: the diagnostic command line. Each command lives in its own nbtool_<name>.cpp and
// registers itself with NBTOOL_COMMAND; nbtool.cpp holds the dispatcher, the usage text and the
// small JSON writer every command prints with.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace nbtool {

// A command gets its own arguments (without the command name) and returns the exit code:
// 0 success, 1 the input was bad or the work failed (a message on stderr), 2 a usage error.
using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Command {
  const char* name;
  const char* synopsis;     // "FILE [--codepage N]"
  const char* description;  // one line
  CommandFunction run;
};

// Adds a command to the table; called by NBTOOL_COMMAND at start-up.
bool RegisterCommand(const Command& command);

#define NBTOOL_COMMAND(name, synopsis, description, function) \
  static const bool nbtool_registered_##function =            \
      ::nbtool::RegisterCommand({name, synopsis, description, function})

// Prints "nbtool NAME: MESSAGE" on stderr and returns exit code 1 (for `return Fail(...)`).
int Fail(const char* command, const std::string& message);
// Prints the command's usage on stderr and returns exit code 2.
int Usage(const char* command);

// Reads a whole host file; false with a message when it cannot.
bool ReadHostFile(const std::string& path, std::string& bytes, std::string& error);

// Writes JSON to a stdio stream: objects and arrays nest, commas come by themselves, texts are
// escaped (UTF-16 is written as UTF-8; control characters and lone surrogates as \u escapes).
class JsonWriter {
 public:
  explicit JsonWriter(std::FILE* out = stdout, bool pretty = false) : out_(out), pretty_(pretty) {}
  ~JsonWriter();

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view utf8);
  JsonWriter& String(std::u16string_view text);
  JsonWriter& Number(int64_t value);
  JsonWriter& Unsigned(uint64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  // Ends a top-level value with a newline (one JSON document per line unless pretty).
  void EndLine();

 private:
  void BeforeValue();
  void Raw(std::string_view text);
  void Quoted(std::u16string_view text);
  void Indent();

  std::FILE* out_;
  bool pretty_;
  std::vector<bool> hasItems_;  // per open container: whether a value was written in it
  bool afterKey_ = false;
};

}  // namespace nbtool
