// The station's one error model. Every failure it raises is a std::system_error whose code
// says what went wrong:
// - a system call that failed carries its errno (std::generic_category()); where a file was
//   involved it is a FileError (platform/FileOps.h);
// - a refusal the station decides itself (a received archive with damaged members, an
//   office's parameter file too short for its slot, a text that is no number, a file that is
//   no regular file, a damaged call record or line state, an account that does not exist)
//   carries a StationRefusal, in the station's own category, whose message() is the refusal
//   in the station's words;
// - a library's own failure carries the library's code in a category of its own (zlib's in
//   zip/Codec.h's ZlibCategory), whose message() is in the station's words too.
// Each carries beside its code the text the operator reads, made by ErrorText below: what the
// station was doing, in its words, then the system's reason. A caller that has to tell one
// failure from another asks the code, never the text.
#pragma once

#include <cerrno>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace marvolen {

enum class StationRefusal {
  kDamagedArchive = 1,  // members of a received archive failed their checks
  kParamFileTooShort,   // an office's parameter file ends before the slot asked for
  kNotANumber,          // a text that had to be a whole number is not one
  kNotRegularFile,      // a lock file, call log or line state that is a FIFO, a device...
  kDamagedRecord,       // a line of the call log that is no call record
  kDamagedLineStatus,   // a line's state file that is no line state
  kNoSuchUser,          // the account the station was told to run as does not exist
  kStillPrivileged,     // having given up root, the process could still take it back
  kInvalidMask,         // a file mask the matcher cannot take
};

const std::error_category& RefusalCategory();
std::error_code make_error_code(StationRefusal refusal);

// The system's reason for the errno `error`, as the station shows it: the C library's text
// without a trailing full stop, at most 256 bytes ("Unknown error N" for a number it lacks).
std::string SystemReason(int error);

// The code of the errno `error`; no code for 0.
inline std::error_code ErrnoCode(int error) {
  return error ? std::error_code(error, std::generic_category()) : std::error_code();
}

// The code of the errno the system call that just failed set.
inline std::error_code LastErrno() {
  return ErrnoCode(errno);
}

// What a failed call meant, asked by meaning so that no caller compares errno itself.
// Nothing is there by that name.
inline bool IsNotFound(std::error_code code) {
  return code == std::errc::no_such_file_or_directory;
}
// A symbolic link stood where a link is never followed (a directory of the working tree, a
// lock file, a file read or written in one).
inline bool IsLink(std::error_code code) {
  return code == std::errc::too_many_symbolic_link_levels;
}
// Something is already there by that name.
inline bool AlreadyExists(std::error_code code) {
  return code == std::errc::file_exists;
}
// The disk, or the user's share of it, is full.
inline bool IsDiskFull(std::error_code code) {
  return code == std::errc::no_space_on_device ||
         code == std::error_code(EDQUOT, std::generic_category());
}
// A lock another holder has (FileLock::TryAcquire).
inline bool IsTaken(std::error_code code) {
  return code == std::errc::operation_would_block;
}

// The reason `code` gives: the system's reason for an errno, else its category's own words (a
// refusal's, a compression library's); empty for no code.
std::string ReasonText(std::error_code code);

// The operator's text for a failure: `doing` (what the station was doing and on what), then
// ": " and the system's reason for an errno; `doing` alone for no code or a refusal, whose
// `doing` already says why.
std::string ErrorText(std::string_view doing, std::error_code code);

// The operator's text for whatever exception reaches the display edge: a file error of the
// standard library in the station's words ("Error de archivo en <path>: <reason>", never the
// library's English "filesystem error: ..."); any other exception's what().
std::string ErrorText(const std::exception& e);

// A failure of the station: its code and the operator's text. Copies share the text.
class StationError : public std::system_error {
 public:
  // `text` is the whole text the operator reads.
  StationError(std::error_code code, const std::string& text)
      : std::system_error(code, text), text_(text) {}
  const char* what() const noexcept override { return text_.what(); }

 private:
  std::runtime_error text_;
};

// The failure of a system call that set `error` (an errno) while the station was `doing` what
// it says, as the operator reads it.
inline StationError SystemFailure(int error, const std::string& doing) {
  const std::error_code code = ErrnoCode(error);
  return StationError(code, ErrorText(doing, code));
}

}  // namespace marvolen

template <>
struct std::is_error_code_enum<marvolen::StationRefusal> : std::true_type {};
