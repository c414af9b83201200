// The layout of the office parameter file: which records each key owns, how text slots are
// scrambled, and how values turn into records and back. Pure functions on bytes, so that the
// file handling around them stays small and the format can be checked without any file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Numbers.h"

namespace marvolen {

// A new file has this many 4-byte records; records past the layout table are 0.
constexpr int kParamRecordCount = 1001;
constexpr int kParamRecordSize = 4;
// A text slot: one record with its scramble index, then four groups of four characters.
constexpr int kTextSlotRecords = 5;
constexpr int kTextSlotChars = 16;
// Added to a slot's index to give the byte every group is XORed with.
constexpr uint32_t kScrambleBase = 0x3A;

enum class ParamKind { Number, Text };

struct ParamSlot {
  std::string_view key;
  int record;  // first record, counted from 0
  ParamKind kind;
  int RecordCount() const { return kind == ParamKind::Text ? kTextSlotRecords : 1; }
};

// Every key of the file in record order.
std::span<const ParamSlot> ParamSlots();
// The slot whose key equals `key` exactly, letter case included; nullptr when none does.
const ParamSlot* FindParamSlot(std::string_view key);

// Scrambles the first four characters of `ansi` (blank-padded when shorter) with `index`.
int32_t ScrambleGroup(std::string_view ansi, int32_t index);
// The four characters a stored group holds, whatever their codes.
std::string UnscrambleGroup(int32_t value, int32_t index);
// The seconds of the current local minute at `now`: the index a text slot is written with.
int32_t ScrambleIndexAt(WallTime now);

// What a number slot stores for `text`: the integer, or 0 when it does not convert. A number
// is read as everywhere else in the station (leading blanks, an optional sign, digits).
inline int32_t TextToIntOrZero(std::string_view text) {
  return TryStrToInt(text).value_or(0);
}

// Record bytes, little-endian.
std::string EncodeRecord(int32_t value);
int32_t DecodeRecord(std::string_view four_bytes);

// The 20 bytes of a text slot holding `ansi` cut or blank-padded to 16 characters.
std::string EncodeTextSlot(std::string_view ansi, int32_t index);
// The 16 characters a text slot's 20 bytes hold, with the index the slot itself carries.
std::string DecodeTextSlot(std::string_view slot_bytes);

// The 4004 bytes of a new file: default password "GALERNA", blank identifiers, the counters
// and the device-identifier switch at 1. Each text slot takes its index from `clock` as it
// is built.
std::string DefaultParamFile(const Clock& clock);

}  // namespace marvolen
