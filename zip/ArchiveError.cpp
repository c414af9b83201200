#include "zip/ArchiveError.h"

#include <array>
#include <cstdio>
#include <utility>

namespace marvolen {

namespace {

struct MessageRow {
  int code;
  const char* text;
};

// The message list, by message number. Placeholders are filled in order of appearance.
constexpr std::array<MessageRow, 26> kMessages{{
    {0, "Unknown error"},
    {1, "Index out of bounds"},
    {2, "Invalid compression mode. Mode must be in [0-9] range"},
    {3, "Unexpected nil pointer"},
    {4, "Invalid size or check sum of file or unsupported compression format"},
    {5, "File name is blank. Specify appropriate file name"},
    {6, "File \"%s\" not found"},
    {7, "Archive is not open"},
    {9, "Cannot create file \"%s\""},
    {10, "Cannot create directory \"%s\""},
    {12, "Cannot open file \"%s\""},
    {13, "Cannot proceed when update is not ended. Preceding EndUpdate call is required."},
    {14, "Cannot delete file \"%s\""},
    {16, "File is open in read-only mode"},
    {17, "Invalid compressed size, rfs.size = %d, count = %d"},
    {18, "Invalid archive file."},
    {19,
     "Cannot create output file. Probably file is locked by another process. FileName = "
     "'%s'."},
    {22, "Cannot find Zip64 directory end record"},
    {23, "Cannot compress file '%s'. Zip64 mode is not enabled"},
    {24, "Cannot open archive file. Opening aborted or invalid file"},
    {25, "Write to stream error"},
    {27, "Archive is damaged. Open failed"},
    // Our own refusals speak the station's language, as the operator reads them beside the
    // station's other messages.
    {100, "La entrada \"%s\" quedaría fuera del directorio de destino; no se extrae"},
    {101, "La entrada \"%s\" es un enlace simbólico; no se extrae"},
    {102, "No hay espacio en disco para extraer \"%s\""},
    {103, "La entrada \"%s\" no es un nombre de archivo simple; no se extrae"},
}};

// Error number to message number.
constexpr std::array<std::pair<int, int>, 27> kCodes{{
    {kErrCompressionMode, 2},  {kErrDataCheck, 4},        {kErrBlankName, 5},
    {kErrBlankArchiveName, 5}, {kErrFileNotFound, 6},     {kErrNotOpen, 7},
    {kErrCreateFile, 9},       {kErrCreateDirectory, 10}, {kErrCreateArchive, 9},
    {kErrBatchOpen, 13},       {kErrDeleteFile, 14},      {kErrReadOnlyArchive, 16},
    {kErrOpenFile, 12},        {kErrShortRead, 17},       {kErrInvalidArchive, 18},
    {kErrCreateOutput, 19},    {kErrNoZip64End, 22},      {kErrZip64Size, 23},
    {kErrZip64Source, 23},     {kErrOpenArchive, 24},     {kErrOpenArchiveFile, 24},
    {kErrWrite, 25},           {kErrDamaged, 27},         {kErrUnsafeName, 100},
    {kErrSymbolicLink, 101},   {kErrDiskSpace, 102},      {kErrBadName, 103},
}};

// Fills "%s" and "%d" in order with the given texts; other characters are copied.
std::string Fill(std::string_view pattern, std::string_view arg1, std::string_view arg2) {
  std::string out;
  int used = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() &&
        (pattern[i + 1] == 's' || pattern[i + 1] == 'd')) {
      out += used == 0 ? arg1 : arg2;
      ++used;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string ArchiveText(std::string_view component, int native_error, const std::string& message) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%05d", native_error);
  std::string text;
  if (!component.empty()) {
    text += component;
    text += ": ";
  }
  return text + message + " - Native error: " + digits;
}

std::string FilledMessage(int native_error, std::string_view arg1, std::string_view arg2) {
  return Fill(ArchiveMessageTemplate(ArchiveErrorCode(native_error)), arg1, arg2);
}

}  // namespace

int ArchiveErrorCode(int native_error) {
  for (const auto& [number, code] : kCodes) {
    if (number == native_error) return code;
  }
  return 0;
}

std::string_view ArchiveMessageTemplate(int error_code) {
  for (const MessageRow& row : kMessages) {
    if (row.code == error_code) return row.text;
  }
  return kMessages[0].text;
}

namespace {

class ArchiveErrors final : public std::error_category {
 public:
  const char* name() const noexcept override { return "archivo ZIP"; }
  std::string message(int value) const override {
    return std::string(ArchiveMessageTemplate(ArchiveErrorCode(value)));
  }
};

}  // namespace

const std::error_category& ArchiveCategory() {
  static const ArchiveErrors category;
  return category;
}

EArchiveError::EArchiveError(std::string_view component, int native_error, std::string_view arg1,
                             std::string_view arg2)
    : EArchiveError(0, component, native_error, arg1, arg2) {}

EArchiveError::EArchiveError(int system_error, std::string_view component, int native_error,
                             std::string_view arg1, std::string_view arg2)
    : StationError(system_error != 0 ? std::error_code(system_error, std::generic_category())
                                     : std::error_code(native_error, ArchiveCategory()),
                   ArchiveText(component, native_error, FilledMessage(native_error, arg1, arg2))),
      native_error_(native_error),
      error_code_(ArchiveErrorCode(native_error)),
      message_(FilledMessage(native_error, arg1, arg2)),
      text_(ArchiveText(component, native_error, message_)) {}

namespace {
std::string InvalidMaskText(std::string_view mask, int position) {
  return "'" + std::string(mask) + "' is an invalid mask at (" + std::to_string(position) + ")";
}
}  // namespace

EInvalidMask::EInvalidMask(std::string_view mask, int position)
    : StationError(StationRefusal::kInvalidMask, InvalidMaskText(mask, position)) {}

std::string FailureLogLine(std::string_view file_name, std::string_view error_message) {
  std::string line = "ERROR de descompresión:";
  line += file_name;
  line += " - ";
  line += error_message;
  return line;
}

}  // namespace marvolen
