// The office's identification line: "Ident=" and its fixed-position fields, sent twice over
// in one line so that a line garbled in transit shows itself as two halves that differ.
// The text is the line's raw bytes (Windows-1252) as received, CR and the dropped control
// bytes already removed. Every field is read from the first half only: a field that would
// run past the half is cut there, and a field that lies wholly beyond it reads as empty.
// Texts meant for the window or the activity log come out in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "call/TableKind.h"
#include "platform/Numbers.h"

namespace marvolen {

inline constexpr int kOfficeEntryWidth = 22;

// ASCII letters to upper case, as file names are compared on the line; other bytes kept.
std::string UpperAscii(std::string_view text);

// The office directory: `work_dir` (ending in "/") + "loc" + the number with at least two
// digits (loc07, loc123). No trailing "/".
std::string OfficeDirFor(std::string_view work_dir, int office_number);
// The number as exactly four digits (0007).
std::string OfficeTagFor(int office_number);

// One file of the list the office reports after the header.
struct OfficeFileEntry {
  std::string name;   // Windows-1252, blanks trimmed, cut by the dot rule
  int32_t value = 0;  // byte sum of a table, size of an upgrade
  std::string probe;  // the 4 characters at the entry's nominal position + 10
};

class IdentFields {
 public:
  explicit IdentFields(std::string line);

  const std::string& Text() const { return line_; }
  // Half the line's length; with an odd length the last character belongs to neither half.
  size_t Half() const { return line_.size() / 2; }
  bool HalvesMatch() const;

  // Characters `pos`..`pos`+`width`-1 (1-based) of the first half.
  std::string Field(size_t pos, size_t width) const;

  std::string OfficeField() const { return Field(7, 5); }
  std::string TrafficFlag() const { return Field(12, 1); }
  std::string TableKindLetter() const { return Field(13, 1); }
  // "tab" when the table kind is S or N in either case, else "tbl".
  marvolen::TableKind TableExt() const {
    return marvolen::TableKind::FromIdentLetter(TableKindLetter());
  }
  // Password group i (1..5): three digits, the code of password character i. Throws
  // ConversionError when the group is not a number; its text has the digits masked ('*').
  int32_t PasswordGroup(int i) const;
  // True when position 29 is a blank, or missing: then the office gets neither the clock
  // setting nor upgrades, whatever its parameters say.
  bool FeatureFlagBlank() const;
  std::string Program() const { return Field(30, 4); }
  std::string DeviceId() const { return Field(35, 8); }
  std::string Version() const { return Field(44, 12); }
  std::string Number() const { return Field(56, 12); }

  // The office number field, trailing blanks trimmed; 0 when it is not a number.
  int OfficeNumber() const;

  // The office's file list after a header of `header_width` characters. Throws
  // ConversionError when an entry's value is not a number.
  std::vector<OfficeFileEntry> OfficeFiles(int header_width) const;

  // "Oficina: " + office field + "  ***Conectada al centro de telesupervisión***" (UTF-8).
  std::string OfficeLine() const;
  // "Traf:... Tabla:... Prog:... Llave:... Ver:... Nro:..." (UTF-8).
  std::string SummaryLine() const;

 private:
  std::string line_;
};

}  // namespace marvolen
