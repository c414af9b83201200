// marvolen-config: shows or writes the station's settings record "marvolen.tcp" in the
// station home, with the same checks as the settings form, so that a station can be set up
// where no window can be shown.
//
//   marvolen-config show
//   marvolen-config set [--port N] [--speed BPS] [--password KEY] [--workdir DIR] [--init TEXT]
//
// `set` starts from the record in place (or the defaults) and changes what is given.

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "app/Settings.h"
#include "app/StationConfig.h"
#include "platform/Paths.h"
#include "platform/ProgramInfo.h"

namespace marvolen {
namespace {

constexpr char kUsage[] =
    "Usage: marvolen-config show\n"
    "       marvolen-config set [--port N] [--speed BPS] [--password KEY] [--workdir DIR]\n"
    "                           [--init TEXT]\n"
    "The record is \"marvolen.tcp\" in $MARVOLEN_HOME, else beside the executable.\n"
    "A relative working directory is taken from that directory.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

int Show(const std::filesystem::path& home) {
  const LoadedStationConfig loaded = LoadStationConfig(home);
  const StationConfig& c = loaded.config;
  std::printf("record: %s%s\n", (home / kStationConfigFile).c_str(),
              loaded.complete ? "" : " (missing or short: defaults)");
  std::printf("port: %d\nspeed: %d\npassword: %s\nworkdir: %s\ninit: %s\n", c.PortNumber,
              c.BaudRate, TrimTrailingBlanks(c.SettingsPassword).c_str(),
              TrimTrailingBlanks(c.WorkDir).c_str(), TrimTrailingBlanks(c.ModemInitText).c_str());
  return 0;
}

int Set(const std::filesystem::path& home, int argc, char** argv) {
  StationConfig config = LoadStationConfig(home).config;
  SettingsFields fields = SettingsFieldsFrom(config);
  for (int i = 0; i < argc; i += 2) {
    const std::string_view option = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[i + 1];
    if (option == "--port") {
      fields.Puerto = value;
    } else if (option == "--speed") {
      fields.Velocidad = value;
    } else if (option == "--workdir") {
      fields.DirTrabajo = value;
    } else if (option == "--init") {
      fields.Inicio = value;
    } else if (option == "--password") {
      if (CharacterCount(value) > 10) {
        std::fputs("marvolen-config: la clave admite a lo sumo 10 caracteres\n", stderr);
        return 1;
      }
      config.SettingsPassword = value;
    } else {
      return Usage();
    }
  }
  if (const auto message = ApplySettings(fields, config)) {
    std::fprintf(stderr, "marvolen-config: %s\n", message->c_str());
    return 1;
  }
  SaveStationConfig(home, BuildStationConfigRecord(config));
  std::printf("wrote %s\n", (home / kStationConfigFile).c_str());
  return 0;
}

}  // namespace
}  // namespace marvolen

int main(int argc, char** argv) {
  if (const auto status =
          marvolen::AnswerInfoOption(argc, argv, "marvolen-config", marvolen::kUsage))
    return *status;
  if (argc < 2) return marvolen::Usage();
  const std::string_view command = argv[1];
  try {
    const std::filesystem::path home = marvolen::StationHome();
    if (command == "show" && argc == 2) return marvolen::Show(home);
    if (command == "set") return marvolen::Set(home, argc - 2, argv + 2);
    return marvolen::Usage();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "marvolen-config: %s\n", e.what());
    return 1;
  }
}
