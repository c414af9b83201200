// The office's identification line: the fixed header that tells the station who is calling
// and what it holds, followed by the list of the office's tables and upgrades with their
// values, the whole sent twice over in one CR-terminated line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace marvolen::office {

// "tbl" offices keep *.tbl tables; "tab" offices keep *.tab and *.cos tables. The kind also
// fixes the width of the line's header.
enum class TableKind { Tbl, Tab };

// Everything the header carries. Texts are Windows-1252 bytes, as on the line.
struct OfficeIdentity {
  int number = 0;           // 0..99999, five digits with leading zeros
  char traffic_flag = 'N';  // 'N': no traffic waiting
  TableKind kind = TableKind::Tbl;
  std::string password;          // the first five characters count; shorter is blank-padded
  bool features = true;          // false sends the blank feature flag
  std::string program = "OFIC";  // 4 characters, shown by the station after " Prog:"
  std::string device_id;         // 8 characters, the "Llave"
  std::string version;           // 12 characters
  std::string serial;            // 12 characters, shown after " Nro:"
};

// One entry of the office's file list: a table with the sum of its bytes, or an upgrade with
// its size. The station keeps both as signed 32-bit numbers and reads them back as such.
struct ReportedFile {
  std::string name;  // upper case, at most 12 characters
  std::int32_t value = 0;
};

// Where the office keeps its files: tables in the directory itself, upgrades in "upgrade/",
// the traffic file in "TRAFICO/TRAFICO.TRF", day files ddmmyyyy.daw in the directory.
inline constexpr const char* kUpgradeDir = "upgrade";

// The character count of the header: the station's header width plus the one character in
// front of the first entry's name.
std::size_t HeaderLength(TableKind kind);

// The sum of all bytes of a file in a signed 32-bit number that wraps, as the station sums
// its own copy. Throws std::runtime_error when the file cannot be read.
std::int32_t ByteSum(const std::filesystem::path& file);

// The office's tables (sorted by name; "tab" offices list their *.tab files before their
// *.cos files) followed by its upgrades (sorted). Files whose names cannot be reported (more
// than 12 characters, blanks or other than printable ASCII, a name the station would cut
// elsewhere than where it ends) are left out and named in `skipped`.
std::vector<ReportedFile> SurveyOffice(const std::filesystem::path& dir, TableKind kind,
                                       std::vector<std::string>* skipped);

// One half of the identification line (without CR). The file list is written as the office
// program writes it: a name shorter than 12 characters unpadded, directly followed by its
// value (ten characters, left-aligned), the whole list blank-padded to 22 characters an entry.
std::string BuildIdentHalf(const OfficeIdentity& id, const std::vector<ReportedFile>& files);

// The whole line as it goes out: the half twice, then CR.
std::string BuildIdentLine(const OfficeIdentity& id, const std::vector<ReportedFile>& files);

// Faults a test can ask for. A password whose first character is replaced by another one.
std::string WrongPassword(std::string password);
// The line with one character of its second half changed (the first of the program field),
// so that the halves no longer agree.
std::string DifferingHalves(std::string line);

}  // namespace marvolen::office
