// marvolen-params: reads and writes an office's parameter file, so that an operator can set
// up a new office (its directory, password, switches, day range) or look at an existing one.
//
//   marvolen-params OFFICEDIR dump            every key and its value, tab-separated
//   marvolen-params OFFICEDIR get KEY         the bare value
//   marvolen-params OFFICEDIR set KEY VALUE   stores the value
//   marvolen-params OFFICEDIR init --password KEY [--id TEXT] [--from DAY]
//                                             a new office: its directory and its file
//
// Nothing after get and set is taken as an option, so a day serial of -5 is just a value.
// Run as root, the tool works as the owner of the office directory (for init, of the
// directory it goes in): a parameter file replaced by root is one the station, running as its
// own user, could not replace at the office's next call. The office directory is opened once,
// never through a link, and everything is done in what was opened.
// Exit status: 0 done, 1 the file failed or the value cannot be stored as given, 2 usage.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Dir.h"
#include "platform/DosTime.h"
#include "platform/Errors.h"
#include "platform/ProgramInfo.h"
#include "platform/RunAs.h"
#include "platform/ShownText.h"
#include "records/OfficeParamFile.h"
#include "records/ParamFormat.h"

namespace marvolen {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintUsage(std::ostream& out) {
  out << "Usage: marvolen-params OFFICEDIR dump\n"
         "  or:  marvolen-params OFFICEDIR get KEY\n"
         "  or:  marvolen-params OFFICEDIR set KEY VALUE\n"
         "  or:  marvolen-params OFFICEDIR init --password KEY [--id TEXT] [--from DAY]\n"
         "\n"
         "Reads and writes the office parameter file MARVOLEN.TCP in OFFICEDIR; a directory\n"
         "without one gets the default file first. Values are UTF-8 text. Text keys hold up to\n"
         "16 Windows-1252 characters (read back blank-padded to 16); number keys hold a whole\n"
         "number from -2147483648 to 2147483647 (the day range counts days since 30 December\n"
         "1899; \"inicio *.daw\" and \"ultimo *.daw\" take 0 or a day from 1 January 1980 to\n"
         "31 December 2107). dump prints KEY<TAB>VALUE lines; get and dump show control\n"
         "characters as \\xHH.\n"
         "\n"
         "init sets up a new office: makes OFFICEDIR (e.g. loc07 in the working directory)\n"
         "unless it is there, and writes its file with the password, and the identifier\n"
         "(\"Id\") and first day (\"inicio *.daw\") when given; an office that already has\n"
         "a file is refused. Run as root, the tool works as the owner of the office directory\n"
         "(for init, of the directory it goes in), so that the station can still write what\n"
         "it makes. An office directory that is a symbolic link is refused.\n"
         "\n"
         "Keys:\n";
  for (const ParamSlot& slot : ParamSlots()) {
    out << "  " << slot.key << (slot.kind == ParamKind::Text ? "  (text)\n" : "  (number)\n");
  }
}

int UsageError(const std::string& message) {
  std::cerr << "marvolen-params: " << message << "\n\n";
  PrintUsage(std::cerr);
  return kExitUsage;
}

// The two keys of the day-file range, which the station turns into MS-DOS dates.
bool IsDayKey(std::string_view key) {
  return key == "inicio *.daw" || key == "ultimo *.daw";
}

// The file would store 0 for a number it cannot read, and '?' or a cut text for a value too
// wide: an operator is told instead, and nothing is written. A day key takes no day past what
// an MS-DOS date can name (the station would ask for hundreds of thousands of files); 0 and
// below stay accepted, as scripts that set "inicio *.daw" to -5 rely on.
std::string RefusalOf(const ParamSlot& slot, std::string_view value) {
  if (slot.kind == ParamKind::Number) {
    const auto number = TryStrToInt(value);
    if (number && IsDayKey(slot.key) && *number > 0 && !IsDosDateSerial(*number)) {
      return "\"" + std::string(slot.key) + "\" admite 0 o menos, o un día de " +
             std::to_string(kFirstDosDateSerial) + " (1 de enero de 1980) a " +
             std::to_string(kLastDosDateSerial) + " (31 de diciembre de 2107), contado desde el " +
             "30 de diciembre de 1899, no \"" + std::string(value) + "\"";
    }
    if (number) return {};
    return "\"" + std::string(slot.key) +
           "\" admite un número entero de -2147483648 a 2147483647, no \"" + std::string(value) +
           "\"";
  }
  const Converted ansi = Utf8ToAnsiExact(value);
  if (!ansi.exact) {
    return "\"" + std::string(slot.key) +
           "\" admite solo texto UTF-8 con caracteres de Windows-1252";
  }
  if (ansi.text.size() > kTextSlotChars) {
    return "\"" + std::string(slot.key) + "\" admite a lo sumo 16 caracteres, el valor tiene " +
           std::to_string(ansi.text.size());
  }
  return {};
}

int Dump(const OfficeParamFile& file) {
  for (const ParamSlot& slot : ParamSlots()) {
    std::cout << slot.key << '\t' << ShownText(file.ReadOfficeParam(slot.key).value_or("")) << '\n';
  }
  return 0;
}

// Makes a new office: the directory unless it is there, the default file, then the values,
// each checked before anything is made. Whatever this call made is taken away again when a
// later step fails, so a failed init leaves no half office behind.
int Init(const std::filesystem::path& dir, const std::vector<std::string>& options) {
  std::vector<std::pair<const ParamSlot*, std::string>> values;
  for (size_t i = 0; i < options.size(); i += 2) {
    if (i + 1 >= options.size()) return UsageError("falta el valor de " + options[i]);
    const std::string& option = options[i];
    const char* key = option == "--password" ? "password"
                      : option == "--id"     ? "Id"
                      : option == "--from"   ? "inicio *.daw"
                                             : nullptr;
    if (key == nullptr) return UsageError("opción desconocida de init \"" + option + "\"");
    const ParamSlot* slot = FindParamSlot(key);
    if (const std::string refusal = RefusalOf(*slot, options[i + 1]); !refusal.empty()) {
      std::cerr << "marvolen-params: " << refusal << "; no se escribe nada\n";
      return kExitFailed;
    }
    values.emplace_back(slot, options[i + 1]);
  }
  const bool has_password = std::any_of(values.begin(), values.end(), [](const auto& v) {
    return v.first->key == "password" && !v.second.empty();
  });
  // The default password is known to every office: a new office never gets it.
  if (!has_password) return UsageError("init necesita --password CLAVE");

  // The directory it goes in is the operator's choice; the office in it is never a link.
  std::string given = dir.string();
  while (given.size() > 1 && given.back() == '/') given.pop_back();
  const std::filesystem::path path(given);
  const std::string name = path.filename().string();
  const Dir parent = Dir::Open(path.parent_path().string(), Dir::Links::kFollow);
  std::error_code error;
  std::optional<Dir> office = parent.TryChild(name, error);
  if (!office && (IsLink(error) || error == std::errc::not_a_directory)) {
    std::cerr << "marvolen-params: " << dir.string() << " existe y no es un directorio\n";
    return kExitFailed;
  }
  if (!office && !IsNotFound(error)) throw FileError(error, "No se puede abrir " + dir.string());
  // Root works as the owner of the office, or of the directory a new office goes in.
  BecomeOwner(office ? office->Owner() : parent.Owner());
  bool made_dir = false;
  if (!office) {
    try {
      office.emplace(parent.MakeChild(name, 0750, &made_dir));
    } catch (const FileError& e) {
      std::cerr << "marvolen-params: " << ErrorText("no se puede crear " + dir.string(), e.code())
                << '\n';
      return kExitFailed;
    }
  } else if (const auto file = office->FindNoCase("MARVOLEN.TCP")) {
    std::cerr << "marvolen-params: la oficina ya tiene su archivo " << office->PathOf(*file)
              << "; use set para cambiarlo\n";
    return kExitFailed;
  }
  try {
    const OfficeParamFile file(*office);
    for (const auto& [slot, value] : values) file.WriteOfficeParam(slot->key, value);
  } catch (...) {
    if (const auto file = office->FindNoCase("MARVOLEN.TCP")) office->Remove(*file);
    if (made_dir) parent.RemoveDir(name);
    throw;
  }
  std::cout << "oficina " << dir.string() << " preparada\n";
  return 0;
}

int Run(const std::vector<std::string>& args) {
  if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
    PrintUsage(std::cout);
    return 0;
  }
  if (!args.empty() && args[0] == "--version") {
    std::cout << "marvolen-params " << ProjectVersion() << '\n';
    return 0;
  }
  if (args.size() < 2) return UsageError("faltan el directorio de la oficina y el subcomando");
  if (args[0].empty()) return UsageError("el nombre del directorio de la oficina está vacío");
  if (args[0][0] == '-') {
    return UsageError("opción desconocida \"" + args[0] + "\" (escriba ./" + args[0] +
                      " para un directorio con ese nombre)");
  }
  const std::string& command = args[1];
  if (command == "init") {
    return Init(args[0], std::vector<std::string>(args.begin() + 2, args.end()));
  }
  const size_t wanted = command == "dump" ? 2 : command == "get" ? 3 : command == "set" ? 4 : 0;
  if (wanted == 0) return UsageError("subcomando desconocido \"" + command + "\"");
  if (args.size() != wanted) return UsageError("número de argumentos incorrecto para " + command);

  // The office is opened once, never through a link, and root works as the owner of what was
  // opened, in it alone: a path resolved again could have been swapped for a link meanwhile.
  const Dir office = OfficeParamFile::OpenOffice(args[0], Dir::Links::kRefuse);
  BecomeOwner(office.Owner());
  const OfficeParamFile file(office);
  if (command == "dump") return Dump(file);
  const ParamSlot* slot = FindParamSlot(args[2]);
  if (!slot)
    return UsageError("clave desconocida \"" + args[2] +
                      "\" (las claves distinguen mayúsculas y minúsculas)");
  if (command == "get") {
    // An office can leave any bytes in a text slot; a terminal must not take them as
    // commands.
    std::cout << ShownText(file.ReadOfficeParam(slot->key).value_or("")) << '\n';
    return 0;
  }
  if (const std::string refusal = RefusalOf(*slot, args[3]); !refusal.empty()) {
    std::cerr << "marvolen-params: " << refusal << "; no se escribe nada\n";
    return kExitFailed;
  }
  file.WriteOfficeParam(slot->key, args[3]);
  return 0;
}

}  // namespace
}  // namespace marvolen

int main(int argc, char** argv) {
  try {
    const int status = marvolen::Run(std::vector<std::string>(argv + 1, argv + argc));
    std::cout.flush();
    if (!std::cout) {
      std::cerr << "marvolen-params: no se puede escribir en la salida estándar\n";
      return marvolen::kExitFailed;
    }
    return status;
  } catch (const std::exception& e) {
    std::cerr << "marvolen-params: " << e.what() << '\n';
    return marvolen::kExitFailed;
  }
}
