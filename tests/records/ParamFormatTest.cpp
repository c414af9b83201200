#include <gtest/gtest.h>

#include "platform/CodePage.h"
#include "records/AnsiText.h"
#include "records/ParamFormat.h"

namespace marvolen {
namespace {

TEST(ParamFormat, NumberTextsConvertStrictlyOrGiveZero) {
  const std::pair<const char*, int32_t> rows[] = {{"-5", -5},
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
                                                  {"0x10", 0}};
  for (const auto& [text, stored] : rows) EXPECT_EQ(TextToIntOrZero(text), stored) << text;
}

TEST(AnsiText, EveryByteSurvivesAReadAndWriteBack) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::string utf8 = AnsiToUtf8Exact(byte);
    EXPECT_EQ(Utf8ToAnsiExact(utf8).text, byte) << b;
    // iconv, an independent table, agrees on every byte Windows-1252 defines.
    if (b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) {
      EXPECT_EQ(utf8, AnsiToUtf8(byte)) << b;
    }
  }
}

TEST(AnsiText, UnmappableAndMalformedInputBecomesQuestionMarks) {
  const std::pair<const char*, const char*> rows[] = {
      {"Pe\xC3\xB1\xC3\xB3n \xE2\x82\xAC", "Pe\xF1\xF3n \x80"},  // Peñón €: exact
      {"\xE6\x97\xA5x", "?x"},                                   // a CJK character
      {"\xF0\x9F\x98\x80", "?"},                                 // an emoji
      {"\xC0\xAF", "??"},                                        // overlong '/'
      {"\xED\xA0\x80", "???"},                                   // a surrogate
      {"\x80z", "?z"},                                           // a lone continuation
      {"ab\xC3", "ab?"},                                         // cut at the end
      {"\xC2\x80", "?"},  // U+0080 has no byte: 0x80 is the euro sign
  };
  for (const auto& [utf8, ansi] : rows) {
    const Converted c = Utf8ToAnsiExact(utf8);
    EXPECT_EQ(c.text, ansi) << utf8;
    EXPECT_EQ(c.exact, std::string(ansi).find('?') == std::string::npos) << utf8;
  }
}

}  // namespace
}  // namespace marvolen
