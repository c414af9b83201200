// The archive component's errors: one catalogue of error numbers and message texts, and the
// exception that carries them. Every failure the component raises is an EArchiveError; its
// text names the component, the message and the error number, so that a line in the log view
// tells the operator what went wrong and a maintainer which check raised it.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Errors.h"

namespace marvolen {

// Error numbers (NativeError). The gaps are numbers the component never raises.
enum ArchiveErrorNumber : int {
  kErrCompressionMode = 5,
  kErrDataCheck = 8,
  kErrBlankName = 9,
  kErrBlankArchiveName = 10,
  kErrFileNotFound = 12,
  kErrNotOpen = 13,
  kErrCreateFile = 19,
  kErrCreateDirectory = 20,
  kErrCreateArchive = 23,
  kErrBatchOpen = 26,
  kErrDeleteFile = 27,
  kErrReadOnlyArchive = 32,
  kErrOpenFile = 33,
  kErrShortRead = 34,
  kErrInvalidArchive = 35,
  kErrCreateOutput = 36,
  kErrNoZip64End = 40,
  kErrZip64Size = 41,
  kErrZip64Source = 43,
  kErrOpenArchive = 44,
  kErrOpenArchiveFile = 45,
  kErrWrite = 46,
  kErrDamaged = 48,
  // Our own additions for entries that are refused on purpose or cannot fit on the disk.
  kErrUnsafeName = 100,
  kErrSymbolicLink = 101,
  kErrDiskSpace = 102,
  kErrBadName = 103,
};

// The message number (ErrorCode) of an error number; 0 for a number the catalogue lacks.
int ArchiveErrorCode(int native_error);
// The message of a message number, with its "%s"/"%d" placeholders unfilled; the message of
// number 0 ("Unknown error") for a number the catalogue lacks.
std::string_view ArchiveMessageTemplate(int error_code);

// The component's own error numbers as error codes: a check of the archive or of an entry
// that failed (a damaged archive, a refused name); message() is the catalogue's template.
const std::error_category& ArchiveCategory();

// code() says what failed: the errno of a system call (a file that could not be created, a
// write that failed), or else the error number in ArchiveCategory(). what() is the same
// catalogue text either way, as the operator and the peers have always read it.
class EArchiveError : public StationError {
 public:
  // `component` is the component's name ("Zipper1"); empty gives the text without the
  // name prefix. `arg1`/`arg2` fill the message's placeholders in order.
  EArchiveError(std::string_view component, int native_error, std::string_view arg1 = {},
                std::string_view arg2 = {});
  // The same for a system call that failed with the errno `system_error`.
  EArchiveError(int system_error, std::string_view component, int native_error,
                std::string_view arg1 = {}, std::string_view arg2 = {});

  int NativeError() const { return native_error_; }
  int ErrorCode() const { return error_code_; }
  // The filled message alone, without the component name and the error number.
  const std::string& Message() const { return message_; }
  // The text what() gives, whole even where an entry name in it holds a NUL byte.
  const std::string& Text() const { return text_; }

 private:
  int native_error_;
  int error_code_;
  std::string message_;
  std::string text_;
};

// The mask matcher's refusal of a mask it cannot take ("'%s' is an invalid mask at (%d)"),
// with the refusal kInvalidMask as its code.
class EInvalidMask : public StationError {
 public:
  EInvalidMask(std::string_view mask, int position);
};

// The line the operator window adds to its log view for one failed entry.
std::string FailureLogLine(std::string_view file_name, std::string_view error_message);

}  // namespace marvolen
