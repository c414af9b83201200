// Bringing an office's tables and program upgrades up to date. The station holds the master
// copies (the office's tables in its office directory, upgrades in the working directory's
// "upgrades"); the office reports what it holds in its identification line. What differs is
// staged in the station home's "tablas" and "upgrade" and packed into "envio.zip" there, and
// at most one file the office holds but the station does not know is picked for deletion.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "call/IdentLine.h"
#include "platform/FileOps.h"

namespace marvolen {

// One file of the station's survey for an office: upper-case name as found on disk (UTF-8)
// and the table's 32-bit byte sum or the upgrade's size. The comparison marks a file the
// office already holds with kUpToDate.
struct SurveyEntry {
  std::string name;
  int32_t value = 0;
};
inline constexpr int32_t kUpToDate = -1;
inline constexpr size_t kMaxSurveyEntries = 50;
// Only used entries are held: tables first, then upgrades, at most kMaxSurveyEntries.
using SurveyEntries = std::vector<SurveyEntry>;

using LineSink = std::function<void(std::string_view)>;
// Builds "envio.zip" in the station home from its "tablas" and "upgrade" directories, its
// files written through `ops`; throws on any failure.
using EnvioPacker = std::function<void(const std::string& exe_dir, const FileOps& ops)>;

class TZipArchiver;
// Packs with `zipper` (the station's Zipper1, whose failure event reports to the log view):
// "envio.zip" in `exe_dir`, entries "tablas/NAME" and "upgrade/NAME". Throws EArchiveError.
void PackEnvio(TZipArchiver& zipper, const std::string& exe_dir);
// The same with a component of its own (per-file failures are then left out silently).
void PackEnvioZip(const std::string& exe_dir, const FileOps& ops);

// An upgrade meant for the office with `office_tag`: a name of exactly 12 characters (in the
// office's code page) whose characters 9..12 are the tag, or ".UPG" in any case (every office).
bool IsUpgradeName(std::string_view name, std::string_view office_tag);

// A surveyed name that is a table: a dot fourth from the end, and not an ".UPG" upgrade.
bool IsTableName(std::string_view name);

// Compares the survey with the office's list: a file the office holds in the same version is
// marked kUpToDate; the first reported file the station does not have at all becomes the
// DeleteList, "tablas\" + name or (when upgrades are enabled) "upgrade\" + name, in the
// line's bytes (Windows-1252) and with the backslash the office expects. Logs and shows
// "Tablas: " and the reported names (UTF-8).
// Throws ConversionError when a reported value is not a number.
std::string CompareWithOfficeList(const IdentFields& ident, int header_width, bool upgrade_enabled,
                                  SurveyEntries& survey, const LineSink& view,
                                  const LineSink& activity);
// The comparison itself, on a list already read (names in Windows-1252), with no output: the
// call report uses it to tell what an office will receive on its next call.
std::string CompareOfficeFiles(const std::vector<OfficeFileEntry>& files, bool upgrade_enabled,
                               SurveyEntries& survey);

// The survey entries a delivery takes: every entry neither marked up to date nor empty
// (value 0).
std::vector<SurveyEntry> DeliveryOf(const SurveyEntries& survey);

// Sum of all bytes of a file, modulo 2^32. Throws FileError when it cannot be read.
int32_t ByteSum(const std::string& path);
int32_t ByteSum(const std::string& path, const FileOps& ops);

struct StagingPlaces {
  std::string exe_dir;     // station home, ending in "/"
  std::string work_dir;    // working directory, ending in "/"
  std::string office_dir;  // no trailing "/"
  std::string office_tag;  // four digits
};

// Empties the staging directories, copies every survey file not marked up to date into them,
// removes any old "envio.zip" and, when something was staged, packs a new one. A file whose
// value is 0 (an empty table) is not sent: it is shown and logged as "Tabla vacía, no se
// envía: " + name, and the files after it are staged as usual. A failed pack removes the
// partial "envio.zip"; the call goes on without it. True when "envio.zip" was built. Every
// file operation of the staging and the pack goes through `ops`.
//
// Each staged copy is checked against its survey value (a table's byte sum, an upgrade's
// size): a file the operator was replacing meanwhile would go out half-written, so a copy
// that differs is removed, shown and logged as "Archivo modificado durante la preparación,
// no se envía: " + name, and the office gets that file at a later call.
bool StageAndPack(const SurveyEntries& survey, const StagingPlaces& places, const EnvioPacker& pack,
                  const LineSink& view, const LineSink& activity, const FileOps& ops);

}  // namespace marvolen
