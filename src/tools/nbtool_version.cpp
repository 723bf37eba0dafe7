// nbtool version: which engine this is, and which device root it would use.
#include "platform/device.h"
#include "tools/nbtool.h"

namespace {

int RunVersion(const std::vector<std::string>& args) {
  if (!args.empty()) return nbtool::Usage("version");
  nbtool::JsonWriter json;
  json.BeginObject()
      .Key("program").String("nbtool")
      .Key("version").String(NUBREL_VERSION)
      .Key("root").String(platform::Device().root)
      .Key("programFolder").String(platform::Device().programFolder)
      .EndObject();
  json.EndLine();
  return 0;
}

}  // namespace

NBTOOL_COMMAND("version", "", "Print the engine's version and the device root in use.", RunVersion);
