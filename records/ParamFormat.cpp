#include "records/ParamFormat.h"

#include <algorithm>
#include <array>

#include "platform/LocalTime.h"

namespace marvolen {

namespace {

constexpr std::array<ParamSlot, 14> kSlots{{
    {"password", 0, ParamKind::Text},
    {"inicio *.daw", 5, ParamKind::Number},
    {"ultimo *.daw", 6, ParamKind::Number},
    {"numero ultimo resumen", 11, ParamKind::Number},
    {"numero ultimo registro *.trf", 12, ParamKind::Number},
    {"M_intDecimal", 13, ParamKind::Number},
    {"UpGrade", 16, ParamKind::Number},
    {"Synchronize", 17, ParamKind::Number},
    {"Check_Id", 18, ParamKind::Number},
    {"Id", 19, ParamKind::Text},
    {"RootId_R", 24, ParamKind::Text},
    {"RootId", 29, ParamKind::Text},
    {"Reintentos", 36, ParamKind::Number},
    {"PeriodoReintentos", 37, ParamKind::Number},
}};

constexpr std::string_view kDefaultPassword = "GALERNA";

// The same byte in all four positions; indexes outside 0..59 (a file written elsewhere) wrap
// modulo 2^32 like any other.
uint32_t Mask(int32_t index) {
  return (static_cast<uint32_t>(index) + kScrambleBase) * 0x01010101u;
}

}  // namespace

std::span<const ParamSlot> ParamSlots() {
  return kSlots;
}

const ParamSlot* FindParamSlot(std::string_view key) {
  for (const ParamSlot& slot : kSlots) {
    if (slot.key == key) return &slot;
  }
  return nullptr;
}

int32_t ScrambleGroup(std::string_view ansi, int32_t index) {
  uint32_t plain = 0;
  for (int i = 3; i >= 0; --i) {
    const auto c = static_cast<size_t>(i) < ansi.size() ? static_cast<unsigned char>(ansi[i]) : ' ';
    plain = (plain << 8) | c;
  }
  return static_cast<int32_t>(plain ^ Mask(index));
}

std::string UnscrambleGroup(int32_t value, int32_t index) {
  const uint32_t plain = static_cast<uint32_t>(value) ^ Mask(index);
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((plain >> (8 * i)) & 0xFF);
  return out;
}

int32_t ScrambleIndexAt(WallTime now) {
  // A leap second shows as second 60; the index stays within a minute's 0 to 59.
  return std::min(ToLocal(now).second, 59);
}

std::string EncodeRecord(int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  std::string out(kParamRecordSize, '\0');
  for (int i = 0; i < kParamRecordSize; ++i) out[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return out;
}

int32_t DecodeRecord(std::string_view four_bytes) {
  uint32_t u = 0;
  for (int i = kParamRecordSize - 1; i >= 0; --i) {
    u = (u << 8) | static_cast<unsigned char>(four_bytes[i]);
  }
  return static_cast<int32_t>(u);
}

std::string EncodeTextSlot(std::string_view ansi, int32_t index) {
  std::string text(ansi.substr(0, kTextSlotChars));
  text.resize(kTextSlotChars, ' ');
  std::string out = EncodeRecord(index);
  for (int g = 0; g < kTextSlotChars; g += 4) {
    out += EncodeRecord(ScrambleGroup(std::string_view(text).substr(g, 4), index));
  }
  return out;
}

std::string DecodeTextSlot(std::string_view slot_bytes) {
  const int32_t index = DecodeRecord(slot_bytes.substr(0, kParamRecordSize));
  std::string out;
  for (int r = 1; r < kTextSlotRecords; ++r) {
    out += UnscrambleGroup(DecodeRecord(slot_bytes.substr(r * kParamRecordSize)), index);
  }
  return out;
}

std::string DefaultParamFile(const Clock& clock) {
  std::string file(static_cast<size_t>(kParamRecordCount) * kParamRecordSize, '\0');
  const auto put = [&file](int record, std::string_view bytes) {
    file.replace(static_cast<size_t>(record) * kParamRecordSize, bytes.size(), bytes);
  };
  for (const ParamSlot& slot : kSlots) {
    if (slot.kind == ParamKind::Text) {
      const std::string_view text = slot.key == "password" ? kDefaultPassword : "";
      put(slot.record, EncodeTextSlot(text, ScrambleIndexAt(clock.WallNow())));
    }
  }
  for (std::string_view key :
       {"numero ultimo resumen", "numero ultimo registro *.trf", "Check_Id"}) {
    put(FindParamSlot(key)->record, EncodeRecord(1));
  }
  return file;
}

}  // namespace marvolen
