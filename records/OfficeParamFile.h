// One office's parameter file, "MARVOLEN.TCP" in its office directory (found whatever the
// letter case of its name): the office's password, device identifier, day-file range and the
// switches that steer a call. Every operation opens the file, works on one slot and closes it
// again, so another program may read or replace the file between operations.
//
// Values are exchanged as UTF-8 text. Number keys hold a signed 32-bit integer, read as
// decimal text; a value that is not a whole number in range is stored as 0. Text keys
// ("password", "Id", "RootId_R", "RootId") hold 16 Windows-1252 characters: a value is
// converted, cut to 16 characters or padded with blanks, and reads back with its blanks.
// Characters Windows-1252 cannot hold are stored as '?'. Keys must match exactly, letter case
// included; any other key selects nothing.
//
// A directory without the file gets one with the default values before any operation, key
// known or not. It is written under a temporary name and renamed into place, so the file
// never exists half-written, and an existing file is never replaced by this creation. The
// office directory itself is never created.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Dir.h"
#include "platform/Errors.h"

namespace marvolen {

class Clock;

// Every failure of the file (office directory missing, access denied, a file too short for
// the slot, disk full): the message says what failed, for which key, on which file, and why.
// A failed write leaves the file as it was.
// Its code is the errno of the call that failed, or StationRefusal::kParamFileTooShort.
class OfficeParamError : public StationError {
 public:
  using StationError::StationError;
};

class OfficeParamFile {
 public:
  // Text slots are stamped with the seconds of the local time `clock` gives; `fs` is the
  // system-call seam (the real calls when null). Both must outlive the object.
  OfficeParamFile(std::filesystem::path office_dir, const Clock& clock,
                  const FileOps* fs = nullptr);
  // On the system clock.
  explicit OfficeParamFile(std::filesystem::path office_dir);
  // The office directory already open (which must outlive the object), on the system clock:
  // every operation works in it and resolves no path again.
  explicit OfficeParamFile(const Dir& office_dir);
  // The office directory `office_dir`, for an OfficeParamFile held open. Throws
  // OfficeParamError saying what `doing` (what would have been done to the file) failed on:
  // the directory missing, a link refused, or the errno.
  static Dir OpenOffice(const std::filesystem::path& office_dir, Dir::Links links,
                        const FileOps& ops = SystemFileOps(),
                        const std::string& doing = "No se puede crear el");

  // The value of `key`; nullopt when the key selects nothing. Throws OfficeParamError.
  std::optional<std::string> ReadOfficeParam(std::string_view key) const;
  // As ReadOfficeParam, but nothing is ever written: a missing file is an error (ENOENT)
  // rather than made, for a reader that must leave the office's directory as it is.
  std::optional<std::string> ReadExistingOfficeParam(std::string_view key) const;
  // Stores `value` under `key`; false when the key selects nothing (nothing written).
  // Throws OfficeParamError.
  bool WriteOfficeParam(std::string_view key, std::string_view value) const;

  const std::filesystem::path& OfficeDir() const { return office_dir_; }

 private:
  // `step` on the office directory: the one held, or the one `office_dir_` names, opened for
  // this operation only; failing to open it fails with `doing`.
  template <typename Step>
  auto InOffice(const std::string& doing, Step step) const;
  // The file's name in `dir`, made when missing.
  std::string Locate(const Dir& dir) const;
  std::optional<std::string> ReadFrom(const Dir& dir, const std::string& file,
                                      std::string_view key) const;
  std::string Create(const Dir& dir) const;

  std::filesystem::path office_dir_;
  const Clock& clock_;
  const FileOps& fs_;
  const Dir* held_ = nullptr;
};

}  // namespace marvolen
