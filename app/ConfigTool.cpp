// marvolen-config: shows or writes the station's settings record "marvolen.tcp" in the
// station home, with the same checks as the settings form, so that a station can be set up
// where no window can be shown; and sets up a line for the service unit.
//
//   marvolen-config show
//   marvolen-config set [--port N] [--speed BPS] [--password KEY] [--workdir DIR] [--init TEXT]
//   marvolen-config line NAME --port N [--speed BPS] [--password KEY] [--workdir DIR] ...
//
// `set` starts from the record in place (or the defaults) and changes what is given. `line`
// does the same in the home of the service instance marvolen@NAME, making the home and the
// working directory first; run as root it works as the service's user throughout, so that
// nothing it leaves belongs to root.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/Settings.h"
#include "app/StationConfig.h"
#include "callrec/LineStatus.h"
#include "platform/Dir.h"
#include "platform/Errors.h"
#include "platform/ProgramInfo.h"
#include "platform/RunAs.h"

namespace marvolen {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kServiceLines[] = "/var/lib/marvolen/lines";
constexpr char kServiceWorkDir[] = "/var/lib/marvolen/work";
constexpr char kServiceUser[] = "marvolen";

constexpr char kUsage[] =
    "Usage: marvolen-config show\n"
    "  or:  marvolen-config set [--port N] [--speed BPS] [--password KEY] [--workdir DIR] "
    "[--init TEXT]\n"
    "  or:  marvolen-config line NAME --port N [--speed BPS] [--password KEY] [--workdir DIR] "
    "[--init TEXT] [--lines-dir DIR] [--user USER]\n"
    "\n"
    "show and set: the record is \"marvolen.tcp\" in $MARVOLEN_HOME, else beside the\n"
    "executable; a system directory (/usr/bin ...) or one that cannot be written is refused\n"
    "there. A relative working directory is taken from the home. Run as root, set works as\n"
    "the home's owner and refuses a home that is a symbolic link.\n"
    "\n"
    "line: sets up the line NAME for the service marvolen@NAME: makes its home\n"
    "/var/lib/marvolen/lines/NAME (under --lines-dir when given) and the working directory\n"
    "(default /var/lib/marvolen/work), and writes the record there; a new line needs --port,\n"
    "an existing one keeps what is not given. Run as root, it works as the service's user\n"
    "(--user, default marvolen), so that everything it makes belongs to that user. A port\n"
    "that another line in the same directory uses is refused.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int Refuse(const std::string& message) {
  std::fprintf(stderr, "marvolen-config: %s\n", message.c_str());
  return kExitFailed;
}

// Directories of the system's own programs and files: never a station's home.
bool IsSystemDirectory(const std::filesystem::path& dir) {
  for (const char* system : {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/etc",
                             "/boot", "/dev", "/proc", "/sys", "/run"}) {
    const std::filesystem::path top(system);
    const auto [end, ignored] = std::mismatch(top.begin(), top.end(), dir.begin(), dir.end());
    if (end == top.end()) return true;
  }
  return false;
}

// The home for show and set: $MARVOLEN_HOME, else the executable's directory when that can
// hold a record. An installed tool would otherwise write "marvolen.tcp" into /usr/bin, where
// no station looks for it, so such a directory is refused with a message saying what to do.
std::optional<std::filesystem::path> ToolHome(std::string& refusal) {
  if (const char* home = std::getenv("MARVOLEN_HOME"); home != nullptr && *home != '\0') {
    return std::filesystem::absolute(home);
  }
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    refusal = "sin MARVOLEN_HOME no se sabe dónde está el programa (" + ec.message() +
              "); indique la casa de la estación con MARVOLEN_HOME=DIR";
    return std::nullopt;
  }
  const std::filesystem::path dir = exe.parent_path();
  const bool system = IsSystemDirectory(dir);
  if (system || ::access(dir.c_str(), W_OK) != 0) {
    refusal = "sin MARVOLEN_HOME el registro iría junto al programa, en " + dir.string() +
              (system ? ", un directorio del sistema" : ", donde no se puede escribir") +
              "; indique la casa de la estación con MARVOLEN_HOME=DIR, o prepare una línea "
              "del servicio con \"marvolen-config line NOMBRE --port N\"";
    return std::nullopt;
  }
  return dir;
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

// The options of set and line that change the record, applied to `fields` and `config`.
// Returns the exit status of a refusal, or nullopt.
std::optional<int> TakeRecordOption(std::string_view option, const std::string& value,
                                    SettingsFields& fields, StationConfig& config, bool& port) {
  if (option == "--port") {
    fields.Puerto = value;
    port = true;
  } else if (option == "--speed") {
    fields.Velocidad = value;
  } else if (option == "--workdir") {
    fields.DirTrabajo = value;
  } else if (option == "--init") {
    fields.Inicio = value;
  } else if (option == "--password") {
    if (CharacterCount(value) > 10) return Refuse("la clave admite a lo sumo 10 caracteres");
    config.SettingsPassword = value;
  } else {
    return Usage();
  }
  return std::nullopt;
}

int Set(const std::filesystem::path& home, int argc, char** argv) {
  // Run as root on a home that belongs to the service's user, the record is written as that
  // user: a root-owned record is one the station could not replace. The home is opened once
  // (as root never through a link, which whoever owns the directory above could swap in),
  // its owner is that of what was opened, and the record is read and written in it alone.
  const Dir dir =
      Dir::Open(home.string(), RunsAsRoot() ? Dir::Links::kRefuse : Dir::Links::kFollow);
  BecomeOwner(dir.Owner());
  StationConfig config = LoadStationConfig(dir).config;
  SettingsFields fields = SettingsFieldsFrom(config);
  bool port = false;
  for (int i = 0; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    if (const auto refused = TakeRecordOption(argv[i], argv[i + 1], fields, config, port))
      return *refused;
  }
  if (const auto message = ApplySettings(fields, config)) return Refuse(*message);
  SaveStationConfig(dir, BuildStationConfigRecord(config));
  std::printf("wrote %s\n", (home / kStationConfigFile).c_str());
  return 0;
}

// Makes the directory `dir` (mode 0750, what the station's umask gives too) unless it is
// there; a file or a symbolic link in its place is refused.
void MakeDirectory(const std::filesystem::path& dir) {
  if (::mkdir(dir.c_str(), 0750) == 0) return;
  const int err = errno;
  struct stat st {};
  if (err == EEXIST && ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  const std::string doing = "No se puede crear el directorio " + dir.string();
  if (err != EEXIST) throw SystemFailure(err, doing);
  throw StationError(std::make_error_code(std::errc::file_exists),
                     doing + ": existe y no es un directorio");
}

// The line among the other homes in `lines` whose record names `port`, if any: two stations
// on one port take turns failing to open it.
std::optional<std::string> LineOnPort(const std::filesystem::path& lines, const std::string& name,
                                      int port) {
  for (const auto& entry : std::filesystem::directory_iterator(lines)) {
    const std::string other = entry.path().filename().string();
    if (other == name || !entry.is_directory() || entry.is_symlink()) continue;
    const LoadedStationConfig loaded = LoadStationConfig(entry.path());
    if (loaded.complete && loaded.config.PortNumber == port) return other;
  }
  return std::nullopt;
}

int Line(int argc, char** argv) {
  if (argc < 1) return Usage();
  const std::string name = argv[0];
  if (!IsLineName(name)) {
    std::fprintf(stderr,
                 "marvolen-config: nombre de línea no válido: \"%s\" (letras, cifras, \"-\", "
                 "\"_\" y \".\", hasta 32, sin \".\" al principio)\n",
                 name.c_str());
    return kExitUsage;
  }
  std::filesystem::path lines = kServiceLines;
  std::string user = kServiceUser;
  std::string work_dir = kServiceWorkDir;
  bool work_dir_given = false;
  // The record's own options are applied once the record in place is read, as that user.
  std::vector<std::pair<std::string, std::string>> record_options;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    const std::string_view option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--lines-dir") {
      lines = std::filesystem::absolute(value);
    } else if (option == "--user") {
      user = value;
    } else {
      if (option == "--workdir") {
        work_dir = value;
        work_dir_given = true;
      }
      record_options.emplace_back(option, value);
    }
  }
  const FileOwner owner = UserNamed(user);
  if (::geteuid() != 0 && ::geteuid() != owner.uid) {
    return Refuse("solo root o el usuario " + user + " pueden preparar una línea de " + user);
  }
  BecomeOwner(owner);

  const std::filesystem::path home = lines / name;
  const LoadedStationConfig loaded = LoadStationConfig(home);
  StationConfig config = loaded.config;
  const bool existing = loaded.complete;
  SettingsFields fields = SettingsFieldsFrom(config);
  if (!existing) fields.DirTrabajo = work_dir;
  bool port = false;
  for (const auto& [option, value] : record_options) {
    if (const auto refused = TakeRecordOption(option, value, fields, config, port)) return *refused;
  }
  if (!existing && !port) return Refuse("una línea nueva necesita --port N");
  if (const auto message = ApplySettings(fields, config)) return Refuse(*message);
  if (const auto other = std::filesystem::is_directory(lines)
                             ? LineOnPort(lines, name, config.PortNumber)
                             : std::nullopt) {
    return Refuse("el puerto " + std::to_string(config.PortNumber) + " ya es de la línea " +
                  *other + " (" + (lines / *other).string() + ")");
  }

  MakeDirectory(lines);
  MakeDirectory(home);
  const std::filesystem::path work = home / TrimTrailingBlanks(config.WorkDir);
  // The working directory of a line set up before is left as it is unless a new one is given.
  if (!existing || work_dir_given) MakeDirectory(work);
  SaveStationConfig(home, BuildStationConfigRecord(config));
  std::printf(
      "línea %s: %s escrito (puerto %d, %d bps, trabajo en %s)\n"
      "arránquela con: systemctl enable --now marvolen@%s\n",
      name.c_str(), (home / kStationConfigFile).c_str(), config.PortNumber, config.BaudRate,
      work.lexically_normal().c_str(), name.c_str());
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
    if (command == "line") return marvolen::Line(argc - 2, argv + 2);
    if (command != "set" && !(command == "show" && argc == 2)) return marvolen::Usage();
    std::string refusal;
    const auto home = marvolen::ToolHome(refusal);
    if (!home) {
      std::fprintf(stderr, "marvolen-config: %s\n", refusal.c_str());
      return marvolen::kExitUsage;
    }
    if (command == "show") return marvolen::Show(*home);
    return marvolen::Set(*home, argc - 2, argv + 2);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "marvolen-config: %s\n", e.what());
    return marvolen::kExitFailed;
  }
}
