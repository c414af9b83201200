#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/CodePage.h"
#include "records/AnsiText.h"
#include "records/ParamFormat.h"

namespace marvolen {
namespace {

TEST(ParamFormat, NumberTextsConvertStrictlyOrGiveZero) {
  const struct {
    const char* text;
    int32_t stored;
  } rows[] = {
      {"-5", -5},
      {"0", 0},
      {"+12", 12},
      {"007", 7},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", 0},
      {"-2147483649", 0},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"+-5", 0},
      {"--5", 0},
      {" 5", 0},
      {"5 ", 0},
      {"1e3", 0},
      {"0x10", 0},
  };
  for (const auto& row : rows) EXPECT_EQ(TextToIntOrZero(row.text), row.stored) << row.text;
}

TEST(ParamFormat, GroupsArePaddedAndMasksWrapPastAByte) {
  // "AB  " little-endian is 0x20204241; index 0 XORs every byte with 0x3A.
  EXPECT_EQ(static_cast<uint32_t>(ScrambleGroup("AB", 0)), 0x20204241u ^ 0x3A3A3A3Au);
  // Index 200: (200 + 0x3A) * 0x01010101 = 0x0103030302, of which 32 bits remain.
  EXPECT_EQ(static_cast<uint32_t>(ScrambleGroup("ABCDEF", 200)), 0x44434241u ^ 0x03030302u);
  EXPECT_EQ(UnscrambleGroup(static_cast<int32_t>(0x44434241u ^ 0x03030302u), 200), "ABCD");
  EXPECT_EQ(UnscrambleGroup(0x39393939, -1), std::string(4, '\0'));
}

TEST(ParamFormat, IndexIsTheSecondOfTheLocalMinute) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  const WallTime ten = VirtualClock::DefaultStart();
  EXPECT_EQ(ScrambleIndexAt(ten), 0);
  EXPECT_EQ(ScrambleIndexAt(ten + std::chrono::milliseconds(17'999)), 17);
  EXPECT_EQ(ScrambleIndexAt(ten + std::chrono::milliseconds(59'999)), 59);
  EXPECT_EQ(ScrambleIndexAt(ten + std::chrono::seconds(60)), 0);
}

TEST(AnsiText, EveryByteSurvivesAReadAndWriteBack) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::string utf8 = AnsiToUtf8Exact(byte);
    const Converted back = Utf8ToAnsiExact(utf8);
    EXPECT_EQ(back.text, byte) << b;
    EXPECT_TRUE(back.exact) << b;
    // iconv, an independent table, agrees on every byte Windows-1252 defines.
    if (b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) {
      EXPECT_EQ(utf8, AnsiToUtf8(byte)) << b;
    }
  }
}

TEST(AnsiText, UnmappableAndMalformedInputBecomesQuestionMarks) {
  const struct {
    const char* utf8;
    const char* ansi;
  } rows[] = {
      {"Pe\xC3\xB1\xC3\xB3n \xE2\x82\xAC", "Pe\xF1\xF3n \x80"},  // Peñón €
      {"\xE6\x97\xA5x", "?x"},                                   // a CJK character
      {"\xF0\x9F\x98\x80", "?"},                                 // an emoji
      {"\xC0\xAF", "??"},                                        // overlong '/'
      {"\xED\xA0\x80", "???"},                                   // a surrogate
      {"\x80z", "?z"},                                           // a lone continuation
      {"ab\xC3", "ab?"},                                         // cut at the end
      {"\xC2\x80", "?"},  // U+0080 has no byte: 0x80 is the euro sign
  };
  for (const auto& row : rows) {
    const Converted c = Utf8ToAnsiExact(row.utf8);
    EXPECT_EQ(c.text, row.ansi) << row.utf8;
    EXPECT_EQ(c.exact, std::string(row.ansi).find('?') == std::string::npos) << row.utf8;
  }
}

}  // namespace
}  // namespace marvolen
