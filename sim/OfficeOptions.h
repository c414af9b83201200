// The command line of `marvolen-office`.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/OfficeCall.h"
#include "sim/OfficeIdent.h"

namespace marvolen::office {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct OfficeOptions {
  bool help = false;
  std::string host, port;
  std::filesystem::path dir;
  OfficeIdentity identity;           // texts already in Windows-1252
  std::optional<char> traffic_flag;  // nullopt: 'S' when the office holds a traffic file
  Millis timeout{120000};
  // How long to keep dialling while the station is not answering yet (0: dial once).
  Millis redial{0};
  std::filesystem::path keep_deleted;  // empty: deleted files are removed
  bool wrong_password = false;
  bool differing_halves = false;
  Misbehaviour misbehave;
};

// Throws UsageError with a message that names the offending option.
OfficeOptions ParseOptions(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace marvolen::office
